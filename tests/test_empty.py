"""Zero pixels return at once, however many rows (or columns) the empty grid
claims. Each call runs in a child interpreter under a time limit, so that a
hang fails the test instead of stalling the suite."""
import subprocess
import sys

import pytest

SETUP = """
import math, time
import numpy as np
import zolvin
E = ((0.0, 0.0), (0.0, 1.0))
"""

CALLS = [
    "zolvin.enclosed_circle(G, (0, 0), 1.0)",
    "zolvin.enclosed_circle(G, (0, 0), 1.0, out=np.empty(G.shape), n_threads=4)",
    "zolvin.enclosed_strut(G, 2.0, E, ((0.5, 0.0), (0.0, 1.0)))",
    "zolvin.pixel_frac(G, (0.5, 0.0), (0.0, 1.0))",
]

GRIDS = ["zolvin.Grid((10**8, 0))", "zolvin.Grid((2**53, 0))", "zolvin.Grid((0, 2**53))",
         "zolvin.Grid((2**53 - 5, 0), row0=4)"]


def run_child(code, seconds=30):
    try:
        run = subprocess.run([sys.executable, "-c", SETUP + code], capture_output=True,
                             text=True, check=False, timeout=seconds)
    except subprocess.TimeoutExpired:
        pytest.fail(f"no answer within {seconds} s")
    assert run.returncode == 0, run.stderr
    return run.stdout


@pytest.mark.parametrize("grid", GRIDS)
@pytest.mark.parametrize("call", CALLS)
def test_empty_grids_return_at_once(grid, call):
    out = run_child(f"G = {grid}\nt = time.perf_counter()\nr = {call}\n"
                    f"print(r.shape == G.shape, time.perf_counter() - t)")
    same_shape, seconds = out.split()
    assert same_shape == "True" and float(seconds) < 1.0
