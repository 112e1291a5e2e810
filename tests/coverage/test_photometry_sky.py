"""sky_aperture_sums: the bits of the whole image's Pixels, photutils' sky
apertures where its one local scale is right, and the refusals."""
import math

import numpy as np
import pytest
import zolvin
from zolvin.pixels.wcs import TangentPlane
from zolvin.shapes import SkyAnnuli, SkyDiscs, SkyEllipses
from zolvin.shapes.sky import plane_departure

wcs_mod = pytest.importorskip("astropy.wcs")
photutils = pytest.importorskip("photutils.aperture")

SHAPE = (300, 280)


def sky_wcs(sip=True, rotate=20.0):
    w = wcs_mod.WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN-SIP", "DEC--TAN-SIP"] if sip else ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix = [150.0, 2.0], [140.0, 150.0]
    t = math.radians(rotate)
    s = 0.11 / 3600
    w.wcs.cd = np.array([[-s * math.cos(t), s * math.sin(t)], [s * math.sin(t), s * math.cos(t)]])
    if sip:
        a, b = np.zeros((3, 3)), np.zeros((3, 3))
        a[2, 0], a[1, 1], b[0, 2], b[1, 1] = 3e-6, -2e-6, 2.5e-6, 1e-6
        w.sip = wcs_mod.Sip(a, b, None, None, w.wcs.crpix)
    return w


def sources(w, n, seed):
    rng = np.random.default_rng(seed)
    x, y = rng.uniform(-15, SHAPE[1] + 15, n), rng.uniform(-15, SHAPE[0] + 15, n)
    lon, lat = w.pixel_to_world_values(x, y)
    return np.column_stack([lon, lat])


@pytest.fixture(scope="module")
def data():
    return np.random.default_rng(3).uniform(0.5, 2.0, SHAPE)


@pytest.mark.parametrize("kind, margin", [("discs", 1), ("ellipses", 1), ("annuli", 1),
                                          ("skycoord", 1), ("discs", 0), ("annuli", 0),
                                          ("undistorted", 1)])
def test_bits_of_the_whole_image_pixels(data, kind, margin, monkeypatch):
    # Pixels evaluated around the sources only: the sums of the whole image's,
    # also where first windows are too tight (no margin) and have to grow.
    monkeypatch.setattr("zolvin.coverage.sky.MARGIN", margin)
    calls = []
    for name in ("windows_sums", "model_sums"):
        native = getattr(zolvin._native, name)
        monkeypatch.setattr(zolvin._native, name,
                            lambda *a, native=native: calls.append(len(a[-2])) or native(*a))
    w = sky_wcs(sip=kind != "undistorted")
    c = sources(w, 400, 1)
    rng = np.random.default_rng(2)
    if kind == "ellipses":
        cat = SkyEllipses(c, np.column_stack([rng.uniform(0.5, 3, 400), rng.uniform(0.2, 1, 400)]),
                          rng.uniform(-180, 180, 400))
    elif kind == "annuli":
        cat = SkyAnnuli(c, 0.5, np.column_stack([np.full(400, 1.0), np.full(400, 2.5)]))
    elif kind == "skycoord":
        from astropy.coordinates import SkyCoord
        cat = SkyDiscs(SkyCoord(c[:, 0], c[:, 1], unit="deg", frame="icrs").galactic, 1.2)
    else:
        cat = SkyDiscs(c, rng.uniform(0, 4, 400))  # up to ~36 pixels across
    err = rng.uniform(0.1, 1.0, SHAPE)
    center = (150.002, 2.001)
    got = zolvin.sky_aperture_sums(data, w, cat, error=err, center=center, n_threads=2)
    plane = TangentPlane(w, SHAPE, center=center)
    want = zolvin.aperture_sums(data, zolvin.Pixels.from_wcs(w, SHAPE, center=center),
                                cat.on_plane(plane), error=err, n_threads=1)
    for a, b in zip(got, want):
        assert a.tobytes() == b.tobytes()
    assert (got.area > 0).sum() > 300
    assert len(calls) == 1 if margin else 2 <= len(calls) <= 4  # grown once or twice


