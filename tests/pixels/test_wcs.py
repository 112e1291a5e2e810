"""Pixels.from_wcs: sky images with distorted pixels, on a tangent plane in arcseconds."""
import math
import warnings

import numpy as np
import pytest
import zolvin
from helpers import same_bits

pytest.importorskip("astropy.wcs")
from astropy.coordinates import SkyCoord
from astropy.io import fits
from astropy.wcs import WCS, DistortionLookupTable, Sip
from zolvin.pixels import wcs as _wcs

SCALE = 0.2  # arcseconds per pixel
SHAPE = (256, 240)


def make_wcs(projection="TAN", distorted=True, *, crval=(150.1, 2.2), flip=False,
             lonpole=None, pv=(), swap=False):
    """A rotated image; with SIP terms that change the pixel scale by about 1 %
    across the field. flip: CDELT1 > 0 (east to the right); swap: latitude
    first."""
    w = WCS(naxis=2)
    sip = "-SIP" if distorted else ""
    w.wcs.ctype = [f"RA---{projection}{sip}", f"DEC--{projection}{sip}"][::-1 if swap else 1]
    w.wcs.crval = list(crval)[::-1 if swap else 1]
    w.wcs.crpix = [118.5, 130.5]
    t = math.radians(20)
    cd = SCALE / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
    w.wcs.cd = (cd * [[-1 if flip else 1], [1]])[::-1 if swap else 1]
    if lonpole is not None:
        w.wcs.lonpole = lonpole
    w.wcs.set_pv(list(pv))
    if distorted:
        a, b = np.zeros((4, 4)), np.zeros((4, 4))
        a[2, 0], a[1, 1], a[0, 2], a[3, 0], a[1, 2] = 6e-5, -3e-5, 4e-5, 9e-8, -6e-8
        b[2, 0], b[1, 1], b[0, 2], b[0, 3], b[2, 1] = -3e-5, 7e-5, 3e-5, 6e-8, 3e-8
        w.sip = Sip(a, b, None, None, w.wcs.crpix)
    w.wcs.set()
    return w


def areas(pixels):
    return np.abs(pixels.dxdu * pixels.dydv - pixels.dxdv * pixels.dydu)


def shoelace(verts):
    return 0.5 * abs(np.dot(verts[:, 0], np.roll(verts[:, 1], -1))
                     - np.dot(verts[:, 1], np.roll(verts[:, 0], -1)))


def ngon(center, radius, n=64, squash=1.0, turn=0.0):
    t = np.linspace(0, 2 * np.pi, n + 1)[:-1] + turn
    return np.stack([center[0] + radius * np.cos(t), center[1] + radius * squash * np.sin(t)], -1)


def local_scale_area(pixels, verts):
    """Sky area of the aperture one local scale gives: the polygon mapped into
    pixel space with the one pixel scale at its centre, covered there, each
    pixel then weighed by its true area."""
    center = verts.mean(0)
    k = np.argmin(np.hypot(pixels.x - center[0], pixels.y - center[1]))
    r, c = np.unravel_index(k, pixels.shape)
    jac = np.array([[pixels.dxdu[r, c], pixels.dxdv[r, c]], [pixels.dydu[r, c], pixels.dydv[r, c]]])
    scale = math.sqrt(abs(np.linalg.det(jac)))
    # Pixel space as the sky seen at that scale, axes and orientation as the
    # Jacobian at the centre has them.
    rot = jac / scale
    local = (verts - (pixels.x[r, c], pixels.y[r, c])) @ np.linalg.inv(rot).T / scale + (c, r)
    unit = zolvin.Grid(pixels.shape, origin=(0, 0), jac=((1, 0), (0, 1))).pixels()
    return float((zolvin.polygon_coverage(unit, local) * areas(pixels)).sum())


OFF_CENTER = (150.1 + 8 / 3600, 2.2 - 5 / 3600)


@pytest.mark.parametrize("projection, distorted, center", [
    ("TAN", True, None), ("TAN", True, OFF_CENTER), ("SIN", False, OFF_CENTER)])
