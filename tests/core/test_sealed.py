"""The arrays a value holds stay read-only: neither they nor the arrays they
are views of can be made writable again, so later coverage is what the
value promised. Pixels keep using the caller's float64 arrays, whose owner
may still write them."""
import numpy as np
import pytest
import zolvin
from helpers import same_bits
from zolvin import Grid, Pixels, Region
from zolvin.shapes import Disc, Discs, Ellipses, HexSegments, Polygon, compile_shape
from zolvin.shapes.compile import region

GRID = Grid((10, 12), origin=(-4.1, -3.3), jac=((0.8, 0.1), (0.05, 0.7)))
SQUARE = [(-2.0, -2.0), (2.5, -2.0), (2.5, 2.0), (-2.0, 2.0)]


def square_region():
    segs = np.array([[*a, *b] for a, b in zip(SQUARE, SQUARE[1:] + SQUARE[:1])])
    return Region(segs, np.zeros(4, np.int32), [[0.3, 0.1, 1.0, 0.0, 0.0, 1.0, 0.0, 6.0]], [0],
                  ["positive"], [0])


def held_arrays():
    """(name, value, its array, how to compute with the value)."""
    r = square_region()
    p = Polygon([SQUARE, [(-1.0, -1.0), (-1.0, 1.0), (1.0, 1.0)]])
    c = compile_shape(Disc((0, 0), 1.5) - p)
    mirror = HexSegments(1.0, 0.1, 1)
    cover = lambda v: zolvin.region_coverage(GRID, v)  # noqa: E731
    out = [(f"Region.{k}", r, getattr(r, k), cover)
           for k in ("segments", "segment_leaf", "arcs", "arc_leaf", "_rule_codes",
                     "_program_array")]
    out += [(f"Polygon ring {k}", p, ring, lambda v: zolvin.aperture_coverage(GRID, v))
            for k, ring in enumerate(p.polygons[0])]
    out += [(f"compiled {k}", c, getattr(c, k), None) for k in ("segments", "arcs")]
    out += [("compiled region", region(p), region(p).segments, cover)]
    out += [("HexSegments.centers", mirror, mirror.centers, None)]
    discs = Discs(np.array([[0.5, 1.0], [2.0, -1.0]]), np.array([1.0, 2.5]))
    ellipses = Ellipses([[0.5, 1.0]], [2.0, 1.0])
    out += [(f"Discs.{k}", discs, getattr(discs, k), None) for k in ("centers", "radii")]
    out += [("Ellipses.semi_axes", ellipses, ellipses.semi_axes, None)]
    batch = discs.batch()
    out += [(f"RegionBatch.{k}", batch, getattr(batch, k), None)
            for k in ("arcs", "arc_start", "simple", "bounds")]
    x, y = GRID.coordinates()[2:]
    own = Pixels(x.tolist(), y.astype(np.float32), GRID.jac)   # converted: its own copies
    mine = Pixels(x, y, np.broadcast_to(np.array(GRID.jac), x.shape + (2, 2)))  # x, y borrowed
    cover_p = lambda v: zolvin.polygon_coverage(v, SQUARE)  # noqa: E731
    out += [(f"Pixels.{k} (converted)", own, getattr(own, k), cover_p) for k in ("x", "y", "u")]
    out += [(f"Pixels.{k} (borrowed)", mine, getattr(mine, k), cover_p) for k in ("x", "dydv")]
    return out


HELD = held_arrays()


@pytest.mark.parametrize("name, value, array, cover", HELD, ids=[h[0] for h in HELD])
def test_held_arrays_cannot_be_made_writable(name, value, array, cover):
    before = None if cover is None else cover(value)
    chain = [array]
    while isinstance(chain[-1].base, np.ndarray):
        chain.append(chain[-1].base)
    for a in chain:  # the array, and every array it is a view of
        with pytest.raises(ValueError, match="WRITEABLE"):
            a.flags.writeable = True
        with pytest.raises(ValueError, match="read-only"):
            a.reshape(-1)[:1] = -5
    assert array.flags.aligned and array.flags.c_contiguous
    if cover is not None:
        assert same_bits(cover(value), before)


def test_a_read_only_view_of_writable_memory_is_copied():
    mine = np.array([[0.0, 0.0, 3.0, 0.0], [3.0, 0.0, 0.0, 3.0], [0.0, 3.0, 0.0, 0.0]])
    view = np.asarray(memoryview(mine).toreadonly())
    r = Region(view, [0, 0, 0], [], [], ["positive"], [0])
    before = zolvin.region_coverage(GRID, r)
    mine[:] = 0.0  # the caller's writes reach the view, but not the region
    assert same_bits(zolvin.region_coverage(GRID, r), before) and before.any()


def test_pixels_use_the_callers_arrays_which_their_owner_may_change():
    x, y = GRID.coordinates()[2:]
    pix = Pixels(x, y, GRID.jac)
    assert pix.x.ctypes.data == x.ctypes.data and pix.y.ctypes.data == y.ctypes.data
    before = zolvin.polygon_coverage(pix, SQUARE)
    x += 100.0  # as documented: the caller's own writes change the pixels
    assert not zolvin.polygon_coverage(pix, SQUARE).any() and before.any()
