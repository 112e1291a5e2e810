"""Coverage of grids larger than memory, as chunked dask arrays.

Every chunk of the coverage functions, of ``aperture_coverage`` and of ``pupil``
is a window of the grid, computed when dask asks for it; since a window's
pixels keep the grid's indices, the chunks put together are the in-memory
result bit for bit.
``aperture_sums`` gives each source's sums over its whole window whatever
the chunks, so they are the in-memory sums bit for bit.
``accumulate_triangles`` reduces a chunked triangle list into row bands of
the grid: each band goes through the whole list, chunk after chunk, so every
cell gets the same additions in the same order as in one in-memory call, and a
task holds one band and one chunk of the list.

Tasks are plain functions of picklable arguments, so the arrays compute under
any dask scheduler, ``dask.distributed`` included.
"""
from .core.chunks import BAND_CELLS, CHUNK, MAX_STEPS  # noqa: F401

# The names with an underscore are the tasks: graphs pickled by earlier
# versions call them by these names.
from .coverage.chunked import (
    _aperture_task,  # noqa: F401
    _band_step,  # noqa: F401
    _circle,  # noqa: F401
    _pixel_frac,  # noqa: F401
    _region_task,  # noqa: F401
    _strut,  # noqa: F401
    _window_task,  # noqa: F401
    accumulate_triangles,
    aperture_coverage,
    enclosed_circle,
    enclosed_strut,
    pixel_frac,
    polygon_coverage,
    pupil,
    region_coverage,
)
from .coverage.chunked_photometry import (
    _sums_task,  # noqa: F401
    aperture_sums,
)

__all__ = ["accumulate_triangles", "aperture_coverage", "aperture_sums", "enclosed_circle", "enclosed_strut",
           "pixel_frac", "polygon_coverage", "pupil", "region_coverage"]
