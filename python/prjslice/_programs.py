"""Finding the programs and running them through pipes.

Every run feeds the sinogram on standard input and collects standard output
and standard error in memory: nothing is written to disk. The children of
one call are started on worker threads and killed under one lock, so that a
call that is interrupted (or fails in any other way) kills and reaps every
child it started before the exception leaves it.
"""

import os
import signal
import subprocess
import threading


class ReconstructionError(RuntimeError):
    """A run of prjslice, prjslice-fixed or prjaxis that failed.

    str(error) is the program's own message, the last line it wrote on
    standard error ("bad detector offset (unit in detector interval).");
    from reconstruct_stack it is prefixed with the failed slice.

    Attributes:
        message     the program's message alone
        returncode  its exit status (negative: ended by that signal)
        stderr      everything it wrote on standard error
        program     the path of the program that ran
        slice       the index of the failed slice (reconstruct_stack), or None
        failures    reconstruct_stack: every failed slice's error, in order
        partial     reconstruct_stack: the whole stack, each failed slice NaN
    """

    def __init__(self, message, returncode, stderr, program, slice=None):
        self.message = message
        self.returncode = returncode
        self.stderr = stderr
        self.program = program
        self.slice = slice
        self.failures = [self]
        self.partial = None
        super().__init__(message if slice is None else "slice %d: %s" % (slice, message))


def bindir():
    """The directory the programs are run from.

    PRJSLICE_BIN, when set, names it (a build directory, another prefix's
    bin); otherwise it is the bin directory of the prefix this package was
    installed into, recorded by cmake --install. PATH is not searched.
    """
    chosen = os.environ.get("PRJSLICE_BIN")
    if chosen:
        return os.path.abspath(chosen)
    try:
        from . import _install
    except ImportError:
        raise FileNotFoundError(
            "prjslice: this copy of the package is not installed, so it does not know where the "
            "programs are; set PRJSLICE_BIN to the directory that holds prjslice (a build "
            "directory or PREFIX/bin)") from None
    return os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), _install.BINDIR))


def program(name):
    """The path of one of the programs, which must exist."""
    path = os.path.join(bindir(), name)
    if not os.access(path, os.X_OK):
        raise FileNotFoundError("prjslice: %s is not an executable program (PRJSLICE_BIN=%s)"
                                % (path, os.environ.get("PRJSLICE_BIN", "unset")))
    return path


def failure(path, returncode, stderr, slice=None):
    """The ReconstructionError of a finished run that did not succeed."""
    lines = [line for line in stderr.splitlines() if line.strip()]
    if lines:
        message = lines[-1]
    elif returncode < 0:
        message = "%s ended by signal %s" % (os.path.basename(path), signal.Signals(-returncode).name)
    else:
        message = "%s failed with exit status %d" % (os.path.basename(path), returncode)
    return ReconstructionError(message, returncode, stderr, path, slice)


def _feed(writer, header, samples):
    """Writes the header and the samples into the pipe, then closes it; a
    program that ends without reading them all ends the writing."""
    try:
        for data in (memoryview(header), memoryview(samples).cast("B")):
            while data:  # a write cut short by a signal returns its count
                data = data[writer.write(data):]
    except BrokenPipeError:
        pass
    finally:
        writer.close()


class Children:
    """The child processes of one call.

    Children are started only on worker threads, never on the main thread.
    Python runs signal handlers on the main thread alone, so a Ctrl-C there
    cannot interrupt Popen between the fork and the child's registration
    (which would leave a child that nothing kills), nor land in any other gap
    of a worker's start-up. The main thread waits for its workers and, on any
    exception, calls stop: every registered child is killed and reaped, and
    no new one starts.
    """

    def __init__(self):
        self._changed = threading.Condition()
        self._live = set()
        self._stopped = False

    def run(self, path, args, header, samples, env):
        """Runs path with args, header and then the bytes of samples on its
        standard input; returns (returncode, stdout bytes, stderr text).
        Called on a worker thread."""
        with self._changed:
            if self._stopped:
                raise InterruptedError("prjslice: the call was interrupted")
            proc = subprocess.Popen([path, *args], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=env, bufsize=0)
            self._live.add(proc)
        # Threads write standard input, with blocking writes, and gather
        # standard error while this one reads standard output whole: far
        # less work than communicate's loop of small reads and writes, for
        # the megabytes of a sinogram and an image.
        writer, proc.stdin = proc.stdin, None
        errors = []
        threads = [threading.Thread(target=_feed, args=(writer, header, samples), daemon=True),
                   threading.Thread(target=lambda: errors.append(proc.stderr.read()), daemon=True)]
        try:
            with proc:
                try:
                    for thread in threads:
                        thread.start()
                    out = proc.stdout.read()
                    proc.wait()
                except BaseException:
                    proc.kill()
                    proc.wait()
                    raise
                finally:
                    for thread in threads:
                        if thread.is_alive():
                            thread.join()  # ends at once: the program has ended
                    writer.close()  # closed already, unless the feeder never started
        finally:
            with self._changed:
                self._live.discard(proc)
                self._changed.notify_all()
        return proc.returncode, out, errors[0].decode("utf-8", "replace")

    def stop(self):
        """Kills every child and waits until each is reaped; after it no new
        child starts. Another Ctrl-C meanwhile does not cut the wait short."""
        while True:
            try:
                with self._changed:
                    self._stopped = True
                    for proc in self._live:
                        proc.kill()
                    while self._live:
                        self._changed.wait()
                return
            except KeyboardInterrupt:
                continue


def on_worker(children, function, *args):
    """function(*args) run on a worker thread, which starts the children,
    while this thread waits; any exception here (a Ctrl-C) stops the
    children before it leaves, so that none outlives the call."""
    outcome = []

    def work():
        try:
            outcome.append((function(*args), None))
        except BaseException as error:  # handed to the waiting thread
            outcome.append((None, error))

    worker = threading.Thread(target=work, daemon=True)
    try:
        worker.start()
        worker.join()
    except BaseException:
        children.stop()
        raise
    result, error = outcome[0]
    if error is not None:
        raise error
    return result
