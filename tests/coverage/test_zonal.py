"""coverage_matrix and zonal_stats: fractions against shapely's exact
intersections on every kind of geotransform, tilings, statistics against
NumPy from the matrix and against GDAL's fractional zonal statistics, bits
across threads and zone orders, and what bad zones and bad input give."""
import json
import math
import shutil
import subprocess
import warnings

import numpy as np
import pytest
import zolvin
from zolvin import Grid, InvalidZoneWarning

shapely = pytest.importorskip("shapely")
pytest.importorskip("scipy.sparse")

# GDAL order (c, a, b, f, d, e): x = c + a col + b row, y = f + d col + e row.
TRANSFORMS = {
    "north-up": (500.0, 2.0, 0.0, 800.0, 0.0, -2.0),
    "north-down": (-30.0, 0.5, 0.0, 12.0, 0.0, 0.5),
    "rotated": (40.0, 2 * math.cos(0.5), 2 * math.sin(0.5), -10.0, 2 * math.sin(0.5),
                -2 * math.cos(0.5)),
    "sheared": (3.0, 1.5, 0.6, 7.0, -0.2, 1.1),
    "flipped": (90.0, -1.0, 0.0, 0.0, 0.0, 1.0),
}
SHAPE = (18, 23)


def plane(t, col, row):
    c, a, b, f, d, e = t
    return c + a * col + b * row, f + d * col + e * row


def pixel_polygons(t, shape):
    """Every pixel's parallelogram, row-major."""
    rows, cols = np.indices(shape)
    r, c = rows.ravel().astype(float), cols.ravel().astype(float)
    corners = [plane(t, c + dc, r + dr) for dc, dr in ((0, 0), (1, 0), (1, 1), (0, 1))]
    rings = np.stack([np.column_stack(p) for p in corners], axis=1)
    return shapely.polygons(rings)


def zones_on(t, shape, rng, n=6):
    """Random polygons (one with a hole, one of two parts) over and beyond
    the raster, in its plane coordinates."""
    rows, cols = shape
    out = []
    for k in range(n):
        cx, cy = rng.uniform(-2, cols + 2), rng.uniform(-2, rows + 2)
        m = 7 + k
        ang = np.sort(rng.uniform(0, 2 * np.pi, m))
        rad = rng.uniform(2.0, 6.0, m)
        ring = [plane(t, cx + r * math.cos(a), cy + r * math.sin(a)) for a, r in zip(ang, rad)]
        out.append(shapely.Polygon(ring))
    out.append(shapely.Polygon([plane(t, *p) for p in ((2, 2), (14, 2), (14, 12), (2, 12))],
                               [[plane(t, *p) for p in ((5, 5), (9, 6), (6, 9))]]))
    out.append(shapely.MultiPolygon([
        shapely.Polygon([plane(t, *p) for p in ((15.3, 1.2), (21.7, 1.9), (18.1, 8.4))]),
        shapely.Polygon([plane(t, *p) for p in ((16.2, 10.5), (22.9, 17.6), (15.5, 16.8))])]))
    return np.array(out, dtype=object)


@pytest.mark.parametrize("name", TRANSFORMS)
def test_fractions_against_shapely(name):
    t = TRANSFORMS[name]
    grid = Grid.from_affine(t, SHAPE)
    zones = zones_on(t, SHAPE, np.random.default_rng(len(name)))
    m = zolvin.coverage_matrix(grid, zones).toarray()
    pixels = pixel_polygons(t, SHAPE)
    area = abs(t[1] * t[5] - t[2] * t[4])
    exact = shapely.area(shapely.intersection(zones[:, None], pixels[None, :])) / area
    assert m.shape == exact.shape
    assert np.max(np.abs(m - exact)) <= 1e-12


def voronoi_tiling(t, shape, n, rng):
    """Voronoi cells of random sites clipped to the raster's footprint."""
    rows, cols = shape
    box = shapely.Polygon([plane(t, *p) for p in ((0, 0), (cols, 0), (cols, rows), (0, rows))])
    sites = shapely.multipoints([plane(t, x, y) for x, y in
                                 zip(rng.uniform(0, cols, n), rng.uniform(0, rows, n))])
    cells = shapely.get_parts(shapely.voronoi_polygons(sites, extend_to=box))
    return shapely.intersection(cells, box)


@pytest.mark.parametrize("name", ["north-up", "rotated", "sheared"])
def test_tiling_sums_to_one(name):
    t = TRANSFORMS[name]
    shape = (40, 57)
    tiles = voronoi_tiling(t, shape, 60, np.random.default_rng(3))
    m = zolvin.coverage_matrix(Grid.from_affine(t, shape), tiles, n_threads=2)
    assert np.max(np.abs(m.sum(axis=0) - 1.0)) <= 1e-12


