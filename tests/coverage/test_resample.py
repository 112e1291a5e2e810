"""resample, resample_weights and Mosaic: against shapely's intersections of
the pixel parallelograms, flux totals, and themselves across threads,
output windows and whole-pixel shifts."""
import math

import numpy as np
import pytest
import zolvin
from helpers import same_bits

shapely = pytest.importorskip("shapely")
sparse = pytest.importorskip("scipy.sparse")


def turned(deg, scale=1.0, shear=0.0, mirror=False):
    c, s = math.cos(math.radians(deg)) * scale, math.sin(math.radians(deg)) * scale
    m = -1.0 if mirror else 1.0
    return ((c, -s * m + shear), (s, c * m))


def quads(grid):
    """Every pixel of grid as a shapely polygon, row-major."""
    rows, cols = grid.shape
    v, u = np.meshgrid(np.arange(rows) + grid.row0, np.arange(cols) + grid.col0, indexing="ij")
    (a, b), (c, d) = grid.jac
    x0, y0 = grid.origin
    corners = []
    for du, dv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)):
        uu, vv = u.ravel() + du, v.ravel() + dv
        corners.append(np.column_stack([x0 + a * uu + b * vv, y0 + c * uu + d * vv]))
    return shapely.polygons(np.stack(corners, axis=1))


def shapely_weights(src, dst):
    """Dense (dst pixels, src pixels): area of input k in output p / area of k."""
    p, q = quads(dst), quads(src)
    inter = shapely.area(shapely.intersection(p[:, None], q[None, :]))
    return inter / shapely.area(q)[None, :]


# (src, dst): rotated and scaled inputs smaller than the output's pixels,
# larger than them (several cells per edge), sheared, mirrored, rotated
# outputs, and windows of larger grids.
CASES = {
    "rot17_0.9": (zolvin.Grid((9, 11), (3.2, 1.1), turned(17, 0.9)), zolvin.Grid((14, 15))),
    "large": (zolvin.Grid((4, 5), (4.4, 2.7), turned(-31, 2.3)), zolvin.Grid((16, 17))),
    "tiny": (zolvin.Grid((25, 23), (3.05, 2.9), turned(8, 0.31)), zolvin.Grid((12, 11))),
    "sheared_mirrored": (zolvin.Grid((8, 9), (5.5, 1.2), turned(12, 0.8, 0.35, True)),
                         zolvin.Grid((14, 16))),
    "both_turned": (zolvin.Grid((10, 10), (0.3, 0.1), turned(40, 0.7)),
                    zolvin.Grid((12, 13), (-4.0, 0.5), turned(-25, 0.8))),
    "windows": (zolvin.Grid((30, 30), (0.4, 0.2), turned(5, 1.1))[7:16, 3:12],
                zolvin.Grid((40, 40), (-0.3, 0.0), turned(0, 1.05))[6:20, 2:21]),
}


@pytest.mark.parametrize("case", CASES)
def test_weights_against_shapely(case):
    src, dst = CASES[case]
    got = zolvin.resample_weights(src, dst)
    assert isinstance(got, sparse.csr_array) and got.shape == (dst.size, src.size)
    want = shapely_weights(src, dst)
    assert np.abs(got.toarray() - want).max() <= 1e-12
    # An input pixel wholly inside the target gives all of itself: its
    # fractions are normalised by its own corners' area.
    inside = np.abs(want.sum(axis=0) - 1) < 1e-9
    assert inside.any() and np.abs(got.sum(axis=0)[inside] - 1).max() <= 2e-15
    # Only what overlaps is stored, and nothing is stored twice.
    assert (got.data > 0).all() and got.has_canonical_format
    assert got.nnz <= np.count_nonzero(want > 1e-13) + np.count_nonzero(want > 0)


@pytest.mark.parametrize("case", CASES)
@pytest.mark.parametrize("conserve", ["flux", "mean"])
def test_resample_is_the_weights(case, conserve):
    src, dst = CASES[case]
    rng = np.random.default_rng(2)
    data = rng.uniform(-1, 3, (2, *src.shape))
    fp = np.empty((2, *dst.shape))
    got = zolvin.resample(data, src, dst, conserve=conserve, footprint=fp)
    w = zolvin.resample_weights(src, dst).toarray()
    cover = shapely_weights(src, dst) * (src.pixel_area / dst.pixel_area)  # of the output pixel
    covered = cover.sum(axis=1).reshape(dst.shape)
    for b in range(2):
        flux = (w @ data[b].ravel()).reshape(dst.shape)
        mean = (cover @ data[b].ravel()).reshape(dst.shape) / np.where(covered > 0, covered, 1)
        want = np.where(covered > 0, flux if conserve == "flux" else mean, np.nan)
        np.testing.assert_allclose(got[b], want, rtol=1e-12, atol=1e-12)
        np.testing.assert_allclose(fp[b], covered, rtol=0, atol=1e-12)


