"""What a WCS does between its pixels and the sky, as plain arithmetic: the
gnomonic projection onto a tangent plane, which projection and distortions a
WCS has, and the SIP and TPV polynomials with their derivatives, evaluated
with + - * / only (so a pixel's values are the same bits in any window of
the image).
"""
from __future__ import annotations

import math
import re
from typing import Any

import numpy as np

ARCSEC_PER_RADIAN = 180 * 3600 / math.pi


def cos_sin_deg(angle: float) -> tuple[float, float]:
    """cos and sin of an angle in degrees, exact at multiples of 90."""
    quarter, rest = divmod(angle, 90.0)
    if rest == 0.0:
        return ((1.0, 0.0), (0.0, 1.0), (-1.0, 0.0), (0.0, -1.0))[int(quarter) % 4]
    t = math.radians(angle)
    return math.cos(t), math.sin(t)


def basis(lon: float, lat: float) -> np.ndarray:
    """Rows: the east, north and radial unit vectors at (lon, lat), degrees."""
    cl, sl = cos_sin_deg(lon)
    cb, sb = cos_sin_deg(lat)
    return np.array([[-sl, cl, 0.0], [-sb * cl, -sb * sl, cb], [cb * cl, cb * sl, sb]])


def gnomonic(basis: np.ndarray, lon: Any, lat: Any) -> tuple[Any, Any, Any]:
    """Standard coordinates (arcsec; x east, y north) of sky positions
    (degrees) on the plane tangent where basis was made, and the cosine of
    their distance from the tangent point (not positive: no position there)."""
    lo, la = np.radians(lon), np.radians(lat)
    cos_la = np.cos(la)
    d = (cos_la * np.cos(lo), cos_la * np.sin(lo), np.sin(la))
    # Written out rather than a matrix product, whose summation order may
    # depend on the array's length.
    p = [(b[0] * d[0] + b[1] * d[1]) + b[2] * d[2] for b in basis.tolist()]
    with np.errstate(divide="ignore", invalid="ignore"):
        return ARCSEC_PER_RADIAN * p[0] / p[2], ARCSEC_PER_RADIAN * p[1] / p[2], p[2]


def projection_issue(wcs: Any) -> str | None:
    """None when the WCS projects gnomonically with its reference point at the
    native pole; else what it does instead."""
    ctype = str(wcs.wcs.ctype[wcs.wcs.lng])
    code = ctype[5:8] if len(ctype) >= 8 and ctype[4] == "-" else ""
    if code != "TAN":
        return f"the {code} projection" if code else f"the CTYPE {ctype!r}"
    theta0 = float(wcs.wcs.theta0)
    if theta0 != 90.0:
        return f"a reference point off the native pole (theta0 = {theta0:g})"
    return None


def wcslib_distortions(wcs: Any) -> list[str] | None:
    """The kinds of WCSLIB's own distortions (TPV among them), which astropy
    does not expose: the WCS then shows a plain TAN CTYPE and no PV values.
    WCSLIB's printout of the transformation names them (an empty list: some,
    not named); None when there are none. One not detected here is caught by
    the probe."""
    text = repr(wcs.wcs)
    pointers = re.findall(r"^\s*(?:dispre|disseq): (\S+)", text, re.M)
    if all(p in ("0x0", "(nil)", "0") for p in pointers):
        return None
    return sorted(set(re.findall(r'^\s+"(TPV|TPD|DSS|WAT|Polynomial|SIP)"\s*$', text, re.M)))


class _Poly:
    """sum a[p, q] u**p v**q by Horner's rule in v for each power of u (once
    per row of an image), then in u."""

    def __init__(self, coeffs: np.ndarray) -> None:
        rows = [[float(t) for t in row] for row in coeffs]
        for row in rows:
            while row and row[-1] == 0.0:
                row.pop()
        while rows and not rows[-1]:
            rows.pop()
        self.rows = rows

    @staticmethod
    def _horner(coeffs: list[Any], t: Any) -> Any:
        if not coeffs:
            return 0.0
        acc = coeffs[-1]
        for c in reversed(coeffs[:-1]):
            acc = acc * t + c
        return acc

    def __call__(self, u: Any, v: Any) -> Any:
        return self._horner([self._horner(row, v) for row in self.rows], u)


def _derivatives(coeffs: np.ndarray) -> tuple[_Poly, _Poly, _Poly]:
    """A polynomial sum coeffs[p, q] u**p v**q and its derivatives in u and v."""
    p = np.arange(coeffs.shape[0], dtype=float)[:, None]
    q = np.arange(coeffs.shape[1], dtype=float)[None, :]
    return _Poly(coeffs), _Poly((coeffs * p)[1:]), _Poly((coeffs * q)[:, 1:])


def product(a: tuple[Any, ...], b: tuple[Any, ...]) -> tuple[Any, ...]:
    """The product of two 2 x 2 matrices held as (a00, a01, a10, a11)."""
    return (a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3],
            a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3])


