"""The module paths of the package before it took its present layout.

Pickles and dask graphs name classes and functions by the module that held
them when they were written. Each old module is registered here as an alias
of the module that holds those names now, and the two functions that
unpickled values then are kept under their old names.
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


def _restore_grid(shape: Any, origin: Any, jac: Any, row0: Any, col0: Any) -> grid.Grid:
    """A Grid pickled as zolvin.grid._restore(...): through its constructor."""
    return grid.Grid(shape, origin, jac, row0=row0, col0=col0)


_package = sys.modules[__name__.rpartition(".")[0]]
for _old, _module in MOVED.items():
    sys.modules.setdefault(f"{_package.__name__}.{_old}", _module)
    setattr(_package, _old, _module)
# Shapes were pickled as zolvin.shapes._rebuild(cls, args, kwargs), as now.
shapes._rebuild = rebuild  # type: ignore[attr-defined]
grid._restore = _restore_grid  # type: ignore[attr-defined]
