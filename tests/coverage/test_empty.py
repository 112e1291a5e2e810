"""Zero pixels return at once, however many rows (or columns) the empty grid
claims. The calls run in a child interpreter under a time limit, so that a
hang fails the test instead of stalling the suite."""
import json
import subprocess
import sys

import pytest

CHILD = """
import json, sys, time
import numpy as np
import zolvin, zolvin.dask
E = ((0.0, 0.0), (0.0, 1.0))
G = eval(sys.argv[1])
for call in json.loads(sys.argv[2]):
    print(call, flush=True)
    t = time.perf_counter()
    r = eval(call)
    seconds = time.perf_counter() - t
    print(json.dumps([tuple(r.shape) == G.shape, seconds]), flush=True)
"""

CALLS = [
    "zolvin.enclosed_circle(G, (0, 0), 1.0)",
    "zolvin.enclosed_circle(G, (0, 0), 1.0, out=np.empty(G.shape), n_threads=4)",
    "zolvin.enclosed_strut(G, 2.0, E, ((0.5, 0.0), (0.0, 1.0)))",
    "zolvin.pixel_frac(G, (0.5, 0.0), (0.0, 1.0))",
    "zolvin.pixel_frac(G, np.zeros(G.shape + (2,)), (0.0, 1.0))",
    "G.pixels()",
    "zolvin.pupil(G, 1.0, obscuration=0.3, struts=(0.5, 2.0), strut_width=0.1)",
    "zolvin.pupil(G, 1.0, obscuration=0.3, struts=(0.5, 2.0), strut_width=0.1, method='mesh')",
    "zolvin.dask.enclosed_circle(G, (0, 0), 1.0).compute()",
    "zolvin.dask.pixel_frac(G, (0, 0), (0, 1), chunks=3).compute()",
    "zolvin.dask.pupil(G, 1.0, chunks=(5, -1), method='mesh').compute()",
    "zolvin.aperture_coverage(G, zolvin.pupils.keck())",
    "zolvin.polygon_coverage(G, [(0, 0), (1, 0), (0, 1)])",
    "zolvin.polygon_coverage(G, [(0, 0), (1, 0), (0, 1)], fill='evenodd', n_threads=3)",
    "zolvin.region_coverage(G, zolvin.shapes.compile.region(zolvin.shapes.Disc((0, 0), 1.0)))",
    "zolvin.dask.polygon_coverage(G, [(0, 0), (1, 0), (0, 1)]).compute()",
    "zolvin.dask.aperture_coverage(G, zolvin.pupils.keck()).compute()",
]

GRIDS = ["zolvin.Grid((10**8, 0))", "zolvin.Grid((2**53, 0))", "zolvin.Grid((0, 2**53))",
         "zolvin.Grid((2**53 - 5, 0), row0=4)"]


@pytest.mark.parametrize("grid", GRIDS)
def test_empty_grids_return_at_once(grid):
    seconds = 60
    try:
        run = subprocess.run([sys.executable, "-c", CHILD, grid, json.dumps(CALLS)],
                             capture_output=True, text=True, check=False, timeout=seconds)
    except subprocess.TimeoutExpired as e:
        last = (e.stdout or b"").decode().strip().splitlines()[-1:]
        pytest.fail(f"no answer within {seconds} s; last call {last}")
    assert run.returncode == 0, run.stderr
    lines = run.stdout.splitlines()
    for call, result in zip(lines[::2], lines[1::2]):
        same_shape, took = json.loads(result)
        assert same_shape and took < 5.0, (call, took)  # a loop over 10**8 rows took 13 s
    assert len(lines) == 2 * len(CALLS)
