"""prjstack: reconstructs a stack of slices with prjslice, one process per
slice, on the cores of this machine or, through GNU parallel's ssh logins,
of others.

    prjstack [options] dr r0/dr|auto ra OUTDIR SG|DIR ...
    prjstack --scan SCAN [options] dr r0/dr|auto OUTDIR

Every sinogram is reconstructed with the same dr, r0/dr and ra into
OUTDIR/NAME.tif, NAME being the sinogram's file name without its extension.
A slice is written under a temporary name in OUTDIR and renamed once prjslice
has succeeded, so an image under its final name is always complete; this is
also what --resume relies on: a slice whose image exists is finished. Each
slice's value line (its minimum and maximum), read from prjslice's standard
output, goes into one CSV file, and is kept beside the images for later runs
(.prjstack.values) before its image takes its final name. Failed slices are
reported by name with prjslice's message, and the exit status is then 1.

With --scan the sinograms come from a raw scan: prjsino imports a band of
detector rows at a time and writes its sinograms one after another into a
pipe, and each is spliced from there into the standard input of its prjslice,
so that no sinogram touches a disk. The images are named by detector row as
prjsino names the sinograms (its report gives the names) and ra is the
scan's. Runs on other
machines (-S) take the band's sinograms from files in a scratch directory
(.prjsino.HOST-PID.XXXXXX) instead, each removed once its slice is done.

r0/dr "auto", in either mode, fits a straight line through the axes of
rows spread over the stack (the importer's axis= where it is there, else
prjaxis's) and gives each row the line's value. --rings removes stripes:
prjrings before each slice, or prjsino --rings.

Exit status: 0 when every slice is finished, 1 when some are not, 2 for a
usage error (nothing is run).
"""

import fnmatch
import json
import os
import re
import selectors
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from . import _scan
from ._programs import ReconstructionError
from ._reconstruct import _progress_bar

USAGE = """\
usage: prjstack [options] dr r0/dr|auto ra OUTDIR SG|DIR ...
       prjstack --scan SCAN [options] dr r0/dr|auto OUTDIR

Reconstructs every sinogram SG (every file matching the pattern of -g in each
directory DIR, in natural order) with prjslice SG dr r0/dr ra OUTDIR/NAME.tif,
one process per slice. With --scan, every detector row of the raw scan SCAN
(an HDF5 or TIFF scan, see prjsino) into OUTDIR/sino_ROW.tif, at the scan's
start angle, each sinogram handed from prjsino to prjslice through pipes.

r0/dr "auto" estimates the axis on at least five rows spread over the stack
(a sinogram's place in the stack stands for its row): the importer's axis=
on the sinogram's header where it is there, else prjaxis's; rows that
determine none are skipped. It prints each, fits a straight line through
them (printing its slope in bins per row), warns of rows more than half a
bin off it, and reconstructs each row with the line's value. For a full
turn that prjsino combines (averaged or stitched), every band is combined
about the same axis, and auto takes it from the headers.

options:
  -j, --jobs N          slices at once on each machine (default: one per core;
                        N% for a percentage of the cores)
  -p, --program PATH    reconstructor to run (default: prjslice beside this
                        script, else prjslice on PATH; e.g. prjslice-fixed)
  -l, --list FILE       also take the sinograms listed in FILE, one path a
                        line ("-": standard input)
  -g, --glob PATTERN    files taken from a directory (default: *.sg)
      --resume          keep every slice whose image exists, run the others
      --part I/P        run only part I of the stack cut into P contiguous
                        parts (1 <= I <= P), e.g. one part per Slurm array task
      --csv FILE        table of min/max per slice (default: OUTDIR/ranges.csv,
                        with --part OUTDIR/ranges.I-of-P.csv)
      --joblog FILE     job log, in GNU parallel's format (default:
                        OUTDIR/prjstack.log, with --part OUTDIR/prjstack.I-of-P.log)
      --bar, --no-bar   progress bar on standard error (default: when standard
                        error is a terminal)
      --rings           remove stripes (ring artefacts) first: each sinogram
                        through prjrings (prjrings SG - | prjslice - ...);
                        with --scan, prjsino --rings
  -S, --sshlogin LOGIN  run the slices through GNU parallel, on LOGIN too: its
                        sshlogin, such as 8/user@node2 or : for this machine
                        (repeatable)
      --sshloginfile F  GNU parallel's file of sshlogins
  -h, --help            this text

with --scan:
      --band R          rows imported at a time (default 64); prjsino holds
                        one band's sinograms in memory (R x M x N x 8 bytes)
      --scratch DIR     with -S: where a band's sinograms go (default: inside
                        OUTDIR)
  --rows A:B, --angles F:L, --half H, --flats P, --darks P, --median,
  --clip V, --raw, --no-log
                        passed on to prjsino (see prjsino --help)

With -S, every machine must see the sinograms, OUTDIR and the program under
the same paths (a shared file system) and run sh; jobs start in the current
directory. BPF_RANGE, when set, is passed on to every slice.

CSV columns: sinogram,image,min,max (with --scan: row,image,min,max), one row
per finished slice in stack order.
Exit status: 0 all slices finished, 1 some failed, 2 usage error.
"""

