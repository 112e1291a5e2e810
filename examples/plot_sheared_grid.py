"""Sheared pixels covered by a circle.

    python examples/plot_sheared_grid.py [OUT.png]

A 10 x 10 grid whose pixels share the Jacobian [[0.5, 0.2], [0, 0.5]]: each
pixel is a parallelogram, drawn with the fraction of it inside the circle.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin
from _figures import finish_plane, pixel_cells


def main(out):
    jac = np.array([[0.5, 0.2], [0.0, 0.5]])
    grid = zolvin.Grid((10, 10), origin=(-3.2, -2.25), jac=jac)
    center, radius = (0.1, 0.2), 1.7
    frac = zolvin.enclosed_circle(grid, center, radius)
    fig, ax = plt.subplots(figsize=(5.5, 4.5))
    cells = pixel_cells(ax, grid, frac, linewidths=0.5)
    t = np.linspace(0, 2 * np.pi, 400)
    ax.plot(center[0] + radius * np.cos(t), center[1] + radius * np.sin(t), color="red", lw=1)
    finish_plane(fig, ax, cells, "enclosed_circle on a sheared Grid", out)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sheared_grid.png")
