"""Pixels.from_wcs: sky images with distorted pixels, on a tangent plane in arcseconds."""
import math

import numpy as np
import pytest
import zolvin

pytest.importorskip("astropy.wcs")
from astropy.coordinates import SkyCoord
from astropy.wcs import WCS, Sip

SCALE = 0.2  # arcseconds per pixel
SHAPE = (256, 240)


def make_wcs(projection="TAN", distorted=True):
    """A rotated image; with SIP terms that change the pixel scale by about 1 %
    across the field."""
    w = WCS(naxis=2)
    sip = "-SIP" if distorted else ""
    w.wcs.ctype = [f"RA---{projection}{sip}", f"DEC--{projection}{sip}"]
    w.wcs.crval = [150.1, 2.2]
    w.wcs.crpix = [118.5, 130.5]
    t = math.radians(20)
    w.wcs.cd = SCALE / 3600 * np.array([[-math.cos(t), math.sin(t)], [math.sin(t), math.cos(t)]])
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
])
def test_refusals(call, error, text):
    with pytest.raises(error, match=text):
        call(make_wcs())
