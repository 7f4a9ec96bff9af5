"""prjstack, the batch runner, on a small stack of phantom sinograms:

- every slice byte-identical to a single prjslice run, its CSV row equal to
  that run's value line, in natural order;
- bad sinograms in the middle reported by name with their own message, the
  others finished, exit status 1, nothing left under the bad slices' names;
- --resume runs exactly the unfinished slices, and nothing when all are done;
- a run stopped or killed mid-slice leaves no image under a final name, and
  --resume then finishes the stack;
- --part I/P cuts the stack into parts that cover it exactly once;
- remote machines through GNU parallel's ssh logins (ssh replaced by a
  stand-in that runs the job here in a clean environment), BPF_RANGE passed on;
- lists, another program, awkward file names (and their CSV fields); a
  clash of slice names;
- -j and -g; the messages for a slice killed by a signal, for usage errors, and
  for -S without GNU parallel (which nothing else needs).
"""

import os
import shlex
import shutil
import signal
import subprocess
import time

import numpy as np
import pytest

import prjslice
from prjslice._axis_fit import fit_axis_line
from conftest import command_line

PRJSTACK = os.environ.get("PRJSTACK") or os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                                       "programs", "prjstack", "prjstack")

# Geometry shared by the whole stack: 48 bins, 36 projections, axis off the
# detector centre, a detector interval other than 1, a start angle.
N, M, DR, R0, RA = 48, 36, "0.5", "-23.25", "12.5"
GEOMETRY = (DR, R0, RA)


def need_parallel():
    """GNU parallel, for -S: missing, it skips the test, except under CI."""
    if not shutil.which("parallel"):
        if os.environ.get("CI"):
            pytest.fail("GNU parallel is not installed")
        pytest.skip("GNU parallel is not installed")


def prjstack(*args, env={}, input=None):
    """(status, stdout, stderr) of one run, here."""
    env = {k: v for k, v in {**os.environ, **env}.items() if v is not None}
    run = subprocess.run([PRJSTACK, *map(str, args)], capture_output=True, text=True, env=env, input=input)
    return run.returncode, run.stdout, run.stderr


def program(name):
    return os.path.join(prjslice.bindir(), name)


def sinogram(path, shift, angle):
    status, _, err = command_line("prjphantom", "--ellipse", "%d,-3,14,9,%d,1" % (shift, angle),
                                  "--ellipse", "-6,5,4,6,0,0.5", N, M, RA, DR, R0, path)
    assert status == 0, err


def single(sg, tif, name="prjslice", env={}):
    """A single run's value line as "min,max", its image at tif."""
    status, out, err = command_line(name, sg, *GEOMETRY, tif, env=env)
    assert status == 0, err
    return out.strip().replace("\t", ",")


def same_as_single(outdir, sinograms, name="prjslice", env={}):
    for sg in sinograms:
        image = os.path.join(outdir, os.path.basename(sg).rsplit(".", 1)[0] + ".tif")
        single(sg, "ref.tif", name, env)
        with open("ref.tif", "rb") as a, open(image, "rb") as b:
            assert a.read() == b.read(), image
        os.remove("ref.tif")


def jobs(log, column=8):
    """The job log's rows: the command's sinogram (column 8), or another column."""
    with open(log) as f:
        rows = [line.rstrip("\n").split("\t") for line in f][1:]
    return [shlex.split(row[8])[1] if column == 8 else row[column] for row in rows]


def temporaries(outdir):
    return [f for f in os.listdir(outdir) if ".tif.part-" in f]


@pytest.fixture
def stack(tmp_path, monkeypatch):
    """A directory of 11 sinograms in a working directory of their own."""
    work = tmp_path / "work"
    (work / "stack").mkdir(parents=True)
    monkeypatch.chdir(work)
    for k in range(1, 12):
        sinogram("stack/slice_%d.sg" % k, k - 6, 15 * k)
    return ["stack/slice_%d.sg" % k for k in range(1, 12)]


def standin(name, script):
    with open(name, "w") as f:
        f.write(script)
    os.chmod(name, 0o755)
    return os.path.abspath(name)


