"""Named telescope pupils as shapes in metres (x right, y up, origin on the axis).

Each preset is a ``zolvin.shapes`` shape built from published geometry; its
docstring gives the figures and their sources under these keys (repository
at a commit, file; L = line):

- H: ehpor/hcipy e42508dc, hcipy/aperture/realistic.py
- W: spacetelescope/webbpsf 8afc6240, webbpsf/constants.py
- TT: spacetelescope/tinytim c3d06efb, acswfc1.pup L9-16 and cpupil.c L255-272
- ESO: the ELT's public figures page (eso.org, "elt_num")

``spanning_grid(shape, n)`` gives a square ``Grid`` of n x n pixels over a
pupil, for ``zolvin.aperture_coverage``.
"""
from __future__ import annotations

import math
from collections.abc import Callable

from .core import checks as V
from .pixels.grid import Grid
from .shapes import Disc, HexSegments, Shape, Spider, Union

SQRT3 = math.sqrt(3.0)


def _deg(a: float) -> float:
    return math.radians(a)


def _spiders(angles_deg: list[float], width: float, start: tuple[float, float] = (0.0, 0.0),
             length: float | None = None) -> list[Spider]:
    return [Spider(start, _deg(a), width, length) for a in angles_deg]


def hst() -> Shape:
    """Hubble Space Telescope: 2.4 m primary, secondary obscuration, four
    spiders and three mirror pads.

    - Primary diameter 2.4; obscuration radius 0.330 R = 0.396 (TT).
    - Four spiders of full width 0.022 R = 0.0264 along the two axes through
      the centre, past the rim (TT; H L1231-1252).
    - Three pads: discs of radius 0.065 R = 0.078 centred, in (V3, V2) as
      fractions of R, at (0.8921, 0), (-0.4615, 0.7555), (-0.4564, -0.7606)
      (TT), drawn at x = -V2, y = V3 as H does.

    Open area 3.894 m^2 (86.1 % of the disc), derived from TT's geometry.
    """
    r = 1.2
    pads = [Disc((-v2 * r, v3 * r), 0.065 * r)
            for v3, v2 in ((0.8921, 0.0), (-0.4615, 0.7555), (-0.4564, -0.7606))]
    return Disc((0.0, 0.0), r) - Union(Disc((0.0, 0.0), 0.330 * r),
                                       *_spiders([0, 90, 180, 270], 0.022 * r), *pads)


# JWST segments: regular hexagons. W gives 1.517 point to point for its
# (slightly irregular) segments and puts A1's centre 1.3235 from the axis;
# regular hexagons of f2f 1.309 with the derived 7.7 mm gap keep W's
# segment area (26.64 m^2) within 0.3 %.
JWST_F2F = 1.309
JWST_GAP = 0.0077


def jwst() -> Shape:
    """James Webb Space Telescope: 18 hexagonal segments, three struts.

    - 18 regular hexagonal segments in 2 rings around a missing centre, flat
      edges at top and bottom, flat-to-flat about 1.309 (derived; 1.32
      public; W L241 gives 1.517 point to point for the true, slightly
      irregular segments, W L34-161), gap about 7.7 mm (derived from W).
    - No central obscuration but the missing centre segment.
    - Three struts from the centre out to r = 3.30: one along +y of width
      0.1189, widened to 0.1652 at y 2.146-2.365 and to 0.1396 at
      y 2.483-2.544 (W L186-212); two at -60 and -120 degrees of width 0.1224
      (W L174-185).

    Segments 26.64 m^2 minus struts 0.74 m^2 = 25.90 m^2 (derived from W);
    the regular hexagons here give about 0.3 % more glass.
    """
    segs = HexSegments(JWST_F2F, JWST_GAP, 2, keep=lambda x, y, ring: ring > 0)
    struts = [Spider((0.0, 0.0), _deg(90), 0.1189, 3.30),
              Spider((0.0, 2.146), _deg(90), 0.1652, 2.365 - 2.146),
              Spider((0.0, 2.483), _deg(90), 0.1396, 2.544 - 2.483),
              *_spiders([-60, -120], 0.1224, length=3.30)]
    return segs - Union(*struts)


ELT_P2P = 1.45
ELT_OUTER = 19.57317


