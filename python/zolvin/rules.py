"""Coverage by rules of the kernels' own at the rims, fast where exact areas
are not needed, and the two older methods of ``zolvin.pupil``.

``pixel_frac``, ``enclosed_circle`` and ``enclosed_strut`` take a rim as its
tangent line across a pixel; ``poly_grid_contains`` marks grid points by one of
two crossing rules; ``pupil_fractions`` and ``pupil_mesh`` are
``zolvin.pupil(method="coverage")`` and ``(method="mesh")``, bit for bit. The
exact functions (``zolvin.aperture_coverage``, ``zolvin.region_coverage``,
``zolvin.pupil``) give every pixel the area of its intersection instead.
"""
from .coverage.rules.fractions import pupil_fractions
from .coverage.rules.lines import enclosed_circle, enclosed_strut, pixel_frac
from .coverage.rules.masks import poly_grid_contains
from .coverage.rules.mesh import pupil_mesh

__all__ = ["enclosed_circle", "enclosed_strut", "pixel_frac", "poly_grid_contains",
           "pupil_fractions", "pupil_mesh"]
