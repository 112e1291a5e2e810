"""The pupil job at full size, and the pupil's two methods side by side.

    python bench/bench_pupil.py [SIZE] [MODERATE] [--record[=DIR]]     (defaults 32768 and 2048)

1. ``python -m zolvin pupil --size SIZE --shear 0.3 -o DIR/pupil.zarr`` in a
   child process, DIR a temporary directory removed afterwards: its time and
   its peak resident memory (the child's ru_maxrss), which must stay under 3 GB.
2. zolvin.pupil on a MODERATE^2 grid, coverage against mesh on 2 threads:
   medians and the open areas' relative differences from the exact area.
"""
import resource
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import zolvin
from common import recording, timed

LIMIT = 3e9  # bytes
THREADS = 2
TITLE = "The pupil job at 32768^2 and the pupil's older methods"


def job(size, record):
    tmp = Path(tempfile.mkdtemp(prefix="bench_pupil-"))
    try:
        cmd = [sys.executable, "-m", "zolvin", "pupil", "--size", str(size), "--shear", "0.3",
               "--threads", str(THREADS), "-q", "-o", str(tmp / "pupil.zarr")]
        t0 = time.perf_counter()
        run = subprocess.run(cmd, capture_output=True, text=True, check=True)
        seconds = time.perf_counter() - t0
        # ru_maxrss: kilobytes, the largest of the children waited for (only this one).
        peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss * 1024
        stored = sum(f.stat().st_size for f in tmp.rglob("*") if f.is_file())
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
    print(f"python -m zolvin pupil --size {size} --shear 0.3 -o pupil.zarr ({THREADS} threads)")
    relative = ""
    for line in run.stdout.splitlines():
        if line.startswith(("open area", "analytic")):
            print(f"  {line}")
        if "relative difference" in line:
            relative = line.split("relative difference")[1].strip(" )")
    record.add("job", f"`python -m zolvin pupil --size {size} --shear 0.3 -o pupil.zarr`",
               f"{size * size * 8 / 2**30:.3g} GiB of float64, {THREADS} threads",
               ("the job, wall time", seconds), unit="s",
               note=f"peak RSS {peak / 1e9:.2f} GB; open area {relative} from the exact one")
    print(f"  time {seconds:.1f} s, {size * size * 8 / 2**30:.1f} GiB of float64 "
          f"stored in {stored / 2**20:.1f} MiB")
    print(f"  peak RSS of the job {peak / 1e9:.2f} GB (limit {LIMIT / 1e9:.0f} GB)")
    assert peak < LIMIT, "the job's peak RSS is over the limit"


def methods(size, record):
    grid = zolvin.Grid.spanning(1.0, size, shear=0.3)
    area = grid.pixel_area
    kw = dict(obscuration=0.3, struts=zolvin.strut_angles(4), strut_width=0.02)
    exact = zolvin.analytic_area(1.0, **kw)
    print(f"zolvin.pupil on {size} x {size} (shear 0.3), {THREADS} threads, medians")
    for method, repeats in (("coverage", 5), ("mesh", 3)):
        t, img = timed(lambda: zolvin.pupil(grid, 1.0, method=method, n_threads=THREADS, **kw),
                       repeats)
        rel = (float(img.sum()) * area - exact) / exact
        print(f"  {method:<9} {t * 1e3:8.1f} ms  {t * 1e9 / grid.size:6.2f} ns/pixel  "
              f"open area relative difference {rel:+.2e}")
        record.add(method, f'`zolvin.pupil(method="{method}")`',
                   f"{size}^2, shear 0.3, {THREADS} threads", ("`zolvin.pupil`", t),
                   note=f"open area {rel:+.1e} from the exact one")


def main():
    record = recording(__file__, TITLE)
    size = int(sys.argv[1]) if len(sys.argv) > 1 else 32768
    moderate = int(sys.argv[2]) if len(sys.argv) > 2 else 2048
    job(size, record)
    methods(moderate, record)
    record.write()


if __name__ == "__main__":
    main()
