"""Catalogs of sky apertures: centres on the sky, sizes in arcseconds, angles
as position angles. ``zolvin.sky_aperture_sums`` draws them on the plane
tangent to the sky that a WCS's pixels are placed on (x east, y north, in
arcseconds), where they become ``Discs``, ``Ellipses`` and ``Annuli``."""
from __future__ import annotations

import math
from typing import Any

import numpy as np

from ..core import checks as V
from ..core.checks import FloatArray
from .catalogs import Annuli, Discs, Ellipses, _Catalog

__all__ = ["SkyAnnuli", "SkyDiscs", "SkyEllipses"]


def _sky_centers(centers: Any) -> tuple[FloatArray, FloatArray, Any]:
    """(lon, lat) in degrees from an (n, 2) array, or a SkyCoord kept for the
    WCS's frame."""
    if hasattr(centers, "frame") and hasattr(centers, "transform_to"):
        sph = centers.spherical
        lon = np.atleast_1d(np.asarray(sph.lon.deg, dtype=np.float64))
        lat = np.atleast_1d(np.asarray(sph.lat.deg, dtype=np.float64))
        return lon, lat, centers
    arr = V.floats(centers, "centers")
    if arr.ndim != 2 or arr.shape[1] != 2:
        raise ValueError(f"centers must be (n, 2) (lon, lat) in degrees or a SkyCoord, not "
                         f"shape {arr.shape}")
    lon, lat = arr[:, 0].copy(), arr[:, 1].copy()
    bad = ~(np.isfinite(lon) & (np.abs(lat) <= 90))
    if bad.any():
        k = int(np.flatnonzero(bad)[0])
        raise ValueError(f"centers must be finite, latitudes within [-90, 90] "
                         f"(centers[{k}] = {tuple(arr[k])})")
    return lon, lat, None


class _SkyCatalog:
    """Sources on the sky; ``on_plane(plane)`` gives the plane catalog."""

    lon: FloatArray
    lat: FloatArray
    _coord: Any

    def __len__(self) -> int:
        return len(self.lon)

    def _projected(self, plane: Any) -> FloatArray:
        """The centres on the plane, arcseconds."""
        x, y = plane.project(*self.sky(plane))
        return np.column_stack([x, y])

    def sky(self, plane: Any) -> tuple[FloatArray, FloatArray]:
        """The centres' (lon, lat) in the WCS's frame, degrees."""
        if self._coord is None:
            return self.lon, self.lat
        from astropy.wcs import utils  # type: ignore[import-untyped]
        sph = self._coord.transform_to(utils.wcs_to_celestial_frame(plane._wcs)).spherical
        return (np.atleast_1d(np.asarray(sph.lon.deg, dtype=np.float64)),
                np.atleast_1d(np.asarray(sph.lat.deg, dtype=np.float64)))

    def on_plane(self, plane: Any) -> _Catalog:
        raise NotImplementedError


class SkyDiscs(_SkyCatalog):
    """Discs of ``radii`` arcseconds around sky positions ``centers``
    ((n, 2) lon, lat in degrees in the WCS's frame, or a SkyCoord); radii a
    number, one per source, or (n, k)."""

    def __init__(self, centers: Any, radii: Any) -> None:
        self.lon, self.lat, self._coord = _sky_centers(centers)
        self.radii = radii
        Discs(np.zeros((len(self.lon), 2)), radii)  # the radii's checks, now

    def on_plane(self, plane: Any) -> Discs:
        return Discs(self._projected(plane), self.radii)


class SkyEllipses(_SkyCatalog):
    """Ellipses around sky positions with ``semi_axes`` (a, b) in arcseconds
    (one pair, or (n, 2)), the first along ``position_angles`` (degrees east
    of north, as photutils' sky apertures; a number or one per source)."""

    def __init__(self, centers: Any, semi_axes: Any, position_angles: Any = 0.0) -> None:
        self.lon, self.lat, self._coord = _sky_centers(centers)
        pa = V.floats(position_angles, "position_angles")
        if pa.ndim not in (0, 1) or (pa.ndim == 1 and pa.shape != (len(self.lon),)):
            raise ValueError(f"position_angles must be a number or have shape "
                             f"({len(self.lon)},), not {pa.shape}")
        self.semi_axes, self.position_angles = semi_axes, pa
        self._angles = np.radians(90.0 - pa)  # from +x (east) towards +y (north)
        Ellipses(np.zeros((len(self.lon), 2)), semi_axes, self._angles)

    def on_plane(self, plane: Any) -> Ellipses:
        return Ellipses(self._projected(plane), self.semi_axes, self._angles)


class SkyAnnuli(_SkyCatalog):
    """Rings between ``r_in`` and ``r_out`` arcseconds around sky positions."""

    def __init__(self, centers: Any, r_in: Any, r_out: Any) -> None:
        self.lon, self.lat, self._coord = _sky_centers(centers)
        self.r_in, self.r_out = r_in, r_out
        Annuli(np.zeros((len(self.lon), 2)), r_in, r_out)

    def on_plane(self, plane: Any) -> Annuli:
        return Annuli(self._projected(plane), self.r_in, self.r_out)


def plane_departure(radius: float, distance: float) -> float:
    """How far (arcsec) a circle of ``radius`` arcseconds drawn on the tangent
    plane lies from the sky circle of that radius, for a centre ``distance``
    degrees from the tangent point: the gnomonic plane stretches the sky by
    sec^2 of the distance radially and sec of it across, so the sky circle is
    there an ellipse of semi-axes radius sec^2 and radius sec."""
    c = math.cos(math.radians(distance))
    return radius * (1.0 / (c * c) - 1.0)
