"""The module's boundary: import, signatures, argument refusals."""
import importlib
import sys

import numpy as np
import pytest

import _zolvin

F = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"


def signature(name, types, result):
    return f"{name}(" + ", ".join(f"arg{k}: {t}" for k, t in enumerate(types)) + f") -> {result}"


def test_module_has_no_docstring():
    assert _zolvin.__doc__ is None


def test_pixel_frac_docstring_lists_both_overloads():
    shared = signature("pixel_frac", [F] * 4 + [INT] * 10, "None")
    per_pixel = signature("pixel_frac", [INT] * 14, "None")
    assert _zolvin.pixel_frac.__doc__ == (
        "pixel_frac(*args, **kwargs)\nOverloaded function.\n\n"
        f"1. {shared}\n\n2. {per_pixel}\n"
    )


def test_second_import_returns_the_same_module():
    first = sys.modules.pop("_zolvin")
    try:
        again = importlib.import_module("_zolvin")
        assert again is first
        assert again.pixel_frac is first.pixel_frac
    finally:
        sys.modules["_zolvin"] = first


def test_subinterpreters_are_refused():
    interpreters = pytest.importorskip("concurrent.interpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.ExecutionFailed, match="ImportError"):
            interp.exec("import _zolvin")
    finally:
        interp.close()


def pixel_frac_args(**replace):
    """Arguments of a valid shared-line call over zero pixels, with some replaced by position."""
    args = [0.0, 0.0, 1.0, 0.0] + [0] * 10
    for pos, value in replace.items():
        args[int(pos[1:])] = value
    return args


class IntOnly:
    def __int__(self):
        return 0


@pytest.mark.parametrize(
    "replace",
    [
        {"a4": 3.0},  # a float for an address, even an integral one
        {"a4": -1},
        {"a4": 2**64},
        {"a13": "3"},
        {"a0": "0.5"},
        {"a0": 10**400},  # too large for float64, and for uint64
        {"a0": IntOnly(), "a4": 1.5},  # second form reached, but it refuses the float
    ],
)
def test_pixel_frac_refusals_are_type_errors(replace):
    with pytest.raises(TypeError, match=r"pixel_frac\(\): incompatible function arguments") as info:
        _zolvin.pixel_frac(*pixel_frac_args(**replace))
    text = str(info.value)
    assert "1. (arg0: " in text and "2. (arg0: " in text and "Invoked with: " in text


def test_pixel_frac_refuses_keywords_and_wrong_counts():
    args = pixel_frac_args()
    for call in (lambda: _zolvin.pixel_frac(*args[:-1], n=0),
                 lambda: _zolvin.pixel_frac(*args[:-1]),
                 lambda: _zolvin.pixel_frac(*args, 0)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()


@pytest.mark.parametrize("x0, expected", [(True, 0.5), (1, 0.5), (np.float64(1.0), 0.5), (2**62, 0.0)])
def test_pixel_frac_takes_numbers_for_its_scalars(x0, expected):
    # The pixel centred at (1, 0) against the line x = x0 pointing up.
    from conftest import addr
    data = {k: np.array([v]) for k, v in dict(x=1.0, y=0.0, u=0.0, v=0.0, a=1.0, b=0.0, c=0.0, d=1.0).items()}
    out = np.array([-1.0])
    _zolvin.pixel_frac(x0, 0, 1, 0, *(addr(a) for a in data.values()), addr(out), 1)
    assert out[0] == expected


# Native parameter types of every single-overload name, in order ("u": uint64,
# "i": int32, "f": float64), and the Python type of its result.
TABLE = {
    "poly_grid_contains": ("u" * 8, type(None)),
    "enclosed_circle": ("uuuu" + "fff" + "u" * 6, type(None)),
    "enclosed_strut": ("uuuu" + "f" * 9 + "u" * 6, type(None)),
    "clip_triangles_to_circle": ("uifffifuuu", int),
    "clip_triangles_to_strut": ("ui" + "f" * 12 + "uuu", int),
    "accumulate_triangles": ("uuuuii", type(None)),
    "clip_area": ("uii", float),
}
TYPE_TEXT = {"u": INT, "i": INT, "f": F}


def test_module_offers_exactly_the_bound_names():
    names = {n for n in dir(_zolvin) if not n.startswith("__")}
    assert names == set(TABLE) | {"pixel_frac"}


@pytest.mark.parametrize("name", TABLE)
def test_single_overload_docstrings(name):
    types, result = TABLE[name]
    text = {type(None): "None", int: "int", float: "float"}[result]
    assert getattr(_zolvin, name).__doc__ == signature(name, [TYPE_TEXT[t] for t in types], text) + "\n"


TRIANGLE = np.array([0.0, 0.0, 1.0, 0.0, 0.0, 1.0])


def harmless_args(name):
    """Arguments that make the name do nothing (zero counts), or read one triangle."""
    types, _ = TABLE[name]
    args = [0.0 if t == "f" else 0 for t in types]
    if name == "clip_area":
        args[0] = TRIANGLE.ctypes.data
    return args


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize("name", TABLE)
def test_results_and_accepted_conversions(name):
    types, result = TABLE[name]
    assert type(getattr(_zolvin, name)(*harmless_args(name))) is result
    # __index__ objects for integer parameters, ints and bools for float64 ones.
    args = [Index(a) if t != "f" else True for a, t in zip(harmless_args(name), types)]
    assert type(getattr(_zolvin, name)(*args)) is result
    if name == "clip_area":
        assert _zolvin.clip_area(*args) == 0.25


REFUSED = {
    "u": [3.0, -1, 2**64, "1", None],
    "i": [1.0, 2**31, -(2**31) - 1, "1"],
    "f": ["1.0", 10**400, None],
}
REFUSALS = [
    (name, pos, bad)
    for name, (types, _) in TABLE.items()
    for kind in "uif"
    if kind in types
    for pos in [types.index(kind)]
    for bad in REFUSED[kind]
]


@pytest.mark.parametrize("name, pos, bad", REFUSALS)
def test_bad_scalars_raise_type_error(name, pos, bad):
    args = harmless_args(name)
    args[pos] = bad
    with pytest.raises(TypeError, match=rf"^{name}\(\): incompatible function arguments"):
        getattr(_zolvin, name)(*args)


@pytest.mark.parametrize("name", TABLE)
def test_keywords_and_wrong_counts_raise_type_error(name):
    fn, args = getattr(_zolvin, name), harmless_args(name)
    for call in (lambda: fn(*args[:-1], arg=args[-1]), lambda: fn(*args[:-1]), lambda: fn(*args, 0)):
        with pytest.raises(TypeError, match="incompatible function arguments"):
            call()
