"""Zones for zonal statistics: polygons from shapely, GeoPandas, GeoJSON-like
feature collections or zolvin shapes, compiled in bulk into a RegionBatch.

A zone that is not a valid polygon (a ring that crosses itself, NaN
vertices) is kept in its place as an empty region and reported, so that one
bad zone does not stop the others.
"""
from __future__ import annotations

import importlib
import sys
from collections.abc import Mapping
from typing import Any, NamedTuple

import numpy as np
import numpy.typing as npt

from .batch import RegionBatch, _shapely_edges
from .catalogs import _Catalog
from .compile import compile_batch

__all__ = ["Zones", "read_zones"]

# shapely's type ids of the geometries a zone may be.
_POLYGON, _MULTIPOLYGON = 3, 6


class Zones(NamedTuple):
    """A batch with one region per zone, in the zones' order, and the zones
    left out of it (their regions are empty) with the reason of each."""

    batch: RegionBatch
    invalid: npt.NDArray[np.int64]
    reasons: tuple[str, ...]

    def __len__(self) -> int:
        return len(self.batch)


def read_zones(zones: Any, name: str = "zones") -> Zones:
    """The zones as a batch: a shapely geometry array or sequence (None is an
    empty zone), a GeoSeries or GeoDataFrame, an object or mapping whose
    ``__geo_interface__`` is a FeatureCollection, a sequence of
    ``zolvin.shapes`` values, a catalog of one dimension or a RegionBatch."""
    none = np.zeros(0, np.int64)
    if isinstance(zones, RegionBatch):
        return Zones(zones, none, ())
    if isinstance(zones, _Catalog):
        if len(zones.shape) != 1:
            raise ValueError(f"{name}: a catalog of zones must have one dimension, not shape "
                             f"{zones.shape}")
        return Zones(zones.batch(), none, ())
    geoms = _geometries(zones, name)
    if geoms is not None:
        return _shapely_zones(geoms, name)
    if isinstance(zones, (str, bytes, Mapping)) or not hasattr(zones, "__len__"):
        raise TypeError(f"{name} must be shapely polygons, a GeoSeries, a FeatureCollection "
                        f"or a sequence of zolvin shapes, not {type(zones).__name__}")
    return Zones(compile_batch(list(zones), name), none, ())


def _shapely() -> Any:
    return importlib.import_module("shapely")


def _geometries(zones: Any, name: str) -> np.ndarray | None:
    """The zones as a 1-d object array of shapely geometries (None for a
    missing one), or None when they are not shapely geometries."""
    if hasattr(zones, "geometry") and hasattr(zones, "columns"):  # a GeoDataFrame
        zones = zones.geometry
    interface = zones if isinstance(zones, Mapping) else getattr(zones, "__geo_interface__", None)
    if isinstance(interface, Mapping) and interface.get("type") == "FeatureCollection":
        return _features(interface, name)
    if isinstance(zones, (str, bytes, Mapping)) or not hasattr(zones, "__len__"):
        return None
    try:
        arr = np.asarray(zones, dtype=object)
    except (TypeError, ValueError):
        return None
    if arr.ndim != 1 or not len(arr):
        return None
    shapely = sys.modules.get("shapely")
    if shapely is None:
        return None
    is_geom = np.array([isinstance(g, shapely.Geometry) for g in arr])
    missing = np.array([g is None for g in arr])
    if not is_geom.any() or not np.all(is_geom | missing):
        return None
    return arr


def _features(collection: Mapping[str, Any], name: str) -> np.ndarray:
    """The geometries of a FeatureCollection mapping, one per feature."""
    shapely = _shapely()
    shape = importlib.import_module("shapely.geometry").shape
    features = collection.get("features")
    if not isinstance(features, (list, tuple)):
        raise TypeError(f"{name}: a FeatureCollection's features must be a list")
    out = np.empty(len(features), dtype=object)
    for k, feature in enumerate(features):
        if not isinstance(feature, Mapping):
            raise TypeError(f"{name}: feature {k} must be a mapping, not "
                            f"{type(feature).__name__}")
        geometry = feature.get("geometry")
        try:
            out[k] = shape(geometry) if geometry is not None else None
        except (AttributeError, KeyError, TypeError, ValueError, shapely.errors.GEOSException) \
                as e:
            raise ValueError(f"{name}[{k}]: its geometry cannot be read: {e}") from None
    return out


def _shapely_zones(arr: np.ndarray, name: str) -> Zones:
    """Polygons and MultiPolygons, each its own region; empty or missing
    ones empty regions; invalid ones, or ones with vertices that are not
    finite, empty regions reported in `invalid`."""
    shapely = _shapely()
    kinds = shapely.get_type_id(arr)
    empty = (kinds < 0) | shapely.is_empty(arr)
    wrong = np.flatnonzero((kinds != _POLYGON) & (kinds != _MULTIPOLYGON) & ~empty)
    if len(wrong):
        k = int(wrong[0])
        raise TypeError(f"{name}[{k}] must be a Polygon or MultiPolygon, not "
                        f"{arr[k].geom_type}")
    coords, owner = shapely.get_coordinates(arr, include_z=False, return_index=True)
    far = np.zeros(len(arr), bool)
    far[owner[~np.isfinite(coords).all(axis=1)]] = True
    check = np.flatnonzero(~empty & ~far)
    valid = np.ones(len(arr), bool)
    valid[check] = shapely.is_valid(arr[check])
    bad = np.flatnonzero(far | ~valid)
    reasons = tuple("vertices that are not finite" if far[k] else
                    str(shapely.is_valid_reason(arr[k])) for k in bad)
    keep = arr.copy()
    keep[empty | far | ~valid] = shapely.Polygon()
    segs, counts = _shapely_edges(keep)
    n = len(arr)
    batch = RegionBatch.single_leaf(segs, counts, np.zeros((0, 8)), np.zeros(n, np.int64),
                                    np.ones(n, np.uint8))
    return Zones(batch, bad.astype(np.int64), reasons)


def describe(invalid: npt.NDArray[np.int64], reasons: tuple[str, ...], name: str = "zones",
             most: int = 5) -> str:
    """The zones left out, for a warning or an error: the first few named
    with their reasons."""
    shown = ", ".join(f"{name}[{k}] ({r})" for k, r in zip(invalid[:most].tolist(), reasons))
    more = f" and {len(invalid) - most} more" if len(invalid) > most else ""
    count = len(invalid)
    return f"{count} zone{'s' if count != 1 else ''} could not be evaluated: {shown}{more}"


