"""Every sequence argument is read once: an iterator gives what the sequence
gives, in memory and through zolvin.dask (whose checks run before the chunks
do, and must not leave the chunks an exhausted iterator)."""
import dask.array as da
import numpy as np
import pytest
import zolvin
import zolvin.dask as zd

GRID = zolvin.Grid((23, 19), (-1.1, -1.05), ((0.11, 0.02), (0.0, 0.1)))
TRIS = np.array([[[-2.0, -1.5], [3.0, 0.5], [0.5, 4.0]], [[1.0, 1.0], [4.0, 2.0], [2.0, 5.5]]])
STRUTS = (0.3, 1.9)
EDGE1, EDGE2 = ((-0.1, 0.0), (0.6, 0.8)), ((0.1, 0.0), (0.6, 0.8))


def compute(result):
    return result.compute() if isinstance(result, da.Array) else result


def edges(make):
    """Both strut edges, each an iterator of iterators when make is iter."""
    return [make([make(p), make(d)]) for p, d in (EDGE1, EDGE2)]


# Each call takes make (tuple or iter) and builds its sequence arguments with it.
CALLS = {
    "pupil struts": lambda m: zolvin.pupil(GRID, 1.0, struts=m(STRUTS), strut_width=0.2),
    "pupil center": lambda m: zolvin.pupil(GRID, 1.0, center=m((0.1, 0.0))),
    "dask pupil struts": lambda m: zd.pupil(GRID, 1.0, struts=m(STRUTS), strut_width=0.2,
                                            chunks=7),
    "dask pupil mesh": lambda m: zd.pupil(GRID, 1.0, struts=m(STRUTS), strut_width=0.2,
                                          center=m((0.1, 0.0)), method="mesh", chunks=7),
    "circle": lambda m: zolvin.enclosed_circle(GRID, m((0.1, 0.2)), 0.7),
    "dask circle": lambda m: zd.enclosed_circle(GRID, m((0.1, 0.2)), 0.7, chunks=7),
    "strut": lambda m: zolvin.enclosed_strut(GRID, 1.5, *edges(m)),
    "dask strut": lambda m: zd.enclosed_strut(GRID, 1.5, *edges(m), chunks=7),
    "pixel_frac": lambda m: zolvin.pixel_frac(GRID, m((0.1, 0.2)), m((0.6, 0.8))),
    "dask pixel_frac": lambda m: zd.pixel_frac(GRID, m((0.1, 0.2)), m((0.6, 0.8)), chunks=7),
    "Grid": lambda m: zolvin.enclosed_circle(
        zolvin.Grid(m((4, 5)), m((0.5, -0.5)), m([m((0.3, 0.1)), m((0.0, 0.3))])), (0, 0), 1.0),
    "Pixels": lambda m: zolvin.enclosed_circle(
        zolvin.Pixels(m((0.1, 0.5, 0.9)), m((0.0, 0.2, 0.4)), np.eye(2) * 0.3), (0, 0), 0.6),
    "accumulate values": lambda m: zolvin.accumulate_triangles(TRIS, m((1.0, 2.0)),
                                                               m((1.0, 4.0)), 9),
    "dask accumulate values": lambda m: zd.accumulate_triangles(
        da.from_array(TRIS, chunks=1), m((1.0, 2.0)), m((1.0, 4.0)), 9, band=4),
    "clip to strut": lambda m: zolvin.clip_triangles_to_strut(
        TRIS, *edges(m), m((0.0, 0.0)), 9.0).triangles,
    "polygon": lambda m: zolvin.poly_grid_contains(
        m([(0.0, 0.0), (3.0, 0.5), (1.0, 2.5)]), m((0.5, 1.0, 2.0)), m((0.2, 1.0))),
}


@pytest.mark.parametrize("call", CALLS)
def test_iterators_give_what_sequences_give(call):
    expected = compute(CALLS[call](tuple))
    got = compute(CALLS[call](iter))
    assert np.asarray(expected).any()
    assert np.array_equal(np.asarray(got), np.asarray(expected))


def test_analytic_area_reads_struts_once():
    kw = dict(obscuration=0.2, strut_width=0.1)
    assert zolvin.analytic_area(1.0, struts=iter(STRUTS), **kw) == \
        zolvin.analytic_area(1.0, struts=STRUTS, **kw)
