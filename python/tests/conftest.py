"""The programs run as a shell user runs them, the checks every test ends
with (no child process, nothing in TMPDIR or the working directory), and
stand-in programs."""

import os
import subprocess
import tempfile

import pytest

import prjslice


def need(module):
    """An optional module; missing, it skips the test, except under CI."""
    return __import__(module) if os.environ.get("CI") else pytest.importorskip(module)


def command_line(program, *args, env={}):
    """(status, stdout, stderr) of one of the programs; env adds to the
    environment, or with None removes from it."""
    env = {k: v for k, v in {**os.environ, **env}.items() if v is not None}
    run = subprocess.run([os.path.join(prjslice.bindir(), program), *map(str, args)],
                         capture_output=True, text=True, env=env)
    return run.returncode, run.stdout, run.stderr


def children():
    """The processes whose parent is this one, zombies included."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open("/proc/%s/stat" % pid) as f:
                state, parent = f.read().rpartition(")")[2].split()[:2]
        except OSError:
            continue
        if int(parent) == os.getpid():
            found.append((int(pid), state))
    return found


@pytest.fixture(autouse=True)
def nothing_left(tmp_path, monkeypatch):
    where = [tmp_path / "cwd", tmp_path / "TMPDIR"]
    for path in where:
        path.mkdir()
    monkeypatch.chdir(where[0])
    monkeypatch.setenv("TMPDIR", str(where[1]))
    monkeypatch.setattr(tempfile, "tempdir", None)
    yield
    assert children() == []
    assert [os.listdir(path) for path in where] == [[], []]


@pytest.fixture
def standin(tmp_path, monkeypatch):
    """standin(name, script): PRJSLICE_BIN points at a directory of the real
    programs, with the script in place of name (REAL in it: the real one)."""
    real, bin = prjslice.bindir(), tmp_path / "bin"
    bin.mkdir()
    for name in ("prjslice", "prjslice-fixed", "prjaxis", "prjsino", "prjphantom"):
        (bin / name).symlink_to(os.path.join(real, name))
    monkeypatch.setenv("PRJSLICE_BIN", str(bin))

    def make(name, script):
        (bin / name).unlink()
        (bin / name).write_text(script.replace("REAL", os.path.join(real, name)))
        (bin / name).chmod(0o755)

    return make
