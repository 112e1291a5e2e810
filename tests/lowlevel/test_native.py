"""zolvin._native takes typed NumPy arrays only: no integer addresses, no
silent copies (a copied out= would lose the results), and arrays whose sizes
disagree are refused before any work is done."""
import numpy as np
import pytest
from zolvin import _native

F = np.float64


def pixels(n):
    """The eight arrays of n pixels: x, y, u, v and the Jacobian."""
    return {k: np.full(n, 0.5 if k in ("dxdu", "dydv") else 0.0)
            for k in ("x", "y", "u", "v", "dxdu", "dxdv", "dydu", "dydv")}


WINDOW = dict(rows=2, cols=3, row0=0, col0=0, x0=0.0, y0=0.0, dxdu=0.5, dxdv=0.0, dydu=0.0,
              dydv=0.5)
STRUT = dict(diameter=2.0, x1=0.0, y1=-0.1, dir_x1=1.0, dir_y1=0.0, x2=0.0, y2=0.1, dir_x2=1.0,
             dir_y2=0.0)


def region():
    square = np.array([[0, 0, 1, 0], [1, 0, 1, 1], [1, 1, 0, 1], [0, 1, 0, 0]], F)
    return dict(segments=square, segment_leaf=np.zeros(4, np.int32), arcs=np.zeros((0, 8)),
                arc_leaf=np.zeros(0, np.int32), rules=np.array([_native.RULE_POSITIVE], np.uint8),
                program=np.zeros(0, np.int32))


def triangles(n):
    return np.tile(np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0]]), (n, 1, 1))


# Each function with valid arguments, and the arrays whose size the binding
# checks against the others.
CALLS = {
    "pixel_frac_shared": (lambda: dict(**pixels(4), line_x=0.0, line_y=0.0, dir_x=0.0, dir_y=1.0,
                                       out=np.zeros(4), n_threads=2), ["x", "dydv", "out"]),
    "pixel_frac_lines": (lambda: dict(**pixels(4), line_x=np.zeros(4), line_y=np.zeros(4),
                                      dir_x=np.zeros(4), dir_y=np.ones(4), out=np.zeros(4),
                                      n_threads=2), ["u", "line_y", "dir_x"]),
    "enclosed_circle": (lambda: dict(**pixels(4), cx=0.0, cy=0.0, radius=1.0, out=np.zeros(4),
                                     n_threads=1), ["v", "dxdv"]),
    "enclosed_strut": (lambda: dict(**pixels(4), **STRUT, out=np.zeros(4), n_threads=1),
                       ["y", "dydu"]),
    "grid_pixel_frac": (lambda: dict(**WINDOW, line_x=0.0, line_y=0.0, dir_x=0.0, dir_y=1.0,
                                     out=np.zeros(6), n_threads=2), ["out"]),
    "grid_enclosed_circle": (lambda: dict(**WINDOW, cx=0.0, cy=0.0, radius=1.0, out=np.zeros(6),
                                          zeroed=True, n_threads=1), ["out"]),
    "grid_enclosed_strut": (lambda: dict(**WINDOW, **STRUT, out=np.zeros(6), zeroed=False,
                                         n_threads=1), ["out"]),
    "region_grid": (lambda: dict(**WINDOW, **region(), simple=True, out=np.zeros(6), n_threads=2),
                    ["segments", "out"]),
    "region_pixels": (lambda: dict(**pixels(3), **region(), out=np.zeros(3), n_threads=1),
                      ["dxdu", "segment_leaf"]),
    "find_crossing": (lambda: dict(segments=region()["segments"], group=np.zeros(4, np.int32)),
                      ["segments", "group"]),
    "poly_grid_contains": (lambda: dict(poly_x=np.array([0.0, 1.0, 0.0]),
                                        poly_y=np.array([0.0, 0.0, 1.0]), grid_x=np.zeros(3),
                                        grid_y=np.zeros(2), mask=np.zeros(6, np.uint8),
                                        n_threads=2), ["poly_y", "mask"]),
    "poly_grid_points": (lambda: dict(poly_x=np.array([0.0, 1.0, 0.0]),
                                      poly_y=np.array([0.0, 0.0, 1.0]), grid_x=np.zeros(3),
                                      grid_y=np.zeros(2), mask=np.zeros(6, np.uint8),
                                      n_threads=1), ["poly_x", "grid_y"]),
    "clip_area": (lambda: dict(triangle=triangles(1), ix=0, iy=0), ["triangle"]),
    "accumulate_triangles": (lambda: dict(triangles=triangles(2), values=np.ones(2),
                                          weights=np.ones(2), grid=np.zeros((3, 3)), grid_size=3,
                                          n_threads=2), ["triangles", "weights", "grid"]),
    "accumulate_triangles_band": (lambda: dict(triangles=triangles(2), values=np.ones(2),
                                               weights=np.ones(2), band=np.zeros((2, 3)),
                                               grid_size=3, row_begin=1, row_end=3,
                                               n_threads=1), ["values", "band"]),
    "clip_triangles_to_circle": (lambda: dict(triangles=triangles(3), cx=0.0, cy=0.0, radius=0.5,
                                              keep_inside=True, margin=0.0,
                                              out=np.zeros((12, 3, 2)),
                                              counts=np.zeros((2, 4), np.int64), n_threads=2),
                                 ["triangles", "out", "counts"]),
    "clip_triangles_to_strut": (lambda: dict(triangles=triangles(3), **{
        k: v for k, v in STRUT.items() if k != "diameter"}, cx=0.0, cy=0.0, length=1.0,
        margin=0.0, out=np.zeros((21, 3, 2)), counts=np.zeros((1, 4), np.int64), n_threads=1),
                                ["out", "counts"]),
}


