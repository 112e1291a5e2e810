"""Pixels of a sky image: centres and Jacobians on a tangent plane, from a WCS.

How a pixel is placed depends on what the WCS does between the pixel and the
sky, and each kind of WCS gets the method that is right for it:

``model``
    A gnomonic (TAN) projection with its reference point at the native pole,
    undistorted or with SIP or TPV polynomials. Its intermediate world
    coordinates then are the standard coordinates on the plane tangent at
    CRVAL (turned by LONPOLE), so centres and Jacobians are the linear
    matrix and the polynomials with their derivatives: plain arithmetic,
    analytic. Another tangent point sees that plane through a projective
    map, made once.
``intermediate``
    The same projection with distortions not read here (lookup tables, a
    TPV term in the radius, WCSLIB's other distortions): astropy gives the
    intermediate world coordinates, central differences their derivatives;
    the projective map as above.
``sky``
    Any other projection: astropy's sky positions projected onto the plane,
    central differences of those.

Pixels spread over the image are checked against astropy's own sky
positions before the first two kinds are trusted: a WCS that maps pixels
otherwise (a distortion not recognised) falls to the next kind.

Only + - * / and sqrt run per pixel in the first two kinds, whose results
numpy rounds element by element, so a pixel's values are the same bits
whether it is computed with the whole image or in any window of it (or by
the engine's PlaneModel, which repeats the TAN and TAN-SIP model). The sky
kind also takes numpy's sin and cos, which must be as consistent (the tests
check it on each machine).
"""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..core import checks as V
from .projection import (
    ARCSEC_PER_RADIAN,
    Sip,
    Tpv,
    basis,
    cos_sin_deg,
    gnomonic,
    native_model,
    product,
    projection_issue,
    wcslib_distortions,
)

ARCSEC_PER_DEGREE = 3600.0
# Steps of the central differences, in pixels: powers of two, so x +- step
# is exact for any pixel index below 2^40. Their truncation error is the
# third derivative times step**2 / 6. Intermediate coordinates (relative to
# CRVAL) round to about 1e-16 of the image's extent, so a small step costs
# little there (1e-11 to 1e-10 of the pixel scale on a 4096^2 image); sky
# positions in degrees round to about 1e-10 arcsec, so the sky kind keeps a
# longer baseline (about 1e-8 of a 0.2 arcsec pixel).
STEP_INTERMEDIATE = 2.0**-8
STEP_SKY = 2.0**-4
MAX_INDEX = 2**40
# Pixels evaluated together: the temporaries stay small and in cache.
BLOCK = 1 << 14
# Where the kinds are checked against astropy: fractions of the image's extent
# (uneven, so that no symmetry of a distortion hides it), and how close the
# positions must agree: far above rounding, far below any real distortion.
PROBE = (0.0, 0.31, 0.67, 1.0)
PROBE_PIXELS = 1e-6
PROBE_ARCSEC = 1e-9
# astropy's lookup-table distortions.
_LOOKUPS = ("det2im1", "det2im2", "cpdis1", "cpdis2")

Arrays = tuple[V.FloatArray, V.FloatArray, V.FloatArray, V.FloatArray, V.FloatArray, V.FloatArray]


def _check_plane(cos_distance: Any, rows: Any, cols: Any) -> None:
    """ValueError unless every position has a sky position less than 90
    degrees from the tangent point."""
    ok = np.asarray(cos_distance > 0)
    if bool(ok.all()):
        return
    k = int(np.argmin(ok.ravel()))
    shape = np.broadcast_shapes(np.shape(rows), np.shape(cols))
    r, c = (np.broadcast_to(a, shape).ravel()[k] for a in (rows, cols))
    where = f"pixel (row {r:g}, column {c:g})"
    if np.isnan(np.ravel(cos_distance)[k]):
        raise ValueError(f"the WCS gives no sky position for {where}")
    raise ValueError(f"every pixel must lie less than 90 degrees from center, and {where} "
                     "does not")