def test_region_areas(projection, distorted, center):
    w = make_wcs(projection, distorted)
    pixels = zolvin.Pixels.from_wcs(w, SHAPE, center=center)
    assert pixels.shape == SHAPE
    area = areas(pixels)
    # A circle (as a 64-gon and as a disc) and a hexagon off the image's
    # centre, where the distortion has changed the pixel scale the most;
    # covered exactly.
    cx, cy, radius = -6.0, 9.0, 12.0
    errors = {}
    for name, verts in (("circle", ngon((cx, cy), radius)),
                        ("hexagon", ngon((cx + 3, cy - 2), radius, 6, 0.7, 0.3))):
        covered = float((zolvin.polygon_coverage(pixels, verts) * area).sum())
        errors[name] = abs(covered / shoelace(verts) - 1)
        if distorted:
            local = local_scale_area(pixels, verts)
            errors["local " + name] = abs(local / shoelace(verts) - 1)
    circle = zolvin.aperture_coverage(pixels, zolvin.shapes.Disc((cx, cy), radius))
    errors["disc"] = abs(float((circle * area).sum()) / (math.pi * radius**2) - 1)
    assert max(errors["circle"], errors["hexagon"], errors["disc"]) < 1e-6
    if distorted:
        # One local scale misses by thousands of times more.
        assert min(errors["local circle"], errors["local hexagon"]) > 1e-4
    # enclosed_circle: its rim rule's own error (2.3e-5 at this radius of 60
    # pixels, as on an undistorted image), and the distortion adds nothing
    # beyond 1e-6 to it.
    disc = float((zolvin.enclosed_circle(pixels, (cx, cy), radius) * area).sum())
    plain = zolvin.Pixels.from_wcs(make_wcs("TAN", False), SHAPE)
    flat = float((zolvin.enclosed_circle(plain, (cx, cy), radius) * areas(plain)).sum())
    assert disc == pytest.approx(math.pi * radius**2, rel=5e-5)
    assert disc == pytest.approx(flat, rel=1e-6)


@pytest.mark.parametrize("center", [None, (150.1 - 10 / 3600, 2.2 + 7 / 3600)])
def test_analytic_jacobian_equals_central_differences(center):
    w = make_wcs()
    analytic = zolvin.Pixels.from_wcs(w, SHAPE, center=center, jacobian="analytic")
    central = zolvin.Pixels.from_wcs(w, SHAPE, center=center, jacobian="central")
    for name in ("dxdu", "dxdv", "dydu", "dydv"):
        diff = np.abs(getattr(analytic, name) - getattr(central, name))
        assert diff.max() < 1e-7 * SCALE, name
    assert np.array_equal(analytic.x, central.x) and np.array_equal(analytic.y, central.y)


def test_centres_round_trip_through_the_wcs():
    # Back from the tangent plane to the sky by the inverse projection, then to
    # pixels by astropy: each centre lands on its own pixel; x points east.
    w = make_wcs()
    lon0, lat0 = 150.1 + 30 / 3600, 2.2 - 20 / 3600
    pixels = zolvin.Pixels.from_wcs(w, SHAPE, center=SkyCoord(lon0, lat0, unit="deg"))
    rows, cols = np.array([0, 17, 130, 255]), np.array([0, 200, 118, 239])
    xi = np.radians(pixels.x[rows, cols] / 3600)
    eta = np.radians(pixels.y[rows, cols] / 3600)
    l0, b0 = math.radians(lon0), math.radians(lat0)
    lat = np.arcsin((math.sin(b0) + eta * math.cos(b0)) / np.sqrt(1 + xi**2 + eta**2))
    lon = l0 + np.arctan2(xi, math.cos(b0) - eta * math.sin(b0))
    x, y = w.world_to_pixel_values(np.degrees(lon), np.degrees(lat))
    assert np.allclose(x, cols, atol=1e-6) and np.allclose(y, rows, atol=1e-6)
    east = zolvin.Pixels.from_wcs(w, (1, 2))
    assert east.x[0, 0] > east.x[0, 1]  # the first axis's scale is negative: east to the left


