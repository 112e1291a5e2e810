"""Values and dask graphs pickled by an earlier version of the package load
and give what they gave: the files under tests/data/pickles were written by
this module (``PYTHONPATH=tests python tests/core/test_old_pickles.py --write``) before the
package's modules moved, and name the module paths of that time."""
import importlib
import pickle
import sys
from pathlib import Path

import numpy as np
import pytest
import zolvin
from helpers import same_bits, swept
from zolvin import shapes as S
from zolvin.coverage.region import polygon_region

FOLDER = Path(__file__).resolve().parent.parent / "data" / "pickles"

GRID = zolvin.Grid((37, 41), origin=(-1.03, -0.97), jac=((0.048, 0.013), (-0.007, 0.051)))
WINDOW = GRID[3:30, 2:40]
TRIANGLES = np.array([[[-2.0, -1.5], [3.0, 0.5], [0.5, 4.0]], [[1.0, 1.0], [4.0, 2.0], [2.0, 5.5]],
                      [[0.1, 0.1], [0.2, 0.1], [0.1, 0.2]]])


def pixels():
    g = zolvin.Grid((4, 5), (0.25, -0.5), ((0.3, 0.05), (-0.02, 0.28)), row0=2, col0=7)
    p = g.pixels()
    jac = np.empty(p.shape + (2, 2))
    jac[..., 0, 0], jac[..., 0, 1], jac[..., 1, 0], jac[..., 1, 1] = 0.3, 0.05, -0.02, 0.28
    jac[1, 2] = ((0.5, 0.0), (0.1, 0.4))
    return zolvin.Pixels(p.x, p.y, jac, p.u, p.v)


def region():
    return zolvin.Region(
        segments=np.array([[-0.5, -0.5, 0.5, -0.5], [0.5, -0.5, 0.5, 0.5],
                           [0.5, 0.5, -0.5, 0.5], [-0.5, 0.5, -0.5, -0.5]]),
        segment_leaf=np.zeros(4, np.int32),
        arcs=np.array([[0.2, 0.1, 0.4, 0.0, 0.0, 0.3, 0.0, 2 * np.pi]]),
        arc_leaf=np.ones(1, np.int32), leaf_rules=("nonzero", "evenodd"), program=[0, 1, -4])


def figures():
    """One of each figure class, in each of its spellings."""
    return {
        "disc": S.Disc((0.1, 0.05), 0.7),
        "ellipse": S.Ellipse((0.0, 0.1), (0.3, 0.15), 0.4),
        "polygon": S.Polygon([[(-0.8, -0.7), (0.9, -0.5), (0.2, 0.85)],
                              [(-0.1, -0.2), (0.1, 0.3), (0.3, -0.3)]]),
        "multipolygon": S.Polygon([[[(0, 0), (1, 0), (0, 1)]], [[(2, 2), (3, 2), (2, 3)]]]),
        "regular_polygon": S.RegularPolygon((0.2, -0.1), 0.4, 7, 0.3),
        "regular_polygon_flat": S.RegularPolygon((0.2, -0.1), flat_to_flat=0.5, sides=8),
        "hexagon": S.Hexagon((-0.6, 0.5), 0.2, 0.1),
        "hexagon_flat": S.Hexagon((0.6, 0.5), flat_to_flat=0.3),
        "spider": S.Spider((0, 0), 0.3, 0.02),
        "spider_length": S.Spider((0.1, 0.0), -1.2, 0.05, 0.8),
        "hex_segments": S.HexSegments(0.2, 0.01, 2, keep=[(0, 1), (1, 0), (-1, 1)],
                                      center=(0.05, -0.02)),
        "hex_segments_pointy": S.HexSegments(0.15, 0.0, 1, "pointy"),
    }


def shapes():
    f = figures()
    return {
        **f,
        "union": f["disc"] | f["hexagon"],
        "difference": f["disc"] - f["ellipse"],
        "intersection": f["disc"] & f["polygon"],
        "composed": (f["disc"] - f["ellipse"] - f["spider"]) | f["hexagon"],
        "preset": zolvin.pupils.named("jwst"),
    }


