"""Zonal statistics on a rotated raster.

    python examples/plot_zonal.py [OUT.png]

A 24 x 32 raster whose geotransform turns it 30 degrees, and ten zones (the
Voronoi cells of random sites, clipped to a disc over the raster). Left: the
raster's pixels as the parallelograms they are. Right: each pixel coloured by
the mean of the zone holding the largest part of it, with the zones' exact
means written on them.
"""
import math
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np
import shapely
import zolvin
from matplotlib.collections import PolyCollection


def raster():
    t = math.radians(30.0)
    # GDAL order (c, a, b, f, d, e): x = c + a col + b row, y = f + d col + e row.
    transform = (10.0, math.cos(t), math.sin(t), 30.0, math.sin(t), -math.cos(t))
    rows, cols = np.indices((24, 32))
    values = np.sin(cols / 5.0) * np.cos(rows / 4.0) * 10 + rows * 0.5
    return transform, values


def pixel_quads(transform, shape):
    c, a, b, f, d, e = transform
    rows, cols = np.indices(shape)
    r, q = rows.ravel(), cols.ravel()
    corners = [(q + dq, r + dr) for dq, dr in ((0, 0), (1, 0), (1, 1), (0, 1))]
    return np.stack([np.column_stack([c + a * x + b * y, f + d * x + e * y])
                     for x, y in corners], axis=1)


def zones():
    rng = np.random.default_rng(7)
    area = shapely.Point(29.9, 27.6).buffer(13.0)  # about the raster's centre
    sites = shapely.multipoints(rng.uniform((18.0, 16.0), (42.0, 39.0), (10, 2)))
    cells = shapely.get_parts(shapely.voronoi_polygons(sites, extend_to=area))
    return shapely.intersection(cells, area)


def main(out):
    transform, values = raster()
    grid = zolvin.Grid.from_affine(transform, values.shape)
    z = zones()
    stats = zolvin.zonal_stats(values, grid, z, stats=("mean", "count"))
    m = zolvin.coverage_matrix(grid, z).toarray()
    owner = np.where(m.max(axis=0) > 0, m.argmax(axis=0), -1)
    quads = pixel_quads(transform, values.shape)
    fig, axes = plt.subplots(1, 2, figsize=(10, 4.8), sharey=True)
    shown = [values.ravel(), np.where(owner >= 0, stats["mean"][owner], np.nan)]
    titles = ["a raster turned 30 degrees", "each zone's exact mean"]
    for ax, data, title in zip(axes, shown, titles):
        cells = PolyCollection(quads, array=np.ma.masked_invalid(data), cmap="viridis",
                               edgecolors="white", linewidths=0.2)
        ax.add_collection(cells)
        for zone in z:
            x, y = zone.exterior.xy
            ax.plot(x, y, color="black", lw=1)
        ax.set_aspect("equal")
        ax.autoscale_view()
        ax.set_title(title)
        ax.set_xlabel("x")
    for zone, mean in zip(z, stats["mean"]):
        p = zone.representative_point()
        axes[1].annotate(f"{mean:.2f}", (p.x, p.y), ha="center", va="center", fontsize=8,
                         bbox={"boxstyle": "round", "fc": "white", "alpha": 0.7, "lw": 0})
    axes[0].set_ylabel("y")
    fig.tight_layout()
    fig.savefig(out, dpi=110)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "plot_zonal.png")