# Options that take a value, by the name they are kept under.
VALUED = {"-j": "jobs", "--jobs": "jobs", "-p": "program", "--program": "program", "-l": "lists",
          "--list": "lists", "-g": "glob", "--glob": "glob", "--part": "part", "--csv": "csv",
          "--joblog": "joblog", "-S": "logins", "--sshlogin": "logins", "--sshloginfile": "logins",
          "--scan": "scan", "--band": "band", "--scratch": "scratch", "--rows": "rows", "--angles": "importer",
          "--half": "importer", "--flats": "importer", "--darks": "importer", "--clip": "importer"}
# prjsino's options without a value.
IMPORTER_FLAGS = ("--median", "--raw", "--no-log")

# The job that GNU parallel runs for a slice on any machine, whatever its
# login shell, as sh -c "$PRJSTACK_JOB" prjstack SG R0: prjslice into the
# temporary name, then on standard output the sinogram, the exit status and
# prjslice's last line (its value line, or its message after the full
# build's pass bands), each ended by a NUL. This process renames the image
# into place. Starting a process costs milliseconds, so besides prjslice only
# sh is run. With PRJSTACK_RINGS set, the sinogram goes through prjrings
# first, into a temporary file beside the image (sh has no pipefail to tell
# prjrings' failure from prjslice's).
SLICE_JOB = r'''sg=$1
case $sg in -*) input=./$sg ;; *) input=$sg ;; esac
name=${sg##*/}
if [ -n "$PRJSTACK_RINGS" ]; then
    filtered=$PRJSTACK_OUT/.${name%.*}.sg.rings-$PRJSTACK_RUN
    if ! output=$("$PRJSTACK_RINGS" "$input" "$filtered" 2>&1 </dev/null); then
        rm -f "$filtered"
        printf '%s\0%s\0%s\0' "$sg" 1 "${output##*
}"
        exit
    fi
    input=$filtered
fi
output=$("$PRJSTACK_PROGRAM" "$input" "$PRJSTACK_DR" "$2" "$PRJSTACK_RA" \
    "$PRJSTACK_OUT/.${name%.*}.tif.part-$PRJSTACK_RUN" 2>&1 </dev/null)
status=$?
[ -n "$PRJSTACK_RINGS" ] && rm -f "$filtered"
printf '%s\0%s\0%s\0' "$sg" "$status" "${output##*
}"
'''


class UsageError(Exception):
    """A usage error: reported with a pointer to --help, exit status 2."""


def say(text):
    sys.stderr.write("prjstack: %s\n" % text)
    sys.stderr.flush()