def wide_sin():
    """Pixels of a degree: the image reaches beyond the projection's horizon."""
    w = make_wcs("SIN", False)
    w.wcs.cd = np.eye(2)
    w.wcs.set()
    return w


@pytest.mark.parametrize("call, error, text", [
    (lambda w: zolvin.Pixels.from_wcs("wcs", SHAPE), TypeError, "wcs"),
    (lambda w: zolvin.Pixels.from_wcs(WCS(naxis=3), SHAPE), ValueError, "wcs"),
    (lambda w: zolvin.Pixels.from_wcs(w, [4, 4]), TypeError, "shape"),
    (lambda w: zolvin.Pixels.from_wcs(w, (4, -1)), ValueError, "shape"),
    (lambda w: zolvin.Pixels.from_wcs(w, (4, 4), center=(150, 95)), ValueError, "center"),
    (lambda w: zolvin.Pixels.from_wcs(w, (4, 4), jacobian="exact"), ValueError, "jacobian"),
    (lambda w: zolvin.Pixels.from_wcs(make_wcs("SIN", False), (4, 4), jacobian="analytic"),
     ValueError, "analytic"),
    (lambda w: zolvin.Pixels.from_wcs(w, (4, 4), center=(330.1, 2.2)), ValueError, "90 degrees"),
    (lambda w: zolvin.Pixels.from_wcs(make_wcs("SIN", False), (4, 4), center=(330.1, 2.2)),
     ValueError, "90 degrees"),
    (lambda w: zolvin.Pixels.from_wcs(wide_sin(), (400, 400)), ValueError, "no sky position"),
    (lambda w: _wcs.TangentPlane(w, (4, 4)).evaluate([0.5], [1]), TypeError, "rows"),
    (lambda w: _wcs.TangentPlane(w, (4, 4)).evaluate([0, 1], [1, 2, 3]), ValueError, "broadcast"),
    (lambda w: _wcs.TangentPlane(w, (4, 4)).evaluate([0], [2**41]), ValueError, "cols"),
    (lambda w: _wcs.TangentPlane(w, (4, 4)).project([150.0], [2.2, 3]), ValueError, "lat"),
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call(make_wcs())


# --- every distortion, each with its method ---------------------------------

def header_wcs(code, pv=(), shape=SHAPE):
    """A WCS read from a header, as astropy reads files (TPV and TAN with PV
    terms become a TAN CTYPE with WCSLIB distortions then)."""
    h = fits.Header()
    h["NAXIS"], h["NAXIS2"], h["NAXIS1"] = 2, *shape
    h["CTYPE1"], h["CTYPE2"] = f"RA---{code}", f"DEC--{code}"
    h["CRVAL1"], h["CRVAL2"] = 150.1, 2.2
    h["CRPIX1"], h["CRPIX2"] = 118.5, 130.5
    t = math.radians(20)
    h["CD1_1"], h["CD1_2"] = -SCALE / 3600 * math.cos(t), SCALE / 3600 * math.sin(t)
    h["CD2_1"], h["CD2_2"] = SCALE / 3600 * math.sin(t), SCALE / 3600 * math.cos(t)
    for key, value in pv:
        h[key] = value
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return WCS(h)


# TPV terms on intermediate coordinates of up to 0.0071 degrees: the mild ones
# move pixels by up to half a pixel and change their area by 2 % across the
# image, the strong ones by 70 %.
MILD_PV = (("PV1_1", 1.0), ("PV1_2", 1e-3), ("PV1_4", 0.5), ("PV1_5", -0.3), ("PV1_7", 20.0),
           ("PV2_1", 1.0), ("PV2_2", -1e-3), ("PV2_4", 0.4), ("PV2_6", 0.2), ("PV2_10", -15.0))
STRONG_PV = (("PV1_1", 1.3), ("PV1_2", 0.2), ("PV1_4", 15.0), ("PV1_5", -10.0),
             ("PV1_7", 1000.0), ("PV1_11", 1500.0), ("PV2_1", 0.8), ("PV2_2", -0.1),
             ("PV2_4", 20.0), ("PV2_6", 7.5), ("PV2_10", -500.0))


def lookup_table(size, turn):
    """A lookup table of smooth pixel offsets (up to 0.3 pixel), nodes every
    8 pixels: interpolated bilinearly, it has kinks only on the node lines."""
    i, j = np.mgrid[:40, :40]
    table = 0.3 * np.sin(i / 5 + turn) * np.cos(j / 7 - turn) * size
    return DistortionLookupTable(table.astype(np.float32), (1.0, 1.0), (0.0, 0.0), (8.0, 8.0))


def with_lookup(name):
    w = header_wcs("TAN")
    setattr(w, name, lookup_table(1.0, 0.3))
    w.wcs.set()
    return w


def standard(lon, lat, lon0, lat0):
    """Gnomonic standard coordinates (arcsec; xi east, eta north) at (lon0, lat0), degrees."""
    a, d, a0, d0 = (np.radians(t) for t in (np.asarray(lon) - lon0, lat, 0.0, lat0))
    den = np.sin(d0) * np.sin(d) + np.cos(d0) * np.cos(d) * np.cos(a)
    xi = np.cos(d) * np.sin(a) / den
    eta = (np.cos(d0) * np.sin(d) - np.sin(d0) * np.cos(d) * np.cos(a)) / den
    return np.array([np.degrees(xi) * 3600, np.degrees(eta) * 3600])


def astropy_oracle(w, center, rows, cols):
    """Centres and Jacobians from astropy's sky positions alone: central
    differences of 1/4 and 1/8 pixel, Richardson-extrapolated (truncation of
    order step**4; degrees round to about 2e-9 of a 0.2 arcsec pixel here)."""
    def at(c, r):
        world = w.pixel_to_world_values(c, r)
        return standard(world[w.wcs.lng], world[w.wcs.lat], *center)

    def diff(h):
        return [(at(cols + h * dc, rows + h * dr) - at(cols - h * dc, rows - h * dr)) / (2 * h)
                for dc, dr in ((1, 0), (0, 1))]

    coarse, fine = diff(0.25), diff(0.125)
    d_dc, d_dr = ((4 * f - c) / 3 for c, f in zip(coarse, fine))
    return at(cols, rows), np.stack([d_dc, d_dr], 1)


def mp_tpv(pv, axis, own, other):
    """The TPV polynomial of one axis (its terms up to the third degree)."""
    mp = pytest.importorskip("mpmath").mp
    r = mp.hypot(own, other)
    terms = [1, own, other, r, own**2, own * other, other**2,
             own**3, own**2 * other, own * other**2, other**3, r**3]
    return mp.fsum(mp.mpf(value) * terms[int(key.split("_")[1])]
                   for key, value in pv if key.startswith(f"PV{axis}_"))


def mp_standard(w, center, c, r, pv):
    """Standard coordinates (arcsec) at center of 0-based pixel (c, r): the
    WCS's SIP, linear, TPV (pv: its header cards) and TAN formulas and the
    spherical rotation written out in 40-digit arithmetic."""
    mp = pytest.importorskip("mpmath").mp
    deg = mp.pi / 180
    lng, lat = w.wcs.lng, w.wcs.lat
    du, dv = c + 1 - w.wcs.crpix[0], r + 1 - w.wcs.crpix[1]
    if w.sip is not None:
        u, v = c + 1 - w.sip.crpix[0], r + 1 - w.sip.crpix[1]
        for coeffs, (i, j) in ((w.sip.a, (1, 0)), (w.sip.b, (0, 1))):
            f = mp.fsum(mp.mpf(float(coeffs[p, q])) * u**p * v**q
                        for p in range(coeffs.shape[0]) for q in range(coeffs.shape[1]))
            du, dv = du + i * f, dv + j * f
    m = w.pixel_scale_matrix
    x = m[lng, 0] * du + m[lng, 1] * dv
    y = m[lat, 0] * du + m[lat, 1] * dv
    if pv:
        x, y = mp_tpv(pv, lng + 1, x, y), mp_tpv(pv, lat + 1, y, x)
    phi, theta = mp.atan2(x, -y), mp.atan2(180 / mp.pi, mp.hypot(x, y))  # native, radians
    a0, d0 = (mp.mpf(float(w.wcs.crval[k])) * deg for k in (lng, lat))
    dphi = phi - mp.mpf(float(w.wcs.lonpole)) * deg
    a = a0 + mp.atan2(-mp.cos(theta) * mp.sin(dphi),
                      mp.sin(theta) * mp.cos(d0) - mp.cos(theta) * mp.sin(d0) * mp.cos(dphi))
    d = mp.asin(mp.sin(theta) * mp.sin(d0) + mp.cos(theta) * mp.cos(d0) * mp.cos(dphi))
    a0, d0 = (mp.mpf(t) * deg for t in center)
    den = mp.sin(d0) * mp.sin(d) + mp.cos(d0) * mp.cos(d) * mp.cos(a - a0)
    xi = mp.cos(d) * mp.sin(a - a0) / den
    eta = (mp.cos(d0) * mp.sin(d) - mp.sin(d0) * mp.cos(d) * mp.cos(a - a0)) / den
    return xi * 3600 / deg, eta * 3600 / deg


def mp_oracle(w, center, rows, cols, pv):
    """Centres and Jacobians of the formulas, to 40 digits."""
    mp = pytest.importorskip("mpmath").mp
    with mp.workdps(40):
        def f(c, r, i, dc=0, dr=0):
            return lambda t: mp_standard(w, center, c + t * dc, r + t * dr, pv)[i]

        pixels = list(zip(cols.tolist(), rows.tolist()))
        centres = [[float(f(c, r, i)(0)) for c, r in pixels] for i in (0, 1)]
        jac = [[[float(mp.diff(f(c, r, i, *d), 0)) for c, r in pixels]
                for d in ((1, 0), (0, 1))] for i in (0, 1)]
    return np.array(centres), np.array(jac)


CASES = {
    # name: (WCS, its TPV cards for the high-precision oracle, what
    # jacobian="analytic" is refused for: then astropy is the oracle)
    "TAN-SIP": (make_wcs, (), None),
    "flipped": (lambda: make_wcs(flip=True), (), None),  # CDELT1 > 0
    "lonpole": (lambda: make_wcs(lonpole=123.4), (), None),
    "phi0": (lambda: make_wcs(pv=[(1, 1, 30.0)]), (), None),  # LONPOLE: phi0 + 180
    "near the pole": (lambda: make_wcs(crval=(10.0, 89.99)), (), None),
    "at the pole": (lambda: make_wcs(crval=(33.0, 90.0)), (), None),  # LONPOLE: 0
    "latitude first": (lambda: make_wcs(swap=True), (), None),
    "TPV mild": (lambda: header_wcs("TPV", MILD_PV), MILD_PV, None),
    "TPV strong": (lambda: header_wcs("TPV", STRONG_PV), STRONG_PV, None),
    "TAN with PV": (lambda: header_wcs("TAN", MILD_PV), MILD_PV, None),
    "TPV with r": (lambda: header_wcs("TPV", MILD_PV + (("PV1_3", 1e-3),)), None, "TPV"),
    "cpdis": (lambda: with_lookup("cpdis2"), None, "cpdis2"),
    "det2im": (lambda: with_lookup("det2im1"), None, "det2im1"),
    "SIN": (lambda: make_wcs("SIN", False), None, "SIN projection"),
    "TAN theta0 = 60": (lambda: header_wcs("TAN", (("PV1_2", 60.0),)), None, "theta0"),
}


@pytest.mark.parametrize("name", CASES)
def test_each_wcs_gets_a_method_right_for_it(name):
    make, pv, refused = CASES[name]
    w = make()
    if refused is None:
        zolvin.Pixels.from_wcs(w, (2, 2), jacobian="analytic")
    else:
        assert _wcs.TangentPlane(w, SHAPE).method == "central"
        with pytest.raises(ValueError, match=f"analytic.*{refused}"):
            zolvin.Pixels.from_wcs(w, (2, 2), jacobian="analytic")
    world = w.pixel_to_world_values(111.0, 140.0)  # near the image's middle
    center = (float(world[w.wcs.lng]), float(world[w.wcs.lat]))
    pixels = zolvin.Pixels.from_wcs(w, SHAPE, center=center)
    # Pixels spread over the image, off the lookup tables' node lines.
    rows, cols = np.array([0, 3, 61, 130, 201, 255]), np.array([1, 238, 117, 59, 189, 150])
    centres = np.array([pixels.x[rows, cols], pixels.y[rows, cols]])
    jac = np.array([[pixels.dxdu[rows, cols], pixels.dxdv[rows, cols]],
                    [pixels.dydu[rows, cols], pixels.dydv[rows, cols]]])
    sky, want_jac = astropy_oracle(w, center, rows.astype(float), cols.astype(float))
    want, tol = sky, 1e-8
    if refused is None:  # the analytic method: exact to rounding
        want, want_jac = mp_oracle(w, center, rows, cols, pv)
        assert np.abs(sky - want).max() < 1e-8  # the formulas are astropy's
        tol = 1e-12
    assert np.abs(centres - want).max() < max(tol, 1e-9)  # arcsec
    assert np.abs(jac - want_jac).max() < tol * SCALE
    det = jac[0, 0] * jac[1, 1] - jac[0, 1] * jac[1, 0]
    want_det = want_jac[0, 0] * want_jac[1, 1] - want_jac[0, 1] * want_jac[1, 0]
    assert np.abs(det - want_det).max() < 10 * tol * SCALE**2  # of an undistorted pixel's area
    # A 10 arcsec disc (50 pixels) off the image's middle: the pixels' areas
    # under it add up to its area, to what the parallelogram model allows
    # (7e-8 on the SIP image, 2.5e-6 where TPV changes the area by 70 %).
    disc = zolvin.shapes.Disc((pixels.x[150, 100], pixels.y[150, 100]), 10.0)
    covered = float((zolvin.aperture_coverage(pixels, disc) * areas(pixels)).sum())
    assert covered == pytest.approx(math.pi * 100, rel=5e-6)


# --- windows: any pixels by index, the same bits as the whole image ---------

WINDOW_KINDS = {
    "SIP": (make_wcs, None, "auto"),
    "SIP, central": (make_wcs, OFF_CENTER, "central"),
    "plain TAN": (lambda: make_wcs(distorted=False), OFF_CENTER, "auto"),
    "TPV": (lambda: header_wcs("TPV", STRONG_PV), OFF_CENTER, "auto"),
    "lookup table": (lambda: with_lookup("cpdis1"), OFF_CENTER, "auto"),
    "SIN": (lambda: make_wcs("SIN", False), OFF_CENTER, "auto"),
}


@pytest.mark.parametrize("kind", WINDOW_KINDS)
def test_windows_give_the_bits_of_the_whole_image(kind, rng):
    make, center, jacobian = WINDOW_KINDS[kind]
    w = make()
    whole = zolvin.Pixels.from_wcs(w, SHAPE, center=center, jacobian=jacobian)
    plane = _wcs.TangentPlane(w, SHAPE, center=center, jacobian=jacobian)
    names = ("x", "y", "dxdu", "dxdv", "dydu", "dydv")
    # Rectangles of odd sizes at odd offsets, as broadcast index ranges.
    for r0, c0, h, wd in ((0, 0, 1, 1), (3, 5, 7, 13), (17, 2, 1, 31), (200, 99, 56, 3),
                          (61, 0, 9, 240)):
        rows, cols = np.arange(r0, r0 + h)[:, None], np.arange(c0, c0 + wd)[None, :]
        window = zolvin.Pixels._from_plane(plane, rows, cols)
        for name in names:
            assert same_bits(getattr(window, name), getattr(whole, name)[r0:r0 + h, c0:c0 + wd])
        assert same_bits(window.u, whole.u[r0:r0 + h, c0:c0 + wd])
        assert same_bits(window.v, whole.v[r0:r0 + h, c0:c0 + wd])
    # Scattered pixels in any order, an odd number of them.
    k = rng.permutation(whole.size)[:20001]
    rows, cols = np.unravel_index(k, SHAPE)
    for name, values in zip(names, plane.evaluate(rows, cols)):
        assert same_bits(values, getattr(whole, name).ravel()[k]), name
    for empty in ((5, 0), (0, 3)):  # astropy refuses empty arrays: none is passed
        assert zolvin.Pixels.from_wcs(w, empty, center=center, jacobian=jacobian).shape == empty
    # Sky positions land on the plane where their pixels do.
    world = w.pixel_to_world_values(cols[:99], rows[:99])
    x, y = plane.project(world[w.wcs.lng], world[w.wcs.lat])
    assert np.hypot(x - whole.x.ravel()[k[:99]], y - whole.y.ravel()[k[:99]]).max() < 1e-8


def test_an_unrecognised_distortion_is_caught(monkeypatch):
    # Were TPV not recognised, the check against astropy's sky positions
    # finds it: central differences, and the analytic method refused.
    w = header_wcs("TPV", MILD_PV)
    recognised = zolvin.Pixels.from_wcs(w, SHAPE, jacobian="analytic")
    monkeypatch.setattr(_wcs, "wcslib_distortions", lambda w: None)
    assert _wcs.TangentPlane(w, SHAPE).method == "central"
    with pytest.raises(ValueError, match="analytic.* pixels away .* not recognised"):
        zolvin.Pixels.from_wcs(w, SHAPE, jacobian="analytic")
    caught = zolvin.Pixels.from_wcs(w, SHAPE)
    for name, tol in (("x", 1e-9), ("y", 1e-9), ("dxdu", 1e-9 * SCALE), ("dxdv", 1e-9 * SCALE),
                      ("dydu", 1e-9 * SCALE), ("dydv", 1e-9 * SCALE)):
        assert np.abs(getattr(caught, name) - getattr(recognised, name)).max() < tol, name


MODEL_KINDS = {
    "SIP": (make_wcs, None),
    "SIP, off centre": (make_wcs, OFF_CENTER),
    "plain TAN": (lambda: make_wcs(distorted=False), None),
    "plain TAN, off centre": (lambda: make_wcs(distorted=False), OFF_CENTER),
    "SIP, flipped, turned, swapped": (lambda: make_wcs(flip=True, lonpole=150, swap=True),
                                      OFF_CENTER),
}


@pytest.mark.parametrize("kind", MODEL_KINDS)
def test_the_engine_model_gives_the_bits_of_numpy(kind, rng):
    # The engine places TAN and TAN-SIP pixels itself (sky apertures) with
    # the NumPy model's operations in its order: the same bits, inside the
    # image and far outside it; a pixel 90 degrees from the tangent point
    # is refused by both.
    make, center = MODEL_KINDS[kind]
    plane = _wcs.TangentPlane(make(), SHAPE, center=center)
    assert plane.kind == "model"
    rows, cols = rng.integers(-5000, 5000, 20001), rng.integers(-5000, 5000, 20001)
    got = [np.empty(rows.size) for _ in range(6)]
    assert zolvin._native.plane_pixels(plane._native_model(), rows, cols, *got) == -1
    for name, a, b in zip(("x", "y", "dxdu", "dxdv", "dydu", "dydv"), got,
                          plane.evaluate(rows, cols)):
        assert same_bits(a, b), name
    far = np.array([3, 2**39]), np.array([5, 2**39])
    if center is not None:
        with pytest.raises(ValueError, match="90 degrees"):
            plane.evaluate(*far)
    placed = zolvin._native.plane_pixels(plane._native_model(), *far, *(g[:2] for g in got))
    assert placed == (1 if center is not None else -1)


@pytest.mark.parametrize("kind", ["SIP, central", "TPV", "lookup table", "SIN"])
def test_other_kinds_have_no_engine_model(kind):
    make, center, jacobian = WINDOW_KINDS[kind]
    assert _wcs.TangentPlane(make(), SHAPE, center=center, jacobian=jacobian)._native_model() is None