def test_bad_slices_resume_and_finished_stack(stack):
    with open("stack/slice_1.sg", "rb") as f:
        cut = f.read(2000)
    with open("stack/slice_5.sg", "wb") as f:
        f.write(cut)                                 # samples cut short
    with open("stack/slice_7.sg", "w") as f:
        f.write("no size here\n")                    # no header
    with open("stack/notes.txt", "w") as f:
        f.write("not a sinogram\n")                  # not matched by *.sg
    good = [sg for sg in stack if sg not in ("stack/slice_5.sg", "stack/slice_7.sg")]

    status, out, err = prjstack("-j", 2, "--no-bar", "-p", program("prjslice"), *GEOMETRY, "out", "stack")
    assert (status, out) == (1, "")
    assert "prjstack: 2 of 11 slices failed:\n  stack/slice_5.sg: sinogram read error\n" \
           "  stack/slice_7.sg: bad sinogram size.\n" in err
    assert not os.path.exists("out/slice_5.tif") and not os.path.exists("out/slice_7.tif")
    assert temporaries("out") == []
    same_as_single("out", good)
    assert sorted(jobs("out/prjstack.log")) == sorted(stack)
    expected = ["sinogram,image,min,max"] + ["%s,out/%s.tif,%s" % (sg, sg[6:-3], single(sg, "x.tif")) for sg in good]
    os.remove("x.tif")
    assert open("out/ranges.csv").read() == "\n".join(expected) + "\n"

    # --resume: exactly the two unfinished slices, the finished untouched.
    sinogram("stack/slice_5.sg", -1, 75)
    sinogram("stack/slice_7.sg", 1, 105)
    before = {f: os.stat("out/" + f) for f in os.listdir("out") if f.endswith(".tif")}
    status, _, err = prjstack("-j", 2, "--no-bar", "--resume", "-p", program("prjslice"), *GEOMETRY, "out", "stack")
    assert status == 0, err
    assert sorted(jobs("out/prjstack.log")[11:]) == ["stack/slice_5.sg", "stack/slice_7.sg"]
    assert len(before) == 9
    assert all((os.stat("out/" + f).st_ino, os.stat("out/" + f).st_mtime_ns) == (s.st_ino, s.st_mtime_ns)
               for f, s in before.items())
    same_as_single("out", ["stack/slice_5.sg", "stack/slice_7.sg"])
    csv = open("out/ranges.csv").read().splitlines()
    assert len(csv) == 12 and csv[5] == "stack/slice_5.sg,out/slice_5.tif,%s" % single("stack/slice_5.sg", "x.tif")
    assert csv[1:5] == expected[1:5]   # values of the first run's slices, kept for later runs
    os.remove("x.tif")

    # --resume on a finished stack runs nothing.
    log = open("out/prjstack.log").read()
    status, _, err = prjstack("--no-bar", "--resume", "-p", program("prjslice"), *GEOMETRY, "out", "stack")
    assert status == 0 and "11 already done, 0 to reconstruct" in err
    assert open("out/prjstack.log").read() == log


def descendants(pid):
    """pid and the processes below it."""
    parents = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % entry) as f:
                parents[int(entry)] = int(f.read().rpartition(")")[2].split()[1])
        except OSError:
            continue
    found, more = [pid], [pid]
    while more:
        more = [p for p, parent in parents.items() if parent in more]
        found += more
    return found


# A reconstructor that writes the start of an image and hangs.
SLOW = "#!/bin/sh\nprintf 'II*\\000partial' >\"$5\"\nexec sleep 60\n"


