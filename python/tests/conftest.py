"""Shared pieces of the package's tests: the programs run as a user runs
them, the process-table and TMPDIR checks every test ends with, and stand-in
programs."""

import os
import subprocess
import tempfile

import pytest

import prjslice


def need(module):
    """Imports an optional module; a missing one skips the test, except
    under CI, where it fails."""
    if os.environ.get("CI"):
        return __import__(module)
    return pytest.importorskip(module)


def tool(name):
    return os.path.join(prjslice.bindir(), name)


def command_line(program, *args, env=None):
    """Runs one of the programs as a shell user does; (status, stdout, stderr)."""
    run = subprocess.run([tool(program), *map(str, args)], capture_output=True, text=True,
                         env=None if env is None else {**os.environ, **env})
    return run.returncode, run.stdout, run.stderr


def children():
    """The processes whose parent is this one (zombies included), from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rpartition(")")[2].split()
        except (OSError, ValueError):
            continue
        if int(fields[1]) == os.getpid():
            found.append((int(entry), fields[0]))
    return found


@pytest.fixture(autouse=True)
def nothing_left(tmp_path, monkeypatch):
    """Every test runs in an empty directory with an empty TMPDIR, and must
    leave both empty and no child process behind."""
    where = {name: tmp_path / name for name in ("cwd", "TMPDIR")}
    for path in where.values():
        path.mkdir()
    monkeypatch.chdir(where["cwd"])
    monkeypatch.setenv("TMPDIR", str(where["TMPDIR"]))
    monkeypatch.setattr(tempfile, "tempdir", None)
    yield
    assert children() == []
    for name, path in where.items():
        assert os.listdir(path) == [], name


@pytest.fixture
def standin(tmp_path, monkeypatch):
    """standin(name, script): a directory holding the real programs and, in
    place of name, the script given (REAL in it names the real program);
    PRJSLICE_BIN points at it."""
    real = prjslice.bindir()
    bin = tmp_path / "bin"
    bin.mkdir()
    for name in ("prjslice", "prjslice-fixed", "prjaxis"):
        (bin / name).symlink_to(os.path.join(real, name))

    def make(name, script):
        (bin / name).unlink()
        (bin / name).write_text(script.replace("REAL", os.path.join(real, name)))
        (bin / name).chmod(0o755)
        monkeypatch.setenv("PRJSLICE_BIN", str(bin))

    return make
