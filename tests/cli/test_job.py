"""python -m zolvin pupil as a user runs it: in a child process, in a folder of its own."""
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import zolvin
from helpers import same_bits
from zolvin import pupils
from zolvin.cli import main
from zolvin.cli.pupil import telescope_grid


def entry_point(name):
    """The command: ``python -m zolvin`` or the installed ``zolvin`` script."""
    if name == "module":
        return [sys.executable, "-m", "zolvin"]
    script = Path(sys.executable).parent / "zolvin"
    if not script.exists():
        pytest.skip("the package is not installed with its scripts here")
    return [str(script)]


def job(cwd, *args, wait=True, entry="module"):
    cmd = [*entry_point(entry), "pupil", "-q", *args]
    if not wait:
        return subprocess.Popen(cmd, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    return subprocess.run(cmd, cwd=cwd, capture_output=True, text=True, timeout=300, check=False)


def job_here(capsys, *args):
    """The job in this process (in the current folder): exit status, stderr."""
    capsys.readouterr()
    status = main(["pupil", "-q", *args])
    return status, capsys.readouterr().err


def listing(folder):
    """Every path below folder with its bytes, hidden files included."""
    out = {}
    for root, _, files in os.walk(folder):
        for name in files:
            path = os.path.join(root, name)
            with open(path, "rb") as f:
                out[os.path.relpath(path, folder)] = f.read()
    return out


def make_folder(tmp_path):
    (tmp_path / "dir.png").mkdir()
    (tmp_path / "plain.zarr").mkdir()
    (tmp_path / "plain.zarr" / "keep.txt").write_text("mine")
    (tmp_path / "a-file").write_text("not a folder")


@pytest.mark.parametrize("args, words", [
    (["--size", "10000000000", "-o", "x.zarr"], "--size"),
    (["--size", "200000", "-o", "x.png"], "memory"),
    (["--size", "0", "-o", "x.png"], "--size"),
    (["--strut-width", "5", "-o", "x.png"], "--strut-width"),
    (["--strut-width", "-1", "-o", "x.png"], "strut_width"),
    (["--chord-error", "1e-300", "--method", "mesh", "-o", "x.png"], "--chord-error"),
    (["--chord-error", "1e-9", "--size", "512", "--method", "mesh", "-o", "x.png"], "chord_error"),
    (["--shear", "nan", "-o", "x.png"], "--shear"),
    (["--shear", "inf", "-o", "x.npy"], "--shear"),
    (["--obscuration", "nan", "-o", "x.png"], "--obscuration"),
    (["--struts", "100000000", "-o", "x.png"], "--struts"),
    (["-o", "missing/x.png"], "missing"),
    (["-o", "a-file/x.png"], "a-file"),
    (["-o", "dir.png"], "directory"),
    (["-o", "plain.zarr"], "not a zarr store"),
    (["--force", "-o", "plain.zarr"], "not a zarr store"),
    (["-o", "x.tif"], "x.tif"),
    (["--struts", "7", "--strut-width", "3", "-o", "x.npy"], "--strut-width 3 leaves no open"),
    (["--obscuration", "0.9999999999999999", "-o", "x.npy"], "--obscuration 0.9999999999999999 "
                                                              "leaves no open area"),
    (["--obscuration", "5", "-o", "x.npy"], "obscuration"),
    (["--size", "70000000", "-o", "x.zarr"], "--size must be from 1 to 67108864"),
    (["--size", "3000", "--chunk", "1", "-o", "x.zarr"], "--chunk 1 cut the grid"),
    (["--size", "67108864", "-o", "x.zarr"], "--chunk 2048 cut the grid"),
    (["--chord-error", "0.1", "-o", "x.npy"], "--chord-error applies to --method mesh only"),
    *[(["--telescope", "elt", *more, "-o", "x.npy"], words) for more, words in [
        (["--shear", "1e200"], "--shear 1e+200 is too large"),
        (["--shear", "1e308"], "--shear 1e+308 is too large"),
        (["--shear", "-1e300"], "--shear -1e+300 is too large"),
        (["--method", "mesh"], "--method does not apply to --telescope elt"),
        (["--method", "exact"], "--method does not apply"),
        (["--obscuration", "5"], "--obscuration does not apply"),
        (["--struts", "7", "--strut-width", "3"], "--struts, --strut-width do not apply"),
        (["--chord-error", "0.1"], "--chord-error does not apply"),
        (["--size", "70000000"], "--size must be from 1 to 67108864"),
    ]],
    (["--shear", "1e300", "-o", "x.npy"], "--shear 1e+300 is too large"),
])
def test_user_errors_are_one_line_and_write_nothing(tmp_path, monkeypatch, capsys, args, words):
    make_folder(tmp_path)
    monkeypatch.chdir(tmp_path)
    before = listing(tmp_path)
    status, err = job_here(capsys, "--size", "32", *args)
    assert status == 2
    assert err.count("\n") == 1 and err.startswith("error: ") and words in err, err
    assert listing(tmp_path) == before and sorted(os.listdir(tmp_path)) == sorted(
        ["dir.png", "plain.zarr", "a-file"])


def test_user_error_exit_status_of_the_command(tmp_path):
    run = job(tmp_path, "--shear", "nan", "-o", "x.png")
    assert (run.returncode, run.stderr) == (2, "error: --shear must be finite, not nan\n")
    assert not os.listdir(tmp_path)


@pytest.mark.parametrize("name", ["p.png", "p.npy", "p.zarr"])
def test_existing_output_is_replaced_only_with_force(tmp_path, monkeypatch, capsys, name):
    monkeypatch.chdir(tmp_path)
    assert job_here(capsys, "--size", "24", "--chunk", "8", "-o", name)[0] == 0
    first = listing(tmp_path)
    status, err = job_here(capsys, "--size", "30", "--chunk", "8", "-o", name)
    assert status == 2 and "--force" in err
    assert listing(tmp_path) == first
    assert job_here(capsys, "--size", "30", "--chunk", "8", "--force", "-o", name)[0] == 0
    assert listing(tmp_path) != first
    assert sorted(os.listdir(tmp_path)) == [name]  # no temporary left beside it
    if name.endswith(".npy"):
        assert np.load(tmp_path / name).shape == (30, 30)


def wait_for_chunks(proc, folder, count):
    """Waits until a temporary zarr store in folder holds count chunks."""
    deadline = time.monotonic() + 120
    while time.monotonic() < deadline:
        assert proc.poll() is None, "the job ended before it could be interrupted"
        for entry in os.listdir(folder):
            if ".partial-" in entry:
                chunks = sum(len(f) for _, _, f in os.walk(folder / entry))
                if chunks >= count:
                    return
        time.sleep(0.02)
    pytest.fail("no chunks were written")


@pytest.mark.slow
@pytest.mark.parametrize("sig, old, entry", [
    (signal.SIGKILL, False, "module"), (signal.SIGKILL, True, "module"),
    (signal.SIGTERM, True, "module"), (signal.SIGTERM, False, "module"),
    (signal.SIGTERM, True, "script"), (signal.SIGTERM, False, "script")])
def test_interrupted_job_leaves_nothing_or_the_old_store(tmp_path, old, sig, entry):
    if old:
        assert job(tmp_path, "--size", "20", "--chunk", "8", "-o", "p.zarr").returncode == 0
    before = listing(tmp_path / "p.zarr") if old else None
    # About a thousand chunks, a few milliseconds each.
    proc = job(tmp_path, "--size", "1024", "--chunk", "32", "--threads", "1", "--method", "mesh",
               "--force", "-o", "p.zarr", wait=False, entry=entry)
    try:
        wait_for_chunks(proc, tmp_path, 5)
        proc.send_signal(sig)
        status = proc.wait(timeout=60)
    finally:
        proc.kill()
        proc.wait()
    assert status == (128 + signal.SIGTERM if sig == signal.SIGTERM else -sig)
    if old:
        assert listing(tmp_path / "p.zarr") == before
    else:
        assert not (tmp_path / "p.zarr").exists()
    if sig == signal.SIGTERM:  # unwinds: the temporary store goes too
        assert sorted(os.listdir(tmp_path)) == (["p.zarr"] if old else [])


def test_unwritable_folder_is_refused(tmp_path, monkeypatch, capsys):
    # Root writes anywhere: the folder's permission is what the job asks for.
    import zolvin.cli.files as output
    monkeypatch.setattr(output.os, "access", lambda path, mode: False)
    monkeypatch.chdir(tmp_path)
    status, err = job_here(capsys, "--size", "16", "-o", "x.png")
    assert status == 2 and "not writable" in err and not os.listdir(tmp_path)


def test_forced_store_is_swapped_whole(tmp_path, monkeypatch, capsys):
    # With and without the one-step exchange, the new store replaces the old
    # one and nothing else is left beside it.
    import zolvin.cli.files as output
    monkeypatch.chdir(tmp_path)
    assert job_here(capsys, "--size", "20", "--chunk", "8", "-o", "p.zarr")[0] == 0
    for exchange in (output._exchange, lambda a, b: False):
        monkeypatch.setattr(output, "_exchange", exchange)
        before = listing(tmp_path)
        assert job_here(capsys, "--size", "24", "--chunk", "8", "--force", "-o", "p.zarr")[0] == 0
        assert listing(tmp_path) != before and os.listdir(tmp_path) == ["p.zarr"]
        import zarr
        assert zarr.open_array(tmp_path / "p.zarr", mode="r").shape == (24, 24)
        job_here(capsys, "--size", "20", "--chunk", "8", "--force", "-o", "p.zarr")


def test_job_draws_named_pupils(tmp_path, capsys):
    assert main(["pupil", "--list"]) == 0
    listed = capsys.readouterr().out
    assert all(name in listed for name in pupils.PRESETS)
    # One whole summary per preset, not a summary cut where its line wrapped.
    assert all(line.endswith(".") for line in listed.splitlines())
    grid = telescope_grid(pupils.keck(), 40, 0.2)
    want = zolvin.aperture_coverage(grid, pupils.keck())
    for name in ("k.npy", "k.zarr"):  # in memory, and chunk by chunk through dask
        out = tmp_path / name
        args = ["pupil", "--telescope", "keck", "--size", "40", "--shear", "0.2", "-q"]
        assert main([*args, "--chunk", "16", "-o", str(out)]) == 0
        got = np.load(out) if name.endswith(".npy") else __import__("zarr").open_array(out)[:]
        assert same_bits(got, want)
    with pytest.raises(SystemExit) as e:
        main(["pupil", "--telescope", "hale", "-o", str(tmp_path / "h.npy")])
    assert e.value.code == 2


def test_main_called_from_python_unwinds_on_sigterm(tmp_path, monkeypatch):
    def terminated(img, path):  # SIGTERM arrives while the output is written
        path.write_bytes(b"half")
        os.kill(os.getpid(), signal.SIGTERM)
        time.sleep(5)

    monkeypatch.setattr("zolvin.cli.pupil.save", terminated)
    mine = lambda signum, frame: None  # noqa: E731
    before = signal.signal(signal.SIGTERM, mine)
    try:
        with pytest.raises(SystemExit) as e:
            main(["pupil", "-q", "--size", "16", "-o", str(tmp_path / "p.npy")])
        assert e.value.code == 128 + signal.SIGTERM
        assert not os.listdir(tmp_path)  # the temporary went with it
        assert signal.getsignal(signal.SIGTERM) is mine  # the caller's handler is back
        assert main(["pupil", "--list"]) == 0 and signal.getsignal(signal.SIGTERM) is mine
    finally:
        signal.signal(signal.SIGTERM, before)


STOPPED_RUN = """
import os, signal, sys, threading, time
import dask.array as da
import numpy as np
from pathlib import Path
from zolvin.cli.files import replacing
from zolvin.cli.formats import store

first = threading.Lock()

def stopped(block):  # the run is stopped while the first chunk is computed
    if first.acquire(blocking=False):
        os.kill(os.getpid(), signal.SIGTERM)
    time.sleep(0.5)
    return block

def terminate(signum, frame):
    raise SystemExit(128 + signum)

signal.signal(signal.SIGTERM, terminate)
arr = da.ones((8, 8), chunks=4).map_blocks(stopped, dtype=np.float64, meta=np.empty((0, 0)))
with replacing(Path(sys.argv[1]), False) as tmp:
    store(arr, tmp, threads=2, quiet=True)
"""


@pytest.mark.slow
@pytest.mark.parametrize("suffix", [".zarr", ".npy"])
def test_a_stopped_run_ends_and_leaves_nothing(tmp_path, suffix):
    # A child process: a run whose chunks outlive it could hang at exit.
    run = subprocess.run([sys.executable, "-c", STOPPED_RUN, str(tmp_path / f"p{suffix}")],
                         capture_output=True, text=True, timeout=60, check=False)
    assert run.returncode == 128 + signal.SIGTERM, run.stderr
    assert not os.listdir(tmp_path)