def arrays(args):
    return [k for k, v in args.items() if isinstance(v, np.ndarray)]


@pytest.mark.parametrize("name", CALLS)
def test_valid_call_runs(name):
    make, _ = CALLS[name]
    getattr(_native, name)(**make())


def _refusals():
    """(function, argument, how it is spoiled) for every array argument; only
    arrays of two or more elements can be strided."""
    for name, (make, _) in CALLS.items():
        args = make()
        for arg in arrays(args):
            for how in ("address", "other dtype", "strided")[:3 if args[arg].size > 1 else 2]:
                yield pytest.param(name, arg, how, id=f"{name}-{arg}-{how}")


@pytest.mark.parametrize("name, arg, how", list(_refusals()))
def test_arrays_are_typed(name, arg, how):
    make, _ = CALLS[name]
    args = make()
    a = args[arg]
    if how == "address":
        args[arg] = a.ctypes.data
    elif how == "other dtype":
        args[arg] = a.astype(np.float32 if a.dtype == F else F)
    else:
        args[arg] = np.repeat(a.reshape(-1), 2)[::2].reshape(a.shape)
    outs = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(TypeError, match="incompatible function arguments"):
        getattr(_native, name)(**args)
    for k, v in outs.items():
        np.testing.assert_array_equal(args[k], v)


def _sizes():
    for name, (_, checked) in CALLS.items():
        for arg in checked:
            yield pytest.param(name, arg, id=f"{name}-{arg}")


@pytest.mark.parametrize("name, arg", list(_sizes()))
def test_sizes_must_agree(name, arg):
    make, _ = CALLS[name]
    args = make()
    args[arg] = args[arg].reshape(-1)[:-1]
    outs = {k: v.copy() for k, v in args.items() if isinstance(v, np.ndarray)}
    with pytest.raises(ValueError, match="must hold"):
        getattr(_native, name)(**args)
    for k, v in outs.items():
        np.testing.assert_array_equal(args[k], v)


@pytest.mark.parametrize("name", [n for n, (make, _) in CALLS.items() if "out" in make()])
def test_read_only_out_is_refused(name):
    make, _ = CALLS[name]
    args = make()
    args["out"].flags.writeable = False
    with pytest.raises(ValueError, match="writeable"):
        getattr(_native, name)(**args)
