"""The polygon mask's two rules on a spiky star.

    python examples/plot_polygon_rules.py [OUT.png]

A star whose spikes are narrower than the column spacing, masked on a
40 x 40 grid of points by rule="scan" and rule="points"; the third panel
shows where they differ.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import zolvin


def star(n=12):
    """A disc of radius 9 with n spikes to radius 19, each spike's base 0.5 wide."""
    angles, radii = [], []
    for k in range(n):
        a = 2 * np.pi * k / n + 0.1
        angles += [a - 0.028, a, a + 0.028]
        radii += [9.0, 19.0, 9.0]
    t, r = np.array(angles), np.array(radii)
    return np.stack([19.6 + r * np.cos(t), 19.3 + r * np.sin(t)], -1)


def main(out):
    verts = star()
    g = np.arange(40.0)
    scan = zolvin.poly_grid_contains(verts, g, g)
    points = zolvin.poly_grid_contains(verts, g, g, rule="points")
    fig, axes = plt.subplots(1, 3, figsize=(11, 4))
    closed = np.vstack([verts, verts[:1]])
    for ax, img, title in zip(axes, (scan, points, scan ^ points),
                              ('rule="scan"', 'rule="points"', "differ")):
        ax.imshow(img, origin="lower", cmap="Greys", extent=(-0.5, 39.5, -0.5, 39.5))
        ax.plot(closed[:, 0], closed[:, 1], color="tab:red", lw=0.8)
        ax.set_title(title)
        ax.set_xticks([])
        ax.set_yticks([])
    fig.tight_layout()
    fig.savefig(out, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "polygon_rules.png")
