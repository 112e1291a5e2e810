"""A polygon with a hole over sheared pixels.

    python examples/plot_polygon_coverage.py [OUT.png]

A 16 x 16 grid whose pixels share the Jacobian [[0.5, 0.15], [-0.05, 0.45]]:
each pixel is a parallelogram, drawn with the exact fraction of it inside a
star-shaped polygon with a triangular hole (zolvin.polygon_coverage).
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from _figures import finish_plane, pixel_cells


def main(out):
    jac = np.array([[0.5, 0.15], [-0.05, 0.45]])
    grid = zolvin.Grid((16, 16), origin=(-4.6, -3.0), jac=jac)
    t = np.arange(14) * np.pi / 7
    r = np.where(np.arange(14) % 2, 1.6, 3.3)
    outer = np.column_stack([r * np.cos(t), r * np.sin(t)])
    hole = np.array([[-1.0, -0.7], [1.1, -0.4], [-0.2, 1.2]])
    frac = zolvin.polygon_coverage(grid, [outer, hole])
    fig, ax = plt.subplots(figsize=(6, 5))
    cells = pixel_cells(ax, grid, frac, linewidths=0.4)
    for ring in (outer, hole):
        closed = np.vstack([ring, ring[:1]])
        ax.plot(closed[:, 0], closed[:, 1], color="red", lw=1)
    finish_plane(fig, ax, cells, "polygon_coverage on a sheared Grid", out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "polygon_coverage.png")
