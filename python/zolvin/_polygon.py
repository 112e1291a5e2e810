"""Even-odd mask of a polygon over a grid of points."""
from __future__ import annotations

import numpy as np
import numpy.typing as npt

from . import _native
from . import _validate as V

# Below this many grid points one thread does the work when n_threads is None.
THREAD_THRESHOLD = 1 << 16


def poly_grid_contains(vertices: npt.ArrayLike, gx: npt.ArrayLike, gy: npt.ArrayLike, *,
                       out: npt.NDArray[np.bool_] | None = None,
                       n_threads: int | None = None) -> npt.NDArray[np.bool_]:
    """Whether each grid point (gx[c], gy[r]) lies inside the polygon, by an
    even-odd scan of each row: a bool array of shape (len(gy), len(gx)).

    ``vertices`` is (n, 2), closed implicitly. A point exactly on a crossing
    counts as outside on the span's left boundary and inside on its right one.
    gx may come in any order.
    """
    verts = V.array(vertices, "vertices")
    if verts.ndim != 2 or verts.shape[1] != 2:
        raise ValueError(f"vertices must have shape (n, 2), not {verts.shape}")
    px = np.ascontiguousarray(verts[:, 0], dtype=np.float64)
    py = np.ascontiguousarray(verts[:, 1], dtype=np.float64)
    xs = V.floats(gx, "gx")
    ys = V.floats(gy, "gy")
    if xs.ndim != 1:
        raise ValueError(f"gx must be one-dimensional, not of shape {xs.shape}")
    if ys.ndim != 1:
        raise ValueError(f"gy must be one-dimensional, not of shape {ys.shape}")
    nx, ny = xs.shape[0], ys.shape[0]
    shape = (ny, nx)
    if out is not None:
        res = V.out_array(out, shape, np.dtype(np.bool_))
        V.check_overlap(res, V.address(res),
                        V.spans({"vertices x": px, "vertices y": py, "gx": xs, "gy": ys}),
                        same_ok=False)
    else:
        res = np.empty(shape, dtype=np.bool_)
    nt = V.threads(n_threads, nx * ny, THREAD_THRESHOLD)
    # The scan walks the columns in ascending order: sort them (stably, so
    # ascending input is used as it is) and put the result back in place.
    order = None
    if nx > 1 and not bool(np.all(xs[1:] >= xs[:-1])):
        order = np.argsort(xs, kind="stable")
        xs = np.ascontiguousarray(xs[order])
    target = res if order is None else np.empty(shape, dtype=np.bool_)
    _native.poly_grid_contains(V.address(px), V.address(py), px.shape[0], V.address(xs),
                               V.address(ys), V.address(target), nx, ny, nt)
    if order is not None:
        res[:, order] = target
    return res