def _elt_keep(x: float, y: float, ring: int) -> bool:
    c, s = math.cos(_deg(30)), math.sin(_deg(30))
    # Centres outside the central hexagon (corners on the lattice axes) ...
    half = 0.5 * 9.4136
    inner = max(abs(x), abs(s * x + c * y), abs(s * x - c * y)) < half
    # ... and inside the outer one (flat edges at top and bottom).
    outer = max(abs(y), abs(x * c + y * s), abs(x * c - y * s)) < 0.99 * ELT_OUTER
    return outer and not inner


def elt() -> Shape:
    """Extremely Large Telescope: 798 hexagonal segments and six spiders.

    - 798 segments of 1.45 point to point, gap 4 mm, flat edges at top and
      bottom, on a 17-ring hexagonal grid (H L924-959); kept: centres outside
      a hexagon of flat-to-flat 9.4136 (dropping 61 positions) with |y| and
      |x cos30 +- y sin30| all below 0.99 x the outer radius 19.57317.
    - Six spiders of width 0.40 at 30 + 60k degrees through the centre (H).
    - ESO: 798 segments about 1.4 m wide, 4 mm gaps, 39 m diameter, 978 m^2
      collecting area.

    From H's parameters: 1089.8 m^2 of glass, 1056.6 m^2 after the spiders
    (about 8 % above ESO's figure; unresolved).
    """
    segs = HexSegments(ELT_P2P * SQRT3 / 2, 0.004, 17, keep=_elt_keep)
    return segs - Union(*_spiders([30, 90, 150, 210, 270, 330], 0.40))


def keck() -> Shape:
    """W. M. Keck Observatory: 36 hexagonal segments, central obscuration, six
    spiders.

    - 36 segments: 3 full hexagonal rings around a centre position, the
      centre hidden by a circular obscuration of diameter 2.6; 1.8 point to
      point (f2f 1.5588), gap 3 mm, flat edges at top and bottom;
      circumscribed diameter 10.95 (H L1544-1576).
    - Spiders: 3 lines through the centre (arms at 0, 60, ..., 300 degrees),
      width 0.026, past the rim (H).

    36 full segments = 75.76 m^2; 72.1 m^2 open with the obscuration and
    spiders (derived).
    """
    segs = HexSegments(1.8 * SQRT3 / 2, 0.003, 3, keep=lambda x, y, ring: ring > 0)
    return segs - Union(Disc((0.0, 0.0), 1.3), *_spiders([0, 60, 120, 180, 240, 300], 0.026))


def subaru() -> Shape:
    """Subaru Telescope: 7.95 m primary, central obscuration, four offset
    spiders.

    - D = 7.95, central obscuration diameter 0.307 D = 2.44 (H L1748-1801).
    - Four spiders of width 0.184 in two pairs: each pair starts at
      (+-0.659, 0) and runs at +-51.75 degrees from the x-axis, past the rim;
      they do not pass through the centre.

    42.87 m^2 open (derived from H).
    """
    d, a = 7.95, 51.75
    spiders = (_spiders([a, -a], 0.184, start=(0.659, 0.0))
               + _spiders([180 - a, 180 + a], 0.184, start=(-0.659, 0.0)))
    return Disc((0.0, 0.0), d / 2) - Union(Disc((0.0, 0.0), 0.307 * d / 2), *spiders)


# VLT unit telescopes: (primary diameter, obscuration diameter) (H L46-57).
VLT_UT = {1: (8.0, 1.116), 2: (8.0, 1.116), 3: (8.0, 1.116), 4: (8.1196, 1.293)}


def vlt(ut: int = 1) -> Shape:
    """Very Large Telescope unit telescope ``ut`` (1 to 4): primary,
    obscuration and four spiders.

    - UT1-3: D = 8.0, obscuration diameter 1.116; UT4: D = 8.1196, obscuration
      1.293 (H L46-57).
    - 4 spiders of width 0.040; each spider's line passes 0.4045 from the
      centre; they meet in pairs at r = 0.524 on a diagonal, 101 degrees apart,
      and end at r = 4.2197 on the +-x / +-y axes. Here the pairs meet on the
      diagonal at 45 and 225 degrees.

    48.71 m^2 open for UT1-3 (derived).
    """
    ut = V.index(ut, "ut", 1, 4)
    d, obs = VLT_UT[ut]
    meet, end = 0.524, 4.2197
    spiders = []
    for sign in (1.0, -1.0):
        m = (sign * meet * math.cos(_deg(45)), sign * meet * math.sin(_deg(45)))
        for e in ((sign * end, 0.0), (0.0, sign * end)):
            dx, dy = e[0] - m[0], e[1] - m[1]
            spiders.append(Spider(m, math.atan2(dy, dx), 0.040, math.hypot(dx, dy)))
    return Disc((0.0, 0.0), d / 2) - Union(Disc((0.0, 0.0), obs / 2), *spiders)