def segment_maps():
    segs = S.HexSegments(0.2, 0.01, 2)
    return zolvin.aperture_coverage(GRID, segs - S.Spider((0, 0), 0.5, 0.02), segments=True)


def graphs():
    """name: (dask form, the in-memory result it must compute)."""
    import dask.array as da
    import zolvin.dask as zd

    shape = shapes()["composed"]
    polygon = [(-0.8, -0.7), (0.9, -0.5), (0.2, 0.85)]
    edges = ((-0.03, 0.0), (0.2, 1.0)), ((0.04, 0.0), (0.2, 1.0))
    pupil = dict(obscuration=0.3, struts=zolvin.strut_angles(3), strut_width=0.03)
    values = np.array([1.0, 2.0, 0.5])
    return {
        "dask_aperture_coverage": (zd.aperture_coverage(GRID, shape, chunks=(10, 13)),
                                   zolvin.aperture_coverage(GRID, shape)),
        "dask_region_coverage": (zd.region_coverage(WINDOW, region(), chunks=9),
                                 zolvin.region_coverage(WINDOW, region())),
        # Pickled before regions said whether they are simple: its polygon is
        # swept, as it was then.
        "dask_polygon_coverage": (zd.polygon_coverage(GRID, polygon, chunks=11),
                                  zolvin.region_coverage(GRID, swept(polygon_region(polygon)))),
        "dask_pixel_frac": (zd.pixel_frac(GRID, (0.1, -0.2), (0.3, 1.0), chunks=12),
                            zolvin.pixel_frac(GRID, (0.1, -0.2), (0.3, 1.0))),
        "dask_enclosed_circle": (zd.enclosed_circle(GRID, (0.05, 0.02), 0.61, chunks=12),
                                 zolvin.enclosed_circle(GRID, (0.05, 0.02), 0.61)),
        "dask_enclosed_strut": (zd.enclosed_strut(GRID, 2.0, *edges, chunks=12),
                                zolvin.enclosed_strut(GRID, 2.0, *edges)),
        "dask_pupil": (zd.pupil(GRID, 0.8, chunks=12, **pupil), zolvin.pupil(GRID, 0.8, **pupil)),
        "dask_pupil_coverage": (zd.pupil(GRID, 0.8, chunks=12, method="coverage", **pupil),
                                zolvin.pupil(GRID, 0.8, method="coverage", **pupil)),
        "dask_pupil_mesh": (zd.pupil(GRID, 0.8, chunks=20, method="mesh", **pupil),
                            zolvin.pupil(GRID, 0.8, method="mesh", **pupil)),
        "dask_accumulate_triangles": (
            zd.accumulate_triangles(da.from_array(TRIANGLES.astype(np.int64) + 0, chunks=2),
                                    da.from_array(values, chunks=2), 1.0, 9, band=4),
            zolvin.accumulate_triangles(TRIANGLES.astype(np.int64), values, 1.0, 9)),
    }


def saved():
    """name: the value as pickled, and a check that a loaded value gives what it gave."""
    p = pixels()
    clipped = zolvin.clip_triangles_to_circle(TRIANGLES, (0.5, 0.2), 2.0)
    compiled = S.compile_shape(shapes()["composed"])
    maps = segment_maps()
    values = {
        "grid": WINDOW, "pixels": p, "region": region(), "clipped": clipped,
        "compiled": compiled, "segment_map": maps[3], "segment_maps": maps,
        **{f"shape_{k}": v for k, v in shapes().items()},
    }
    return values


def graph_pickles():
    import cloudpickle

    out = {}
    for name, (array, _) in graphs().items():
        out[name] = pickle.dumps(array)
    aperture, _ = graphs()["dask_aperture_coverage"]
    # The low-level graph as a distributed scheduler ships it.
    out["dask_graph_cloudpickle"] = cloudpickle.dumps(dict(aperture.__dask_graph__()))
    return out


