"""aperture_sums on Pixels, each pixel its own parallelogram: against the
areas shapely gives for every pixel's parallelogram, and against itself
across threads, source orders and pixel layouts."""
import math

import numpy as np
import pytest
import zolvin
from zolvin.shapes import Annuli, Discs, Ellipses, Polygons
from zolvin.shapes.compile import region as shape_region

shapely = pytest.importorskip("shapely")

SHAPE = (36, 44)


def warped(shape=SHAPE, mirror=False):
    """Pixels of a smoothly distorted image: centres off a sheared lattice by
    a wave, each Jacobian the map's derivative there (0.8-1.2 pixel sides)."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]].astype(float)
    s = -1.0 if mirror else 1.0
    x = s * (1.05 * cols + 0.2 * rows + 0.8 * np.sin(rows / 7.0))
    y = 0.1 * cols + 0.95 * rows + 0.6 * np.cos(cols / 9.0)
    jac = np.empty(shape + (2, 2))
    jac[..., 0, 0] = s * 1.05 + 0 * cols
    jac[..., 0, 1] = s * (0.2 + 0.8 / 7.0 * np.cos(rows / 7.0))
    jac[..., 1, 0] = 0.1 - 0.6 / 9.0 * np.sin(cols / 9.0)
    jac[..., 1, 1] = 0.95 + 0 * rows
    return zolvin.Pixels(x, y, jac)


def parallelograms(px):
    """Every pixel's parallelogram as a shapely polygon, row-major."""
    x, y = px.x.ravel(), px.y.ravel()
    a, b, c, d = (t.ravel() * 0.5 for t in (px.dxdu, px.dxdv, px.dydu, px.dydv))
    corners = np.stack([np.stack([x + su * a + sv * b, y + su * c + sv * d], -1)
                        for su, sv in ((-1, -1), (1, -1), (1, 1), (-1, 1))], 1)
    return shapely.polygons(corners)


def oracle(px, geoms, data):
    """Per aperture: sum over pixels of (area of aperture in pixel) / pixel
    area x data, and the covered area."""
    cells = parallelograms(px)
    own = np.abs(px.dxdu * px.dydv - px.dxdv * px.dydu).ravel()
    sums, areas = [], []
    for g in geoms:
        near = shapely.intersects(cells, g)
        a = np.zeros(len(cells))
        a[near] = shapely.area(shapely.intersection(cells[near], g))
        sums.append(float((a / own * data.ravel()).sum()))
        areas.append(float(a.sum()))
    return np.array(sums), np.array(areas)


def ring(center, radius, n, outer):
    """A regular polygon around a circle: inscribed, or circumscribed."""
    t = np.linspace(0, 2 * np.pi, n, endpoint=False)
    r = radius / math.cos(math.pi / n) if outer else radius
    return np.column_stack([center[0] + r * np.cos(t), center[1] + r * np.sin(t)])


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(7).uniform(0.5, 2.0, SHAPE)