@pytest.mark.parametrize("how", ["TERM to prjstack", "HUP to prjstack", "KILL to all"])
def test_stopped_run(stack, how):
    """Stopped once two slices are being written: a signal to prjstack alone
    (a terminal's hang-up, a kill) ends its children; a kill of every
    process (a batch system's) leaves no image under a final name, and
    --resume then finishes the stack."""
    slow = standin("slow", SLOW)
    run = subprocess.Popen([PRJSTACK, "-j", "2", "--no-bar", "-p", slow, *GEOMETRY, "cut", "stack"],
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 20
    while (not os.path.isdir("cut") or len(temporaries("cut")) < 2) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert len(temporaries("cut")) == 2
    if how == "KILL to all":
        for pid in descendants(run.pid):
            os.kill(pid, signal.SIGKILL)
    else:
        run.send_signal(signal.SIGTERM if how.startswith("TERM") else signal.SIGHUP)
    err = run.communicate(timeout=20)[1]
    assert run.returncode != 0
    assert [f for f in os.listdir("cut") if f.endswith(".tif")] == []
    if how == "KILL to all":
        status, _, err = prjstack("-j", 2, "--no-bar", "--resume", "-p", program("prjslice"), *GEOMETRY, "cut",
                                  "stack")
        assert status == 0, err
        same_as_single("cut", stack)
    else:
        assert "prjstack: 11 of 11 slices not finished:\n  stack/slice_1.sg: not reconstructed (interrupted)\n" in err
        assert err.endswith("prjstack: interrupted; run again with --resume to finish\n")
    assert temporaries("cut") == []


def test_parts_cover_the_stack_once(stack):
    for p in (1, 2, 3):
        status, _, err = prjstack("--no-bar", "--part", "%d/3" % p, "-p", program("prjslice"), *GEOMETRY, "parts",
                                  "stack")
        assert status == 0, err
    csv = open("parts/ranges.2-of-3.csv").read().splitlines()
    assert [row.split(",")[0] for row in csv[1:]] == ["stack/slice_%d.sg" % k for k in (4, 5, 6, 7)]
    ran = [sg for p in (1, 2, 3) for sg in jobs("parts/prjstack.%d-of-3.log" % p)]
    assert sorted(ran) == sorted(stack)
    # The whole stack's CSV afterwards, from the values the parts kept.
    status, _, err = prjstack("--no-bar", "--resume", "-p", program("prjslice"), *GEOMETRY, "parts", "stack")
    assert status == 0 and "11 already done" in err
    assert open("parts/ranges.csv").read().splitlines()[4:8] == csv[1:]


# Stands in for ssh: drops the options and the host and runs the command here
# in the environment of a fresh login, so that only what GNU parallel carries
# over reaches the job.
FAKESSH = """#!/bin/sh
while [ $# -gt 0 ]; do case $1 in -*) shift ;; *) break ;; esac; done
shift
[ "$1" = "--" ] && shift
exec env -i HOME="$HOME" PATH=/usr/bin:/bin SHELL=/bin/sh sh -c "$*"
"""


def test_other_machines(stack):
    need_parallel()
    env = {"PARALLEL_SSH": standin("fakessh", FAKESSH), "BPF_RANGE": "0:0.25"}
    status, _, err = prjstack("--no-bar", "-S", "1/nodeA", "-S", "1/nodeB", "-p", program("prjslice"), *GEOMETRY,
                              "remote", "stack", env=env)
    assert status == 0, err
    assert sorted(set(jobs("remote/prjstack.log", 1))) == ["nodeA", "nodeB"]
    same_as_single("remote", stack, env={"BPF_RANGE": "0:0.25"})
    assert len(open("remote/ranges.csv").read().splitlines()) == 12 and temporaries("remote") == []


def test_lists_another_program_and_awkward_names(stack):
    names = ["-dash.sg", "odd name 'q'.sg", "a,b.sg", 'say "hi".sg']
    for k, name in enumerate(names):
        shutil.copy("stack/slice_%d.sg" % (k + 3), name)
    status, _, err = prjstack("--no-bar", "-l", "-", "-p", program("prjslice-fixed"), *GEOMETRY, "odd",
                              input="\n".join(names) + "\n")
    assert status == 0, err
    same_as_single("odd", ["./-dash.sg"] + names[1:], "prjslice-fixed")
    # A field holding a comma or a double quote is quoted, its quotes doubled.
    values = [single(path, "x.tif", "prjslice-fixed") for path in ["./-dash.sg"] + names[1:]]
    os.remove("x.tif")
    assert open("odd/ranges.csv").read() == "sinogram,image,min,max\n" \
        "-dash.sg,odd/-dash.tif,%s\n" \
        "odd name 'q'.sg,odd/odd name 'q'.tif,%s\n" \
        '"a,b.sg","odd/a,b.tif",%s\n' \
        '"say ""hi"".sg","odd/say ""hi"".tif",%s\n' % tuple(values)


def test_at_most_j_slices_at_once_from_the_files_of_g(stack):
    """A stand-in counts the slices running when it starts, and waits (10 s
    at most) until three have started: with -j 3 three run at once, never more."""
    os.mkdir("raws")
    for k in range(1, 7):
        shutil.copy("stack/slice_%d.sg" % k, "raws/r%d.raw" % k)
    shutil.copy("stack/slice_7.sg", "raws/s7.sg")
    os.mkdir("running")
    slots = standin("slots", """#!/bin/sh
touch "running/$$"; ls running | wc -l >>counts; echo >>started
for _ in $(seq 100); do [ $(wc -l <started) -ge 3 ] && break; sleep 0.1; done
rm "running/$$"; : >"$5"
""")
    status, _, err = prjstack("--no-bar", "-j", 3, "-g", "*.raw", "-p", slots, *GEOMETRY, "globbed", "raws")
    assert status == 0, err
    assert sorted(f for f in os.listdir("globbed") if f.endswith(".tif")) == ["r%d.tif" % k for k in range(1, 7)]
    assert max(int(n) for n in open("counts")) == 3
    for name in ("counts", "started"):
        os.remove(name)


USAGE = [
    (["--jobs", "0", *GEOMETRY, "none", "stack"], "-j takes a number of jobs (or a percentage of the cores): 0"),
    (["--part", "4/3", *GEOMETRY, "none", "stack"], "--part needs 1 <= I <= P: 4/3"),
    (["--part", "x", *GEOMETRY, "none", "stack"], "--part takes I/P: x"),
    (["--rows", "2", *GEOMETRY, "none", "stack"], "the options of prjsino need --scan"),
    (["--frobnicate", *GEOMETRY, "none", "stack"], "unknown option --frobnicate"),
    (["--scan", "s.h5", *GEOMETRY, "none"], "with --scan, expected dr r0/dr OUTDIR"),
    (["--scan", "s.h5", "-l", "x", DR, "auto", "none"], "--scan and --list exclude each other"),
    (["--scan", "s.h5", "--band", "0", DR, "auto", "none"], "--band takes a number of rows: 0"),
    ([DR, R0, "none"], "expected dr r0/dr ra OUTDIR and sinograms"),
    ([*GEOMETRY, "none"], "no sinograms given"),
    (["-p", "./nothing", *GEOMETRY, "none", "stack"], "./nothing is not an executable program"),
    (["-l", "nothing", "-p", "PRJSLICE", *GEOMETRY, "none"], "cannot read the list nothing"),
    (["-p", "PRJSLICE", *GEOMETRY, "none", "stack/.sg"], "no slice name in stack/.sg"),
    ([*GEOMETRY, "none", "--csv"], "option --csv needs a value"),
]


@pytest.mark.parametrize("args, message", USAGE)
def test_usage_errors_make_nothing(stack, args, message):
    status, out, err = prjstack(*(program("prjslice") if arg == "PRJSLICE" else arg for arg in args))
    assert (status, out, err) == (2, "", "prjstack: %s\nTry 'prjstack --help'.\n" % message)
    assert not os.path.exists("none")


def test_clash_of_slice_names(stack):
    os.mkdir("other")
    shutil.copy("stack/slice_1.sg", "other/")
    status, _, err = prjstack("--no-bar", "-p", program("prjslice"), *GEOMETRY, "clash", "stack", "other")
    assert status == 2 and "other/slice_1.sg and stack/slice_1.sg would both make clash/slice_1.tif\n" in err
    assert not os.path.exists("clash/slice_1.tif")


VANISH = "#!/bin/sh\nkill -KILL 0\n"
TERMINATED = "#!/bin/sh\nprintf '0.000000\\t0.500000\\n' >&2\nkill -TERM $$\n"


@pytest.mark.parametrize("script, remote, reason", [
    (VANISH, False, "killed by signal 9"),
    (VANISH, True, "not reconstructed (see gone/prjstack.log)"),
    (TERMINATED, False, "killed by signal 15"),
    (TERMINATED, True, "killed by signal 15"),
])
def test_a_slice_killed_by_a_signal(stack, script, remote, reason):
    """Its process group killed, its job's with it through GNU parallel
    (nothing but the job log tells), or itself after the full build's pass
    bands."""
    if remote:
        need_parallel()
    killed = standin("killed", script)
    status, _, err = prjstack("--no-bar", *(["-S", ":"] if remote else []), "-p", killed, *GEOMETRY, "gone",
                              "stack/slice_1.sg")
    assert status == 1 and "  stack/slice_1.sg: %s\n" % reason in err


def test_without_gnu_parallel(stack, tmp_path):
    """Nothing but -S needs it."""
    (tmp_path / "empty").mkdir()
    env = {"PATH": str(tmp_path / "empty")}
    status, _, err = prjstack("--no-bar", "-p", program("prjslice"), *GEOMETRY, "here", "stack/slice_2.sg", env=env)
    assert status == 0, err
    same_as_single("here", ["stack/slice_2.sg"])
    status, _, err = prjstack("--no-bar", "-S", ":", "-p", program("prjslice"), *GEOMETRY, "none", "stack", env=env)
    assert status == 2 and err.startswith("prjstack: GNU parallel is not installed\n")


def striped(path, column, offset):
    """Adds offset to one column of every projection of a sinogram file (a
    full stripe, which prjrings removes)."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.index(b"\n") + 1
    samples = np.frombuffer(data[end:], dtype="<f8").reshape(M, N).copy()
    samples[:, column] += offset
    with open(path, "wb") as f:
        f.write(data[:end] + samples.tobytes())


def piped(*commands):
    """Standard output of a pipe of programs, each checked."""
    data = b""
    for argv in commands:
        run = subprocess.run(argv, input=data, capture_output=True)
        assert run.returncode == 0, run.stderr
        data = run.stdout
    return data


# r0/dr given or "auto", --rings, other machines
FILE_MODES = [(R0, True, False), ("auto", False, False), ("auto", True, False), ("auto", True, True)]


@pytest.mark.parametrize("r0, rings, remote", FILE_MODES)
def test_auto_axis_and_rings_on_sinogram_files(stack, r0, rings, remote):
    """Each slice byte-identical to prjrings SG - | prjslice - ... by hand
    (with --rings), made with the line's r0/dr through prjaxis's estimates
    on the five spread sinograms 1, 3, 6, 9 and 11 (with auto)."""
    if remote:
        need_parallel()
    for k in (3, 6, 8):
        striped(stack[k - 1], 17 + k, 0.4)
    with open("stack/slice_9.sg", "w") as f:
        f.write("no size here\n")        # determines no axis, and fails
    options = (["-S", "1/nodeA", "-S", "1/nodeB"] if remote else []) + (["--rings"] if rings else [])
    os.mkdir("out")
    with open("out/.slice_2.sg.rings-node_x-99", "w") as f:
        f.write("left by a killed run")
    status, _, err = prjstack("--no-bar", *options, "-p", program("prjslice"), DR, r0, RA, "out", "stack",
                              env={"PARALLEL_SSH": standin("fakessh", FAKESSH)})
    assert status == 1
    filter = [program("prjrings"), "-", "-"] if rings else ["cat"]
    expected = {k: R0 for k in range(11)}
    if r0 == "auto":
        estimates = {}
        for k in (0, 2, 5, 10):
            text = piped(["cat", stack[k]], filter, [program("prjaxis"), "-"]).decode().strip()
            estimates[k] = float(text)
            assert "prjstack: %s: r0/dr %r (prjaxis)\n" % (stack[k], float(text)) in err
        assert "prjstack: stack/slice_9.sg determines no axis (%sbad sinogram size.); skipped\n" \
            % ("prjrings: " if rings else "") in err
        fit = fit_axis_line(estimates)
        assert "(a slope of %.6g bins per row, through 4 of 4 rows)" % fit.slope in err
        expected = {k: repr(fit.at(k)) for k in range(11)}
    for k, sg in enumerate(stack):
        if k == 8:
            assert ("  stack/slice_9.sg: %sbad sinogram size.\n" % ("prjrings: " if rings else "")) in err
            continue
        piped(["cat", sg], filter, [program("prjslice"), "-", DR, expected[k], RA, "ref.tif"])
        with open("out/slice_%d.tif" % (k + 1), "rb") as f, open("ref.tif", "rb") as ref:
            assert f.read() == ref.read(), sg
    assert temporaries("out") == [] and not [f for f in os.listdir("out") if ".rings-" in f]


def header_of(path):
    with open(path, "rb") as f:
        return dict(field.split("=") for field in f.readline().decode().split()[2:])


# phantom options, prjstack's options, the rows auto estimates on ("prjaxis"
# or the importer's axis=)
SCANS = [
    (["--rows", "11"], [], [0, 2, 5, 8, 10], "prjaxis"),
    (["--rows", "6", "--end-frame"], ["--rows", "3:4"], [3], "the importer's axis="),
    (["--rows", "6", "--full-turn", "--stripes", "2"], ["--rings"], [0, 1, 2, 4, 5], "the importer's axis="),
    (["--rows", "6", "--half-acquisition"], [], [0, 1, 2, 4, 5], "the importer's axis="),
]


@pytest.mark.parametrize("phantom, options, rows, source", SCANS)
def test_auto_on_a_scan_as_by_hand(tmp_path, monkeypatch, phantom, options, rows, source):
    """prjstack --scan ... auto: the estimates on rows spread over the
    stack, the line through them, and each slice byte-identical to prjsino
    (with the same options) and prjslice by hand at the line's r0/dr; full
    turns (averaged, stitched) reconstructed about the axis they were
    combined about, at the combined N."""
    monkeypatch.chdir(tmp_path)
    status, _, err = command_line("prjphantom", "--scan", "dx", *phantom, 40, 30, 0, 0.04, -17.5, "scan.h5")
    assert status == 0, err
    status, _, err = prjstack("--no-bar", "-p", program("prjslice"), "--scan", "scan.h5", *options, 0.04, "auto",
                              "out")
    assert status == 0, err
    status, _, err_sino = command_line("prjsino", *options, "scan.h5", "sg")
    assert status == 0, err_sino
    if "--rings" in options:   # the stripes are there, and removed
        assert command_line("prjsino", "scan.h5", "plain")[0] == 0
        assert open("plain/sino_0003.sg", "rb").read() != open("sg/sino_0003.sg", "rb").read()
    files = sorted(os.listdir("sg"))
    estimates = {}
    for row in rows:
        sg = "sg/sino_%04d.sg" % row
        axis = header_of(sg).get("axis")
        estimates[row] = -float(axis) if axis else float(command_line("prjaxis", sg)[1])
        assert ("prjstack: row %d: r0/dr %r (%s)\n" % (row, estimates[row], source)) in err
    assert (source == "prjaxis") == all("axis" not in header_of("sg/" + f) for f in files)
    fit = fit_axis_line(estimates)
    assert "(a slope of %.6g bins per row, through %d of %d rows)\n" % (fit.slope, len(rows), len(rows)) in err
    assert err.count("r0/dr") == len(rows) + 1
    for name in files:
        row, header = int(name[5:9]), header_of("sg/" + name)
        status, _, _ = command_line("prjslice", "sg/" + name, 0.04, repr(fit.at(row)), header["ra"], "ref.tif")
        with open("out/" + name[:-3] + ".tif", "rb") as f, open("ref.tif", "rb") as ref:
            assert status == 0 and f.read() == ref.read(), name


def test_an_import_failure_during_auto_is_prjsino_s(tmp_path, monkeypatch):
    """Rows 3 to 5 cut off a frame: auto estimates on rows 0, 1 and 2, then
    stops at row 4 with prjsino's message, and nothing is reconstructed."""
    monkeypatch.chdir(tmp_path)
    status, _, err = command_line("prjphantom", "--scan", "tiff", "--rows", "6", 40, 30, 0, 0.04, -17.5, "raw")
    assert status == 0, err
    tifffile = pytest.importorskip("tifffile")
    tifffile.imwrite("raw/proj_12.tif", tifffile.imread("raw/proj_12.tif"), photometric="minisblack",
                     rowsperstrip=1)    # the directory first, each row a strip
    with open("raw/proj_12.tif", "rb") as f:
        data = f.read()
    with open("raw/proj_12.tif", "wb") as f:
        f.write(data[:len(data) - 3 * 40 * 2])
    frames = ["--flats", "raw/flat_*.tif", "--darks", "raw/dark_*.tif", "--angles", "0:174", "raw/proj_*.tif"]
    message = command_line("prjsino", "--rows", "4", *frames, "-")[2].splitlines()[-1]
    assert message.startswith("prjsino: ") and "row 4" in message
    status, _, err = prjstack("--no-bar", "-p", program("prjslice"), *frames[:6], "--scan", frames[6], 0.04, "auto",
                              "out")
    assert status == 1
    assert [line.split(":")[1] for line in err.splitlines()[:3]] == [" row 0", " row 1", " row 2"]
    assert err.splitlines()[3:] == [message]
    assert not [f for f in os.listdir("out") if f.endswith(".tif")]
