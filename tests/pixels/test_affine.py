"""Grid.from_affine: a raster's geotransform as a Grid, checked against
rasterio's own reading of the same transform."""
import math

import numpy as np
import pytest
from zolvin import Grid

rasterio = pytest.importorskip("rasterio")
from affine import Affine  # noqa: E402  (rasterio's dependency)

TRANSFORMS = {
    "north-up": Affine(30.0, 0.0, 499980.0, 0.0, -30.0, 4200000.0),
    "north-down": Affine(0.25, 0.0, -12.5, 0.0, 0.25, 40.0),
    "rotated": Affine.translation(1000.0, -2000.0) @ Affine.rotation(30.0) @ Affine.scale(2.0, -2.0),
    "sheared": Affine.translation(5.0, 7.0) @ Affine.shear(20.0, -10.0) @ Affine.scale(1.5, 0.5),
    "flipped": Affine(-1.0, 0.0, 64.0, 0.0, 1.0, 0.0),
}
SHAPE = (7, 11)


@pytest.mark.parametrize("name", TRANSFORMS)
@pytest.mark.parametrize("gdal", [False, True], ids=["Affine", "GDAL"])
def test_centres_match_rasterio(name, gdal):
    t = TRANSFORMS[name]
    grid = Grid.from_affine(t.to_gdal() if gdal else t, SHAPE)
    assert grid.shape == SHAPE and grid.jac == ((t.a, t.b), (t.d, t.e))
    rows, cols = np.indices(SHAPE)
    xs, ys = rasterio.transform.xy(t, rows.ravel(), cols.ravel(), offset="center")
    _, _, x, y = grid.coordinates()
    scale = max(abs(t.c), abs(t.f), 1.0)
    assert np.allclose(x.ravel(), xs, rtol=0, atol=8e-16 * scale * 4)
    assert np.allclose(y.ravel(), ys, rtol=0, atol=8e-16 * scale * 4)
    # The outer corners of the pixels are the transform's corners.
    corners = [t @ (c, r) for c in (0, SHAPE[1]) for r in (0, SHAPE[0])]
    xmin, ymin, xmax, ymax = grid.bounds()
    assert math.isclose(xmin, min(p[0] for p in corners), abs_tol=1e-9 * scale)
    assert math.isclose(ymax, max(p[1] for p in corners), abs_tol=1e-9 * scale)
    # Back to indices as rasterio rounds them.
    u, v = grid.to_uv(np.asarray(xs), np.asarray(ys))
    assert np.allclose(u, cols.ravel(), atol=1e-9) and np.allclose(v, rows.ravel(), atol=1e-9)


def test_gdal_order_is_read_as_gdal():
    # A plain 6-tuple is GDAL's order even when it looks like Affine's.
    grid = Grid.from_affine((10.0, 2.0, 0.5, 20.0, 0.25, -3.0), (2, 2))
    assert grid.jac == ((2.0, 0.5), (0.25, -3.0))
    assert grid.origin == (10.0 + 0.5 * 2.5, 20.0 + 0.5 * -2.75)


REFUSALS = [
    (TypeError, "transform", "not a transform", (2, 2)),
    (TypeError, "transform", 3.0, (2, 2)),
    (ValueError, "6 numbers", (1.0, 2.0, 3.0), (2, 2)),
    (ValueError, "6 numbers", tuple(Affine.identity()), (2, 2)),
    (ValueError, "invertible", (0.0, 1.0, 2.0, 0.0, 0.5, 1.0), (2, 2)),
    (ValueError, "finite", (0.0, 1.0, 0.0, math.nan, 0.0, 1.0), (2, 2)),
    (ValueError, "beyond float64", (1e308, 1e308, 1e308, 0.0, 0.0, 1.0), (2, 2)),
    (TypeError, "transform[0]", ("a", 1, 0, 0, 0, 1), (2, 2)),
    (ValueError, "shape", (0.0, 1.0, 0.0, 0.0, 0.0, 1.0), (2, 2, 2)),
    (ValueError, "shape[0]", (0.0, 1.0, 0.0, 0.0, 0.0, 1.0), (-1, 2)),
]


@pytest.mark.parametrize("error, words, transform, shape", REFUSALS,
                         ids=[f"{w}-{k}" for k, (_, w, _, _) in enumerate(REFUSALS)])
def test_refusals(error, words, transform, shape):
    with pytest.raises(error) as caught:
        Grid.from_affine(transform, shape)
    assert words in str(caught.value), str(caught.value)
