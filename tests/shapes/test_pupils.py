"""The named pupils: their published figures, the grid that spans them,
what the module refuses."""
import pytest
import zolvin
from helpers import refusal_ids, refused
from zolvin import Grid, pupils
from zolvin.shapes import Polygon
from zolvin.shapes.segments import hex_segments

SQUARE = Polygon([(0, 0), (4, 0), (4, 4), (0, 4)])

PRESET_FIGURES = {  # segments, glass area, open area, relative tolerance (pupils.md)
    "hst": (0, None, 3.894, 3e-4),   # 86.1 % of the disc: 3.8931
    "jwst": (18, 26.64, 25.90, 4e-3),  # regular hexagons for irregular segments
    "elt": (798, 1089.8, 1056.6, 1e-4),
    "keck": (36, 75.76, 72.1, 1e-3),
    "subaru": (0, None, 42.87, 2e-4),
    "vlt": (0, None, 48.71, 2e-4),
    "tmt": (492, 662.6, 645.0, 1e-4),
    "magellan": (0, None, 30.13, 2e-4),
    "luvoir_b": (55, 43.44, 43.44, 2e-4),
}


@pytest.mark.parametrize("name", PRESET_FIGURES)
def test_presets(name):
    count, glass, area, tol = PRESET_FIGURES[name]
    shape = pupils.named(name)
    array = hex_segments(shape)
    assert (len(array.positions) if array else 0) == count
    if glass is not None:
        assert array.area == pytest.approx(glass, rel=tol)
    grid = pupils.spanning_grid(shape, 96, margin=1)
    (p, _), _ = grid.jac
    assert zolvin.aperture_coverage(grid, shape).sum() * p * p == pytest.approx(area, rel=tol)
    x0, y0, _, _ = shape.bounds
    assert grid.origin[0] - p / 2 <= x0 and grid.origin[1] - p / 2 <= y0


@pytest.mark.parametrize("name", ["hst", "keck"])
@pytest.mark.parametrize("n, margin", [(64, 0.0), (96, 1.5)])
def test_spanning_grid_is_the_grid_over_the_bounds(name, n, margin):
    shape = pupils.named(name)
    assert pupils.spanning_grid(shape, n, margin=margin) == Grid.spanning(shape.bounds, n,
                                                                          margin=margin)


REFUSALS = [
    (lambda n: pupils.named("hale"), ValueError, "name"),
    (lambda n: pupils.spanning_grid(SQUARE, 0), ValueError, "n"),
    (lambda n: pupils.named(3), TypeError, "name"),
    (lambda n: pupils.spanning_grid("hst", 8), TypeError, "shape"),
    (lambda n: pupils.spanning_grid(zolvin.shapes.Spider((0, 0), 0.0, 0.1), 8), ValueError,
     "extent"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)
