"""zolvin.dask.zonal_stats: the in-memory bits for every chunking of the
raster and every grouping of the zones, zones taller than a band of rows
included, and on a cluster of two processes."""
import math

import numpy as np
import pytest
import zolvin
import zolvin.dask
from zolvin import Grid

da = pytest.importorskip("dask.array")
shapely = pytest.importorskip("shapely")

STATS = ("sum", "count", "mean", "min", "max", "stdev", "weighted_sum", "weighted_mean")


def voronoi(t, shape, n, rng):
    """Voronoi cells of random sites clipped to the raster's footprint."""
    c, a, b, f, d, e = t
    rows, cols = shape

    def plane(x, y):
        return c + a * x + b * y, f + d * x + e * y

    box = shapely.Polygon([plane(x, y) for x, y in ((0, 0), (cols, 0), (cols, rows), (0, rows))])
    x, y = plane(rng.uniform(0, cols, n), rng.uniform(0, rows, n))
    sites = shapely.multipoints(np.column_stack([x, y]))
    cells = shapely.get_parts(shapely.voronoi_polygons(sites, extend_to=box))
    return shapely.intersection(cells, box)


@pytest.fixture(scope="module")
def raster():
    t = (5.0, math.cos(0.4), math.sin(0.4), 9.0, math.sin(0.4), -math.cos(0.4))
    shape = (90, 110)
    rng = np.random.default_rng(9)
    values = rng.normal(50.0, 10.0, (2,) + shape)
    values[0, 10:13, 20:30] = np.nan
    values[1, 40, :] = -1.0
    zones = np.append(voronoi(t, shape, 80, rng), shapely.box(1e6, 1e6, 1e6 + 1, 1e6 + 1))
    weights = rng.uniform(0.0, 2.0, shape)
    mask = np.zeros(shape, bool)
    mask[60:64, 5:50] = True
    return Grid.from_affine(t, shape), zones, values, weights, mask


def same(a, b):
    for k in a:
        assert np.array_equal(a[k], b[k], equal_nan=True), k


@pytest.mark.parametrize("chunks, task_pixels", [
    ((2, 90, 110), 1 << 23), ((1, 17, 23), 1 << 23), ((2, 7, 110), 400), ((1, 90, 9), 50)])
def test_same_bits_as_in_memory(raster, chunks, task_pixels):
    grid, zones, values, weights, mask = raster
    kw = dict(stats=STATS, weights=weights, mask=mask, nodata=-1.0)
    want = zolvin.zonal_stats(values, grid, zones, **kw)
    got = zolvin.dask.zonal_stats(da.from_array(values, chunks=chunks), grid, zones,
                                  task_pixels=task_pixels, **kw)
    same(got, want)
    one = zolvin.dask.zonal_stats(da.from_array(values[0], chunks=chunks[1:]), grid, zones,
                                  stats=("sum", "count", "stdev"), task_pixels=task_pixels)
    same(one, zolvin.zonal_stats(values[0], grid, zones, stats=("sum", "count", "stdev")))


def test_weights_per_band(raster):
    grid, zones, values, _, mask = raster
    weights = np.random.default_rng(4).uniform(0.0, 1.0, values.shape)
    kw = dict(stats=("weighted_mean", "stdev"), weights=weights, mask=mask)
    got = zolvin.dask.zonal_stats(da.from_array(values, chunks=(1, 31, 47)), grid, zones,
                                  task_pixels=300, **kw)
    same(got, zolvin.zonal_stats(values, grid, zones, **kw))


def test_xarray_over_dask(raster):
    xr = pytest.importorskip("xarray")
    grid, zones, values, _, _ = raster
    lazy = xr.DataArray(da.from_array(values, chunks=(1, 40, 50)), dims=("band", "y", "x"))
    same(zolvin.dask.zonal_stats(lazy, grid, zones), zolvin.zonal_stats(values, grid, zones))


def test_zones_taller_than_a_band():
    # Zones spanning three bands of 4096 rows, on a narrow sheared raster.
    t = (0.0, 1.0, 0.3, 0.0, 0.0, 1.0)
    shape = (9000, 12)
    rng = np.random.default_rng(1)
    values = rng.uniform(0.0, 1e6, shape)
    zones = [shapely.Polygon([(2.5, 3.2), (9.1, 100.7), (7.0, 8990.4), (3.3, 5000.0)]),
             shapely.box(3.0, 4000.5, 6.2, 4200.7), shapely.box(0.0, 0.0, 4000.0, 9000.0)]
    grid = Grid.from_affine(t, shape)
    stats = ("sum", "count", "min", "max", "stdev")
    want = zolvin.zonal_stats(values, grid, zones, stats=stats)
    m = zolvin.coverage_matrix(grid, zones)
    np.testing.assert_allclose(want["sum"], m @ values.ravel(), rtol=1e-13)
    np.testing.assert_allclose(want["count"], m.sum(axis=1), rtol=1e-13)
    for chunks, task_pixels in (((1000, 12), 1 << 23), ((4096, 5), 5000), ((9000, 12), 64)):
        got = zolvin.dask.zonal_stats(da.from_array(values, chunks=chunks), grid, zones,
                                      stats=stats, task_pixels=task_pixels)
        same(got, want)


@pytest.mark.slow
def test_on_two_processes(raster):
    distributed = pytest.importorskip("distributed")
    grid, zones, values, _, _ = raster
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster):
        got = zolvin.dask.zonal_stats(da.from_array(values, chunks=(1, 30, 40)), grid, zones,
                                      stats=("sum", "mean", "stdev"), task_pixels=2000)
    same(got, zolvin.zonal_stats(values, grid, zones, stats=("sum", "mean", "stdev")))


@pytest.mark.parametrize("kwargs, exc, words", [
    ({"values": np.ones((3, 3))}, ValueError, "pixels' shape"),
    ({"values": np.ones((90, 110), complex)}, TypeError, "real"),
    ({"weights": np.ones(3)}, ValueError, "weights"),
    ({"mask": np.ones((2, 2), bool)}, ValueError, "mask"),
    ({"stats": ("mode",)}, ValueError, "mode"),
])
def test_refusals(raster, kwargs, exc, words):
    grid, zones, values, _, _ = raster
    args = {"values": values[0], **kwargs}
    with pytest.raises(exc, match=words):
        zolvin.dask.zonal_stats(args.pop("values"), grid, zones, **args)
