"""What the region kernel cannot take is refused, naming what to change: a
figure or vertex beyond its reach, a shape with too many leaves or nested
too deeply (before anything walks it); NumPy booleans count as booleans."""
import numpy as np
import pytest
import zolvin
import zolvin.dask as zd
from helpers import same_bits, swept
from zolvin import Grid, Region
from zolvin.shapes import Disc, HexSegments, Intersection, Polygon, Union
from zolvin.shapes.compile import region

GRID = Grid((8, 8), origin=(-3.5, -3.5), jac=((1.0, 0.2), (0.0, 0.9)))
DISC = Disc((0.2, -0.1), 2.5)
FAR = [(0.0, 0.0), (1e160, -1e170), (3.0, 3.0), (0.0, 3.0)]


@pytest.mark.parametrize("call, words", [
    (lambda: zolvin.aperture_coverage(GRID, DISC | Disc((1e200, 0.0), 1.0)),
     "shape: Disc((1e+200, 0.0), 1.0) reaches beyond 1e150 pixels"),
    (lambda: zolvin.aperture_coverage(GRID, DISC - Polygon(FAR)),
     "shape: Polygon([[(0.0, 0.0), (1e+160, -1e+170)"),
    (lambda: zolvin.polygon_coverage(GRID, FAR),
     "polygon: vertex (1e+160, -1e+170) lies beyond 1e150 pixels"),
    (lambda: zolvin.region_coverage(GRID, Region([[0, 0, 1e155, 0], [1e155, 0, 0, 1], [0, 1, 0, 0]],
                                                 [0, 0, 0], [], [], ["positive"], [0])),
     "region: segment 0 ((0.0, 0.0) -> (1e+155, 0.0)) reaches beyond"),
    (lambda: zolvin.region_coverage(GRID, Region([], [], [[1e152, 0, 1, 0, 0, 1, 0, 6.25]], [0],
                                                 ["positive"], [0])),
     "region: arc 0 (centre (1e+152, 0.0)) reaches beyond"),
    (lambda: zd.aperture_coverage(GRID, Disc((0.0, -1e300), 1.0)), "shape: Disc((0.0, -1e+300)"),
])
def test_beyond_reach_names_the_piece(call, words):
    with pytest.raises(ValueError) as caught:
        call()
    assert words in str(caught.value)


def nested(depth):
    """A disc wrapped in depth alternating one-part unions and intersections."""
    s = DISC
    for k in range(depth):
        s = Union(s) if k % 2 else Intersection(s)
    return s


def chain(n):
    s = DISC
    for k in range(n):
        s = s - Disc((0.01 * k, 0.0), 0.1)
    return s


@pytest.mark.parametrize("shape, words", [
    (nested(3000), r"nests compositions 300\d deep, more than 128"),
    (chain(3000), r"needs 300\d leaves, more than 64"),
    (chain(64), r"needs 6\d leaves, more than 64"),
], ids=["deep", "3001 leaves", "65 leaves"])
@pytest.mark.parametrize("form", ["memory", "dask", "segments"])
def test_too_large_shapes_are_refused_without_walking_them(shape, words, form):
    call = {"memory": lambda: zolvin.aperture_coverage(GRID, shape),
            "dask": lambda: zd.aperture_coverage(GRID, shape, chunks=4),
            "segments": lambda: zolvin.aperture_coverage(GRID, HexSegments(1.0, 0.1, 1) - shape,
                                                         segments=True)}[form]
    with pytest.raises(ValueError, match=words):
        call()


@pytest.mark.parametrize("shape", [nested(128), chain(63)], ids=["128 deep", "64 leaves"])
def test_shapes_at_the_limits_compile(shape):
    got = zolvin.aperture_coverage(GRID, shape)
    assert got.sum() > 0
    if shape._leaves_depth()[0] == 1:  # swept, as a composition is
        assert same_bits(got, zolvin.region_coverage(GRID, swept(region(DISC))))


MIRROR = HexSegments(1.0, 0.1, 1)


@pytest.mark.parametrize("flag", [True, np.True_, np.array(True)], ids=repr)
def test_numpy_booleans_are_booleans(flag):
    maps = zolvin.aperture_coverage(GRID, MIRROR, segments=flag)
    assert len(maps) == 7
    assert same_bits(zolvin.aperture_coverage(GRID, MIRROR, segments=np.False_),
                     zolvin.aperture_coverage(GRID, MIRROR))


@pytest.mark.parametrize("flag", [1, "yes", None, np.array([True]), np.int8(1)], ids=repr)
def test_other_truthy_values_are_not(flag):
    with pytest.raises(TypeError, match="segments must be True or False"):
        zolvin.aperture_coverage(GRID, MIRROR, segments=flag)
