"""Raster georeferencing as a Grid: a GDAL geotransform or an affine.Affine
(rasterio's ``dataset.transform``) maps a pixel's corner indices (col, row)
to the plane; a Grid holds the pixel centres, half a pixel further in."""
from __future__ import annotations

import math
import sys
from typing import Any

from ..core import checks as V

__all__ = ["affine_terms"]


def _affine_type() -> Any:
    """affine.Affine when that module is loaded: an Affine value can only
    exist once it is, so nothing is imported to recognise one."""
    module = sys.modules.get("affine")
    return getattr(module, "Affine", None) if module is not None else None


def affine_terms(transform: Any) -> tuple[float, float, float, float, float, float]:
    """(a, b, c, d, e, f) with x = a col + b row + c and y = d col + e row + f,
    from an affine.Affine or a GDAL geotransform (c, a, b, f, d, e)."""
    kind = _affine_type()
    if kind is not None and isinstance(transform, kind):
        a, b, c, d, e, f, g, h, i = (V.real(t, "transform") for t in tuple(transform))
        if (g, h, i) != (0.0, 0.0, 1.0):
            raise ValueError(f"transform must be affine (last row 0, 0, 1), not "
                             f"({g}, {h}, {i})")
    else:
        if isinstance(transform, (str, bytes)) or not hasattr(transform, "__len__"):
            raise TypeError(f"transform must be a GDAL geotransform (6 numbers) or an "
                            f"affine.Affine, not {type(transform).__name__}")
        if len(transform) != 6:
            raise ValueError(f"transform must be a GDAL geotransform of 6 numbers "
                             f"(c, a, b, f, d, e) or an affine.Affine, not {len(transform)} values")
        c, a, b, f, d, e = (V.real(t, f"transform[{k}]") for k, t in enumerate(transform))
    terms = (a, b, c, d, e, f)
    if not all(map(math.isfinite, terms)):
        raise ValueError(f"transform must be finite, not (a, b, c, d, e, f) = {terms}")
    if a * e - b * d == 0.0:
        raise ValueError(f"transform must be invertible: a e - b d is 0 for (a, b, d, e) = "
                         f"{(a, b, d, e)}")
    return terms
