"""The dask forms refuse before they build a graph: chunks that would make
more windows than a graph may hold (named, with the bound), and whatever the
in-memory function refuses on the whole grid."""
import resource
import subprocess
import sys

import numpy as np
import pytest
import zolvin
import zolvin.dask as zd
from zolvin import Grid, Region
from zolvin.shapes import Disc

SQUARE = [(-2.0, -2.0), (2.0, -2.0), (2.0, 2.0), (-2.0, 2.0)]
REGION = Region([[*a, *b] for a, b in zip(SQUARE, SQUARE[1:] + SQUARE[:1])], [0] * 4, [], [],
                ["positive"], [0])
FORMS = {
    "pixel_frac": ("pixel_frac", ((0.0, 0.0), (1.0, 0.2)), {}),
    "circle": ("enclosed_circle", ((0.0, 0.0), 2.0), {}),
    "strut": ("enclosed_strut", (4.0, ((0, 0), (1, 0.2)), ((0, 1), (1, 0.2))), {}),
    "pupil": ("pupil", (3.0,), {}),
    "pupil mesh": ("pupil", (3.0,), {"method": "mesh"}),
    "pupil coverage": ("pupil", (3.0,), {"method": "coverage"}),
    "aperture": ("aperture_coverage", (Disc((0, 0), 2.0),), {}),
    "region": ("region_coverage", (REGION,), {}),
    "polygon": ("polygon_coverage", (SQUARE,), {}),
}


def chunked(form, grid, chunks, n_threads=1):
    name, args, kwargs = FORMS[form]
    return getattr(zd, name)(grid, *args, chunks=chunks, n_threads=n_threads, **kwargs)


def in_memory(form, grid, n_threads=1):
    name, args, kwargs = FORMS[form]
    return getattr(zolvin, name)(grid, *args, n_threads=n_threads, **kwargs)


@pytest.mark.parametrize("shape, chunks, tasks", [
    ((1000, 1000), 1, 1_000_000),
    ((3000, 3000), (1, -1), None),
    ((3000, 3000), {0: 1, 1: 5}, 1_800_000),
    ((200_000, 3), ((1,) * 200_000, (3,)), 200_000),
    ((2**20, 2**20), None, 2**18),
])
@pytest.mark.parametrize("form", FORMS)
def test_graphs_beyond_the_bound_are_refused(form, shape, chunks, tasks):
    grid = Grid(shape, origin=(-shape[1] / 2, -shape[0] / 2))
    if tasks is None:  # 3000 windows: within the bound
        assert chunked(form, grid, chunks).numblocks == (3000, 1)
        return
    with pytest.raises(ValueError) as caught:
        chunked(form, grid, chunks)
    message = str(caught.value)
    assert message.startswith(("chunks", "the default chunks")), message
    assert f"{tasks} chunks" in message and str(zd.MAX_TASKS) in message


CHILD = """
import resource, sys
# 2 GiB beyond what the process has mapped already (a sanitizer's shadow
# memory is mapped, not used).
with open("/proc/self/status") as f:
    size = next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize"))
resource.setrlimit(resource.RLIMIT_AS, (size + (1 << 31), resource.getrlimit(resource.RLIMIT_AS)[1]))
import zolvin, zolvin.dask as zd
from zolvin.shapes import Disc
try:
    zd.aperture_coverage(zolvin.Grid((2**24, 2**24)), Disc((0, 0), 1.0))
except ValueError as e:
    print(e)
"""


def test_a_huge_grid_is_refused_within_little_memory():
    # Building its graph would exhaust any memory: a child process, capped.
    run = subprocess.run([sys.executable, "-c", CHILD], capture_output=True, text=True,
                         timeout=120)
    assert run.returncode == 0 and "the default chunks (2048)" in run.stdout, run.stderr


BAD = {
    "nan origin": (Grid((16, 16), origin=(np.nan, 0)), {}),
    "singular": (Grid((16, 16), jac=((1, 1), (1, 1))), {}),
    "infinite jacobian": (Grid((16, 16), jac=((np.inf, 0), (0, 1))), {}),
    "no threads": (Grid((16, 16), origin=(-8, -8)), {"n_threads": 0}),
    "far origin": (Grid((16, 16), origin=(1e300, -8)), {}),
}


@pytest.mark.parametrize("bad", BAD)
@pytest.mark.parametrize("form", FORMS)
def test_refused_before_the_graph_as_in_memory(form, bad):
    grid, kw = BAD[bad]
    try:
        want = in_memory(form, grid, **kw)
    except ValueError as e:
        with pytest.raises(ValueError) as caught:
            chunked(form, grid, 4, **kw)
        assert str(caught.value) == str(e)
    else:  # taken in memory: the same bits through dask
        assert np.array_equal(chunked(form, grid, 4, **kw).compute(), want, equal_nan=True)


def test_far_shapes_are_refused_before_the_graph():
    grid = Grid((16, 16), origin=(-8, -8))
    for call, words in ((lambda: zd.aperture_coverage(grid, Disc((1e300, 0), 1.0)),
                         "shape: Disc((1e+300, 0.0), 1.0)"),
                        (lambda: zd.polygon_coverage(grid, [(0, 0), (1e300, 0), (0, 1)]),
                         "polygon: vertex (1e+300, 0.0)")):
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value).startswith(words)
    with pytest.raises(ValueError, match="vertex"):
        zolvin.polygon_coverage(grid, [(0, 0), (1e300, 0), (0, 1)])


def test_memory_stays_small_while_refusing():
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    with pytest.raises(ValueError, match="chunks"):
        zd.aperture_coverage(Grid((3000, 3000)), Disc((0, 0), 1.0), chunks=(1, 2))
    assert resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before < 100_000  # KiB
