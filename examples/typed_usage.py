"""Every public function of zolvin, called as a typed program would (checked by mypy --strict)."""
import numpy as np
import numpy.typing as npt
import zolvin


def coverage(n: int) -> npt.NDArray[np.float64]:
    grid = zolvin.Grid((n, n), origin=(-1.0, -1.0), jac=((2.0 / n, 0.0), (0.0, 2.0 / n)))
    pixels: zolvin.Pixels = grid.pixels()
    aperture = zolvin.enclosed_circle(grid, (0.0, 0.0), 1.0)
    line = zolvin.pixel_frac(pixels, (0.0, 0.0), (1.0, 1.0), n_threads=2)
    strut = zolvin.enclosed_strut(pixels, 2.0, ((-0.01, 0.0), (0.0, 1.0)),
                                  ((0.01, 0.0), (0.0, 1.0)), out=np.empty(pixels.shape))
    return aperture * line * (1.0 - strut)


def triangles() -> float:
    tris = np.array([[[-3.0, -1.0], [3.0, -1.0], [0.0, 2.0]]])
    inside: zolvin.Clipped = zolvin.clip_triangles_to_circle(tris, (0.0, 0.0), 2.5)
    left = zolvin.clip_triangles_to_strut(inside.triangles, ((0.0, -0.2), (1.0, 0.0)),
                                          ((0.0, 0.2), (1.0, 0.0)), (0.0, 0.0), 4.0, margin=0.0)
    counts: int = left.dropped + left.clipped
    grid = zolvin.accumulate_triangles(left.triangles, 1.0, 1.0, 9)
    area: float = zolvin.clip_area(tris[0], 0, 0)
    return float(grid.sum()) + area + counts


def mask() -> npt.NDArray[np.bool_]:
    square = [(0.0, 0.0), (4.0, 0.0), (4.0, 2.0), (0.0, 2.0)]
    return zolvin.poly_grid_contains(square, np.arange(6.0), np.arange(-1.0, 4.0))


def pupil(n: int) -> float:
    """The mesh pupil's open area less the exact one."""
    step = 2.0 / n
    grid = zolvin.Grid((n, n), origin=(step / 2 - 1, step / 2 - 1), jac=((step, 0.0), (0.0, step)))
    spokes: tuple[float, ...] = zolvin.strut_angles(4)
    img = zolvin.pupil(grid, 1.0, obscuration=0.3, struts=spokes, strut_width=0.02,
                       method="mesh", chord_error=1e-6, n_threads=2)
    exact: float = zolvin.analytic_area(1.0, obscuration=0.3, struts=spokes, strut_width=0.02)
    return float(img.sum()) * step**2 - exact


if __name__ == "__main__":
    print(coverage(64).sum(), triangles(), int(mask().sum()), pupil(64))
