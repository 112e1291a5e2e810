"""The kernels by address with the lock released and n_threads (last argument)."""
from __future__ import annotations

import typing

import numpy
import numpy.typing

def accumulate_triangles(triangles: typing.SupportsInt | typing.SupportsIndex, values: typing.SupportsInt | typing.SupportsIndex, weights: typing.SupportsInt | typing.SupportsIndex, grid: typing.SupportsInt | typing.SupportsIndex, n_triangles: typing.SupportsInt | typing.SupportsIndex, grid_size: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Adds value / weight times each triangle's overlap area to a grid centred on 0.
    """
def accumulate_triangles_band(triangles: typing.SupportsInt | typing.SupportsIndex, values: typing.SupportsInt | typing.SupportsIndex, weights: typing.SupportsInt | typing.SupportsIndex, band: typing.SupportsInt | typing.SupportsIndex, n_triangles: typing.SupportsInt | typing.SupportsIndex, grid_size: typing.SupportsInt | typing.SupportsIndex, row_begin: typing.SupportsInt | typing.SupportsIndex, row_end: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    accumulate_triangles for grid rows row_begin .. row_end - 1, stored at band.
    """
def clip_area(tri: typing.SupportsInt | typing.SupportsIndex, ix: typing.SupportsInt | typing.SupportsIndex, iy: typing.SupportsInt | typing.SupportsIndex) -> float:
    """
    Area of the triangle at tri inside the unit pixel centred on (ix, iy).
    """
def clip_triangles_to_circle(triangles: typing.SupportsInt | typing.SupportsIndex, n_triangles: typing.SupportsInt | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, keep_inside: typing.SupportsInt | typing.SupportsIndex, margin: typing.SupportsFloat | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, counts: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Cuts the triangles to a circle; each part's (start, written, dropped, clipped) to counts.
    """
def clip_triangles_to_strut(triangles: typing.SupportsInt | typing.SupportsIndex, n_triangles: typing.SupportsInt | typing.SupportsIndex, x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, length: typing.SupportsFloat | typing.SupportsIndex, margin: typing.SupportsFloat | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, counts: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Cuts a strut out of the triangles; each part's (start, written, dropped, clipped) to counts.
    """
def enclosed_circle(u: typing.SupportsInt | typing.SupportsIndex, v: typing.SupportsInt | typing.SupportsIndex, x: typing.SupportsInt | typing.SupportsIndex, y: typing.SupportsInt | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsInt | typing.SupportsIndex, dxdv: typing.SupportsInt | typing.SupportsIndex, dydu: typing.SupportsInt | typing.SupportsIndex, dydv: typing.SupportsInt | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, n: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel inside a circle.
    """
def enclosed_strut(u: typing.SupportsInt | typing.SupportsIndex, v: typing.SupportsInt | typing.SupportsIndex, x: typing.SupportsInt | typing.SupportsIndex, y: typing.SupportsInt | typing.SupportsIndex, diameter: typing.SupportsFloat | typing.SupportsIndex, x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsInt | typing.SupportsIndex, dxdv: typing.SupportsInt | typing.SupportsIndex, dydu: typing.SupportsInt | typing.SupportsIndex, dydv: typing.SupportsInt | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, n: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Coverage of each pixel by a strut.
    """
def grid_enclosed_circle(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, zeroed: bool, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window inside a circle.
    """
def grid_enclosed_strut(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, diameter: typing.SupportsFloat | typing.SupportsIndex, x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, zeroed: bool, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Coverage of each pixel of a grid window by a strut.
    """
def grid_pixel_frac(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, line_x: typing.SupportsFloat | typing.SupportsIndex, line_y: typing.SupportsFloat | typing.SupportsIndex, dir_y: typing.SupportsFloat | typing.SupportsIndex, dir_x: typing.SupportsFloat | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window on the inner side of one line.
    """
def pixel_frac_lines(x0: typing.SupportsInt | typing.SupportsIndex, y0: typing.SupportsInt | typing.SupportsIndex, dir_y: typing.SupportsInt | typing.SupportsIndex, dir_x: typing.SupportsInt | typing.SupportsIndex, x: typing.SupportsInt | typing.SupportsIndex, y: typing.SupportsInt | typing.SupportsIndex, u: typing.SupportsInt | typing.SupportsIndex, v: typing.SupportsInt | typing.SupportsIndex, dxdu: typing.SupportsInt | typing.SupportsIndex, dxdv: typing.SupportsInt | typing.SupportsIndex, dydu: typing.SupportsInt | typing.SupportsIndex, dydv: typing.SupportsInt | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, n: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel on the inner side of its own line.
    """
def pixel_frac_shared(x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dir_y: typing.SupportsFloat | typing.SupportsIndex, dir_x: typing.SupportsFloat | typing.SupportsIndex, x: typing.SupportsInt | typing.SupportsIndex, y: typing.SupportsInt | typing.SupportsIndex, u: typing.SupportsInt | typing.SupportsIndex, v: typing.SupportsInt | typing.SupportsIndex, dxdu: typing.SupportsInt | typing.SupportsIndex, dxdv: typing.SupportsInt | typing.SupportsIndex, dydu: typing.SupportsInt | typing.SupportsIndex, dydv: typing.SupportsInt | typing.SupportsIndex, out: typing.SupportsInt | typing.SupportsIndex, n: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel on the inner side of one shared line.
    """
def poly_grid_contains(poly_x: typing.SupportsInt | typing.SupportsIndex, poly_y: typing.SupportsInt | typing.SupportsIndex, n_vertices: typing.SupportsInt | typing.SupportsIndex, grid_x: typing.SupportsInt | typing.SupportsIndex, grid_y: typing.SupportsInt | typing.SupportsIndex, mask: typing.SupportsInt | typing.SupportsIndex, nx: typing.SupportsInt | typing.SupportsIndex, ny: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Even-odd mask (uint8, ny x nx) of a polygon over a grid of points.
    """
def poly_grid_points(poly_x: typing.SupportsInt | typing.SupportsIndex, poly_y: typing.SupportsInt | typing.SupportsIndex, n_vertices: typing.SupportsInt | typing.SupportsIndex, grid_x: typing.SupportsInt | typing.SupportsIndex, grid_y: typing.SupportsInt | typing.SupportsIndex, mask: typing.SupportsInt | typing.SupportsIndex, nx: typing.SupportsInt | typing.SupportsIndex, ny: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Mask (uint8, ny x nx) of the grid points inside a polygon by the even-odd rule.
    """
def region_grid(segments: numpy.typing.NDArray[numpy.float64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], program: numpy.typing.NDArray[numpy.int32], rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window inside a region.
    """
def region_pixels(segments: numpy.typing.NDArray[numpy.float64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], program: numpy.typing.NDArray[numpy.int32], x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each parallelogram pixel inside a region.
    """
def find_crossing(segments: numpy.typing.NDArray[numpy.float64], group: numpy.typing.NDArray[numpy.int32]) -> tuple[int, int]:
    """
    Indices (i, j) of two segments of one group that cross properly, or (-1, -1).
    """
CIRCLE_PIECES: int = 4
STRUT_PIECES: int = 7
TRIANGLE_BYTES: int = 48
