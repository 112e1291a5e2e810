import math

import numpy as np
import pytest
import shapely
import zolvin
from helpers import refusal_ids, refused, same_bits
from shapely.geometry import Point, Polygon
from zolvin import Grid

QUAD_SEGS = 4096  # circle polygons of 16384 sides: area within 2.5e-8 of the disc's


def shapely_pupil(radius, obscuration, angles, width, center=(0.0, 0.0)):
    """The pupil as a polygon: aperture minus obscuration minus square-ended struts."""
    c = np.array(center, dtype=float)
    shape = Point(c).buffer(radius, quad_segs=QUAD_SEGS)
    if obscuration > 0:
        shape = shape.difference(Point(c).buffer(obscuration * radius, quad_segs=QUAD_SEGS))
    h = width / 2
    for t in angles:
        d = np.array([math.cos(t), math.sin(t)])
        n = np.array([d[1], -d[0]])
        far = 2 * radius * d
        shape = shape.difference(Polygon([c - h * n, c + far - h * n, c + far + h * n, c + h * n]))
    return shape


def shapely_fractions(grid, shape):
    """Area of every pixel's parallelogram inside the shape, over its own area."""
    (a, b), (c, d) = grid.jac
    x0, y0 = grid.origin
    v, u = np.meshgrid(np.arange(grid.shape[0]) + grid.row0, np.arange(grid.shape[1]) + grid.col0,
                       indexing="ij")
    corners = np.stack([(u + du, v + dv) for du, dv in ((-.5, -.5), (.5, -.5), (.5, .5), (-.5, .5))],
                       axis=-1)  # (2, rows, cols, 4)
    xy = np.stack([x0 + a * corners[0] + b * corners[1], y0 + c * corners[0] + d * corners[1]], -1)
    pixels = shapely.polygons(xy)
    shapely.prepare(shape)
    out = np.zeros(grid.shape)
    out[shapely.contains(shape, pixels)] = 1.0
    edge = shapely.intersects(shape, pixels) & (out == 0)
    out[edge] = shapely.area(shapely.intersection(pixels[edge], shape)) / shapely.area(pixels[edge])
    return out



# (obscuration, angles, width): struts apart, struts meeting at the centre,
# overlapping and duplicated struts, one wide strut, an obscuration far
# smaller than a pixel.
PUPILS = {
    "spider": (0.3, zolvin.strut_angles(4), 0.02),
    "open centre": (0.0, zolvin.strut_angles(3, 0.5), 0.1),
    "overlapping": (0.5, (0.1, 0.15, 2.0, 2.0), 0.3),
    "one wide": (0.05, (4.0,), 0.7),
    "pinhole": (0.004, zolvin.strut_angles(2, 0.3), 0.05),
}


@pytest.mark.parametrize("name", PUPILS)
def test_analytic_area_matches_polygon(name):
    obs, angles, width = PUPILS[name]
    exact = zolvin.analytic_area(1.5, obscuration=obs, struts=angles, strut_width=width)
    ref = shapely_pupil(1.5, obs, angles, width).area
    assert exact == pytest.approx(ref, rel=4e-8)


GRIDS = {
    # Sheared, a window with its own row and column offsets, more columns than rows.
    "sheared window": Grid.spanning(1.0, 37, shear=0.3)[3:31, 1:36],
    # Rotated and mirrored, pupil off the centre.
    "rotated mirrored": Grid((29, 23), (0.9, -1.2),
                             ((-0.06 * math.cos(0.4), -0.06 * math.sin(0.4)),
                              (-0.06 * math.sin(0.4), 0.06 * math.cos(0.4))), row0=4, col0=7),
}


@pytest.mark.parametrize("grid_name", GRIDS)
@pytest.mark.parametrize("name", ["spider", "open centre", "overlapping", "pinhole"])
def test_mesh_is_exact_per_pixel(grid_name, name):
    grid = GRIDS[grid_name]
    obs, angles, width = PUPILS[name]
    center = (0.0, 0.0) if grid_name == "sheared window" else (0.05, 0.1)
    kw = {"center": center, "obscuration": obs, "struts": angles, "strut_width": width}
    ref = shapely_fractions(grid, shapely_pupil(1.0, obs, angles, width, center))
    chord = 1e-6 * grid.pixel_scale
    mesh = zolvin.pupil(grid, 1.0, method="mesh", chord_error=chord, **kw)
    # A chord at most e pixels from its arc across a pixel gives away less than
    # 1.5 e of it; the reference's own polygon lies within 1.9e-8 of the circles.
    assert np.abs(mesh - ref).max() < 1.5 * (chord + 1.9e-8) / grid.pixel_scale
    cov = zolvin.pupil(grid, 1.0, method="coverage", **kw)
    # The circle rule takes a circle narrower than a pixel scale as covering
    # the pixels near its centre whole.
    if name != "pinhole":
        assert np.abs(cov - ref).max() < 0.25
    assert cov.min() >= 0 and cov.max() <= 1
    # The same pixels as arrays: the same bits.
    assert same_bits(zolvin.pupil(grid.pixels(), 1.0, method="coverage", **kw), cov)
    # Exact areas of the composed shape: only the reference's polygon differs.
    exact = zolvin.pupil(grid, 1.0, **kw)
    assert np.abs(exact - ref).max() < 1.5 * 1.9e-8 / grid.pixel_scale


