"""The module paths of the package before it took its present layout.

Pickles and dask graphs name classes and functions by the module that held
them when they were written; the modules of that time are kept here as
aliases of the modules that hold those names now.
"""
import sys

from .core import checks
from .coverage import apertures, pupil, region
from .coverage.rules import lines, masks, mesh, triangles
from .pixels import grid, pixels, wcs

MOVED = {
    "_aperture": apertures,
    "_coverage": lines,
    "_mesh": mesh,
    "_pixels": pixels,
    "_polygon": masks,
    "_pupil": pupil,
    "_region": region,
    "_triangles": triangles,
    "_validate": checks,
    "_wcs": wcs,
    "grid": grid,
}

_package = sys.modules[__name__.rpartition(".")[0]]
for _old, _module in MOVED.items():
    sys.modules.setdefault(f"{_package.__name__}.{_old}", _module)
    setattr(_package, _old, _module)
