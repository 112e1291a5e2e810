"""Coverage of grids larger than memory, as chunked dask arrays.

Every chunk of the coverage functions, of ``aperture_coverage`` and of ``pupil``
is a window of the grid, computed when dask asks for it; since a window's
pixels keep the grid's indices, the chunks put together are the in-memory
result bit for bit.
``accumulate_triangles`` reduces a chunked triangle list into row bands of
the grid: each band goes through the whole list, chunk after chunk, so every
cell gets the same additions in the same order as in one in-memory call, and a
task holds one band and one chunk of the list.

``resample`` puts every output chunk together from the window of the input
that reaches it; the chunks are the in-memory result bit for bit as well.

Tasks are plain functions of picklable arguments, so the arrays compute under
any dask scheduler, ``dask.distributed`` included.

Every form refuses, before it builds any graph, what the in-memory function
refuses for the same arguments on the whole grid (a non-finite or singular
grid, ``n_threads=0``, a shape beyond the grid's reach, ...), and chunks
that would cut the grid into more than ``MAX_TASKS`` (131072) windows: a
ValueError naming ``chunks`` and the bound.
"""
from .core.chunks import BAND_CELLS, CHUNK, MAX_STEPS, MAX_TASKS  # noqa: F401

# The names with an underscore are the tasks: graphs pickled by earlier
# versions call them by these names.
from .coverage.chunked import (
    _aperture_task,  # noqa: F401
    _band_step,  # noqa: F401
    _circle,  # noqa: F401
    _pixel_frac,  # noqa: F401
    _polygon_task,  # noqa: F401
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
from .coverage.chunked_resample import resample
from .coverage.chunked_zonal import zonal_stats

__all__ = ["accumulate_triangles", "aperture_coverage", "enclosed_circle", "enclosed_strut",
           "pixel_frac", "polygon_coverage", "pupil", "region_coverage", "resample",
           "zonal_stats"]