@pytest.fixture(scope="module")
def scene():
    """A rotated raster of three bands with NaNs, its zones and their matrix."""
    t = TRANSFORMS["rotated"]
    rng = np.random.default_rng(11)
    values = rng.uniform(-5.0, 40.0, (3,) + SHAPE)
    values[0, 3, 4] = values[1, 7:9, 10] = np.nan
    zones = zones_on(t, SHAPE, rng, n=10)
    grid = Grid.from_affine(t, SHAPE)
    return grid, zones, values, zolvin.coverage_matrix(grid, zones)


def numpy_stats(m, values, weights, excluded):
    """The statistics from the dense matrix, pixel by pixel."""
    f = m.toarray()
    out = {k: [] for k in ("sum", "count", "mean", "min", "max", "stdev", "weighted_sum",
                           "weighted_mean")}
    for band, w in zip(values, weights):
        v, w = band.ravel(), w.ravel()
        keep = ~np.isnan(v) & ~excluded.ravel()
        fk = np.where(keep, f, 0.0)
        vk = np.where(keep, v, 0.0)
        s, c = fk @ vk, fk.sum(axis=1)
        mean = s / c
        out["sum"].append(s)
        out["count"].append(c)
        out["mean"].append(mean)
        counted = fk > 0
        out["min"].append(np.where(counted, vk, np.inf).min(axis=1))
        out["max"].append(np.where(counted, vk, -np.inf).max(axis=1))
        out["stdev"].append(np.sqrt((fk * (vk - mean[:, None]) ** 2).sum(axis=1) / c))
        out["weighted_sum"].append(fk @ (w * vk))
        out["weighted_mean"].append(fk @ (w * vk) / (fk @ w))
    return {k: np.column_stack(v) for k, v in out.items()}


@pytest.mark.parametrize("use_matrix", [False, True], ids=["zones", "matrix"])
@pytest.mark.parametrize("exclude", ["none", "mask", "nodata"])
def test_stats_against_numpy(scene, use_matrix, exclude):
    grid, zones, values, m = scene
    values = values.copy()
    excluded = np.zeros(SHAPE, bool)
    kwargs = {}
    if exclude == "mask":
        excluded[5:9, 3:12] = True
        kwargs["mask"] = excluded
    elif exclude == "nodata":
        values[:, 10:12, :] = -9999.0
        excluded[10:12, :] = True
        kwargs["nodata"] = -9999.0
    weights = np.random.default_rng(2).uniform(0.0, 3.0, SHAPE)
    stats = ("sum", "count", "mean", "min", "max", "stdev", "weighted_sum", "weighted_mean")
    where = {"matrix": m, "pixels": grid} if use_matrix else {"pixels": grid, "zones": zones}
    got = zolvin.zonal_stats(values, stats=stats, weights=weights, **where, **kwargs)
    want = numpy_stats(m, values, [weights] * 3, excluded)
    for k in stats:
        assert got[k].shape == (len(zones), 3)
        np.testing.assert_allclose(got[k], want[k], rtol=1e-12, atol=1e-12, err_msg=k)


@pytest.mark.parametrize("window", [False, True], ids=["grid", "window"])
def test_matrix_and_zones_agree_bit_for_bit(scene, window):
    grid, zones, values, m = scene
    if window:  # a window whose first column is a multiple of 4
        grid, values = grid[2:, 4:], values[:, 2:, 4:]
        m = zolvin.coverage_matrix(grid, zones)
    stats = ("sum", "count", "mean", "min", "max", "stdev", "area")
    direct = zolvin.zonal_stats(values, grid, zones, stats=stats)
    applied = zolvin.zonal_stats(values, grid, matrix=m, stats=stats)
    for k in stats:
        assert np.array_equal(direct[k], applied[k], equal_nan=True), k
    np.testing.assert_allclose(direct["area"], direct["count"] * grid.pixel_area, rtol=1e-15)


def test_bits_across_threads_and_zone_order():
    t = TRANSFORMS["sheared"]
    shape = (64, 80)
    rng = np.random.default_rng(5)
    tiles = voronoi_tiling(t, shape, 700, rng)
    values = rng.normal(100.0, 20.0, (2,) + shape)
    grid = Grid.from_affine(t, shape)
    stats = ("sum", "mean", "min", "max", "stdev")
    one = zolvin.zonal_stats(values, grid, tiles, stats=stats, n_threads=1)
    perm = rng.permutation(len(tiles))
    two = zolvin.zonal_stats(values, grid, tiles[perm], stats=stats, n_threads=2)
    for k in stats:
        assert np.array_equal(one[k][perm], two[k]), k
    m1 = zolvin.coverage_matrix(grid, tiles, n_threads=1)
    m2 = zolvin.coverage_matrix(grid, tiles[perm], n_threads=2)
    assert (m1[perm] != m2).nnz == 0