def tmt() -> Shape:
    """Thirty Meter Telescope: 492 hexagonal segments, central obscuration,
    six spiders.

    - 492 segments, 1.44 point to point, gap 2.5 mm (public); selection
      (H L1117-1149): a 13-ring grid without the centre and ring 1, keeping
      centres within a circle of diameter 29.4. Flat edges at top and bottom.
    - Central obscuration diameter 3.636; 6 spiders of width 0.22 at
      30 + 60k degrees (H).

    662.6 m^2 of segments; 645.0 m^2 with H's obscuration and spiders
    (derived); public 655 m^2.
    """
    segs = HexSegments(1.44 * SQRT3 / 2, 0.0025, 13,
                       keep=lambda x, y, ring: ring >= 2 and math.hypot(x, y) < 29.4 / 2)
    return segs - Union(Disc((0.0, 0.0), 3.636 / 2), *_spiders([30, 90, 150, 210, 270, 330], 0.22))


def magellan() -> Shape:
    """Magellan telescopes: 6.5 m primary, central obscuration, four offset
    spiders of two widths.

    - D = 6.5, obscuration 0.29 D (H L310-333, no primary source given).
    - Two spiders of 19.05 mm from (+0.34, 0) at +-45 degrees and two of
      38.1 mm from (-0.34, 0) at 135 and 225 degrees, past the rim (H).

    30.13 m^2 open (derived).
    """
    d = 6.5
    spiders = (_spiders([45, -45], 0.01905, start=(0.34, 0.0))
               + _spiders([135, 225], 0.0381, start=(-0.34, 0.0)))
    return Disc((0.0, 0.0), d / 2) - Union(Disc((0.0, 0.0), 0.29 * d / 2), *spiders)


LUVOIR_B_F2F = 0.955
LUVOIR_B_GAP = 0.006


def _luvoir_keep(x: float, y: float, ring: int) -> bool:
    # The six corner positions of ring 4 are the only ones 4 pitches out.
    corner = 4 * (LUVOIR_B_F2F + LUVOIR_B_GAP) * 0.99
    return not (ring == 4 and math.hypot(x, y) > corner)


def luvoir_b() -> Shape:
    """LUVOIR-B concept: 55 hexagonal segments, unobscured, no struts.

    - 55 segments: 4 hexagonal rings with the 6 corner positions removed,
      centre present; flat-to-flat 0.955, gap 6 mm; circumscribed 8.0,
      inscribed 6.7 (H L633-674). Flat edges at top and bottom.

    Segment area 43.44 m^2 (derived).
    """
    return HexSegments(LUVOIR_B_F2F, LUVOIR_B_GAP, 4, keep=_luvoir_keep)


PRESETS: dict[str, Callable[[], Shape]] = {
    "hst": hst, "jwst": jwst, "elt": elt, "keck": keck, "subaru": subaru, "vlt": vlt,
    "tmt": tmt, "magellan": magellan, "luvoir_b": luvoir_b,
}


def named(name: str) -> Shape:
    """The preset called ``name`` (one of ``PRESETS``, any case)."""
    if not isinstance(name, str):
        raise TypeError(f"name must be a str, not {type(name).__name__}")
    try:
        return PRESETS[name.lower()]()
    except KeyError:
        raise ValueError(f"name must be one of {', '.join(PRESETS)}, not {name!r}") from None


def spanning_grid(shape: Shape, n: int, *, margin: float = 0.0) -> Grid:
    """An n x n grid of square pixels whose outer edges enclose the shape's
    bounding box (widened by ``margin`` pixels on each side), centred on it:
    ``Grid.spanning(shape.bounds, n, margin=margin)``.

    Parameters
    ----------
    shape : Shape
        The pupil; it must have an extent (``shape.bounds``).
    n : int
        Pixels across.
    margin : float
        Empty pixels to leave on each side of the longer extent.
    """
    n = V.index(n, "n", 1, 1 << 26)
    if not isinstance(shape, Shape):
        raise TypeError(f"shape must be a zolvin.shapes.Shape, not {type(shape).__name__}")
    box = shape.bounds
    if box is None:
        raise ValueError("shape has no extent of its own to span")
    return Grid.spanning(box, n, margin=margin)
