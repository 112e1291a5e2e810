"""The module paths of the package before it took its present layout.

Pickles and dask graphs name classes and functions by the module that held
them when they were written; the modules of that time are kept here as
aliases of the modules that hold those names now.
"""
import sys
from typing import Any

from . import shapes
from .core import checks
from .core.values import rebuild
from .coverage import apertures, pupil
from .coverage.rules import lines, masks, mesh, triangles
from .pixels import grid, pixels, wcs
from .shapes import region


def _old_grid(shape: Any, origin: Any, jac: Any, row0: Any, col0: Any) -> grid.Grid:
    """A Grid pickled before values shared one way to unpickle."""
    return grid.Grid(shape, origin, jac, row0=row0, col0=col0)


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

# Shapes pickled then rebuild through this name (same arguments).
shapes._rebuild = rebuild  # type: ignore[attr-defined]
grid._restore = _old_grid  # type: ignore[attr-defined]