@pytest.mark.parametrize("mirror", [False, True])
def test_polygons_against_shapely_per_pixel(data, mirror):
    # Stars and hexagons inside, across the edges and off the image.
    px = warped(mirror=mirror)
    rng = np.random.default_rng(11)
    rings = []
    for _ in range(40):
        cx = rng.uniform(-5, 60) * (-1 if mirror else 1)
        cy = rng.uniform(-5, 40)
        k = rng.choice([6, 10])
        r = rng.uniform(1.0, 6.0, k) * np.where(np.arange(k) % 2 == 0, 1.0, 0.5 if k == 10 else 1.0)
        t = np.linspace(0, 2 * np.pi, k, endpoint=False) + rng.uniform()
        rings.append(np.column_stack([cx + r * np.cos(t), cy + r * np.sin(t)]))
    got = zolvin.aperture_sums(data, px, Polygons(rings))
    want_sum, want_area = oracle(px, [shapely.Polygon(r) for r in rings], data)
    assert (want_area > 0).sum() > 25
    np.testing.assert_allclose(got.area, want_area, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(got.sum, want_sum, rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize("kind", ["disc", "ellipse", "annulus", "composition"])
def test_curves_within_inscribed_and_circumscribed_polygons(data, kind):
    # A curve's exact area per pixel lies between those of polygons drawn
    # inside and outside it; with 2048 sides the bracket is ~1e-6 wide.
    px = warped()
    rng = np.random.default_rng(12)
    n = 12
    c = np.column_stack([rng.uniform(-3, 55, n), rng.uniform(-3, 38, n)])
    r = rng.uniform(0.4, 6.0, n)
    stretch = np.eye(2)
    if kind == "ellipse":
        th = 0.6
        cat = Ellipses(c, (1.0, 0.45), th)
        rot = np.array([[math.cos(th), -math.sin(th)], [math.sin(th), math.cos(th)]])
        stretch = rot @ np.diag([1.0, 0.45])
        r = np.ones(n)
    elif kind == "annulus":
        cat = Annuli(c, 0.5 * r, r)
    elif kind == "composition":
        cat = [zolvin.shapes.Disc(tuple(p), q) - zolvin.shapes.Hexagon(tuple(p), 0.5 * q)
               for p, q in zip(c, r)]
    else:
        cat = Discs(c, r)
    got = zolvin.aperture_sums(data, px, cat)

    def shape(outer):
        geoms = []
        for p, q in zip(c, r):
            unit = ring((0, 0), q, 2048, outer) @ stretch.T + p
            g = shapely.Polygon(unit)
            if kind == "annulus":
                g = g.difference(shapely.Polygon(ring(p, 0.5 * q, 2048, not outer)))
            elif kind == "composition":
                hexagon = zolvin.shapes.compile_shape(zolvin.shapes.Hexagon(tuple(p), 0.5 * q))
                g = g.difference(shapely.Polygon(hexagon.segments[:, :2]))
            geoms.append(g)
        return oracle(px, geoms, data)

    (lo_s, lo_a), (hi_s, hi_a) = shape(False), shape(True)
    assert (hi_a > 0).sum() >= n - 2
    slack = 1e-12 * (1 + hi_a)
    assert np.all(got.area >= lo_a - slack) and np.all(got.area <= hi_a + slack)
    assert np.all(got.sum >= lo_s - slack) and np.all(got.sum <= hi_s + slack)


def test_unit_pixels_equal_the_grid(data):
    # Pixels laid out as the unit grid: the Grid's sums to rounding, and
    # pixels wholly inside an aperture count exactly once.
    grid = zolvin.Grid(SHAPE)
    px = grid.pixels()
    rng = np.random.default_rng(13)
    c = np.column_stack([rng.uniform(-8, 50, 500), rng.uniform(-8, 42, 500)])
    cat = Discs(c, np.column_stack([rng.uniform(0.2, 7, 500), np.zeros(500)]))
    err = rng.uniform(0.1, 1.0, SHAPE)
    a = zolvin.aperture_sums(data, grid, cat, error=err)
    b = zolvin.aperture_sums(data, px, cat, error=err)
    for u, v in zip(a, b):
        np.testing.assert_allclose(v, u, rtol=1e-13, atol=1e-13)
    assert (b.area[:, 1] == 0).all() and (b.sum[:, 1] == 0).all()
    whole = zolvin.aperture_sums(np.ones(SHAPE), px, Discs([[20.0, 20.0]], 100))
    assert whole.sum[0] == SHAPE[0] * SHAPE[1]
    # Many sources on one pixel: one value, the pixel's exact disc.
    many = zolvin.aperture_sums(data, px, Discs(np.full((200000, 2), 20.0), 0.5))
    assert (many.sum == many.sum[0]).all()
    np.testing.assert_allclose(many.area[0], math.pi / 4, rtol=1e-14)


def test_bits_across_threads_order_and_out(data):
    px = warped()
    rng = np.random.default_rng(14)
    c = np.column_stack([rng.uniform(-5, 60, 2000), rng.uniform(-5, 40, 2000)])
    r = rng.uniform(0.3, 5, 2000)
    err = rng.uniform(0.1, 1.0, SHAPE)
    one = zolvin.aperture_sums(data, px, Discs(c, r), error=err, n_threads=1)
    perm = rng.permutation(len(c))
    out = (np.empty(2000), np.empty(2000), np.empty(2000))
    two = zolvin.aperture_sums(data, px, Discs(c[perm], r[perm]), error=err, out=out,
                               n_threads=2)
    assert all(t is o for t, o in zip(two, out))
    for a, b in zip(one, two):
        assert a[perm].tobytes() == b.tobytes()


def test_masks_nan_and_scattered_pixels(data):
    px = warped()
    d = data.copy()
    d[10, 10] = np.nan
    mask = np.zeros(SHAPE, bool)
    mask[20:22, 30:33] = True
    cat = Discs([[px.x[10, 10], px.y[10, 10]], [px.x[21, 31], px.y[21, 31]]], 3.0)
    got = zolvin.aperture_sums(d, px, cat, mask=mask)
    full = zolvin.aperture_sums(np.ones(SHAPE), px, cat)
    own = np.abs(px.dxdu * px.dydv - px.dxdv * px.dydu)
    np.testing.assert_allclose(got.area[0], full.area[0] - own[10, 10], rtol=1e-12)
    np.testing.assert_allclose(got.area[1], full.area[1] - own[20:22, 30:33].sum(), rtol=1e-12)
    # The same pixels scattered in no order: the same sums, to rounding.
    perm = np.random.default_rng(15).permutation(px.size)
    flat = zolvin.Pixels(px.x.ravel()[perm], px.y.ravel()[perm],
                         np.stack([[px.dxdu.ravel()[perm], px.dxdv.ravel()[perm]],
                                   [px.dydu.ravel()[perm], px.dydv.ravel()[perm]]]
                                  ).transpose(2, 0, 1))
    loose = zolvin.aperture_sums(d.ravel()[perm], flat, cat, mask=mask.ravel()[perm])
    np.testing.assert_allclose(loose.sum, got.sum, rtol=1e-13)
    np.testing.assert_allclose(loose.area, got.area, rtol=1e-13)


@pytest.mark.parametrize("change, exc, words", [
    ({"data": np.ones((5, 5))}, ValueError, "data"),
    ({"mask": np.ones((5, 5), bool)}, ValueError, "mask"),
    ({"error": np.ones(SHAPE[::-1])}, ValueError, "error"),
    ({"pixels": "warped"}, TypeError, "pixels"),
    ({"bad": (3, 4)}, ValueError, r"pixels: pixel \(3, 4\)"),
    ({"out": [np.empty(1)] * 3}, TypeError, "out"),
    ({"out": (np.empty(1), np.empty(1), np.empty(1))}, ValueError, "sum_error"),
    ({"out": (np.empty(2), None, np.empty(1))}, ValueError, r"out\[0\]"),
])
def test_refusals_before_any_work(change, exc, words):
    px = warped()
    if "bad" in change:
        jac = np.stack([[px.dxdu, px.dxdv], [px.dydu, px.dydv]]).transpose(2, 3, 0, 1).copy()
        jac[change.pop("bad")] = np.nan
        px = zolvin.Pixels(px.x, px.y, jac)
    args = {"data": np.ones(SHAPE), "pixels": px} | change
    data, pixels = args.pop("data"), args.pop("pixels")
    with pytest.raises(exc, match=words):
        zolvin.aperture_sums(data, pixels, Discs([[1, 1]], 1), **args)


def complement_of_disc(center, radius):
    """Everything outside a disc: a Region whose value far away is 1."""
    return zolvin.Region(np.zeros((0, 4)), [], [[*center, radius, 0, 0, radius, 0, 2 * np.pi]],
                         [0], ["nonzero"], program=[0, -5])


@pytest.mark.parametrize("region", [
    shape_region(zolvin.shapes.Disc((20, 15), 4.5)),
    shape_region(zolvin.shapes.Disc((20, 15), 6) - zolvin.shapes.Hexagon((21, 15), 3)),
    shape_region(zolvin.shapes.Disc((-30, 15), 4)),
    complement_of_disc((30, 20), 5.5),
], ids=["disc", "composition", "off", "complement"])
def test_region_coverage_visits_only_nearby_pixels(region):
    # The pixels near the region are swept as before; every other one is
    # exactly its far value without being visited.
    px = warped()
    got = zolvin.region_coverage(px, region)
    want = np.empty(SHAPE)
    zolvin._native.region_pixels(*px._native_args(), *region._native_args(), want, 1)
    assert got.tobytes() == want.tobytes()


def test_polygon_coverage_against_shapely_per_pixel():
    px = warped(mirror=True)
    star = np.array([(-20 + (6 if k % 2 == 0 else 2.5) * math.cos(k * math.pi / 5),
                      18 + (6 if k % 2 == 0 else 2.5) * math.sin(k * math.pi / 5))
                     for k in range(10)])
    got = zolvin.polygon_coverage(px, star)
    cells = parallelograms(px)
    want = shapely.area(shapely.intersection(cells, shapely.Polygon(star))) / shapely.area(cells)
    assert got.max() == 1.0 and (got > 0).sum() > 40
    np.testing.assert_allclose(got.ravel(), want, rtol=0, atol=1e-13)


@pytest.mark.parametrize("rows, cols", [(1 << 32, 1 << 32), (1 << 41, 1), (3, 5)])
def test_native_index_refuses_sizes_the_arrays_do_not_have(rows, cols):
    empty = np.zeros(0)
    with pytest.raises(ValueError):
        zolvin._native.PixelIndex(empty, empty, empty, empty, empty, empty, rows, cols, 1)