def write():
    FOLDER.mkdir(parents=True, exist_ok=True)
    for name, value in saved().items():
        (FOLDER / f"{name}.pickle").write_bytes(pickle.dumps(value))
    for name, data in graph_pickles().items():
        (FOLDER / f"{name}.pickle").write_bytes(data)


def load(name):
    return pickle.loads((FOLDER / f"{name}.pickle").read_bytes())


ARRAYS = ("x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv")


def test_grid_and_region():
    g, r = load("grid"), load("region")
    assert g == WINDOW and (g.row0, g.col0) == (3, 2) and type(g) is zolvin.Grid
    assert r == region() and type(r) is zolvin.Region
    assert same_bits(zolvin.region_coverage(g, r), zolvin.region_coverage(WINDOW, region()))


def test_pixels():
    p, q = load("pixels"), pixels()
    assert type(p) is zolvin.Pixels and p.shape == q.shape
    assert all(same_bits(getattr(p, a), getattr(q, a)) for a in ARRAYS)
    assert not p.x.flags.writeable


@pytest.mark.parametrize("name", sorted(shapes()))
def test_shapes(name):
    loaded, fresh = load(f"shape_{name}"), shapes()[name]
    assert type(loaded) is type(fresh) and loaded == fresh and repr(loaded) == repr(fresh)
    if fresh.bounds is not None:
        grid = zolvin.pupils.spanning_grid(fresh, 24)
        assert same_bits(zolvin.aperture_coverage(grid, loaded),
                         zolvin.aperture_coverage(grid, fresh))


def test_results():
    clipped = load("clipped")
    fresh = zolvin.clip_triangles_to_circle(TRIANGLES, (0.5, 0.2), 2.0)
    assert type(clipped) is zolvin.Clipped and clipped[1:] == fresh[1:]
    assert same_bits(clipped.triangles, fresh.triangles)
    compiled, expected = load("compiled"), S.compile_shape(shapes()["composed"])
    assert type(compiled) is S.Compiled
    assert all(same_bits(a, b) for a, b in zip(compiled, expected, strict=True))
    maps = segment_maps()
    for m, loaded in ((maps[3], load("segment_map")), *zip(maps, load("segment_maps"), strict=True)):
        assert type(loaded) is zolvin.SegmentMap and loaded[:3] == m[:3]
        assert same_bits(loaded.coverage, m.coverage)


@pytest.mark.parametrize("name", sorted(graphs()))
def test_dask_graphs(name):
    _, expected = graphs()[name]
    assert same_bits(load(name).compute(scheduler="sync"), expected)


def test_dask_graph_through_cloudpickle():
    import dask

    _, expected = graphs()["dask_aperture_coverage"]
    graph = load("dask_graph_cloudpickle")
    (name,) = {k[0] for k in graph}  # the token of that time
    keys = sorted(graph)
    parts = dask.get(graph, keys)
    blocks = {k[1:]: p for k, p in zip(keys, parts, strict=True)}
    rows = max(i for i, _ in blocks) + 1
    whole = np.block([[blocks[(i, j)] for j in range(len(blocks) // rows)] for i in range(rows)])
    assert same_bits(whole, expected)


@pytest.mark.parametrize("old, name, new", [
    ("zolvin.grid", "Grid", zolvin.Grid), ("zolvin._pixels", "Pixels", zolvin.Pixels),
    ("zolvin._region", "Region", zolvin.Region), ("zolvin._aperture", "SegmentMap", zolvin.SegmentMap),
    ("zolvin._triangles", "Clipped", zolvin.Clipped), ("zolvin._pupil", "pupil", zolvin.pupil),
    ("zolvin._coverage", "enclosed_circle", zolvin.enclosed_circle),
    ("zolvin._polygon", "poly_grid_contains", zolvin.poly_grid_contains),
])
def test_old_module_paths(old, name, new):
    """What the old modules held, from the old path (imported fresh here)."""
    assert getattr(importlib.import_module(old), name) is new


if __name__ == "__main__" and sys.argv[1:] == ["--write"]:
    write()
