"""The named pupils of zolvin.pupils side by side, each with its open area.

    python examples/gallery.py [N] [OUT]     (defaults 512 and docs/pupils.png)

Every preset is rendered exactly on N x N pixels spanning it; the picture
shows the open fraction of every pixel (white open, black covered).
"""
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import zolvin
from zolvin import pupils


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 512
    out = Path(sys.argv[2] if len(sys.argv) > 2 else "docs/pupils.png")
    names = list(pupils.PRESETS)
    cols = min(5, len(names))
    rows = -(-len(names) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(2.4 * cols, 2.8 * rows), squeeze=False)
    for ax in axes.flat[len(names):]:
        ax.set_axis_off()
    for ax, name in zip(axes.flat, names):
        shape = pupils.named(name)
        grid = pupils.spanning_grid(shape, n, margin=n / 64)
        img = zolvin.aperture_coverage(grid, shape)
        (p, _), _ = grid.jac
        x0, y0 = grid.origin
        extent = (x0 - p / 2, x0 + p * (n - 0.5), y0 - p / 2, y0 + p * (n - 0.5))
        ax.imshow(img, cmap="gray", vmin=0, vmax=1, origin="lower", extent=extent,
                  interpolation="nearest")
        ax.set_title(f"{name.upper()}\n{img.sum() * p * p:.2f} m$^2$ open", fontsize=9)
        ax.set_xticks([])
        ax.set_yticks([])
        print(f"{name:<7} {img.sum() * p * p:10.3f} m^2 open, {p * 1e3:.1f} mm pixels")
    fig.tight_layout()
    out.parent.mkdir(parents=True, exist_ok=True)
    fig.savefig(out, dpi=110, bbox_inches="tight")
    print(f"wrote {out}")


if __name__ == "__main__":
    main()