class Options:
    def __init__(self, argv):
        self.jobs = self.program = self.part = self.csv = self.joblog = self.scan = self.scratch = None
        self.rows = None
        self.lists, self.logins, self.importer, positional = [], [], [], []
        self.glob, self.resume, self.bar, self.band, self.rings = "*.sg", False, None, "64", False
        args = list(argv)
        while args:
            word = args.pop(0)
            name, equals, value = word.partition("=") if word.startswith("--") else (word, "", "")
            if word in ("-h", "--help"):
                sys.stdout.write(USAGE)
                raise SystemExit(0)
            elif name in VALUED:
                if not equals:
                    if not args:
                        raise UsageError("option %s needs a value" % word)
                    value = args.pop(0)
                key = VALUED[name]
                if key == "logins":
                    self.logins += ["--sshloginfile" if name == "--sshloginfile" else "--sshlogin", value]
                elif key == "importer":
                    self.importer += [name, value]
                elif key == "lists":
                    self.lists.append(value)
                else:
                    setattr(self, key, value)
            elif word == "--resume":
                self.resume = True
            elif word == "--rings":
                self.rings = True
            elif word in IMPORTER_FLAGS:
                self.importer.append(word)
            elif word in ("--bar", "--no-bar"):
                self.bar = word == "--bar"
            elif word == "--":
                positional += args
                break
            elif word == "-" or re.match(r"-[0-9.]", word) or not word.startswith("-"):
                positional.append(word)  # "-", negative numbers, operands
            else:
                raise UsageError("unknown option %s" % word)

        if self.scan is not None:
            if len(positional) != 3:
                raise UsageError("with --scan, expected dr r0/dr OUTDIR")
            if self.lists:
                raise UsageError("--scan and --list exclude each other")
            if not re.fullmatch(r"[0-9]+", self.band) or int(self.band) < 1:
                raise UsageError("--band takes a number of rows: %s" % self.band)
            self.band = int(self.band)
            if self.rings:
                self.importer.append("--rings")
            (self.dr, self.r0, self.outdir), self.ra, self.inputs = positional, None, []
        else:
            if self.rows is not None or self.importer:
                raise UsageError("the options of prjsino need --scan")
            if len(positional) < 4:
                raise UsageError("expected dr r0/dr ra OUTDIR and sinograms")
            self.dr, self.r0, self.ra, self.outdir = positional[:4]
            self.inputs = positional[4:]
            if not self.inputs and not self.lists:
                raise UsageError("no sinograms given")
        jobs = re.fullmatch(r"([0-9]+)(%?)", self.jobs or "1")
        if not jobs or int(jobs.group(1)) == 0:
            raise UsageError("-j takes a number of jobs (or a percentage of the cores): %s" % self.jobs)
        cores = len(os.sched_getaffinity(0))
        self.slots = cores if self.jobs is None else \
            max(1, cores * int(jobs.group(1)) // 100) if jobs.group(2) else int(jobs.group(1))
        self.part_i, self.part_n = 1, 1
        if self.part is not None:
            part = re.fullmatch(r"([0-9]+)/([0-9]+)", self.part)
            if not part:
                raise UsageError("--part takes I/P: %s" % self.part)
            self.part_i, self.part_n = int(part.group(1)), int(part.group(2))
            if not 1 <= self.part_i <= self.part_n:
                raise UsageError("--part needs 1 <= I <= P: %s" % self.part)
        if self.logins and not shutil.which("parallel"):
            raise UsageError("GNU parallel is not installed")
        while self.outdir.endswith("/") and self.outdir != "/":
            self.outdir = self.outdir[:-1]


def companion(name, here, program):
    """The program name beside this script, else beside the reconstructor,
    else on PATH; None where there is none."""
    for directory in (here, os.path.dirname(program or "")):
        path = os.path.join(directory, name)
        if directory and os.path.isfile(path) and os.access(path, os.X_OK):
            return os.path.abspath(path)
    return shutil.which(name)


def natural(path):
    """Sort key of natural order: slice_2 before slice_10."""
    return [(0, int(part)) if part.isdigit() else (1, part) for part in re.split(r"([0-9]+)", path)]


def name_of(path):
    """The slice name: the file name without its extension."""
    base = os.path.basename(path)
    return base[:base.rindex(".")] if "." in base else base


class Slice:
    """One slice of the stack: its sinogram (a path, or a row of the scan and
    its sinogram's file name), its name and the image as the CSV shows it."""

    def __init__(self, source, file, outdir, r0):
        self.source, self.file, self.name, self.r0 = source, file, name_of(file), r0
        self.image = "%s/%s.tif" % (outdir, self.name)
        self.shown = "row %d" % source if isinstance(source, int) else source


def sinogram_stack(o):
    """The sinograms in the order given, directories in natural order, then
    the lists: their Slices."""
    paths = []
    for given in o.inputs:
        if not os.path.isdir(given):
            paths.append(given)
            continue
        found = sorted((os.path.join(given, entry.name) for entry in os.scandir(given)
                        if entry.is_file() and fnmatch.fnmatchcase(entry.name, o.glob)), key=natural)
        if not found:
            say("no file matching %s in %s" % (o.glob, given))
        paths += found
    for listed in o.lists:
        try:
            data = sys.stdin.buffer.read() if listed == "-" else open(listed, "rb").read()
        except OSError:
            raise UsageError("cannot read the list %s" % listed) from None
        paths += [os.fsdecode(line.rstrip(b"\r")) for line in data.split(b"\n") if line.rstrip(b"\r")]
    if not paths:
        raise UsageError("no sinograms found")
    # Image names must be unique: two sinograms named alike would overwrite
    # each other's slice.
    owners, stack = {}, []
    for path in paths:
        name = name_of(path)
        if not name:
            raise UsageError("no slice name in %s" % path)
        if name in owners:
            raise UsageError("%s and %s would both make %s/%s.tif" % (path, owners[name], o.outdir, name))
        owners[name] = path
        stack.append(Slice(path, path, o.outdir, o.r0))
    return stack


class Values:
    """The value line of every finished slice, kept in OUTDIR in
    .prjstack.values (.prjstack.I-of-P.values for a part), one JSON array
    [image name, value line, time] a line, so that a later run (resumed, or
    of another part) writes the CSV rows of slices it did not run. Every
    such file is read, the latest line of a name holding. A line is added
    before its image is renamed into place."""

    def __init__(self, outdir, suffix):
        self.path = os.path.join(outdir, ".prjstack%s.values" % suffix)
        self.lines, self.file, latest = {}, None, {}
        for entry in os.scandir(outdir):
            if not (entry.name.startswith(".prjstack") and entry.name.endswith(".values") and entry.is_file()):
                continue
            with open(entry.path, encoding="utf-8") as f:
                for text in f:
                    try:
                        name, line, when = json.loads(text)
                    except ValueError:  # a line cut short by a killed run
                        continue
                    if when >= latest.get(name, when):
                        self.lines[name], latest[name] = line, when

    def add(self, name, line):
        if self.file is None:
            self.file = open(self.path, "a", encoding="utf-8")
        self.file.write(json.dumps([name, line, time.time()]) + "\n")
        self.file.flush()
        self.lines[name] = line

    def close(self):
        if self.file is not None:
            self.file.close()


class Joblog:
    """The job log of local runs, in GNU parallel's format (appended to by
    --resume, as parallel's +FILE)."""

    def __init__(self, path, append):
        append = append and os.path.isfile(path) and os.path.getsize(path) > 0
        self.file = open(path, "a" if append else "w")
        if not append:
            self.file.write("Seq\tHost\tStarttime\tJobRuntime\tSend\tReceive\tExitval\tSignal\tCommand\n")
        self.seq = 0

    def add(self, job):
        self.seq += 1
        code = job.process.returncode
        self.file.write("%d\t:\t%.3f\t%10.3f\t0\t%d\t%d\t%d\t%s\n" % (
            self.seq, job.started, job.ended - job.started, len(job.out), max(code, 0), max(-code, 0),
            job.command))
        self.file.flush()


class Job:
    """A running prjslice: its slice, process and what it writes."""

    def __init__(self, slice, process, command):
        self.slice, self.process, self.command = slice, process, command
        self.started, self.ended, self.out, self.err, self.open, self.killed = time.time(), None, b"", b"", 2, False
        self.filter = None  # prjrings, feeding prjslice's standard input


class Children:
    """The prjslice processes running at once, each in a session of its own
    (a job that signals its process group reaches no other), their outputs
    gathered as they come."""

    def __init__(self):
        self.selector = selectors.DefaultSelector()
        self.running = []
        self.processes = _scan.Processes()

    def start(self, slice, argv, stdin, command):
        process = self.processes.start(argv, stdin=stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       start_new_session=True)
        job = Job(slice, process, command)
        self.running.append(job)
        self.selector.register(process.stdout, selectors.EVENT_READ, job)
        self.selector.register(process.stderr, selectors.EVENT_READ, job)
        return job

    def wait(self):
        """The jobs that have ended, once at least one has."""
        ended = []
        while not ended:
            for key, _ in self.selector.select():
                job, data = key.data, os.read(key.fd, 1 << 16)
                if data and key.fileobj is job.process.stdout:
                    job.out += data
                elif data:
                    job.err += data
                else:
                    self.selector.unregister(key.fileobj)
                    key.fileobj.close()
                    job.open -= 1
                    if job.open == 0:
                        job.process.wait()
                        job.ended = time.time()
                        self.running.remove(job)
                        ended.append(job)
        return ended

    def stop(self):
        """Kills the jobs still running (their sessions: whatever they
        started too); all of them once ended."""
        for job in self.running:
            job.killed = job.process.poll() is None or job.process.returncode < 0
        self.processes.stop()
        ended = []
        while self.running:
            ended += self.wait()
        return ended


class Run:
    """One run over the slices to do: starts them, and takes each that ends
    into the images, the values, the job log and the failures."""

    def __init__(self, o, program, outdir, values, joblog, total):
        self.o, self.program, self.outdir, self.values, self.joblog = o, program, outdir, values, joblog
        self.tag = "%s-%d" % (host(), os.getpid())
        self.failures = {}  # slice name: message
        self.interrupted = False
        self.status = 0  # GNU parallel's, with -S
        self.bar = _progress_bar(total) if (sys.stderr.isatty() if o.bar is None else o.bar) else None
        self.children = Children()

    def temporary(self, name):
        return os.path.join(self.outdir, ".%s.tif.part-%s" % (name, self.tag))

    def argv(self, slice, input):
        return [self.program, input, self.o.dr, slice.r0, self.o.ra, self.temporary(slice.name)]

    def fail(self, slice, message):
        message = message.replace("\t", " ")
        self.failures[slice.name] = message
        say("%s: %s" % (slice.shown, message))

    def finished(self, slice, ok, text, stopped=False):
        """Takes a slice whose prjslice has ended: with ok, text is its value
        line; otherwise its message, unless this run stopped it."""
        temporary = self.temporary(slice.name)
        if ok:
            try:
                self.values.add(slice.name + ".tif", text)
                os.replace(temporary, os.path.join(self.outdir, slice.name + ".tif"))
            except OSError as error:
                self.fail(slice, "%s: %s" % (error.filename, error.strerror))
        elif not stopped:
            self.fail(slice, text)
        if os.path.lexists(temporary):
            os.remove(temporary)
        if self.bar is not None:
            self.bar.update(1)

    def ended(self, jobs):
        for job in jobs:
            code = job.process.returncode
            text = (job.out if code == 0 else job.err).decode("utf-8", "surrogateescape")
            lines = [line for line in text.splitlines() if line.strip()]
            # A slice killed by a signal may have written no more than the
            # full build's pass bands on standard error.
            failed = filter_failure(job.filter)
            if failed is not None:
                self.finished(job.slice, False, failed, job.killed)
            elif code == 0:
                self.finished(job.slice, True, lines[-1] if lines else "")
            else:
                self.finished(job.slice, False, "killed by signal %d" % -code if code < 0 else
                              lines[-1] if lines else "exit status %d" % code, job.killed)
            self.joblog.add(job)

    def start(self, slice, argv, stdin, command):
        """A started job, or None when its process cannot be started."""
        try:
            return self.children.start(slice, argv, stdin, command)
        except OSError as error:
            self.fail(slice, "%s: %s" % (argv[0], error.strerror))
            return None

    def local(self, todo):
        """The slices of sinogram files, up to o.slots at once."""
        for slice in todo:
            while len(self.children.running) >= self.o.slots:
                self.ended(self.children.wait())
            input = "./" + slice.source if slice.source.startswith("-") else slice.source
            if not self.o.prjrings:
                argv = self.argv(slice, input)
                self.start(slice, argv, subprocess.DEVNULL, shlex.join(argv))
                continue
            # prjrings SG - | prjslice - ...
            rings, argv = [self.o.prjrings, input, "-"], self.argv(slice, "-")
            try:
                filter = self.children.processes.start(rings, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                                       stderr=subprocess.PIPE, start_new_session=True)
            except OSError as error:
                self.fail(slice, "%s: %s" % (rings[0], error.strerror))
                continue
            job = self.start(slice, argv, filter.stdout, "%s | %s" % (shlex.join(rings), shlex.join(argv)))
            filter.stdout.close()
            if job is None:
                filter.kill()
                filter_failure(filter)
            else:
                job.filter = filter
        while self.children.running:
            self.ended(self.children.wait())

    def streamed(self, bands, prjsino):
        """The slices of a scan, band by band, each sinogram spliced from
        prjsino's standard output into its prjslice's standard input."""
        for first, end, slices in bands:
            band = _scan.Band(self.children.processes, prjsino, self.o.importer, self.o.scan, first, end)
            try:
                by_row = {slice.source: slice for slice in slices}
                for row in range(first, end):
                    band.next(row)
                    if row not in by_row:
                        band.skip()
                        continue
                    while len(self.children.running) >= self.o.slots:
                        self.ended(self.children.wait())
                    argv = self.argv(by_row[row], "-")
                    job = self.start(by_row[row], argv, subprocess.PIPE,
                                     "%s < %s" % (shlex.join(argv), shlex.quote(by_row[row].file)))
                    if job is None:
                        band.skip()
                        continue
                    band.pass_to(job.process.stdin.fileno())
                    job.process.stdin.close()
                report_clamped(band.close())
            except ReconstructionError as error:
                self.band_failed(first, end, slices, bands, error.message)
                break
            finally:
                band.kill()
        while self.children.running:
            self.ended(self.children.wait())

    def scratch(self, bands, prjsino, directory):
        """The slices of a scan on other machines, band by band: each band
        imported into the scratch directory, its slices run through GNU
        parallel, each sinogram removed once its slice is done."""
        for first, end, slices in bands:
            code, _, errors = _scan.collect(prjsino, [*self.o.importer, "--rows", "%d:%d" % (first, end), "--",
                                                      self.o.scan, directory])
            if code < 0:
                raise KeyboardInterrupt
            if code != 0:
                self.band_failed(first, end, slices, bands, errors.splitlines()[-1])
                break
            report_clamped(errors)
            self.parallel([os.path.join(directory, s.file) for s in slices], slices, True)
            for name in os.listdir(directory):
                os.remove(os.path.join(directory, name))

    def band_failed(self, first, end, slices, bands, message):
        """A band that cannot be imported ends the run: its slices fail with
        prjsino's message, and the summary follows."""
        say(message)
        later = False
        for _, _, others in bands:
            for slice in others:
                if slice in slices:
                    later = True
                    self.failures[slice.name] = message
                elif later:
                    self.failures[slice.name] = "not imported, after the failure of rows %d to %d" % (first, end - 1)

    def stop(self):
        """After an interrupt: every child killed and reaped, what ended taken."""
        ignore_signals()
        self.interrupted = True
        self.ended(self.children.stop())

    # -S: GNU parallel.

    def parallel(self, sinograms, slices, remove):
        """One GNU parallel run over the sinogram files; each slice's result
        taken as its job's output arrives. With remove, each sinogram is
        removed once its slice is done."""
        o = self.o
        options = ["--will-cite", "-0", "--no-run-if-empty", "--joblog", self.joblog, *o.logins,
                   "--workdir", os.getcwd()]
        if o.jobs is not None:
            options += ["--jobs", o.jobs]
        settings = dict(PRJSTACK_PROGRAM=self.program, PRJSTACK_DR=o.dr, PRJSTACK_RA=o.ra,
                        PRJSTACK_OUT=self.outdir, PRJSTACK_RUN=self.tag, PRJSTACK_JOB=SLICE_JOB,
                        PRJSTACK_RINGS=o.prjrings)
        for name in [*settings, *(["BPF_RANGE"] if "BPF_RANGE" in os.environ else [])]:
            options += ["--env", name]
        env = dict(os.environ, **settings)
        # Later runs append to the job log of the first.
        self.joblog = "+" + self.joblog.lstrip("+")
        # Two arguments a job: the sinogram and its r0/dr.
        process = self.children.processes.start(["parallel", *options, "--max-args", "2",
                                                 'sh -c "$PRJSTACK_JOB" prjstack {1} {2}'],
                                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env)
        records = b"".join(os.fsencode(s) + b"\0" + os.fsencode(slice.r0) + b"\0" for s, slice in zip(sinograms, slices))
        feeder = threading.Thread(target=feed, args=(process.stdin, records), daemon=True)
        feeder.start()
        by_path = dict(zip(sinograms, slices))
        try:
            self.gather(process.stdout, by_path, remove)
        except KeyboardInterrupt:
            ignore_signals()
            self.interrupted = True
            process.terminate()  # parallel ends its jobs
            self.gather(process.stdout, by_path, remove)
        finally:
            code = process.wait()
            feeder.join()
        if code != 0:
            self.status = code
        if self.interrupted:
            raise KeyboardInterrupt

    def gather(self, stream, by_path, remove):
        """Takes each job's result as GNU parallel passes it on: the sinogram,
        the exit status and prjslice's last line, each ended by a NUL."""
        fields, pending = [], b""
        for data in iter(lambda: os.read(stream.fileno(), 1 << 16), b""):
            *ended, pending = (pending + data).split(b"\0")
            fields += ended
            while len(fields) >= 3:
                path, code, line = (os.fsdecode(field) for field in fields[:3])
                del fields[:3]
                code = int(code)
                self.finished(by_path[path], code == 0, "killed by signal %d" % (code - 128) if code > 128 else
                              line if code == 0 or line else "exit status %d" % code)
                if remove:
                    os.remove(path)


def filter_failure(filter):
    """Waits for a slice's prjrings: its message when it failed (not when
    prjslice stopped reading first, which ended it by SIGPIPE), else None."""
    if filter is None:
        return None
    errors = filter.stderr.read().decode("utf-8", "surrogateescape")
    filter.stderr.close()
    code = filter.wait()
    if code in (0, -signal.SIGPIPE):
        return None
    lines = [line for line in errors.splitlines() if line.strip()]
    return "killed by signal %d" % -code if code < 0 else lines[-1] if lines else "prjrings: exit status %d" % code


def ignore_signals():
    """Once a run is stopped, its clean-up is not cut short."""
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, signal.SIG_IGN)