@pytest.mark.parametrize("size, shear", [(256, 0.0), (301, 0.45)])
def test_open_area_against_analytic(size, shear):
    grid = Grid.spanning(1.0, size, shear=shear)
    angles = zolvin.strut_angles(4)
    kw = {"obscuration": 0.3, "struts": angles, "strut_width": 0.02}
    exact = zolvin.analytic_area(1.0, **kw)
    area = grid.pixel_area
    chord = 1e-4 * grid.pixel_scale
    mesh = zolvin.pupil(grid, 1.0, method="mesh", chord_error=chord, **kw).sum() * area
    # Each chord gives away at most 2/3 of its error per unit length of rim.
    assert abs(mesh - exact) < 2 / 3 * chord * 2 * math.pi * 1.3 + 1e-12
    cov = zolvin.pupil(grid, 1.0, method="coverage", **kw).sum() * area
    # Where a strut crosses a rim the fractions multiply: half a pixel at most
    # for each of the 2 crossings of every strut.
    assert abs(cov - exact) < len(angles) * area
    assert zolvin.pupil(grid, 1.0, **kw).sum() * area == pytest.approx(exact, rel=1e-10)


REFUSALS = [
    (lambda n: zolvin.pupil(n.G, 1.0, method="supersampled"), ValueError, "method"),
    (lambda n: zolvin.pupil(n.G, 1.0, obscuration=1.0), ValueError, "obscuration"),
    (lambda n: zolvin.pupil(n.G, 1.0, strut_width=-0.1), ValueError, "strut_width"),
    (lambda n: zolvin.pupil(n.G, 1.0, struts=3), TypeError, "struts"),
    (lambda n: zolvin.pupil(n.G, 1.0, center=(0.0,)), ValueError, "center"),
    (lambda n: zolvin.pupil(n.G, 1.0, method="mesh", chord_error=0.0), ValueError, "chord_error"),
    (lambda n: zolvin.pupil(n.G, 10 ** 400), ValueError, 'radius'),
    (lambda n: zolvin.pupil(n.G, 1.0, struts=[10 ** 400], strut_width=0.1), ValueError, 'struts'),
    (lambda n: zolvin.pupil(n.G, 1.0, center=('0', 0)), TypeError, 'center[0]'),
    (lambda n: zolvin.rules.pupil_mesh(n.P, 1.0), TypeError, "Grid"),
    (lambda n: zolvin.rules.pupil_fractions(n.G, -1.0), ValueError, "radius"),
]


@pytest.mark.parametrize("call, error, words", REFUSALS, ids=refusal_ids(REFUSALS))
def test_refusals(call, error, words):
    refused(call, error, words)


@pytest.mark.parametrize("pixels", [Grid.spanning(1.0, 37, shear=0.3)[3:31, 1:36],
                                    Grid.spanning(1.0, 24).pixels()],
                         ids=["sheared window", "pixels"])
def test_older_methods_are_the_rules(pixels):
    """pupil(method=...) and the functions of zolvin.rules give the same bits."""
    kw = dict(center=(0.02, -0.01), obscuration=0.3, struts=zolvin.strut_angles(3),
              strut_width=0.05)
    assert same_bits(zolvin.rules.pupil_fractions(pixels, 0.9, **kw),
                     zolvin.pupil(pixels, 0.9, method="coverage", **kw))
    if isinstance(pixels, Grid):
        assert same_bits(zolvin.rules.pupil_mesh(pixels, 0.9, chord_error=1e-4, **kw),
                         zolvin.pupil(pixels, 0.9, method="mesh", chord_error=1e-4, **kw))


def test_mesh_needs_a_grid_with_an_inverse():
    with pytest.raises(ValueError, match="invertible"):
        zolvin.pupil(Grid((4, 4), (0, 0), ((1, 2), (2, 4))), 1.0, method="mesh")
    with pytest.raises(TypeError, match="Grid"):
        zolvin.pupil(Grid.spanning(1.0, 4).pixels(), 1.0, method="mesh")


@pytest.mark.parametrize("width", [0.0, 1e-17, 1e-16, 3e-16])
@pytest.mark.parametrize("angles", [(math.pi / 4,), zolvin.strut_angles(3, 0.2)])
def test_mesh_struts_without_width_keep_the_aperture(width, angles):
    grid = Grid.spanning(1.0, 48, shear=0.2)
    area = zolvin.pupil(grid, 1.0, struts=angles, strut_width=width, method="mesh").sum() * grid.pixel_area
    full = zolvin.pupil(grid, 1.0, method="mesh").sum() * grid.pixel_area
    assert area == pytest.approx(full, rel=1e-12)