@pytest.mark.parametrize("jac", [turned(17, 0.9), turned(-61, 0.43, 0.2), turned(3, 1.7, 0, True)])
def test_flux_preserved(jac):
    rng = np.random.default_rng(3)
    # Centred on the target, wholly inside it.
    (a, b), (c, d) = jac
    src = zolvin.Grid((40, 50), (64.6 - a * 24.5 - b * 19.5, 64.9 - c * 24.5 - d * 19.5), jac)
    data = rng.uniform(0, 10, (3, *src.shape))
    got = zolvin.resample(data, src, zolvin.Grid((130, 130), (-0.2, 0.3)))
    total = data.sum(axis=(1, 2))
    assert np.abs(np.nansum(got, axis=(1, 2)) / total - 1).max() <= 1e-12


def test_constant_stays_constant_under_mean():
    src = zolvin.Grid((40, 40), (8.1, -3.3), turned(17, 0.9))
    dst = zolvin.Grid((50, 50), (0.0, 0.0), turned(2, 1.1))
    fp = np.empty(dst.shape)
    got = zolvin.resample(np.full(src.shape, 2.5), src, dst, conserve="mean", footprint=fp)
    assert (fp == 1).sum() > 500 and ((fp > 0) & (fp < 1)).sum() > 50
    assert np.abs(got[fp > 0] - 2.5).max() <= 4e-15
    assert np.isnan(got[fp == 0]).all()


@pytest.mark.parametrize("jac", [((1.0, 0.0), (0.0, 1.0)), turned(17, 0.9), turned(30, 2, 0.5, True)])
@pytest.mark.parametrize("shift", [(0, 0), (3, -2), (-40, 5), (90, 0)])
def test_whole_pixel_shift_is_exact(jac, shift):
    rng = np.random.default_rng(5)
    dst = zolvin.Grid((30, 40), (1.5, -2.25), jac)
    ku, kv = shift
    x, y = dst.origin
    (a, b), (c, d) = jac
    src = zolvin.Grid((20, 25), (x + a * ku + b * kv, y + c * ku + d * kv), jac, row0=4, col0=10)
    data = rng.uniform(0, 1, src.shape)
    data[3, 4] = np.nan
    for conserve in ("flux", "mean"):
        fp = np.empty(dst.shape)
        got = zolvin.resample(data, src, dst, conserve=conserve, footprint=fp)
        want = np.full(dst.shape, np.nan)
        r0, c0 = 4 + kv, 10 + ku
        rows, cols = slice(max(r0, 0), min(r0 + 20, 30)), slice(max(c0, 0), min(c0 + 25, 40))
        if rows.start < rows.stop and cols.start < cols.stop:
            want[rows, cols] = data[rows.start - r0:rows.stop - r0, cols.start - c0:cols.stop - c0]
        assert same_bits(got, want)
        assert same_bits(fp, np.where(np.isnan(want), 0.0, 1.0))
    if jac[0][0] == 1.0:
        # Unit pixels shifted whole pixels through the kernel too (Mosaic
        # takes no exact path).
        got = zolvin.Mosaic(dst).add(data, src).result().mean
        assert same_bits(got, want)


