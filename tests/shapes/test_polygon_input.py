"""Polygons as users spell them: arrays of the wrong shape are refused naming
the argument, (x, y, z) rows lose their z, and every spelling of an empty
polygon covers nothing, through every entry that takes a polygon."""
import numpy as np
import pytest
import shapely
import zolvin
import zolvin.dask as zd
from helpers import same_bits
from zolvin import Grid
from zolvin.shapes import Disc, Polygon
from zolvin.shapes.rings import polygon_rings

GRID = Grid((9, 11), origin=(-4.3, -3.9), jac=((0.9, 0.2), (-0.1, 0.8)))
TRIANGLE = [(-2.0, -1.5), (3.1, -0.4), (0.2, 3.3)]


class Geo:
    """Anything with a __geo_interface__."""

    def __init__(self, kind, coordinates):
        self.__geo_interface__ = {"type": kind, "coordinates": coordinates}


EMPTY = {
    "[]": [],
    "[[]]": [[]],
    "[[], []]": [[], []],
    "(0, 2) array": np.zeros((0, 2)),
    "(0, 3) array": np.zeros((0, 3)),
    "empty rings": [np.zeros((0, 2)), []],
    "two vertices": [(0.0, 0.0), (1.0, 1.0)],
    "on one line": [(0.0, 0.0), (1.0, 1.0), (3.0, 3.0)],
    "shapely Polygon()": shapely.Polygon(),
    "shapely MultiPolygon()": shapely.MultiPolygon(),
    "geo Polygon None": Geo("Polygon", None),
    "geo Polygon []": Geo("Polygon", []),
    "geo MultiPolygon None": Geo("MultiPolygon", None),
    "geo MultiPolygon [None, []]": Geo("MultiPolygon", [None, []]),
}


@pytest.mark.parametrize("polygon", EMPTY.values(), ids=EMPTY)
def test_every_empty_polygon_covers_nothing(polygon):
    assert polygon_rings(polygon) == []
    for pixels in (GRID, GRID.pixels()):
        assert same_bits(zolvin.polygon_coverage(pixels, polygon), np.zeros(GRID.shape))
    assert same_bits(zd.polygon_coverage(GRID, polygon, chunks=4).compute(), np.zeros(GRID.shape))
    empty = Polygon(polygon)
    assert empty.bounds is None and empty.area == 0 and repr(empty) == "Polygon([])"
    assert same_bits(zolvin.aperture_coverage(GRID, empty), np.zeros(GRID.shape))
    disc = Disc((0.3, -0.2), 2.7)
    for shape in (disc | empty, disc - empty):
        assert same_bits(zolvin.aperture_coverage(GRID, shape),
                         zolvin.aperture_coverage(GRID, disc))


WRONG = {
    "(5, 4)": np.zeros((5, 4)),
    "(5, 1)": np.ones((5, 1)),
    "(3, 0)": np.zeros((3, 0)),
    "(0, 5)": np.zeros((0, 5)),
    "(5, 4) list": np.arange(20.0).reshape(5, 4).tolist(),
    "rings of (4, 5)": np.zeros((2, 4, 5)),
    "flat list": [0.0, 1.0, 2.0, 3.0],
}


@pytest.mark.parametrize("polygon", WRONG.values(), ids=WRONG)
def test_arrays_of_the_wrong_shape_are_refused(polygon):
    for call, name in ((lambda: zolvin.polygon_coverage(GRID, polygon), "polygon"),
                       (lambda: zd.polygon_coverage(GRID, polygon), "polygon"),
                       (lambda: Polygon(polygon), "rings")):
        with pytest.raises(ValueError, match=rf"^{name}\b.*\(n, 2\), or \(n, 3\)"):
            call()


def test_a_third_column_is_a_z_that_is_dropped():
    xyz = np.column_stack([TRIANGLE, [7.0, -1e300, np.nan]])  # z is never read
    want = zolvin.polygon_coverage(GRID, TRIANGLE)
    assert want.sum() > 1
    assert same_bits(zolvin.polygon_coverage(GRID, xyz), want)
    assert same_bits(zolvin.polygon_coverage(GRID, Geo("Polygon", [xyz.tolist()])), want)
    assert Polygon(xyz) == Polygon(TRIANGLE)