def feed(writer, data):
    try:
        writer.write(data)
    except BrokenPipeError:
        pass
    finally:
        try:
            writer.close()
        except BrokenPipeError:
            pass


def report_clamped(errors):
    """Passes on prjsino's count of clamped samples."""
    for line in errors.splitlines():
        if " samples " in line:
            sys.stderr.write(line + "\n")


def bands_of(todo, first_row, band):
    """The slices to do in bands of rows: (first, end, slices) with the band's
    rows counted from the first row of the stack, from its first slice to do
    to its last."""
    bands = []
    for slice in todo:
        index = (slice.source - first_row) // band
        if bands and bands[-1][3] == index:
            bands[-1][1] = slice.source + 1
            bands[-1][2].append(slice)
        else:
            bands.append([slice.source, slice.source + 1, [slice], index])
    return [(first, end, slices) for first, end, slices, _ in bands]


def field(text):
    """A CSV field: quoted, its quotes doubled, when it holds a comma, a quote or a line end."""
    return '"%s"' % text.replace('"', '""') if re.search(r'[",\n\r]', text) else text


def host():
    """This machine's name, its dots made underscores (a name part without dots)."""
    return socket.gethostname().replace(".", "_")


def process_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's
        pass
    return True


def remove_stale_scratch(directory):
    """Removes the scratch directories (.prjsino.HOST-PID.XXXXXX) that runs
    of this machine left when they were killed outright: those whose process
    is gone. Those of live runs, here or on other machines sharing the
    directory, stay."""
    prefix = ".prjsino.%s-" % host()
    for entry in os.scandir(directory):
        pid = entry.name[len(prefix):].partition(".")[0]
        if entry.name.startswith(prefix) and pid.isdigit() and int(pid) != os.getpid() \
                and not process_alive(int(pid)) and entry.is_dir(follow_symlinks=False):
            shutil.rmtree(entry.path, ignore_errors=True)