class Sip:
    """A SIP polynomial pair with the polynomials of their derivatives."""

    def __init__(self, sip: Any) -> None:
        self.crpix = (float(sip.crpix[0]), float(sip.crpix[1]))
        self.polys = [_derivatives(np.asarray(c, float)) for c in (sip.a, sip.b)]

    def __call__(self, c: Any, r: Any) -> tuple[Any, ...]:
        """f, g and their derivatives df/du, df/dv, dg/du, dg/dv at 0-based
        pixel (c, r); SIP counts from 1, from its own reference pixel."""
        u = (c + 1.0) - self.crpix[0]
        v = (r + 1.0) - self.crpix[1]
        (f, fu, fv), (g, gu, gv) = ([p(u, v) for p in polys] for polys in self.polys)
        return f, g, fu, fv, gu, gv


def _tpv_terms() -> list[tuple[int, int]]:
    """TPV's terms in the order of its coefficients: powers (p, q) of an
    axis's own and the other coordinate, degree by degree, each odd degree
    followed by that power of the radius, as (degree, -1)."""
    terms = []
    for degree in range(8):
        terms += [(degree - j, j) for j in range(degree + 1)]
        if degree % 2:
            terms.append((degree, -1))
    return terms


class Tpv:
    """TPV polynomials: each axis's new intermediate coordinate (degrees) a
    polynomial in its own and the other axis's, with odd powers of their
    radius.

    astropy keeps the coefficients out of reach (``get_pv`` is empty once
    WCSLIB has taken them as a distortion); the header WCSLIB writes back
    gives them to 15 digits, and the probe checks the result.
    """

    TERMS = _tpv_terms()

    def __init__(self, axes: list[dict[int, float]]) -> None:
        self.polys, self.radial = [], []
        for coeffs in axes:
            grid = np.zeros((8, 8))
            radial = [0.0, 0.0, 0.0]  # of r**3, r**5, r**7
            for m, value in coeffs.items():
                p, q = self.TERMS[m]
                if q < 0:
                    radial[(p - 3) // 2] = value
                else:
                    grid[p, q] = value
            self.polys.append(_derivatives(grid))
            self.radial.append(radial)
        self.has_radius = any(any(r) for r in self.radial)

    @classmethod
    def read(cls, wcs: Any, lng: int, lat: int) -> Tpv | None:
        """The TPV terms of a WCS; None when it has none or has a term this
        does not model (the first power of the radius, whose derivative is
        undefined at the reference point)."""
        from astropy.io import fits  # type: ignore[import-untyped]

        header = fits.Header.fromstring(wcs.wcs.to_header())
        if not all(str(header.get(f"CTYPE{i + 1}", "")).endswith("-TPV") for i in (lng, lat)):
            return None
        axes = []
        for i in (lng, lat):
            prefix = f"PV{i + 1}_"
            coeffs = {int(k[len(prefix):]): float(header[k])
                      for k in header if k.startswith(prefix) and k[len(prefix):].isdigit()}
            if any(m >= len(cls.TERMS) for m in coeffs) or coeffs.get(3, 0.0) != 0.0:
                return None
            axes.append(coeffs)
        return cls(axes)

    def __call__(self, x: Any, y: Any) -> tuple[Any, ...]:
        """The new x and y and their Jacobian (d/dx, d/dy of each) with
        respect to the old."""
        r2 = x * x + y * y
        r = np.sqrt(r2) if self.has_radius else 0.0
        out = []
        for (poly, d_own, d_other), (c3, c5, c7), own, other in zip(
                self.polys, self.radial, (x, y), (y, x)):
            value, da, db = poly(own, other), d_own(own, other), d_other(own, other)
            if c3 or c5 or c7:
                # sum c_k r**k, and its derivative sum k c_k r**(k - 2) times
                # the coordinate, by Horner's rule in r**2.
                value = value + r * r2 * (c3 + r2 * (c5 + r2 * c7))
                slope = r * (3 * c3 + r2 * (5 * c5 + r2 * (7 * c7)))
                da, db = da + slope * own, db + slope * other
            out.append((value, da, db))
        (x2, x2_dx, x2_dy), (y2, y2_dy, y2_dx) = out
        return x2, y2, (x2_dx, x2_dy, y2_dx, y2_dy)


def native_model(crpix: tuple[float, float], k: tuple[float, ...], sip: Sip | None,
                 h: list[list[float]] | None) -> Any:
    """The TAN model (linear matrix k, SIP terms, projective map h) as the
    engine's ``PlaneModel``, which evaluates the same operations in the same
    order: the same bits as the NumPy model above."""
    import zolvin._native

    coeffs: list[float] = []
    layout: list[int] = []
    if sip is not None:
        coeffs += sip.crpix
        for poly in (p for polys in sip.polys for p in polys):
            layout.append(len(poly.rows))
            for row in poly.rows:
                layout.append(len(row))
                coeffs += row
    return zolvin._native.PlaneModel(
        np.array([*crpix, *k], dtype=np.float64), np.array(coeffs, dtype=np.float64),
        np.array(layout, dtype=np.int64),
        np.array(h if h is not None else [], dtype=np.float64).ravel())
