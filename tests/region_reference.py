"""A slow stand-in for zolvin._region, built on shapely, for the aperture tests
while the package has no native region rasterizer: conftest installs it as
zolvin._region when the real one is missing.

It follows the region's definition literally: the pieces (arcs as fine
chords) are noded into faces, each face takes the winding number of the
directed pieces around a point inside it, each leaf is the union of the faces
its rule keeps, the program combines the leaves, and every pixel's
parallelogram is intersected with the result.
"""
import math

import numpy as np
import shapely
from zolvin.grid import Grid

# Chords per full turn of an arc.
ARC_CHORDS = 4096
RULES = {"nonzero": lambda w: w != 0, "evenodd": lambda w: w % 2 == 1,
         "positive": lambda w: w > 0}


class Region:
    def __init__(self, segments, segment_leaf, arcs, arc_leaf, leaf_rules, program=None):
        self.segments = np.asarray(segments, float).reshape(-1, 4)
        self.segment_leaf = np.asarray(segment_leaf, np.int32)
        self.arcs = np.asarray(arcs, float).reshape(-1, 8)
        self.arc_leaf = np.asarray(arc_leaf, np.int32)
        self.leaf_rules = tuple(leaf_rules)
        n = len(self.leaf_rules)
        self.program = tuple(program) if program is not None else \
            (0,) + sum(((k, -1) for k in range(1, n)), ())


def _chords(arc):
    cx, cy, a, b, c, d, t0, t1 = arc
    n = max(8, math.ceil(abs(t1 - t0) / (2 * math.pi) * ARC_CHORDS))
    t = np.linspace(t0, t1, n + 1)
    x = cx + a * np.cos(t) + b * np.sin(t)
    y = cy + c * np.cos(t) + d * np.sin(t)
    if abs(t1 - t0) >= 2 * math.pi:
        x[-1], y[-1] = x[0], y[0]
    return np.stack([x[:-1], y[:-1], x[1:], y[1:]], axis=1)


def _leaf(segs, rule):
    if segs.shape[0] == 0:
        return shapely.Polygon()
    noded = shapely.union_all(shapely.linestrings(segs.reshape(-1, 2, 2)))
    faces = shapely.get_parts(shapely.polygonize(shapely.get_parts(noded)))
    faces = shapely.get_parts(faces)
    if faces.size == 0:
        return shapely.Polygon()
    pts = shapely.get_coordinates(shapely.point_on_surface(faces))
    px, py = pts[:, :1], pts[:, 1:]
    x0, y0, x1, y1 = (segs[:, k] for k in range(4))
    side = (x1 - x0) * (py - y0) - (px - x0) * (y1 - y0)
    up = (y0 <= py) & (y1 > py) & (side > 0)
    down = (y1 <= py) & (y0 > py) & (side < 0)
    w = up.sum(axis=1) - down.sum(axis=1)
    return shapely.union_all(faces[RULES[rule](w)])


def geometry(region):
    leaves = []
    for k, rule in enumerate(region.leaf_rules):
        parts = [region.segments[region.segment_leaf == k]]
        parts += [_chords(a) for a in region.arcs[region.arc_leaf == k]]
        leaves.append(_leaf(np.concatenate(parts), rule))
    stack = []
    ops = {-1: shapely.union, -2: shapely.intersection, -3: shapely.difference,
           -4: shapely.symmetric_difference}
    for op in region.program:
        if op >= 0:
            stack.append(leaves[op])
        elif op == -5:
            stack.append(shapely.difference(shapely.box(-1e300, -1e300, 1e300, 1e300),
                                            stack.pop()))
        else:
            b = stack.pop()
            stack.append(ops[op](stack.pop(), b))
    (g,) = stack
    return g


def parallelograms(pixels):
    """Each pixel's parallelogram as shapely polygons, and the pixel areas."""
    if isinstance(pixels, Grid):
        _, _, x, y = pixels.coordinates()
        (a, b), (c, d) = pixels.jac
        a, b, c, d = (np.full(x.shape, t) for t in (a, b, c, d))
    else:
        x, y = pixels.x, pixels.y
        a, b, c, d = pixels.dxdu, pixels.dxdv, pixels.dydu, pixels.dydv
    corners = []
    for su, sv in ((-0.5, -0.5), (0.5, -0.5), (0.5, 0.5), (-0.5, 0.5)):
        corners.append(np.stack([x + su * a + sv * b, y + su * c + sv * d], axis=-1))
    ring = np.stack(corners, axis=-2)
    return shapely.polygons(ring.reshape(-1, 4, 2)), np.abs(a * d - b * c).reshape(-1), x.shape


def region_coverage(pixels, region, *, out=None, n_threads=None):
    g = geometry(region)
    shapely.prepare(g)
    polys, area, shape = parallelograms(pixels)
    res = shapely.area(shapely.intersection(g, polys)) / area
    res = np.clip(res, 0.0, 1.0).reshape(shape)
    if out is not None:
        out[...] = res
        return out
    return res
