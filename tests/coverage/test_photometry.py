"""aperture_sums and the catalogs: against photutils' exact apertures,
shapely's areas, and themselves across threads and source orders."""
import math

import numpy as np
import pytest
import zolvin
from zolvin.shapes import Annuli, Discs, Ellipses, Polygons

photutils = pytest.importorskip("photutils.aperture")
shapely = pytest.importorskip("shapely")


@pytest.fixture(scope="module")
def image():
    rng = np.random.default_rng(4)
    return rng.uniform(0.5, 2.0, (96, 112))


def unit(shape):
    return zolvin.Grid(shape)


def random_centers(rng, n, shape, margin=-8):
    return np.column_stack([rng.uniform(margin, shape[1] - 1 - margin, n),
                            rng.uniform(margin, shape[0] - 1 - margin, n)])


@pytest.mark.parametrize("kind", ["disc", "ellipse", "annulus"])
def test_against_photutils(image, kind):
    # Apertures inside, across the edges and off the image; radii down to 0.3.
    rng = np.random.default_rng(1)
    c = random_centers(rng, 300, image.shape)
    err = rng.uniform(0.1, 1.0, image.shape)
    if kind == "disc":
        r = rng.uniform(0.3, 9, len(c))
        cat, ap = Discs(c, r), [photutils.CircularAperture(p, x) for p, x in zip(c, r)]
    elif kind == "ellipse":
        a, b, th = rng.uniform(1, 9, len(c)), rng.uniform(0.5, 4, len(c)), rng.uniform(-3, 3, len(c))
        cat = Ellipses(c, np.column_stack([a, b]), th)
        ap = [photutils.EllipticalAperture(p, x, y, theta=t) for p, x, y, t in zip(c, a, b, th)]
    else:
        ri, ro = rng.uniform(0.5, 4, len(c)), rng.uniform(4.5, 9, len(c))
        cat = Annuli(c, ri, ro)
        ap = [photutils.CircularAnnulus(p, *x) for p, *x in zip(c, ri, ro)]
    got = zolvin.aperture_sums(image, unit(image.shape), cat, error=err)
    # photutils gives NaN for an aperture wholly off the image: nothing on it.
    want = np.nan_to_num([float(photutils.aperture_photometry(image, a, method="exact")
                                ["aperture_sum"][0]) for a in ap])
    area = np.nan_to_num([a.area_overlap(image, method="exact") for a in ap])
    np.testing.assert_allclose(got.sum, want, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(got.area, area, rtol=1e-12, atol=1e-12)
    # sum_error: sqrt(sum f^2 sigma^2), with photutils' exact fractions f.
    for k in range(0, len(ap), 37):
        f = ap[k].to_mask(method="exact").to_image(image.shape)
        f = np.zeros(image.shape) if f is None else f
        np.testing.assert_allclose(got.sum_error[k], np.sqrt((f**2 * err**2).sum()),
                                   rtol=1e-12, atol=1e-12)


def test_polygons_and_compositions_against_shapely():
    # On a sheared, mirrored grid the data are each pixel's area, so a sum is
    # the aperture's area on the image: shapely's, clipped to the image.
    rng = np.random.default_rng(2)
    grid = zolvin.Grid((60, 70), origin=(1.3, -0.4), jac=((1.1, 0.3), (0.2, -0.9)))
    ones = np.ones(grid.shape)
    (a, b), (c, d) = grid.jac
    uv = rng.uniform(-6, 76, (40, 2))
    at = [(grid.origin[0] + a * u + b * v, grid.origin[1] + c * u + d * v) for u, v in uv]
    hexes = [zolvin.shapes.Hexagon(p, 4.0 + 3 * rng.uniform(), rng.uniform(0, 1)) for p in at]
    shapes = hexes + [zolvin.shapes.Disc((30, -20), 8) - zolvin.shapes.Hexagon((30, -20), 3),
                      zolvin.shapes.Disc((10, -10), 5) | zolvin.shapes.Disc((14, -10), 5)]
    got = zolvin.aperture_sums(ones, grid, shapes)
    u, v = np.array([-0.5, grid.shape[1] - 0.5]), np.array([-0.5, grid.shape[0] - 0.5])
    corners = [(grid.origin[0] + a * x + b * y, grid.origin[1] + c * x + d * y)
               for x, y in ((u[0], v[0]), (u[1], v[0]), (u[1], v[1]), (u[0], v[1]))]
    frame = shapely.Polygon(corners)
    geoms = [shapely.Polygon(zolvin.shapes.compile_shape(h).segments[:, :2]) for h in hexes]
    geoms += [shapely.Point(30, -20).buffer(8, 4096).difference(
        shapely.Polygon(zolvin.shapes.compile_shape(shapes[-2].cut).segments[:, :2])),
        shapely.Point(10, -10).buffer(5, 4096).union(shapely.Point(14, -10).buffer(5, 4096))]
    want = np.array([g.intersection(frame).area for g in geoms])
    assert (want[:40] > 0).sum() > 20
    np.testing.assert_allclose(got.area[:40], want[:40], rtol=1e-12, atol=1e-11)
    np.testing.assert_allclose(got.sum[:40] * grid.pixel_area, want[:40], rtol=1e-12, atol=1e-11)
    # The circles of the compositions are polygons to shapely: 4096 segments.
    np.testing.assert_allclose(got.area[40:], want[40:], rtol=1e-6)
    # The same polygons as a catalog and as shapely geometries.
    for cat in (Polygons([g.exterior.coords for g in geoms[:40]]), Polygons(np.array(geoms[:40]))):
        np.testing.assert_array_equal(zolvin.aperture_sums(ones, grid, cat).sum, got.sum[:40])


# The driver orders the sources by a counting sort where the image has few
# rows beside the catalog, by a comparison sort where it has many (the tall one).
@pytest.mark.parametrize("shape, n", [((96, 112), 3000), ((70000, 3), 400)])
def test_bits_across_threads_and_order(shape, n):
    rng = np.random.default_rng(3)
    image = rng.uniform(0.5, 2.0, shape)
    c = random_centers(rng, n, image.shape)
    r = rng.uniform(0.5, 7, len(c))
    one = zolvin.aperture_sums(image, unit(image.shape), Discs(c, r), n_threads=1)
    two = zolvin.aperture_sums(image, unit(image.shape), Discs(c, r), n_threads=2)
    perm = rng.permutation(len(c))
    shuffled = zolvin.aperture_sums(image, unit(image.shape), Discs(c[perm], r[perm]),
                                    n_threads=2)
    assert one.area.max() > 0
    for a, b, s in zip(one, two, shuffled):
        if a is None:
            continue
        assert a.tobytes() == b.tobytes()
        assert a[perm].tobytes() == s.tobytes()


def test_edges_masks_and_radii(image):
    grid = unit(image.shape)
    data = image.copy()
    data[10, 10] = np.nan
    mask = np.zeros(image.shape, bool)
    mask[40:44, 40:44] = True
    cat = Discs([[10, 10], [41, 41], [-50, -50], [0, 0], [60.2, 30.7]], [[3, 0]] * 5)
    got = zolvin.aperture_sums(data, grid, cat, mask=mask)
    assert got.sum.shape == (5, 2)
    assert np.isfinite(got.sum).all()
    assert (got.sum[:, 1] == 0).all() and (got.area[:, 1] == 0).all()  # radius 0
    assert got.sum[2, 0] == 0 and got.area[2, 0] == 0                   # wholly off
    # On the image's corner: what lies on the image (shapely's circle has 16384 sides).
    on = shapely.Point(0, 0).buffer(3, 4096).intersection(shapely.box(-0.5, -0.5, 10, 10)).area
    np.testing.assert_allclose(got.area[3, 0], on, rtol=1e-7)
    assert got.area[0, 0] == pytest.approx(math.pi * 9 - 1)              # the NaN pixel left out
    assert got.area[1, 0] < math.pi * 9 - 15                             # the masked pixels too
    # Many sources on one pixel.
    many = zolvin.aperture_sums(image, grid, Discs(np.full((100000, 2), 20.0), 0.5))
    assert (many.sum == many.sum[0]).all()
    np.testing.assert_allclose(many.area[0], math.pi / 4, rtol=1e-14)


@pytest.mark.parametrize("call, exc, words", [
    (lambda: Discs([[0, np.nan]], 1), ValueError, "centers"),
    (lambda: Discs([[0, 0]], -1), ValueError, "radii"),
    (lambda: Discs([[0, 0], [1, 1]], [1, 2, 3]), ValueError, "radii"),
    (lambda: Discs([0, 0], 1), ValueError, "centers"),
    (lambda: Ellipses([[0, 0]], (1, 0), 0), ValueError, "semi_axes"),
    (lambda: Ellipses([[0, 0]], (1, 1), [0, 1]), ValueError, "angles"),
    (lambda: Annuli([[0, 0]], 3, 2), ValueError, "r_in"),
    (lambda: Polygons([[[0, 0], [2, 2], [2, 0], [0, 2]]]), ValueError, "cross"),
    (lambda: Discs("centers", 1), TypeError, "centers"),
])
def test_catalog_refusals(call, exc, words):
    with pytest.raises(exc, match=words):
        call()


@pytest.mark.parametrize("kwargs, exc, words", [
    ({"data": np.ones((5, 5))}, ValueError, "data"),
    ({"error": np.ones((5, 5))}, ValueError, "error"),
    ({"mask": np.ones((5, 5), bool)}, ValueError, "mask"),
    ({"mask": np.ones((8, 9))}, TypeError, "mask"),
    ({"pixels": zolvin.Grid((4, 9)).pixels()}, ValueError, "data"),
    ({"pixels": "grid"}, TypeError, "pixels"),
    ({"apertures": 3}, TypeError, "apertures"),
])
def test_sum_refusals(kwargs, exc, words):
    args = {"data": np.ones((8, 9)), "pixels": zolvin.Grid((8, 9)),
            "apertures": Discs([[1, 1]], 1)} | kwargs
    data, pixels, apertures = args.pop("data"), args.pop("pixels"), args.pop("apertures")
    with pytest.raises(exc, match=words):
        zolvin.aperture_sums(data, pixels, apertures, **args)


def test_entries_against_photutils_masks():
    # The covered pixels of each disc, as compressed sparse rows: photutils'
    # exact masks, pixel for pixel.
    from zolvin.coverage.many import region_entries
    rng = np.random.default_rng(5)
    shape = (40, 50)
    c = random_centers(rng, 30, shape, margin=-3)
    r = rng.uniform(0.5, 6, len(c))
    indptr, indices, data, failed = region_entries(Discs(c, r).batch(), unit(shape),
                                                   n_threads=2)
    assert indices.dtype == np.int32 and len(failed) == 0
    for k in range(len(c)):
        want = photutils.CircularAperture(c[k], r[k]).to_mask(method="exact").to_image(shape)
        want = np.zeros(shape) if want is None else want
        got = np.zeros(shape).ravel()
        got[indices[indptr[k]:indptr[k + 1]]] = data[indptr[k]:indptr[k + 1]]
        assert (data[indptr[k]:indptr[k + 1]] > 0).all()
        np.testing.assert_allclose(got.reshape(shape), want, atol=1e-13)


def test_batch_of_shapes_and_bounds():
    # One region per shape; the bounds cover every piece; simple figures are
    # accumulated, compositions and overlapping unions swept.
    from zolvin.shapes import Disc, Hexagon, Polygon, compile_batch
    shapes = [Disc((1, 2), 3), Hexagon((10, 0), 2) - Disc((10, 0), 1),
              Polygon([[[0, 0], [4, 0], [4, 4], [0, 4]], [[1, 1], [1, 2], [2, 2], [2, 1]]]),
              Polygon([[[0, 0], [4, 0], [4, 4]], [[1, 0.5], [5, 0.5], [5, 3]]]),
              Disc((0, 0), 1) | Disc((5, 0), 1)]
    batch = compile_batch(shapes)
    assert len(batch) == 5 and batch.simple.tolist() == [1, 0, 1, 0, 0]
    np.testing.assert_array_equal(batch.bounds[0], [-2, -1, 4, 5])
    np.testing.assert_array_equal(batch.bounds[4], [-1, -1, 6, 1])
    assert not batch.segments.flags.writeable


def test_shapely_multipolygons_with_holes():
    grid = unit((30, 40))
    ring = shapely.Polygon([(2, 2), (12, 2), (12, 12), (2, 12)], [[(4, 4), (4, 8), (8, 8)]])
    multi = shapely.MultiPolygon([ring, shapely.box(20, 5, 30.5, 9.25)])
    geoms = np.array([ring, multi, shapely.Polygon()], dtype=object)
    got = zolvin.aperture_sums(np.ones(grid.shape), grid, Polygons(geoms))
    np.testing.assert_allclose(got.area, [g.area for g in geoms], rtol=1e-13)
    with pytest.raises(ValueError, match=r"polygons\[0\] is not a valid polygon"):
        Polygons(np.array([shapely.Polygon([(0, 0), (2, 2), (2, 0), (0, 2)])]))
