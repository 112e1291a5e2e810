"""Plane figures for apertures, and their union, difference and intersection.

Shapes live in plane coordinates (x, y); angles are radians, counter-clockwise
from +x. Every shape is a value: immutable, hashable, picklable (unpickling runs
the same checks as construction), equal to another when it describes the same
figure with the same numbers, and shown by a readable repr.

- ``Disc(center, radius)``, ``Ellipse(center, semi_axes, angle)``
- ``Polygon(rings)``: an ``(n, 2)`` ring, a sequence of rings (the exterior
  first, then holes), a sequence of such polygons, or anything with a
  ``__geo_interface__`` of type Polygon or MultiPolygon
- ``RegularPolygon(center, circumradius, sides, angle)`` (or ``flat_to_flat=``)
  and ``Hexagon``, its six-sided case
- ``Spider(start, angle, width, length=None)``: a straight bar; length None
  reaches beyond everything else in the shape it is composed into (the same
  bar is a strut to the kernels and to ``zolvin.pupil``)
- ``HexSegments(flat_to_flat, gap, rings, ...)``: a segmented mirror, each
  segment addressable (``.positions``, ``.centers``, ``.segments``)
- ``a | b``, ``a - b``, ``a & b``: union, difference, intersection, nested freely
- ``Discs``, ``Ellipses``, ``Annuli``, ``Polygons``: catalogs of many apertures as arrays
  (what ``zolvin.aperture_sums`` measures; not shapes to compose), compiled to a
  ``RegionBatch``
- ``SkyDiscs``, ``SkyEllipses``, ``SkyAnnuli``: the same on the sky (centres in degrees or
  a SkyCoord, sizes in arcseconds, position angles), for ``zolvin.sky_aperture_sums``

``compile_shape`` turns a shape into the region description that the exact
rasterizer takes: directed boundary pieces grouped into leaves, and a postfix
boolean program over the leaves. Every union of plain figures (polygons,
discs, ellipses, bars, segments) is one leaf whose pieces are positively
oriented (exteriors counter-clockwise, holes clockwise): a point is inside the
union exactly where their winding number is positive, so the 798 segments of
a large telescope cost one leaf. Differences and intersections are the
program's operations.
"""
from . import base, batch, catalogs, compile, ellipses, polygons, segments, sky, spiders
from .base import *  # noqa: F403
from .batch import *  # noqa: F403
from .catalogs import *  # noqa: F403
from .compile import *  # noqa: F403
from .ellipses import *  # noqa: F403
from .polygons import *  # noqa: F403
from .segments import *  # noqa: F403
from .sky import *  # noqa: F403
from .spiders import *  # noqa: F403

# Each module names its public shapes: a new figure is public where it is defined.
__all__ = sorted({*base.__all__, *batch.__all__, *catalogs.__all__, *compile.__all__,
                  *ellipses.__all__, *polygons.__all__, *segments.__all__, *sky.__all__, *spiders.__all__})