@pytest.mark.parametrize("kind", ["geoseries", "features", "shapes"])
def test_zone_sources_give_the_same_matrix(kind):
    t = TRANSFORMS["north-down"]
    grid = Grid.from_affine(t, SHAPE)
    zones = zones_on(t, SHAPE, np.random.default_rng(8), n=4)[:4]
    want = zolvin.coverage_matrix(grid, zones)
    if kind == "geoseries":
        gpd = pytest.importorskip("geopandas")
        given = gpd.GeoSeries(zones)
    elif kind == "features":
        given = {"type": "FeatureCollection", "features": [
            {"type": "Feature", "properties": {}, "geometry": json.loads(shapely.to_geojson(z))}
            for z in zones]}
    else:
        given = [zolvin.shapes.Polygon(np.array(z.exterior.coords)[:-1]) for z in zones]
    got = zolvin.coverage_matrix(grid, given)
    np.testing.assert_allclose(got.toarray(), want.toarray(), rtol=0, atol=1e-14)


@pytest.mark.filterwarnings("ignore:invalid value:RuntimeWarning")
def test_bad_zones():
    grid = Grid((10, 12))
    zones = np.array([
        shapely.box(0.5, 0.5, 4.5, 3.5),
        shapely.Polygon([(0, 0), (4, 4), (4, 0), (0, 4)]),   # a bow tie
        shapely.Polygon([(1, 1), (np.nan, 2), (3, 1)]),     # a NaN vertex
        shapely.Polygon(),                                   # empty
        None,                                                # missing
        shapely.box(100, 100, 110, 120),                     # wholly off the raster
    ], dtype=object)
    values = np.arange(120.0).reshape(10, 12)
    with pytest.warns(InvalidZoneWarning, match=r"2 zones.*zones\[1\].*zones\[2\]"):
        r = zolvin.zonal_stats(values, grid, zones, stats=("sum", "count", "mean", "max"))
    assert r["count"][0] == 12.0 and r["sum"][0] == values[1:4, 1:5].sum()
    assert np.isnan(r["sum"][1:3]).all() and np.isnan(r["count"][1:3]).all()
    assert np.array_equal(r["sum"][3:], [0.0] * 3) and np.array_equal(r["count"][3:], [0.0] * 3)
    assert np.isnan(r["mean"][3:]).all() and np.isnan(r["max"][3:]).all()
    with pytest.warns(InvalidZoneWarning, match="rows are empty"):
        m = zolvin.coverage_matrix(grid, zones)
    assert list(np.diff(m.indptr)) == [12, 0, 0, 0, 0, 0]
    with pytest.raises(ValueError, match=r"zones\[1\] \(Self-intersection"):
        zolvin.zonal_stats(values, grid, zones, errors="raise")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        zolvin.coverage_matrix(grid, zones, errors="ignore")


@pytest.mark.parametrize("call, exc, words", [
    (lambda v, g, z: zolvin.zonal_stats(v[:4], g, z), ValueError, "values must have"),
    (lambda v, g, z: zolvin.zonal_stats(v[None, None], g, z), ValueError, "values must have"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, stats=("median",)), ValueError, "median"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, stats=("weighted_sum",)), ValueError,
     "needs weights"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, stats=3), TypeError, "stats"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, weights=np.ones(3)), ValueError, "weights"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, mask=np.ones((2, 2), bool)), ValueError,
     "mask"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, errors="loud"), ValueError, "errors"),
    (lambda v, g, z: zolvin.zonal_stats(v, g), TypeError, "pixels and zones"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, matrix=np.eye(2)), ValueError, "either"),
    (lambda v, g, z: zolvin.zonal_stats(v, matrix=np.eye(2)), TypeError, "scipy.sparse"),
    (lambda v, g, z: zolvin.zonal_stats(v, matrix=zolvin.coverage_matrix(Grid((3, 3)), z)),
     ValueError, "one column per pixel"),
    (lambda v, g, z: zolvin.zonal_stats(v, matrix=zolvin.coverage_matrix(g, z),
                                        stats=("area",)), ValueError, "pixel area"),
    (lambda v, g, z: zolvin.zonal_stats(v, g, z, out={"sum": np.zeros(3)}), ValueError,
     "out"),
    (lambda v, g, z: zolvin.coverage_matrix(g, [shapely.Point(1, 1)]), TypeError,
     "Polygon or MultiPolygon"),
    (lambda v, g, z: zolvin.coverage_matrix(g, "zones"), TypeError, "zones must be"),
    (lambda v, g, z: zolvin.coverage_matrix(v, z), TypeError, "pixels"),
])
def test_refusals(call, exc, words):
    grid = Grid((6, 8))
    zones = [shapely.box(1, 1, 3, 4), shapely.box(2, 0, 7, 2)]
    with pytest.raises(exc, match=words):
        call(np.ones((6, 8)), grid, zones)


