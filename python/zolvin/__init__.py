"""Pixel coverage of lines, circles, struts, triangles and polygons, over NumPy arrays.

The functions here check their arguments, release the interpreter's lock while
they work and split the work over threads; results are the same bits for every
number of threads and the same as the low-level ``_zolvin`` module's.
"""
from . import pupils, rules, shapes
from ._compat import MOVED  # noqa: F401  (registers the old module paths)
from .coverage.apertures import SegmentMap, aperture_coverage
from .coverage.photometry import ApertureSums, aperture_sums
from .coverage.pupil import analytic_area, pupil, strut_angles
from .coverage.region import polygon_coverage, region_coverage
from .coverage.resample import Mosaic, MosaicResult, resample, resample_weights
from .coverage.rules.lines import enclosed_circle, enclosed_strut, pixel_frac
from .coverage.rules.masks import poly_grid_contains
from .coverage.rules.triangles import (
    Clipped,
    accumulate_triangles,
    clip_area,
    clip_triangles_to_circle,
    clip_triangles_to_strut,
)
from .coverage.zonal import InvalidZoneWarning, coverage_matrix, zonal_stats
from .pixels.grid import Grid
from .pixels.pixels import Pixels
from .shapes.region import Region
from .shapes.rings import polygon_rings

__all__ = [
    "ApertureSums", "Clipped", "Grid", "InvalidZoneWarning", "Mosaic", "MosaicResult", "Pixels",
    "Region", "SegmentMap", "accumulate_triangles", "analytic_area", "aperture_coverage",
    "aperture_sums", "clip_area", "clip_triangles_to_circle", "clip_triangles_to_strut",
    "coverage_matrix", "enclosed_circle", "enclosed_strut", "pixel_frac", "poly_grid_contains",
    "polygon_coverage", "polygon_rings", "pupil", "pupils", "region_coverage", "resample",
    "resample_weights", "rules", "shapes", "strut_angles", "zonal_stats",
]