@pytest.mark.parametrize("conserve", ["flux", "mean"])
@pytest.mark.parametrize("shape, scale", [((150, 140), 0.9), ((40, 37), 2.3), ((12, 11), 7.7)])
def test_same_bits_for_every_thread_count_and_window(conserve, shape, scale):
    # Pixels smaller than the target's, and larger (cut over bands of rows
    # and windows of columns).
    rng = np.random.default_rng(6)
    src = zolvin.Grid(shape, (20.3, -9.1), turned(17, scale))
    dst = zolvin.Grid((170, 160), (0.0, 0.0), turned(-4, 0.97))
    data = rng.normal(0, 1, (2, *src.shape))
    data[:, ::13, ::7] = np.nan
    fp1 = np.empty((2, *dst.shape))
    one = zolvin.resample(data, src, dst, conserve=conserve, footprint=fp1, n_threads=1)
    for n in (2, 3, 8):
        fp = np.empty_like(fp1)
        assert same_bits(zolvin.resample(data, src, dst, conserve=conserve, footprint=fp,
                                         n_threads=n), one)
        assert same_bits(fp, fp1)
    win = dst[37:101, 50:129]
    assert same_bits(zolvin.resample(data, src, win, conserve=conserve), one[:, 37:101, 50:129])
    w1 = zolvin.resample_weights(src, dst, n_threads=1)
    w3 = zolvin.resample_weights(src, dst, n_threads=3)
    assert same_bits(w1.data, w3.data) and same_bits(w1.indices, w3.indices)


def test_nan_inputs_left_out():
    src = zolvin.Grid((20, 20), (5.2, 4.9), turned(17, 0.9))
    dst = zolvin.Grid((35, 35))
    data = np.ones(src.shape)
    data[5:9, 6:10] = np.nan
    fp_all, fp = np.empty(dst.shape), np.empty(dst.shape)
    zolvin.resample(np.ones(src.shape), src, dst, footprint=fp_all)
    got = zolvin.resample(data, src, dst, footprint=fp)
    # The footprint loses exactly the NaN pixels' coverage; the flux is the rest.
    w = zolvin.resample_weights(src, dst).toarray()
    lost = (w[:, np.isnan(data).ravel()].sum(axis=1) * src.pixel_area).reshape(dst.shape)
    np.testing.assert_allclose(fp, fp_all - lost, atol=1e-13)
    assert abs(np.nansum(got) - np.nansum(data)) <= 1e-12 * np.nansum(data)
    assert np.isnan(got[fp == 0]).all() and not np.isnan(got[fp > 0]).any()


def test_grids_that_do_not_meet():
    fp = np.full((10, 10), 7.0)
    got = zolvin.resample(np.ones((5, 5)), zolvin.Grid((5, 5), (100.5, 0.2)), zolvin.Grid((10, 10)),
                          footprint=fp)
    assert np.isnan(got).all() and (fp == 0).all()
    assert zolvin.resample_weights(zolvin.Grid((5, 5), (100.5, 0.2)), zolvin.Grid((10, 10))).nnz == 0


@pytest.mark.parametrize("call, error, match", [
    (lambda d, s, t: zolvin.resample(d, s, t, conserve="area"), ValueError, "conserve"),
    (lambda d, s, t: zolvin.resample(d[:3], s, t), ValueError, "data"),
    (lambda d, s, t: zolvin.resample(d, s.shape, t), TypeError, "src"),
    (lambda d, s, t: zolvin.resample(d, s.pixels(), t.pixels()), TypeError, "src"),
    (lambda d, s, t: zolvin.resample(d, s, t.shape), TypeError, "dst"),
    (lambda d, s, t: zolvin.resample(d[:, :3], s.pixels(), t), ValueError, "data"),
    (lambda d, s, t: zolvin.resample(d, zolvin.Pixels(np.zeros((4, 4)), np.zeros((4, 4)),
                                                      np.zeros((2, 2))), t), ValueError, "src"),
    (lambda d, s, t: zolvin.resample(d, s, zolvin.Grid((3, 3), jac=((1, 2), (2, 4)))),
     ValueError, "dst"),
    (lambda d, s, t: zolvin.resample(d, zolvin.Grid((4, 4), jac=((0, 0), (0, 1))), t),
     ValueError, "src"),
    (lambda d, s, t: zolvin.resample(d, s, t, out=np.empty((6, 6), np.float32)), TypeError, "out"),
    (lambda d, s, t: zolvin.resample(d, s, t, out=np.empty((5, 6))), ValueError, "out"),
    (lambda d, s, t: zolvin.resample(d, s, t, footprint=d[:4, :4].copy()[:, :2]), ValueError,
     "footprint"),
    (lambda d, s, t: zolvin.resample(d, s, zolvin.Grid((4, 4)), out=d), ValueError,
     "out overlaps data"),
    (lambda d, s, t: zolvin.resample(d, s, t, n_threads=0), ValueError, "n_threads"),
])
def test_bad_arguments(call, error, match):
    src, dst = zolvin.Grid((4, 4), (0.3, 0.2)), zolvin.Grid((6, 6))
    data = np.ones((4, 4))
    with pytest.raises(error, match=match):
        call(data, src, dst)