def test_out_is_written():
    grid = Grid((6, 8))
    zones = [shapely.box(1, 1, 3, 4), shapely.box(2, 0, 7, 2.5)]
    target = np.full(2, -1.0)
    r = zolvin.zonal_stats(np.ones((6, 8)), grid, zones, stats=("count", "sum"),
                           out={"count": target})
    assert r["count"] is target and np.array_equal(target, [6.0, 12.5])


def gdal_fractional(tmp_path, values, t, zones, stats):
    """GDAL's fractional zonal statistics of a float64 raster, per zone."""
    gdal = pytest.importorskip("osgeo.gdal")
    gdal.UseExceptions()
    if shutil.which("gdal") is None:
        pytest.skip("no gdal command")
    raster = str(tmp_path / "values.tif")
    ds = gdal.GetDriverByName("GTiff").Create(raster, values.shape[1], values.shape[0], 1,
                                              gdal.GDT_Float64)
    ds.SetGeoTransform(t)
    ds.GetRasterBand(1).WriteArray(values)
    ds = None
    features = [{"type": "Feature", "properties": {"id": k},
                 "geometry": json.loads(shapely.to_geojson(z))} for k, z in enumerate(zones)]
    (tmp_path / "zones.geojson").write_text(json.dumps(
        {"type": "FeatureCollection", "features": features}))
    out = tmp_path / "stats.csv"
    cmd = ["gdal", "raster", "zonal-stats", "-q", "--pixels", "fractional", "--zones",
           str(tmp_path / "zones.geojson"), "--include-field", "id", "-f", "CSV",
           raster, str(out)]
    for s in stats:
        cmd += ["--stat", s]
    subprocess.run(cmd, check=True, capture_output=True)
    lines = out.read_text().splitlines()
    head = lines[0].split(",")
    rows = sorted((line.split(",") for line in lines[1:]), key=lambda r: int(r[0]))
    return {s: np.array([float(r[head.index(s)]) for r in rows]) for s in stats}


def test_against_gdal_fractional(tmp_path):
    t = TRANSFORMS["north-up"]
    shape = (60, 70)
    rng = np.random.default_rng(21)
    zones = voronoi_tiling(t, shape, 40, rng)
    values = rng.uniform(10.0, 50.0, shape)
    stats = ("sum", "count", "mean", "min", "max", "stdev")
    theirs = gdal_fractional(tmp_path, values, t, zones, stats)
    grid = Grid.from_affine(t, shape)
    ours = zolvin.zonal_stats(values, grid, zones, stats=stats)
    # GDAL keeps each pixel's fraction as a float32: ours differ by that
    # rounding (a few 1e-9 relative here), and agree to rounding once the
    # fractions are rounded alike.
    m = zolvin.coverage_matrix(grid, zones)
    m.data = m.data.astype(np.float32).astype(np.float64)
    rounded = zolvin.zonal_stats(values, matrix=m, stats=stats)
    for s in stats:
        np.testing.assert_allclose(ours[s], theirs[s], rtol=2e-8, err_msg=s)
        np.testing.assert_allclose(rounded[s], theirs[s], rtol=1e-12, err_msg=s)


@pytest.mark.parametrize("shape, wide", [((46340, 46340), False), ((50000, 50000), True)])
def test_index_width_follows_the_pixel_count(shape, wide):
    # Two half pixels near the far corner of a grid too large to hold in
    # memory: int32 indices up to 2^31 - 1 pixels, int64 beyond.
    grid = Grid(shape)
    row, col = shape[0] - 2, shape[1] - 3
    m = zolvin.coverage_matrix(grid, [shapely.box(col - 0.5, row - 0.5, col + 1.5, row)])
    assert m.shape == (1, shape[0] * shape[1])
    assert m.indices.dtype == (np.int64 if wide else np.int32)
    assert m.indices.tolist() == [row * shape[1] + col, row * shape[1] + col + 1]
    assert m.data.tolist() == [0.5, 0.5]


def test_same_sums_as_photometry():
    # Both sinks count a pixel and add f v alike: the same bits per region.
    rng = np.random.default_rng(6)
    values = rng.normal(10.0, 3.0, (40, 50))
    values[5, 5] = np.nan
    grid = Grid.from_affine(TRANSFORMS["sheared"], values.shape)
    discs = zolvin.shapes.Discs(rng.uniform(0.0, 40.0, (30, 2)), rng.uniform(0.5, 6.0, 30))
    ours = zolvin.zonal_stats(values, grid, discs, stats=("sum", "area"))
    theirs = zolvin.aperture_sums(values, grid, discs)
    assert np.array_equal(ours["sum"], theirs.sum)
    np.testing.assert_allclose(ours["area"], theirs.area, rtol=1e-15)