@pytest.mark.parametrize("sip", [True, False])
def test_the_engine_model_keeps_the_bits(data, sip, monkeypatch):
    # TAN and TAN-SIP pixels made in the engine: the sums of the NumPy
    # model's pixels, for every thread count and source order.
    w = sky_wcs(sip=sip)
    c = sources(w, 300, 7)
    radii = np.random.default_rng(8).uniform(0.3, 3, 300)
    err = np.random.default_rng(9).uniform(0.1, 1.0, SHAPE)
    got = zolvin.sky_aperture_sums(data, w, SkyDiscs(c, radii), error=err, n_threads=1)
    order = np.random.default_rng(10).permutation(300)
    shuffled = zolvin.sky_aperture_sums(data, w, SkyDiscs(c[order], radii[order]), error=err,
                                        n_threads=2)
    monkeypatch.setattr(TangentPlane, "_native_model", lambda self: None)
    numpy_model = zolvin.sky_aperture_sums(data, w, SkyDiscs(c, radii), error=err, n_threads=2)
    for a, b, s in zip(got, numpy_model, shuffled):
        assert a.tobytes() == b.tobytes() and a[order].tobytes() == s.tobytes()


def test_a_window_beyond_the_plane_is_flagged():
    # The engine's model flags a region whose window holds a pixel it cannot
    # place (w <= 0: at or beyond 90 degrees from the tangent point), its
    # sums NaN, and leaves the others alone. (The plane's checks over the
    # image refuse such a WCS first; this is the engine's own guard.)
    from zolvin.pixels.projection import native_model
    from zolvin.shapes import Discs
    # Unit pixels centred at (col, row); w = 1 - x / 30 reaches 0 at column 30.
    model = native_model((1.0, 1.0), (1.0, 0.0, 0.0, 1.0), None,
                         [[1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [-1 / 30, 0.0, 1.0]])
    batch = Discs([[10.0, 10.0], [28.0, 10.0]], 2.0).batch()
    windows = np.array([[2, 2, 12, 12], [7, 25, 7, 10]], np.int64)
    out = [np.zeros(2) for _ in range(3)]
    border = np.zeros(2, np.uint8)
    zolvin._native.model_sums(model, windows.ravel(), 40, 40, *batch._native_args(),
                              np.ones(1600), 1, np.zeros(0), np.zeros(0, np.uint8), False, 0.0,
                              *out, np.zeros(0), border, 1)
    assert border.tolist() == [0, 2] and np.isnan(out[0][1]) and out[0][0] > 3


def _plane_model(linear=(1.0, 1.0, 1.0, 0.0, 0.0, 1.0), sip=(), layout=()):
    return zolvin._native.PlaneModel(np.array(linear, float), np.array(sip, float),
                                     np.array(layout, np.int64), np.zeros(0))


def _model_sums(windows):
    batch = zolvin.shapes.Discs([[1.0, 1.0]], 1.0).batch()
    out = [np.zeros(1) for _ in range(3)]
    zolvin._native.model_sums(_plane_model(), np.array(windows, np.int64), 4, 4,
                              *batch._native_args(), np.ones(16), 1, np.zeros(0),
                              np.zeros(0, np.uint8), False, 0.0, *out, np.zeros(0),
                              np.zeros(1, np.uint8), 1)


def _windows_sums(windows):
    # One pixel's window, as the NumPy model's path hands windows over.
    batch = zolvin.shapes.Discs([[1.0, 1.0]], 1.0).batch()
    px = [np.zeros(1) for _ in range(6)]
    out = [np.zeros(1) for _ in range(3)]
    zolvin._native.windows_sums(*px, np.array(windows, np.int64), np.array([0, 1], np.int64),
                                4, 4, *batch._native_args(), np.ones(1), 1, np.zeros(0),
                                np.zeros(0, np.uint8), False, 0.0, *out, np.zeros(0),
                                np.zeros(1, np.uint8), 1)


def _plane_pixels(row):
    out = [np.zeros(1) for _ in range(6)]
    zolvin._native.plane_pixels(_plane_model(), np.array([row]), np.array([0]), *out)


@pytest.mark.parametrize("call, words", [
    (lambda: _plane_model(linear=(1.0,) * 5), "linear"),
    (lambda: _plane_model(sip=(1.0,), layout=(0,) * 6), "reference pixel"),
    (lambda: _plane_model(sip=(1.0, 1.0), layout=(0,) * 5), "six polynomials"),
    (lambda: _plane_model(sip=(1.0, 1.0, 2.0), layout=(1, 2, 0, 0, 0, 0, 0)), "fewer terms"),
    (lambda: _plane_model(sip=(1.0, 1.0, 2.0), layout=(0,) * 6), "disagree"),
    (lambda: _model_sums([0, 0, 5, 1]), "windows"),
    (lambda: _model_sums([2**62, 0, 2**62, 1]), "windows"),
    (lambda: _model_sums([0, 0, 1, 1, 0]), "windows"),
    (lambda: _windows_sums([2**62, 0, 2**62, 1]), "windows"),
    (lambda: _windows_sums([0, 2**62, 1, 2**62]), "windows"),
    (lambda: _plane_pixels(2**41), "2\\*\\*40"),
    (lambda: _plane_pixels(-2**63), "2\\*\\*40"),
])
def test_the_engine_model_refuses_what_it_cannot_use(call, words):
    with pytest.raises(ValueError, match=words):
        call()


def test_against_photutils_where_one_scale_is_exact(data):
    # An undistorted TAN near its reference point: photutils' local scale and
    # orientation are right there, so both draw the same ellipses.
    w = sky_wcs(sip=False, rotate=33.0)
    rng = np.random.default_rng(4)
    x, y = rng.uniform(120, 160, 30), rng.uniform(130, 170, 30)
    lon, lat = w.pixel_to_world_values(x, y)
    a, b, pa = rng.uniform(1, 3, 30), rng.uniform(0.4, 1, 30), rng.uniform(-180, 180, 30)
    got = zolvin.sky_aperture_sums(data, w, SkyEllipses(np.column_stack([lon, lat]),
                                                        np.column_stack([a, b]), pa))
    from astropy import units as u
    from astropy.coordinates import SkyCoord
    want = []
    for k in range(30):
        ap = photutils.SkyEllipticalAperture(SkyCoord(lon[k], lat[k], unit="deg"),
                                             a[k] * u.arcsec, b[k] * u.arcsec, theta=pa[k] * u.deg)
        t = photutils.aperture_photometry(data, ap, wcs=w, method="exact")
        want.append(float(t["aperture_sum"][0]))
    np.testing.assert_allclose(got.sum, want, rtol=2e-6)


def test_areas_and_the_plane_departure():
    # Whole discs' areas on the plane are pi r^2, but for the pixels'
    # parallelograms, which tile a distorted image only to second order in
    # the pixel size; the sky circle's distance
    # from the planar one grows as the square of the distance from the
    # tangent point.
    w = sky_wcs()
    c = sources(w, 50, 5)
    inside = zolvin.sky_aperture_sums(np.ones(SHAPE), w, SkyDiscs(c, 1.5))
    whole = inside.area[(inside.area > 0) & (inside.area > 0.999 * math.pi * 2.25)]
    np.testing.assert_allclose(whole, math.pi * 2.25, rtol=1e-8)
    assert plane_departure(1.2, 0.0) == 0.0
    assert plane_departure(1.2, 0.1) == pytest.approx(1.2 * math.radians(0.1) ** 2, rel=1e-5)


@pytest.mark.parametrize("call, exc, words", [
    (lambda w: SkyDiscs([[150, 95]], 1), ValueError, "centers"),
    (lambda w: SkyDiscs([[150, 2]], -1), ValueError, "radii"),
    (lambda w: SkyEllipses([[150, 2]], (1, 0.5), [1, 2]), ValueError, "position_angles"),
    (lambda w: zolvin.sky_aperture_sums(np.ones(SHAPE), w, zolvin.shapes.Discs([[1, 1]], 1)),
     TypeError, "apertures"),
    (lambda w: zolvin.sky_aperture_sums(np.ones(5), w, SkyDiscs([[150, 2]], 1)),
     ValueError, "data"),
    (lambda w: zolvin.sky_aperture_sums(np.ones(SHAPE), "wcs", SkyDiscs([[150, 2]], 1)),
     TypeError, "wcs"),
    (lambda w: zolvin.sky_aperture_sums(np.ones(SHAPE), w, SkyDiscs([[330, -2]], 1)),
     ValueError, "90 degrees"),
])
def test_refusals(call, exc, words):
    with pytest.raises(exc, match=words):
        call(sky_wcs())