class TangentPlane:
    """Where the pixels of one WCS fall on the plane tangent to the sky at a
    point: centres in arcseconds (x east, y north) and Jacobians.

    Made once per WCS (its checks and the choice of method run here); then
    ``image()`` gives every pixel of the image, ``evaluate(rows, cols)`` any
    pixels by index, with the same bits for a pixel either way, and
    ``project(lon, lat)`` places sky positions on the same plane.
    """

    def __init__(self, wcs: Any, shape: Any, *, center: Any = None,
                 jacobian: str = "auto") -> None:
        _check_wcs(wcs)
        if not isinstance(shape, tuple) or len(shape) != 2:
            raise TypeError(f"shape must be a tuple of two ints, not {shape!r}")
        self.shape = (V.index(shape[0], "shape[0]", 0), V.index(shape[1], "shape[1]", 0))
        if jacobian not in ("auto", "analytic", "central"):
            raise ValueError(f"jacobian must be 'auto', 'analytic' or 'central', not {jacobian!r}")
        wcs.wcs.set()
        self._wcs = wcs
        self._lng, self._lat = int(wcs.wcs.lng), int(wcs.wcs.lat)
        ref = (float(wcs.wcs.crval[self._lng]), float(wcs.wcs.crval[self._lat]))
        self.center = ref if center is None else _center(wcs, center)
        self.basis = basis(*self.center)
        matrix = np.asarray(wcs.pixel_scale_matrix, float)[[self._lng, self._lat]]
        self._scale = ARCSEC_PER_DEGREE * math.sqrt(abs(float(np.linalg.det(matrix))))
        self._central = jacobian == "central"

        self.kind = "sky"
        issue = projection_issue(wcs)
        if issue is None:
            found = self._tan_setup(wcs, matrix, ref)
            issue = " and ".join(found) if found else None
            for kind in ("intermediate",) if found else ("model", "intermediate"):
                self.kind = kind
                miss = self._probe()
                if miss is None:
                    break
                if kind == "model":
                    terms = (" and SIP terms" if self._sip else "") + (
                        " and TPV terms" if self._tpv else "")
                    issue = (f"sky positions up to {miss:.3g} pixels away from those of its TAN "
                             f"projection{terms} (a distortion not recognised)")
            else:
                self.kind = "sky"
        if jacobian == "analytic" and self.kind != "model":
            raise ValueError(f"jacobian='analytic' does not apply to this WCS, which has {issue}; "
                             "use 'auto' or 'central'")
        self.method = "analytic" if self.kind == "model" and not self._central else "central"

    # --- setting up the TAN kinds -----------------------------------------
    def _tan_setup(self, wcs: Any, matrix: np.ndarray, ref: tuple[float, float]) -> list[str]:
        """The maps of the TAN kinds: pixel to intermediate world coordinates,
        these to the plane at CRVAL (a turn by LONPOLE), that to center's.
        Returns the distortions the model does not take."""
        # Intermediate coordinates (x, y) put the celestial pole at native
        # longitude LONPOLE, i.e. north along (sin, -cos) of it, east a
        # quarter turn clockwise of north: standard coordinates at CRVAL are
        # (xi, eta) = turn @ (x, y), the identity for the usual 180.
        c, s = cos_sin_deg(float(wcs.wcs.lonpole))
        turn = (-c, -s, s, -c)
        self._turn = tuple(ARCSEC_PER_DEGREE * t for t in turn)
        self._m = tuple(float(t) for t in matrix.ravel())
        self._k = tuple(ARCSEC_PER_DEGREE * t for t in product(turn, self._m))
        self._crpix = (float(wcs.wcs.crpix[0]), float(wcs.wcs.crpix[1]))
        self._sip = None if wcs.sip is None else Sip(wcs.sip)
        found = [f"the lookup table {name}" for name in _LOOKUPS
                 if getattr(wcs, name, None) is not None]
        kinds = wcslib_distortions(wcs)
        self._tpv = Tpv.read(wcs, self._lng, self._lat) if kinds == ["TPV"] else None
        if kinds is not None and self._tpv is None:
            found.append(f"WCSLIB's {'/'.join(kinds) or 'own'} distortion terms")
        self._h: list[list[float]] | None = None
        if self.center != ref:
            # A point (xi, eta) of CRVAL's plane is the direction
            # xi * east + eta * north + radial there; center's plane takes
            # the ratios of its components in center's basis.
            q = (self.basis @ basis(*ref).T).tolist()
            k = ARCSEC_PER_RADIAN
            self._h = [[q[0][0], q[0][1], k * q[0][2]], [q[1][0], q[1][1], k * q[1][2]],
                       [q[2][0] / k, q[2][1] / k, q[2][2]]]
        return found

    def _probe(self) -> float | None:
        """None when the kind's centres agree with astropy's sky positions at
        a few pixels spread over the image; else how far they are (pixels)."""
        rows, cols = (np.array([f * max(n - 1, 1) for f in PROBE]) for n in self.shape)
        rows, cols = (a.ravel() for a in np.meshgrid(rows, cols, indexing="ij"))
        x, y = self._centres(rows, cols)
        xs, ys, cos_distance = gnomonic(self.basis, *self._sky(cols, rows))
        _check_plane(cos_distance, rows, cols)
        miss = np.hypot(x - xs, y - ys)
        if bool(np.all(miss <= PROBE_PIXELS * self._scale + PROBE_ARCSEC)):
            return None
        worst = float(np.max(miss))
        return (worst if math.isfinite(worst) else math.inf) / self._scale

    # --- the maps -----------------------------------------------------------
    def _sky(self, c: Any, r: Any) -> tuple[Any, Any]:
        world = self._wcs.pixel_to_world_values(c, r)
        return world[self._lng], world[self._lat]

    def _model(self, c: Any, r: Any) -> tuple[Any, ...]:
        """Standard coordinates at CRVAL (arcsec) of pixels (c, r) and their
        Jacobian, from the linear matrix and the SIP and TPV terms."""
        ox = (c + 1.0) - self._crpix[0]
        oy = (r + 1.0) - self._crpix[1]
        sip = None
        if self._sip is not None:
            f, g, fu, fv, gu, gv = self._sip(c, r)
            ox, oy, sip = ox + f, oy + g, (fu + 1.0, fv, gu, gv + 1.0)
        if self._tpv is None:
            k = self._k
            jac = k if sip is None else product(k, sip)
            return k[0] * ox + k[1] * oy, k[2] * ox + k[3] * oy, *jac
        m, t = self._m, self._turn
        x2, y2, tpv = self._tpv(m[0] * ox + m[1] * oy, m[2] * ox + m[3] * oy)
        jac = product(t, product(tpv, m if sip is None else product(m, sip)))
        return t[0] * x2 + t[1] * y2, t[2] * x2 + t[3] * y2, *jac

    def _intermediate(self, c: np.ndarray, r: np.ndarray) -> tuple[Any, Any]:
        """Standard coordinates at CRVAL (arcsec) through astropy, every
        distortion applied: flat arrays."""
        wcs = self._wcs
        # 1-based: astropy shifts imgcrd itself by the origin it is given.
        img = wcs.wcs.p2s(wcs.pix2foc(np.stack([c + 1.0, r + 1.0], -1), 1), 1)["imgcrd"]
        x, y = img[:, self._lng], img[:, self._lat]
        t = self._turn
        return t[0] * x + t[1] * y, t[2] * x + t[3] * y

    def _differences(self, at: Any, c: np.ndarray, r: np.ndarray, h: float) -> tuple[Any, ...]:
        """Centres and central differences of step h of the map at(c, r) ->
        (x, y), in one call of it on flat arrays."""
        n = c.size
        x, y = at(np.concatenate([c, c + h, c - h, c, c]), np.concatenate([r, r, r, r + h, r - h]))
        parts = [(a[i * n:(i + 1) * n]) for a in (x, y) for i in range(5)]
        x0, xcp, xcm, xrp, xrm, y0, ycp, ycm, yrp, yrm = parts
        w = 0.5 / h
        return x0, y0, (xcp - xcm) * w, (xrp - xrm) * w, (ycp - ycm) * w, (yrp - yrm) * w

    def _sky_plane(self, c: np.ndarray, r: np.ndarray) -> tuple[Any, Any]:
        x, y, cos_distance = gnomonic(self.basis, *self._sky(c, r))
        _check_plane(cos_distance, r, c)
        return x, y

    def _to_center(self, values: tuple[Any, ...], rows: Any, cols: Any) -> tuple[Any, ...]:
        """From CRVAL's plane to center's: the projective map and its
        derivatives, chained with the Jacobian."""
        h = self._h
        if h is None:
            return values
        s, t, j00, j01, j10, j11 = values
        w = h[2][0] * s + h[2][1] * t + h[2][2]
        _check_plane(w, rows, cols)
        x = (h[0][0] * s + h[0][1] * t + h[0][2]) / w
        y = (h[1][0] * s + h[1][1] * t + h[1][2]) / w
        a00, a01 = (h[0][0] - x * h[2][0]) / w, (h[0][1] - x * h[2][1]) / w
        a10, a11 = (h[1][0] - y * h[2][0]) / w, (h[1][1] - y * h[2][1]) / w
        return (x, y, a00 * j00 + a01 * j10, a00 * j01 + a01 * j11,
                a10 * j00 + a11 * j10, a10 * j01 + a11 * j11)

    def _centres(self, rows: np.ndarray, cols: np.ndarray) -> tuple[Any, Any]:
        """Centres only (flat arrays), as _block gives them."""
        if self.kind == "model":
            values = self._model(cols, rows)
        elif self.kind == "intermediate":
            values = (*self._intermediate(cols, rows), 1.0, 0.0, 0.0, 1.0)
        else:
            return self._sky_plane(cols, rows)
        x, y = self._to_center(values, rows, cols)[:2]
        return x, y

    def _block(self, rows: np.ndarray, cols: np.ndarray) -> tuple[Any, ...]:
        """x, y and the Jacobian's four entries of pixels (rows, cols),
        broadcast against each other; entries may be scalars."""
        if self.kind == "model" and not self._central:
            return self._to_center(self._model(cols, rows), rows, cols)
        shape = np.broadcast_shapes(rows.shape, cols.shape)
        r, c = (np.broadcast_to(a, shape).ravel() for a in (rows, cols))
        if self.kind == "sky":
            values = self._differences(self._sky_plane, c, r, STEP_SKY)
        else:
            values = self._differences(self._intermediate, c, r, STEP_INTERMEDIATE)
            if self.kind == "model":  # centres from the model, derivatives through astropy
                values = (*self._model(c, r)[:2], *values[2:])
            values = self._to_center(values, r, c)
        return tuple(np.reshape(v, shape) for v in values)

    def _native_model(self) -> Any:
        """The engine's PlaneModel of these pixels (the same bits as
        ``evaluate``), for the analytic TAN and TAN-SIP kinds; else None."""
        if self.kind != "model" or self._central or self._tpv is not None:
            return None
        return native_model(self._crpix, self._k, self._sip, self._h)

    # --- the interface ------------------------------------------------------
    def image(self) -> Arrays:
        """x, y, dxdu, dxdv, dydu, dydv of every pixel of the image, each of
        its shape."""
        rows, cols = self.shape
        return self._rectangle(np.arange(rows)[:, None], np.arange(cols)[None, :])

    def evaluate(self, rows: Any, cols: Any) -> Arrays:
        """x, y, dxdu, dxdv, dydu, dydv of the pixels at the given row and
        column indices (integer arrays, broadcast against each other; any
        index, inside the image or not); the same bits as ``image()`` at
        those pixels.

        A column of rows and a row of columns (shapes (h, 1) and (1, w))
        make a rectangle, evaluated as the image is: the terms of each row
        once. Other indices cost 3 to 10 times more per pixel.
        """
        r, c = (_indices(a, name) for a, name in ((rows, "rows"), (cols, "cols")))
        try:
            shape = np.broadcast_shapes(r.shape, c.shape)
        except ValueError:
            raise ValueError(f"rows and cols must broadcast together, not shapes {r.shape} "
                             f"and {c.shape}") from None
        if len(shape) == 2 and r.shape == (shape[0], 1) and c.shape == (1, shape[1]):
            return self._rectangle(r, c)
        r, c = (np.broadcast_to(a, shape).ravel() for a in (r, c))
        out = [np.empty(r.size) for _ in range(6)]
        for i in range(0, r.size, BLOCK):
            block = [a[i:i + BLOCK].astype(float) for a in (r, c)]
            for o, v in zip(out, self._block(*block)):
                o[i:i + BLOCK] = v
        x, y, a, b, cc, d = (o.reshape(shape) for o in out)
        return x, y, a, b, cc, d

    def _rectangle(self, rows: np.ndarray, cols: np.ndarray) -> Arrays:
        """Pixels of rows (h, 1) by columns (1, w), in blocks of whole rows."""
        height, width = rows.shape[0], cols.shape[1]
        out = [np.empty((height, width)) for _ in range(6)]
        c = cols.astype(float)
        step = max(1, BLOCK // max(width, 1))
        for i in range(0, height if width else 0, step):
            r = rows[i:i + step].astype(float)
            for o, v in zip(out, self._block(r, c)):
                o[i:i + step] = v
        x, y, a, b, cc, d = out
        return x, y, a, b, cc, d

    def project(self, lon: Any, lat: Any) -> tuple[V.FloatArray, V.FloatArray]:
        """Standard coordinates (arcsec) of sky positions (degrees, in the
        WCS's frame) on the plane; ValueError for one 90 degrees or more from
        the tangent point."""
        lo = V.floats(lon, "lon")
        la = V.floats(lat, "lat", lo.shape)
        x, y, cos_distance = gnomonic(self.basis, lo, la)
        if not bool(np.all(cos_distance > 0)):
            raise ValueError("every position must lie less than 90 degrees from center")
        return x, y


def _indices(value: Any, name: str) -> np.ndarray:
    """Pixel indices: an integer array whose every value float64 holds with
    room for the central differences' steps."""
    arr = np.asarray(value)
    if arr.dtype.kind not in "iu":
        raise TypeError(f"{name} must be an array of integers, not {arr.dtype}")
    if arr.size and (arr.max() >= MAX_INDEX or arr.min() <= -MAX_INDEX):
        raise ValueError(f"{name} must lie within +-2**40")
    return arr


def _check_wcs(wcs: Any) -> None:
    try:
        from astropy.wcs import WCS  # type: ignore[import-untyped]
    except ImportError:  # pragma: no cover - astropy is needed for a WCS anyway
        raise TypeError("wcs must be an astropy.wcs.WCS (astropy is not installed)") from None
    if not isinstance(wcs, WCS):
        raise TypeError(f"wcs must be an astropy.wcs.WCS, not {type(wcs).__name__}")
    if wcs.naxis != 2 or not wcs.has_celestial:
        raise ValueError("wcs must have two axes, both celestial")


def _center(wcs: Any, center: Any) -> tuple[float, float]:
    if hasattr(center, "frame"):  # a SkyCoord: into the WCS's celestial frame
        from astropy.wcs import utils

        sph = center.transform_to(utils.wcs_to_celestial_frame(wcs)).spherical
        return float(sph.lon.deg), float(sph.lat.deg)
    lon, lat = V.pair(center, "center")
    if not (math.isfinite(lon) and -90.0 <= lat <= 90.0):
        raise ValueError(f"center must be (lon, lat) in degrees, latitude in [-90, 90], not "
                         f"{(lon, lat)}")
    return lon, lat


def from_wcs(cls: Any, wcs: Any, shape: Any, *, center: Any = None,
             jacobian: str = "auto") -> Any:
    """Pixels of a sky image on the plane tangent to the sky at ``center``.

    Each pixel's centre is its sky position through the WCS (distortions
    included) projected gnomonically onto the plane tangent at ``center``;
    x and y are the standard coordinates there in arcseconds, x to the east
    (increasing longitude) and y to the north. The Jacobian is that
    projection's derivative with respect to the pixel's column and row. A
    circle, polygon or aperture drawn on that plane (in arcseconds) is then
    covered by the package's functions, each pixel with its own size and
    shape; ``abs(dxdu * dydv - dxdv * dydu)`` is its area in square
    arcseconds.

    Parameters
    ----------
    wcs : astropy.wcs.WCS
        A two-axis celestial WCS; pixel (column, row) = (x, y) 0-based, as
        astropy counts them.
    shape : tuple of int
        The image's (rows, columns).
    center : (float, float) or astropy.coordinates.SkyCoord, optional
        The tangent point, (longitude, latitude) in degrees in the WCS's
        frame, or a SkyCoord; by default the WCS's reference point.
    jacobian : {"auto", "analytic", "central"}
        ``"auto"`` takes the analytic derivatives where they are the true
        ones (see Notes), else central differences; ``"analytic"`` refuses a
        WCS where they are not, naming what is in the way; ``"central"``
        takes central differences of astropy's transformation for any WCS.

    Returns
    -------
    Pixels
        Of shape ``shape``; u and v are the column and row.

    Raises
    ------
    TypeError
        If ``wcs`` is not an astropy WCS or ``shape`` not two ints.
    ValueError
        If the WCS is not two-axis celestial, a size is negative, ``center``
        is not on the sphere, a pixel has no sky position or lies 90 degrees
        or more from ``center``, or ``jacobian="analytic"`` is asked of a WCS
        it does not apply to (the message names what is in the way).

    Notes
    -----
    The method follows what the WCS does. Its CTYPE, LONPOLE, theta0, SIP
    terms, lookup tables and WCSLIB's own distortions are read, and its
    pixels are checked against astropy's sky positions at 16 places over
    the image, so that a distortion not recognised falls to a general
    method. Times are for a 2048 x 2048 image, against astropy's
    ``pixel_to_world_values`` alone:

    - TAN (reference point at the native pole, any LONPOLE), undistorted or
      with SIP or TPV terms (TPV, and TAN with PV terms, show in astropy as
      a plain TAN with no PV values): the intermediate world coordinates are
      the standard coordinates at CRVAL, so centres and Jacobians come from
      the linear matrix and the polynomials and their derivatives, and for
      another ``center`` from a projective map of that plane. Analytic: the
      true derivatives to rounding (1e-15 relative). No trigonometry per
      pixel: 0.1 (TAN) to 0.2 (TPV, or another ``center``) of astropy's
      time.
    - TAN with lookup tables (``cpdis``, ``det2im``), a TPV term in the
      radius itself, or WCSLIB's other distortions: astropy's intermediate
      world coordinates at each pixel and 1/256 pixel either side, central
      differences of those (truncation and rounding within 1e-10 of the
      pixel scale on smooth distortions; on a node line of a lookup table,
      where the derivative jumps, they average its two sides). 2 to 2.5
      times astropy's time.
    - Other projections, or a reference point off the native pole: astropy's
      sky positions projected onto the plane, central differences of 1/16
      pixel (within about 1e-8 of the pixel scale: positions in degrees
      round to 1e-10 arcsec). 2.5 to 4 times astropy's time.

    The centres are the WCS's sky positions to rounding (about 1e-10 arcsec,
    that of positions held in degrees). A pixel gets the same bits whether
    it is computed with the whole image or in any window of it.

    Coverage treats each pixel as the parallelogram its Jacobian spans. On
    a 256 x 240 image of 0.2 arcsec pixels whose SIP distortion changes the
    pixel scale from 0.198 to 0.203 arcsec across the field, exact coverage
    of a 12 arcsec circle (``aperture_coverage`` of a ``shapes.Disc``, or a
    64-gon through ``polygon_coverage``) and of a hexagon off the centre,
    times each pixel's area, gives their area on the tangent plane to 7e-8
    to 8e-8 relative. One local scale at the
    aperture's centre (photutils' model: the pixel scale and orientation
    there for every pixel) draws a region on the sky whose area is off by
    1.7e-4 to 3.8e-4 on the same image, several thousand times more.
    ``enclosed_circle`` adds its rim rule's own error (2.3e-5 relative for a
    radius of 60 pixels, as on an undistorted image).

    Examples
    --------
    >>> from astropy.wcs import WCS
    >>> import zolvin
    >>> w = WCS(naxis=2)
    >>> w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    >>> w.wcs.crval, w.wcs.crpix = [150.0, 2.0], [51.0, 51.0]
    >>> w.wcs.cdelt = [-0.5 / 3600, 0.5 / 3600]
    >>> pixels = zolvin.Pixels.from_wcs(w, (100, 100))
    >>> area = abs(pixels.dxdu * pixels.dydv - pixels.dxdv * pixels.dydu)
    >>> round(float(area.mean()), 6)                # square arcseconds
    0.25
    >>> disc = zolvin.enclosed_circle(pixels, (0.0, 0.0), 20.0)  # arcseconds
    >>> abs(float((disc * area).sum()) / (3.141592653589793 * 20**2) - 1) < 1e-4
    True
    """
    plane = TangentPlane(wcs, shape, center=center, jacobian=jacobian)
    x, y, dxdu, dxdv, dydu, dydv = plane.image()
    u = cls._index_default(plane.shape, -1)
    v = cls._index_default(plane.shape, -2)
    return cls._from_arrays(x, y, u, v, dxdu, dxdv, dydu, dydv)