@pytest.mark.parametrize("as_pixels", [False, True])
def test_mosaic_weighted_mean_and_variance(as_pixels):
    rng = np.random.default_rng(7)
    dst = zolvin.Grid((30, 30))
    images = []
    for k, jac in enumerate((turned(17, 0.9), turned(-8, 1.2), turned(0))):
        src = zolvin.Grid((18, 20), (6.1 + k, 5.3 - k), jac)
        images.append((src, rng.uniform(1, 2, src.shape), rng.uniform(0.5, 3, src.shape),
                       rng.uniform(0.1, 0.4, src.shape)))
    images[1][1][4, 4] = np.nan
    mosaic = zolvin.Mosaic(dst)
    for src, data, weight, var in images:
        assert mosaic.add(data, src.pixels() if as_pixels else src, weight, var) is mosaic
    got = mosaic.result()
    # What the definition says, from the shapely-checked weights.
    num, den, vv = (np.zeros(dst.size) for _ in range(3))
    for src, data, weight, var in images:
        cover = zolvin.resample_weights(src, dst).toarray() * (src.pixel_area / dst.pixel_area)
        ok = ~np.isnan(data.ravel())
        c = cover[:, ok] * weight.ravel()[ok]
        num += c @ data.ravel()[ok]
        den += c.sum(axis=1)
        vv += (c * c) @ var.ravel()[ok]
    np.testing.assert_allclose(got.weight.ravel(), den, rtol=1e-12, atol=1e-14)
    seen = den > 0
    np.testing.assert_allclose(got.mean.ravel()[seen], num[seen] / den[seen], rtol=1e-12)
    np.testing.assert_allclose(got.variance.ravel()[seen], vv[seen] / den[seen] ** 2, rtol=1e-12)
    assert np.isnan(got.mean.ravel()[~seen]).all()


def test_mosaic_bands_and_mixing_rules():
    dst = zolvin.Grid((12, 12))
    src = zolvin.Grid((6, 6), (3.25, 2.75), turned(10))
    mosaic = zolvin.Mosaic(dst).add(np.ones((2, 6, 6)), src, weight=np.full((2, 6, 6), 2.0))
    mosaic.add(np.full((2, 6, 6), 4.0), src, weight=6.0)
    res = mosaic.result()
    assert res.mean.shape == (2, 12, 12) and res.variance is None
    # (1 x 2 + 4 x 6) / (2 + 6), wherever any weight landed.
    assert np.abs(res.mean[res.weight > 0] - 3.25).max() <= 1e-15
    with pytest.raises(ValueError, match="bands"):
        mosaic.add(np.ones((6, 6)), src)
    with pytest.raises(ValueError, match="variance"):
        mosaic.add(np.ones((2, 6, 6)), src, variance=np.ones((2, 6, 6)))
    with pytest.raises(ValueError, match="weight"):
        mosaic.add(np.ones((2, 6, 6)), src, weight=-1.0)
    empty = zolvin.Mosaic(dst).result()
    assert np.isnan(empty.mean).all() and (empty.weight == 0).all()


@pytest.mark.parametrize("case", ["rot17_0.9", "large", "sheared_mirrored", "windows"])
@pytest.mark.parametrize("conserve", ["flux", "mean"])
@pytest.mark.parametrize("side", ["src", "dst"])
def test_pixels_agree_with_the_grid(case, conserve, side):
    # The same pixels as Pixels go through the many-region engine instead.
    src, dst = CASES[case]
    s, t = (src.pixels(), dst) if side == "src" else (src, dst.pixels())
    rng = np.random.default_rng(8)
    data = rng.uniform(-1, 3, (2, *src.shape))
    data[0, 1, 2] = np.nan
    fg, fp = np.empty((2, *dst.shape)), np.empty((2, *dst.shape))
    want = zolvin.resample(data, src, dst, conserve=conserve, footprint=fg)
    got = zolvin.resample(data, s, t, conserve=conserve, footprint=fp)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-13)
    np.testing.assert_allclose(fp, fg, rtol=0, atol=1e-13)
    w = zolvin.resample_weights(s, t).toarray()
    assert np.abs(w - shapely_weights(src, dst)).max() <= 1e-12
    one = zolvin.resample(data, s, t, conserve=conserve, n_threads=1)
    assert same_bits(zolvin.resample(data, s, t, conserve=conserve, n_threads=3), one)