SMALL_PIXELS = Grid((8, 8), (-0.875, -0.875), ((0.25, 0), (0, 0.25)))


@pytest.mark.parametrize("grid, radius, kwargs, name", [
    (Grid.spanning(1.0, 16), 1e36, {}, "radius"),                            # rims placed to 1e20
    (Grid.spanning(1.0, 16), 1.0, {"center": (1e12, 0.0)}, "center"),
    (SMALL_PIXELS, 1e-10, {}, "radius"),                             # area lost in rounding
    (SMALL_PIXELS, 1e-200, {}, "radius"),
    (Grid.spanning(1.0, 8), 1.0, {"obscuration": 1e-100}, "obscuration"),
    (Grid.spanning(1.0, 8), 1.0, {"chord_error": 1e-20}, "chord_error"),     # 176 GiB of strips
    (Grid.spanning(1.0, 8), 1.0, {"chord_error": 1e-12}, "chord_error"),
    (Grid.spanning(1.0, 8), 1.0, {"chord_error": 1e-100}, "chord_error"),
    (Grid.spanning(1.0, 512), 1.0, {"chord_error": 2e-9 * 2.06 / 512}, "chord_error"),  # one band too full
    (Grid.spanning(1.0, 8), 1.0, {"struts": [0.5] * 1001, "strut_width": 0.1}, "struts"),
])
def test_mesh_refuses_what_it_cannot_compute(grid, radius, kwargs, name):
    with pytest.raises(ValueError, match=name) as err:
        zolvin.pupil(grid, radius, method="mesh", **kwargs)
    assert any(c.isdigit() for c in str(err.value))  # the supported range is given


def test_strut_counts_are_bounded():
    with pytest.raises(ValueError, match="struts"):
        zolvin.pupil(Grid.spanning(1.0, 8), 1.0, struts=[0.5] * 1001, strut_width=0.1)
    with pytest.raises(ValueError, match="count"):
        zolvin.strut_angles(10**8)


@pytest.mark.parametrize("width", [1e100, 1e300, 4.0])
def test_struts_wider_than_the_aperture(width):
    grid = Grid.spanning(1.0, 24)
    kw = {"struts": (0.3, 1.9), "strut_width": width}
    exact = zolvin.analytic_area(1.0, **kw)
    mesh = zolvin.pupil(grid, 1.0, method="mesh", **kw)
    assert mesh.sum() * grid.pixel_area == pytest.approx(exact, abs=1e-5)
    cov = zolvin.pupil(grid, 1.0, **kw)
    assert cov.min() >= 0 and cov.max() <= 1
    assert same_bits(cov, zolvin.pupil(grid, 1.0, struts=kw["struts"], strut_width=4.0))


@pytest.mark.parametrize("grid, radius, center", [
    (Grid.spanning(1.0, 16), 1e8, (0.0, 0.0)),                 # everything inside
    (SMALL_PIXELS, 2e-5, (0.0, 0.0)),                  # a few times the smallest rim
    (SMALL_PIXELS, 3e-5, (0.1, -0.2)),
])
def test_mesh_at_the_ends_of_its_range(grid, radius, center):
    mesh = zolvin.pupil(grid, radius, center=center, method="mesh")
    assert mesh.min() >= 0 and mesh.max() <= 1
    inside = min(1.0, math.pi * radius**2 / grid.pixel_area / grid.size)
    eps = min(1e-5 * grid.pixel_scale, radius / 2)
    bound = 4 * math.pi / 3 * eps * radius / grid.pixel_area
    if radius < 1:
        assert abs(mesh.sum() - inside * grid.size) < bound
    else:
        assert np.all(mesh == 1.0)


@pytest.mark.parametrize("radius, kwargs", [
    (1e308, {"struts": [0.3], "strut_width": 0.1}),     # the strut's disc overflowed: no strut
    (1e150, {"struts": [0.3], "strut_width": 1e300}),
    (1.0, {"struts": [0.3], "strut_width": 0.1, "center": (1e151, 0.0)}),
])
def test_coverage_refuses_struts_beyond_its_range(radius, kwargs):
    with pytest.raises(ValueError, match="radius"):
        zolvin.pupil(Grid.spanning(1.0, 8), radius, method="coverage", **kwargs)
    with pytest.raises(ValueError, match="radius|reaches beyond"):
        zolvin.pupil(Grid.spanning(1.0, 8), radius, **kwargs)


@pytest.mark.parametrize("width", [5e-324, 1e-320, 1e-300])
def test_analytic_area_of_struts_of_no_width(width):
    kw = dict(obscuration=0.3, struts=(0.1, 2.0))
    assert zolvin.analytic_area(1.0, strut_width=width, **kw) == pytest.approx(
        zolvin.analytic_area(1.0, **kw), rel=1e-15)
