"""The kernels on NumPy arrays, with the lock released and n_threads threads."""
from __future__ import annotations

import typing

import numpy
import numpy.typing

class PixelIndex:
    """
    Boxes of tiles of an image's pixels, for finding the pixels near a plane box.
    """
    def __init__(self, x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
        ...
    def window(self, xlo: typing.SupportsFloat | typing.SupportsIndex, ylo: typing.SupportsFloat | typing.SupportsIndex, xhi: typing.SupportsFloat | typing.SupportsIndex, yhi: typing.SupportsFloat | typing.SupportsIndex) -> tuple[int, int, int, int]:
        """
        (row0, col0, rows, cols) of the tiles whose box meets the plane box.
        """
    @property
    def bad(self) -> int:
        """
        The first pixel with a non-finite centre or Jacobian, or a singular Jacobian; -1: none.
        """
    @property
    def cols(self) -> int:
        ...
    @property
    def rows(self) -> int:
        ...
class PlaneModel:
    """
    The pixels of a TAN or TAN-SIP image on a tangent plane, by plain arithmetic.
    """
    def __init__(self, linear: numpy.typing.NDArray[numpy.float64], sip: numpy.typing.NDArray[numpy.float64], layout: numpy.typing.NDArray[numpy.int64], projective: numpy.typing.NDArray[numpy.float64]) -> None:
        ...
def accumulate_triangles(triangles: numpy.typing.NDArray[numpy.float64], values: numpy.typing.NDArray[numpy.float64], weights: numpy.typing.NDArray[numpy.float64], grid: numpy.typing.NDArray[numpy.float64], grid_size: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Adds value / weight times each triangle's overlap area to a grid centred on 0.
    """
def accumulate_triangles_band(triangles: numpy.typing.NDArray[numpy.float64], values: numpy.typing.NDArray[numpy.float64], weights: numpy.typing.NDArray[numpy.float64], band: numpy.typing.NDArray[numpy.float64], grid_size: typing.SupportsInt | typing.SupportsIndex, row_begin: typing.SupportsInt | typing.SupportsIndex, row_end: typing.SupportsInt | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    accumulate_triangles for grid rows row_begin .. row_end - 1, stored in band.
    """
def clip_area(triangle: numpy.typing.NDArray[numpy.float64], ix: typing.SupportsInt | typing.SupportsIndex, iy: typing.SupportsInt | typing.SupportsIndex) -> float:
    """
    Area of the triangle inside the unit pixel centred on (ix, iy).
    """
def clip_triangles_to_circle(triangles: numpy.typing.NDArray[numpy.float64], cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, keep_inside: bool, margin: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], counts: numpy.typing.NDArray[numpy.int64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Cuts the triangles to a circle; each part's (start, written, dropped, clipped) to counts.
    """
def clip_triangles_to_strut(triangles: numpy.typing.NDArray[numpy.float64], x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, length: typing.SupportsFloat | typing.SupportsIndex, margin: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], counts: numpy.typing.NDArray[numpy.int64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Cuts a strut out of the triangles; each part's (start, written, dropped, clipped) to counts.
    """
def csr_stats(indptr: numpy.typing.NDArray[numpy.int64], indices: numpy.ndarray, f: numpy.typing.NDArray[numpy.float64], rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, weights: numpy.typing.NDArray[numpy.float64], weight_bands: typing.SupportsInt | typing.SupportsIndex, mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, minmax: bool, centre: numpy.typing.NDArray[numpy.float64], values: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    regions_stats over the rows of a coverage matrix (indptr, indices, f) of an image of rows x cols pixels.
    """
def enclosed_circle(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], u: numpy.typing.NDArray[numpy.float64], v: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel inside a circle.
    """
def enclosed_strut(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], u: numpy.typing.NDArray[numpy.float64], v: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], diameter: typing.SupportsFloat | typing.SupportsIndex, x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Coverage of each pixel by a strut.
    """
def find_crossing(segments: numpy.typing.NDArray[numpy.float64], group: numpy.typing.NDArray[numpy.int32]) -> tuple[int, int]:
    """
    Indices (i, j) of two segments of one group that cross properly, or (-1, -1).
    """
def simple_rings(segments: numpy.typing.NDArray[numpy.float64]) -> bool:
    """
    Whether closed rings of segments are simple together: no vertex twice, no two edges meeting but consecutive ones at their shared vertex.
    """
def grid_enclosed_circle(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, cx: typing.SupportsFloat | typing.SupportsIndex, cy: typing.SupportsFloat | typing.SupportsIndex, radius: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], zeroed: bool, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window inside a circle.
    """
def grid_enclosed_strut(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, diameter: typing.SupportsFloat | typing.SupportsIndex, x1: typing.SupportsFloat | typing.SupportsIndex, y1: typing.SupportsFloat | typing.SupportsIndex, dir_x1: typing.SupportsFloat | typing.SupportsIndex, dir_y1: typing.SupportsFloat | typing.SupportsIndex, x2: typing.SupportsFloat | typing.SupportsIndex, y2: typing.SupportsFloat | typing.SupportsIndex, dir_x2: typing.SupportsFloat | typing.SupportsIndex, dir_y2: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], zeroed: bool, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Coverage of each pixel of a grid window by a strut.
    """
def grid_pixel_frac(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, line_x: typing.SupportsFloat | typing.SupportsIndex, line_y: typing.SupportsFloat | typing.SupportsIndex, dir_x: typing.SupportsFloat | typing.SupportsIndex, dir_y: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window on the inner side of one line.
    """
def model_sums(model: PlaneModel, windows: numpy.typing.NDArray[numpy.int64], rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, error: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, sum: numpy.typing.NDArray[numpy.float64], count: numpy.typing.NDArray[numpy.float64], area: numpy.typing.NDArray[numpy.float64], var: numpy.typing.NDArray[numpy.float64], border: numpy.typing.NDArray[numpy.uint8], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    pixels_sums over a window per region whose pixels a PlaneModel makes; border gets 1 where a window is too small, 2 where the model cannot place a pixel.
    """
def pixel_frac_lines(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], u: numpy.typing.NDArray[numpy.float64], v: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], line_x: numpy.typing.NDArray[numpy.float64], line_y: numpy.typing.NDArray[numpy.float64], dir_x: numpy.typing.NDArray[numpy.float64], dir_y: numpy.typing.NDArray[numpy.float64], out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel on the inner side of its own line.
    """
def pixel_frac_shared(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], u: numpy.typing.NDArray[numpy.float64], v: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], line_x: typing.SupportsFloat | typing.SupportsIndex, line_y: typing.SupportsFloat | typing.SupportsIndex, dir_x: typing.SupportsFloat | typing.SupportsIndex, dir_y: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel on the inner side of one shared line.
    """
def pixels_region(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], index: PixelIndex, segments: numpy.typing.NDArray[numpy.float64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], program: numpy.typing.NDArray[numpy.int32], simple: bool, outside: typing.SupportsFloat | typing.SupportsIndex, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of every pixel of an image (pixels of their own shape) inside a region; pixels away from its box get `outside`.
    """
def pixels_sums(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], index: PixelIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, error: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, sum: numpy.typing.NDArray[numpy.float64], count: numpy.typing.NDArray[numpy.float64], area: numpy.typing.NDArray[numpy.float64], var: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Per region and band, over the counted pixels of an image whose pixels have their own shape: sums of f x data, f, f x pixel area and f^2 x error^2.
    """
def plane_pixels(model: PlaneModel, rows: numpy.typing.NDArray[numpy.int64], cols: numpy.typing.NDArray[numpy.int64], x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64]) -> int:
    """
    Centres and Jacobians of pixels (rows[k], cols[k]) through a PlaneModel; the first pixel it cannot place, or -1.
    """
def poly_grid_contains(poly_x: numpy.typing.NDArray[numpy.float64], poly_y: numpy.typing.NDArray[numpy.float64], grid_x: numpy.typing.NDArray[numpy.float64], grid_y: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Even-odd mask (uint8, ny x nx) of a polygon over a grid of points, by the scan rule.
    """
def poly_grid_points(poly_x: numpy.typing.NDArray[numpy.float64], poly_y: numpy.typing.NDArray[numpy.float64], grid_x: numpy.typing.NDArray[numpy.float64], grid_y: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Mask (uint8, ny x nx) of the grid points inside a polygon by the even-odd rule.
    """
def region_grid(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], program: numpy.typing.NDArray[numpy.int32], simple: bool, out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each pixel of a grid window inside a region (simple: its winding is 0 or 1 everywhere, accumulated instead of swept).
    """
def region_pixels(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], u: numpy.typing.NDArray[numpy.float64], v: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], segments: numpy.typing.NDArray[numpy.float64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], program: numpy.typing.NDArray[numpy.int32], out: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Fraction of each parallelogram pixel inside a region (u and v are not read).
    """
def regions_entries(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], n_threads: typing.SupportsInt | typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[typing.Any], numpy.typing.NDArray[numpy.float64], numpy.typing.NDArray[numpy.int64]]:
    """
    Every region's covered pixels as compressed sparse rows: (indptr, indices, data, failed regions).
    """
def regions_stats(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, weights: numpy.typing.NDArray[numpy.float64], weight_bands: typing.SupportsInt | typing.SupportsIndex, mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, minmax: bool, centre: numpy.typing.NDArray[numpy.float64], values: numpy.typing.NDArray[numpy.float64], open: bool, start: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Per region and band: sums of f v and f, min and max, sums of f w and f w v over the counted pixels of its window; with centre, sums of f (v - c) and f (v - c)^2.
    """
def regions_sums(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, error: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, pixel_area: typing.SupportsFloat | typing.SupportsIndex, sum: numpy.typing.NDArray[numpy.float64], count: numpy.typing.NDArray[numpy.float64], area: numpy.typing.NDArray[numpy.float64], var: numpy.typing.NDArray[numpy.float64], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    Per region and band: sums of f x data, f, f x pixel area and f^2 x error^2 over the counted pixels of its window.
    """
def regions_windows(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8]) -> numpy.typing.NDArray[numpy.int64]:
    """
    Every region's window of grid cells as (row0, col0, rows, cols).
    """
def resample_grid(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, out_rows: typing.SupportsInt | typing.SupportsIndex, out_cols: typing.SupportsInt | typing.SupportsIndex, out_row0: typing.SupportsInt | typing.SupportsIndex, out_col0: typing.SupportsInt | typing.SupportsIndex, out_x0: typing.SupportsFloat | typing.SupportsIndex, out_y0: typing.SupportsFloat | typing.SupportsIndex, out_dxdu: typing.SupportsFloat | typing.SupportsIndex, out_dxdv: typing.SupportsFloat | typing.SupportsIndex, out_dydu: typing.SupportsFloat | typing.SupportsIndex, out_dydv: typing.SupportsFloat | typing.SupportsIndex, data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, mean: bool, weight: numpy.typing.NDArray[numpy.float64], weight_per_band: bool, variance: numpy.typing.NDArray[numpy.float64], sum: numpy.typing.NDArray[numpy.float64], footprint: numpy.typing.NDArray[numpy.float64], var: numpy.typing.NDArray[numpy.float64], accumulate: bool, n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    An input grid's image spread exactly over an output grid's cells: per cell and band the flux (or the mean, with weights and variances) and the footprint.
    """
def resample_grid_weights(rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, row0: typing.SupportsInt | typing.SupportsIndex, col0: typing.SupportsInt | typing.SupportsIndex, x0: typing.SupportsFloat | typing.SupportsIndex, y0: typing.SupportsFloat | typing.SupportsIndex, dxdu: typing.SupportsFloat | typing.SupportsIndex, dxdv: typing.SupportsFloat | typing.SupportsIndex, dydu: typing.SupportsFloat | typing.SupportsIndex, dydv: typing.SupportsFloat | typing.SupportsIndex, out_rows: typing.SupportsInt | typing.SupportsIndex, out_cols: typing.SupportsInt | typing.SupportsIndex, out_row0: typing.SupportsInt | typing.SupportsIndex, out_col0: typing.SupportsInt | typing.SupportsIndex, out_x0: typing.SupportsFloat | typing.SupportsIndex, out_y0: typing.SupportsFloat | typing.SupportsIndex, out_dxdu: typing.SupportsFloat | typing.SupportsIndex, out_dxdv: typing.SupportsFloat | typing.SupportsIndex, out_dydu: typing.SupportsFloat | typing.SupportsIndex, out_dydv: typing.SupportsFloat | typing.SupportsIndex, n_threads: typing.SupportsInt | typing.SupportsIndex) -> tuple[numpy.typing.NDArray[numpy.int64], numpy.typing.NDArray[typing.Any], numpy.typing.NDArray[numpy.float64]]:
    """
    The flux weights of an input grid over an output grid as compressed sparse columns (one per input pixel): (indptr, indices, data).
    """
def windows_sums(x: numpy.typing.NDArray[numpy.float64], y: numpy.typing.NDArray[numpy.float64], dxdu: numpy.typing.NDArray[numpy.float64], dxdv: numpy.typing.NDArray[numpy.float64], dydu: numpy.typing.NDArray[numpy.float64], dydv: numpy.typing.NDArray[numpy.float64], windows: numpy.typing.NDArray[numpy.int64], offsets: numpy.typing.NDArray[numpy.int64], rows: typing.SupportsInt | typing.SupportsIndex, cols: typing.SupportsInt | typing.SupportsIndex, segments: numpy.typing.NDArray[numpy.float64], segment_start: numpy.typing.NDArray[numpy.int64], segment_leaf: numpy.typing.NDArray[numpy.int32], arcs: numpy.typing.NDArray[numpy.float64], arc_start: numpy.typing.NDArray[numpy.int64], arc_leaf: numpy.typing.NDArray[numpy.int32], rules: numpy.typing.NDArray[numpy.uint8], rule_start: numpy.typing.NDArray[numpy.int64], program: numpy.typing.NDArray[numpy.int32], program_start: numpy.typing.NDArray[numpy.int64], simple: numpy.typing.NDArray[numpy.uint8], data: numpy.typing.NDArray[numpy.float64], bands: typing.SupportsInt | typing.SupportsIndex, error: numpy.typing.NDArray[numpy.float64], mask: numpy.typing.NDArray[numpy.uint8], has_nodata: bool, nodata: typing.SupportsFloat | typing.SupportsIndex, sum: numpy.typing.NDArray[numpy.float64], count: numpy.typing.NDArray[numpy.float64], area: numpy.typing.NDArray[numpy.float64], var: numpy.typing.NDArray[numpy.float64], border: numpy.typing.NDArray[numpy.uint8], n_threads: typing.SupportsInt | typing.SupportsIndex) -> None:
    """
    pixels_sums over pixels given in a window per region (laid out window after window); border gets whether a window is too small.
    """
CIRCLE_PIECES: int = 4
MAX_LEAVES: int = 64
OP_AND: int = -2
OP_DIFF: int = -3
OP_NOT: int = -5
OP_OR: int = -1
OP_XOR: int = -4
REACH: float = 1e+150
RULE_EVENODD: int = 1
RULE_NONZERO: int = 0
RULE_POSITIVE: int = 2
STRUT_PIECES: int = 7
TRIANGLE_BYTES: int = 48