def main(argv=None, here=None):
    """prjstack's command line; returns the exit status. here is the
    directory of the launcher, where the programs are looked for first."""
    argv = sys.argv[1:] if argv is None else argv
    try:
        return run(argv, here or os.path.dirname(os.path.abspath(sys.argv[0])))
    except UsageError as error:
        say(str(error))
        sys.stderr.write("Try 'prjstack --help'.\n")
        return 2


def run(argv, here):
    o = Options(argv)
    program = o.program
    if program is None:
        program = companion("prjslice", here, None)
        if program is None:
            raise UsageError("no prjslice beside %s nor on PATH; give -p PROGRAM" % here)
    else:
        path = program if "/" in program else shutil.which(program)
        if not (path and os.path.isfile(path) and os.access(path, os.X_OK)):
            raise UsageError("%s is not an executable program" % program)
        program = os.path.abspath(path)

    # What prjsino would import, from its report (before anything is made, so
    # that a usage error of its options leaves nothing).
    info = None
    o.prjrings = ""
    prjsino = companion("prjsino", here, program) if o.scan is not None else ""
    prjaxis = companion("prjaxis", here, program) if o.r0 == "auto" else ""
    prjrings = o.prjrings = companion("prjrings", here, program) if o.rings and o.scan is None else ""
    for name, path in (("prjsino", prjsino), ("prjaxis", prjaxis), ("prjrings", prjrings)):
        if path is None:
            raise UsageError("no %s beside %s or %s, nor on PATH" % (name, here, program))
    if o.scan is not None:
        try:
            info = _scan.report(prjsino, o.importer + ([] if o.rows is None else ["--rows", o.rows]), o.scan)
        except ReconstructionError as error:
            if error.returncode == 2:
                raise UsageError(error.stderr.splitlines()[0]) from None
            sys.stderr.write(error.stderr)
            return 1

    stack = sinogram_stack(o) if info is None else None
    try:
        os.makedirs(o.outdir, exist_ok=True)
    except OSError as error:
        raise UsageError("cannot make %s: %s" % (o.outdir, error.strerror)) from None
    outdir = os.path.abspath(o.outdir)

    if info is not None:
        stack = [Slice(s["row"], s["file"], o.outdir, o.r0) for s in info["sinograms"]]
        o.ra = repr(info["ra"])
        o.importer = _scan.full_turn_options(o.importer, info)
    if o.r0 == "auto" and not auto_axis(o, stack, prjsino, prjaxis):
        return 1

    total = len(stack)
    first, last = (o.part_i - 1) * total // o.part_n, o.part_i * total // o.part_n
    suffix = ".%d-of-%d" % (o.part_i, o.part_n) if o.part is not None else ""
    csv = o.csv or "%s/ranges%s.csv" % (o.outdir, suffix)
    joblog = o.joblog or "%s/prjstack%s.log" % (o.outdir, suffix)
    part = stack[first:last]
    todo = [s for s in part if not (o.resume and os.path.isfile(os.path.join(outdir, s.name + ".tif")))]
    say("%d slices, %d already done, %d to reconstruct" % (len(part), len(part) - len(todo), len(todo)))

    # What killed runs of the slices to do left: .NAME.tif.part-TAG, and
    # with --rings on other machines .NAME.sg.rings-TAG.
    pending = {s.name for s in todo}
    for entry in os.listdir(outdir):
        for kind in (".tif.part-", ".sg.rings-"):
            name, mark, tag = entry[1:].rpartition(kind)
            if entry.startswith(".") and mark and name in pending and "." not in tag:
                os.remove(os.path.join(outdir, entry))

    values = Values(outdir, suffix)
    if o.logins:
        local_log = None
        resumed = o.resume and os.path.isfile(joblog) and os.path.getsize(joblog) > 0
        runner = Run(o, program, outdir, values, ("+" if resumed else "") + joblog, len(todo))
    else:
        local_log = Joblog(joblog, o.resume)
        runner = Run(o, program, outdir, values, local_log, len(todo))
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupt)
    scratch = None
    if o.scan is not None:
        if o.scratch is not None:
            os.makedirs(o.scratch, exist_ok=True)
        remove_stale_scratch(os.path.abspath(o.scratch or outdir))
    try:
        if o.scan is None and not o.logins:
            runner.local(todo)
        elif o.scan is None:
            runner.parallel([s.source for s in todo], todo, False)
        elif not o.logins:
            runner.streamed(bands_of(todo, stack[0].source, o.band), prjsino)
        else:
            scratch = tempfile.mkdtemp(prefix=".prjsino.%s." % runner.tag, dir=os.path.abspath(o.scratch or outdir))
            runner.scratch(bands_of(todo, stack[0].source, o.band), prjsino, scratch)
    except KeyboardInterrupt:
        runner.stop()
    finally:
        if scratch is not None:
            shutil.rmtree(scratch, ignore_errors=True)
        if runner.bar is not None:
            runner.bar.close()
        values.close()
        if local_log is not None:
            local_log.file.close()
        # Temporaries of slices that did not finish.
        for s in todo:
            for path in (runner.temporary(s.name), os.path.join(outdir, ".%s.sg.rings-%s" % (s.name, runner.tag))):
                if os.path.lexists(path):
                    os.remove(path)

    missing = [s for s in part if not os.path.isfile(os.path.join(outdir, s.name + ".tif"))]
    written = write_csv(csv, "row" if o.scan is not None else "sinogram", part, missing, values)
    if missing:
        summary(part, missing, runner, joblog)
        return 1
    if runner.interrupted:
        say("interrupted, after every slice was done")
        return 1
    if runner.status != 0:
        say("GNU parallel ended with status %d" % runner.status)
        return 1
    if not written:
        return 1
    say("%d slices done; ranges in %s" % (len(part), csv))
    return 0


