"""Pixel coverage of circles, struts, triangles and polygons, over NumPy arrays."""
from . import _native  # noqa: F401
