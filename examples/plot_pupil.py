"""A telescope pupil with four spokes.

    python examples/plot_pupil.py [OUT.png]

zolvin.pupil on a 512 x 512 grid: aperture of radius 1, central obscuration
0.3, four spokes 0.02 wide; the open fraction of every pixel.
"""
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import zolvin


def main(out):
    step = 2.1 / 512
    grid = zolvin.Grid((512, 512), origin=(-1.05 + step / 2, -1.05 + step / 2),
                       jac=((step, 0), (0, step)))
    img = zolvin.pupil(grid, 1.0, obscuration=0.3, struts=zolvin.strut_angles(4),
                       strut_width=0.02)
    fig, ax = plt.subplots(figsize=(4.5, 4.5))
    ax.imshow(img, origin="lower", cmap="gray", extent=(-1.05, 1.05, -1.05, 1.05))
    ax.set_title(f"open area {float(img.sum()) * step**2:.6f}")
    fig.tight_layout()
    fig.savefig(out, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "pupil.png")
