"""Coverage of grids larger than memory, as chunked dask arrays.

Every chunk of the coverage functions, of ``aperture_coverage`` and of ``pupil``
is a window of the grid, computed when dask asks for it; since a window's
pixels keep the grid's indices, the chunks put together are the in-memory
result bit for bit.
``accumulate_triangles`` reduces a chunked triangle list into row bands of
the grid: each band goes through the whole list, chunk after chunk, so every
cell gets the same additions in the same order as in one in-memory call, and a
task holds one band and one chunk of the list.

Tasks are plain functions of picklable arguments, so the arrays compute under
any dask scheduler, ``dask.distributed`` included.
"""
# The tasks that dask graphs pickled by earlier versions name.
from .coverage.chunked import (  # noqa: F401
    BAND_CELLS,  # noqa: F401
    CHUNK,  # noqa: F401
    MAX_STEPS,  # noqa: F401
    _aperture_task,
    _band_step,
    _circle,
    _pixel_frac,
    _region_task,
    _strut,
    _window_task,
    accumulate_triangles,
    aperture_coverage,
    enclosed_circle,
    enclosed_strut,
    pixel_frac,
    polygon_coverage,
    pupil,
    region_coverage,
)

__all__ = ["accumulate_triangles", "aperture_coverage", "enclosed_circle", "enclosed_strut",
           "pixel_frac", "polygon_coverage", "pupil", "region_coverage"]
