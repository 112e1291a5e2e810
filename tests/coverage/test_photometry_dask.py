"""zolvin.dask.aperture_sums: the in-memory bits for every chunking."""
import dask
import numpy as np
import pytest
import zolvin
import zolvin.dask
from zolvin.shapes import Discs, Ellipses

da = pytest.importorskip("dask.array")

SHAPE = (70, 90)


@pytest.fixture(scope="module")
def inputs():
    rng = np.random.default_rng(21)
    data = rng.uniform(0.5, 2.0, SHAPE)
    data[5, 7] = np.nan
    error = rng.uniform(0.1, 1.0, SHAPE)
    mask = rng.uniform(size=SHAPE) < 0.02
    c = np.column_stack([rng.uniform(-10, 100, 600), rng.uniform(-10, 80, 600)])
    r = rng.uniform(0.3, 9, 600)
    r[:3] = 40  # sources larger than any chunk
    return data, error, mask, c, r


@pytest.mark.parametrize("grid", [
    zolvin.Grid(SHAPE),
    zolvin.Grid(SHAPE, origin=(3.5, -2.0), jac=((0.8, 0.3), (-0.2, -1.1))),
    zolvin.Grid((100, 120), origin=(-4.0, -3.0))[10:80, 20:110],
], ids=["unit", "sheared-mirrored", "window"])
@pytest.mark.parametrize("chunks", [(7, 9), (16, 45), (70, 1), SHAPE])
def test_bits_equal_memory_for_every_chunking(inputs, grid, chunks):
    data, error, mask, c, r = inputs
    (a, b), (cc, d) = grid.jac
    x0, y0 = grid.origin
    centres = np.column_stack([x0 + a * (c[:, 0] + grid.col0) + b * (c[:, 1] + grid.row0),
                               y0 + cc * (c[:, 0] + grid.col0) + d * (c[:, 1] + grid.row0)])
    for cat in (Discs(centres, r), Ellipses(centres[:200], (6.0, 2.5), 0.7)):
        want = zolvin.aperture_sums(data, grid, cat, error=error, mask=mask)
        got = zolvin.dask.aperture_sums(da.from_array(data, chunks), grid, cat,
                                        error=da.from_array(error, chunks), mask=mask)
        for w, g in zip(want, dask.compute(*got)):
            assert g.tobytes() == w.tobytes()
    assert (want.area > 0).sum() > 100


def test_empty_catalog_and_no_error(inputs):
    data, *_ = inputs
    grid = zolvin.Grid(SHAPE)
    got = zolvin.dask.aperture_sums(da.from_array(data, 16), grid, Discs(np.zeros((0, 2)), 1))
    assert got.sum_error is None and got.sum.compute().shape == (0,)


@pytest.mark.parametrize("change, exc, words", [
    ({"data": np.ones((5, 5))}, ValueError, "data"),
    ({"error": np.ones((5, 5))}, ValueError, "error"),
    ({"mask": np.ones(SHAPE)}, TypeError, "mask"),
    ({"data": np.full(SHAPE, "a")}, TypeError, "data"),
    ({"grid": zolvin.Grid(SHAPE).pixels()}, TypeError, "pixels"),
])
def test_refusals_before_any_task(change, exc, words):
    args = {"data": da.ones(SHAPE, chunks=16), "grid": zolvin.Grid(SHAPE)} | change
    with pytest.raises(exc, match=words):
        zolvin.dask.aperture_sums(args.pop("data"), args.pop("grid"), Discs([[1, 1]], 1),
                                  **args)
