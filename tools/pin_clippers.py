"""Writes tests/data/clipper_pins.json: the exact output of both triangle
clippers on a few hard cases, which the tests compare bit for bit.

Run after a deliberate change of their arithmetic, and review the diff:
    tools/env build/venv/bin/python tools/pin_clippers.py   (after tools/env tools/install)
"""
import json
import pathlib
import sys

import numpy as np

import _zolvin

OUT = pathlib.Path(__file__).resolve().parent.parent / "tests" / "data" / "clipper_pins.json"


def h(values):
    return [float(v).hex() for v in values]


def circle_cases():
    unit = (0.0, 0.0, 1.0, -1.0)  # cx, cy, radius, margin
    inputs = {
        "six_points": ([-1.5, -0.7, 1.5, -0.7, 0, 1.9], unit),
        "one_inside": ([0.2, 0.1, 2, 0, 0, 2.5], unit),
        "tangent_edge": ([-2, 1, 2, 1, 0.1, -0.3], unit),
        "vertex_on_rim": ([0.6, 0.8, 2.0, -0.3, -0.1, -0.2], unit),
        "offset_circle": ([0.31, -0.47, 1.93, 0.77, -0.58, 1.41], (0.37, 0.29, 0.83, 0.05)),
    }
    for name, (tri, (cx, cy, r, m)) in inputs.items():
        for keep_inside in (1, 0):
            for reverse in (False, True):
                t = tri[4:6] + tri[2:4] + tri[0:2] if reverse else tri
                yield f"{name} keep_inside={keep_inside}{' reversed' if reverse else ''}", t, \
                    [cx, cy, r, keep_inside, m], _zolvin.clip_triangles_to_circle, 4


def strut_cases():
    ref = (0, -0.5, 0, 1, 0, 0.5, 0, 1, 0, 0, 2)
    oblique = (0.1, -0.4, 0.3, 1, -0.2, 0.5, 0.25, 0.9, 0.05, 0.02, 2.2)
    x = float.fromhex
    inputs = {
        "oblique_seven": ([-3.1, -1.3, 3.3, -0.9, 0.2, 2.4], oblique),
        "oblique_corner": ([0.7, -0.9, 1.9, 0.3, 1.2, 1.1], oblique),
        "vertex_on_line": ([0.0, -0.5, 0.7, -1.6, 1.3, 0.9], ref),
        # Rounding makes 8 pieces for this sliver along a strut of zero width:
        # the first 7 are kept.
        "eight_rounded": ([x(s) for s in "-1.1a994222f773bp-1 -1.1b02479a8849bp-2 "
                           "1.7ac1c9c028e0cp-1 1.7b4e8b63df778p-2 -1.30a74a7093972p+0 "
                           "-1.3118822049fc1p-1".split()],
                          tuple(x(s) for s in "-1.f55fe61133d83p-57 1.f4a5d826ae286p-56 "
                                "1.ca7a7329f2865p-2 1.c9d050565c95dp-1 1.f55fe61133d83p-57 "
                                "-1.f4a5d826ae286p-56 1.ca7a7329f2865p-2 1.c9d050565c95dp-1 "
                                "0p+0 0p+0 1.eb80940ddf7c2p-1".split())),
    }
    for name, (tri, strut) in inputs.items():
        for swapped in (False, True):
            s = strut[4:8] + strut[0:4] + strut[8:] if swapped else strut
            yield f"{name}{' edges swapped' if swapped else ''}", tri, [*s, 0.0], \
                _zolvin.clip_triangles_to_strut, 7


def run(tri, params, kernel, room):
    tri = np.array(tri, float)
    out = np.zeros(6 * room)
    counters = np.zeros(2, np.int32)
    k = kernel(tri.ctypes.data, 1, *params, out.ctypes.data, counters.ctypes.data,
               counters.ctypes.data + 4)
    return out[:6 * k]


def main():
    pins = {}
    for kernel, cases in (("circle", circle_cases()), ("strut", strut_cases())):
        pins[kernel] = [{"case": name, "triangle": h(tri), "params": h(params),
                         "out": h(run(tri, params, fn, room))}
                        for name, tri, params, fn, room in cases]
    # One case a line.
    text = "{\n" + ",\n".join(
        f' "{kernel}": [\n' + ",\n".join("  " + json.dumps(c) for c in cases) + "\n ]"
        for kernel, cases in pins.items()) + "\n}\n"
    old = OUT.read_text() if OUT.exists() else None
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_text(text)
    print(f"{OUT}: {'unchanged' if old == text else 'written'}", file=sys.stderr)


if __name__ == "__main__":
    main()