@pytest.mark.parametrize("sip", [False, True])
def test_sky_image_onto_a_tangent_plane_grid(sip):
    # A TAN(-SIP) image's Pixels onto 0.25" pixels on its tangent plane: the
    # flux is conserved either way; under distortion the pixels made from
    # centres and Jacobians overlap and leave gaps, which the footprint of
    # wholly covered pixels shows (the SIP terms change the scale by 2.5%
    # across the field).
    wcs = pytest.importorskip("astropy.wcs")
    ndimage = pytest.importorskip("scipy.ndimage")
    w = wcs.WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"] if sip else ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix = [150.1, 2.2], [60.5, 55.5]
    t = math.radians(20)
    w.wcs.cd = 0.2 / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
    if sip:
        a, b = np.zeros((4, 4)), np.zeros((4, 4))
        a[2, 0], a[1, 1], a[0, 2] = 6e-5, -3e-5, 4e-5
        b[2, 0], b[1, 1], b[0, 2] = -3e-5, 7e-5, 3e-5
        w.sip = wcs.Sip(a, b, None, None, w.wcs.crpix)
    w.wcs.set()
    pixels = zolvin.Pixels.from_wcs(w, (110, 120))
    dst = zolvin.Grid((130, 130), origin=(-16.0, -16.0), jac=((0.25, 0.0), (0.0, 0.25)))
    data = np.random.default_rng(9).uniform(1, 2, pixels.shape)
    fp = np.empty(dst.shape)
    out = zolvin.resample(data, pixels, dst, footprint=fp)
    assert abs(np.nansum(out) / data.sum() - 1) <= 1e-12
    inner = ndimage.binary_erosion(fp > 0, iterations=3)
    departure = np.abs(fp[inner] - 1).max()
    assert (1e-7 < departure < 2e-5) if sip else departure <= 1e-12


@pytest.mark.parametrize("chunks", [(37, 41), (64, 200), 25, (200, 13)])
@pytest.mark.parametrize("conserve", ["flux", "mean"])
def test_dask_chunks_give_the_same_bits(chunks, conserve):
    zdask = pytest.importorskip("zolvin.dask")
    darray = pytest.importorskip("dask.array")
    rng = np.random.default_rng(10)
    src = zolvin.Grid((120, 110), (30.3, -19.1), turned(17, 0.9))
    dst = zolvin.Grid((150, 140), (0.0, 0.0), turned(-3, 1.07))
    data = rng.normal(0, 1, (2, *src.shape))
    data[:, ::11, ::5] = np.nan
    fp = np.empty((2, *dst.shape))
    want = zolvin.resample(data, src, dst, conserve=conserve, footprint=fp)
    lazy = darray.from_array(data, chunks=(1, 50, 45))
    got, got_fp = zdask.resample(lazy, src, dst, conserve=conserve, chunks=chunks, footprint=True)
    assert got.shape == want.shape and got.chunks[1:] == got_fp.chunks[1:]
    assert same_bits(got.compute(), want)
    assert same_bits(got_fp.compute(), fp)
    # A plain array, one band, and an output partly beyond the input's reach.
    far = zolvin.Grid((60, 300), (-50.0, 20.0))
    want = zolvin.resample(data[0], src, far)
    assert same_bits(zdask.resample(data[0], src, far, chunks=chunks).compute(), want)


@pytest.mark.parametrize("scale, flux, cover", [
    (1e-20, 25.0, 25e-40),   # every pixel inside one output pixel: corners round together
    (1e-3, 25.0, 25e-6),
    (1e5, 36e-10, 1.0),      # each output pixel inside one input pixel: work of the output only
    (3e3, 36 / 9e6, 1.0),
])
def test_extreme_pixel_sizes(scale, flux, cover):
    src = zolvin.Grid((5, 5), (2.0 - 2 * scale, 2.0 - 2 * scale), ((scale, 0.0), (0.0, scale)))
    dst = zolvin.Grid((6, 6))
    fp = np.empty(dst.shape)
    out = zolvin.resample(np.ones(src.shape), src, dst, footprint=fp)
    assert math.isclose(np.nansum(out), flux, rel_tol=1e-12)
    assert math.isclose(fp.max(), cover, rel_tol=1e-12)
    assert math.isclose(zolvin.resample_weights(src, dst).sum(), flux, rel_tol=1e-12)