def auto_axis(o, stack, prjsino, prjaxis):
    """r0/dr "auto": the axis estimated on rows spread over the whole stack
    (the same rows whatever the part), a straight line fitted through them,
    and every slice given the line's value at its row (a scan's detector
    row, else the sinogram's place in the stack). False, after saying why,
    when no row determines the axis or a row cannot be imported."""
    if o.scan is not None:
        rows = [s.source for s in stack]
        estimate = lambda row: _scan.imported_axis(prjsino, prjaxis, o.importer, o.scan, row)
        label = lambda row: "row %d" % row
    else:
        rows = list(range(len(stack)))
        estimate = lambda index: file_axis(o, prjaxis, stack[index].source)
        label = lambda index: stack[index].source
    try:
        fit = _scan.axis_line(rows, estimate, say, say, label)
    except ReconstructionError as error:  # a row prjsino cannot import, or prjaxis failing outright
        sys.stderr.write(error.message + "\n")
        return False
    except ValueError as error:
        say("%s; give r0/dr" % error)
        return False
    for slice, row in zip(stack, rows):
        slice.r0 = repr(fit.at(row))
    return True


def file_axis(o, prjaxis, path):
    """sinogram_axis of a sinogram file, after prjrings with --rings (the
    sinogram its slice is made from)."""
    if not o.prjrings:
        return _scan.sinogram_axis(prjaxis, path)
    code, samples, errors = _scan.collect(o.prjrings, ["./" + path if path.startswith("-") else path, "-"])
    lines = [line for line in errors.splitlines() if line.strip()]
    if code != 0:
        return None, lines[-1] if lines else "prjrings: exit status %d" % code, []
    return _scan.sinogram_axis(prjaxis, samples=samples)


def write_csv(csv, first, part, missing, values):
    """The CSV: every finished slice of the part, in stack order, with its
    value line; written under a temporary name, then renamed. False when it
    cannot be written."""
    rows, unfinished = ["%s,image,min,max" % first], {s.name for s in missing}
    for s in part:
        if s.name not in unfinished:
            low, _, high = values.lines.get(s.name + ".tif", "").partition("\t")
            rows.append(",".join(field(text) for text in (str(s.source), s.image, low, high)))
    temporary = os.path.join(os.path.dirname(csv), ".%s.%d.part" % (os.path.basename(csv), os.getpid()))
    try:
        with open(temporary, "wb") as f:
            f.write(os.fsencode("\n".join(rows) + "\n"))
        os.replace(temporary, csv)
    except OSError:
        if os.path.lexists(temporary):
            os.remove(temporary)
        say("cannot write %s" % csv)
        return False
    return True


def summary(part, missing, runner, joblog):
    """Every slice of the part that has no image, with why."""
    say("%d of %d slices %s:" % (len(missing), len(part), "not finished" if runner.interrupted else "failed"))
    for s in missing:
        if s.name in runner.failures:
            reason = runner.failures[s.name]
        elif runner.interrupted:
            reason = "not reconstructed (interrupted)"
        else:
            reason = "not reconstructed (see %s)" % joblog
        sys.stderr.write("  %s: %s\n" % (s.shown, reason))
    if runner.interrupted:
        say("interrupted; run again with --resume to finish")


def interrupt(number, frame):
    """SIGTERM and SIGHUP end a run as Ctrl-C does."""
    raise KeyboardInterrupt


if __name__ == "__main__":
    sys.exit(main())
