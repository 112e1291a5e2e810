"""python -m zolvin photometry: the sums of aperture_sums in the catalog's
table, and the job's rules of writing and refusing."""
import os
import subprocess
import sys

import numpy as np
import pytest
import zolvin
from zolvin.cli import main
from zolvin.shapes import Discs, SkyDiscs

fits = pytest.importorskip("astropy.io.fits")
from astropy.table import Table  # noqa: E402
from astropy.wcs import WCS  # noqa: E402

SHAPE = (60, 70)


def sky_wcs():
    w = WCS(naxis=2)
    w.wcs.ctype = ["RA---TAN", "DEC--TAN"]
    w.wcs.crval, w.wcs.crpix = [150.0, 2.0], [35.0, 30.0]
    w.wcs.cdelt = [-0.2 / 3600, 0.2 / 3600]
    return w


@pytest.fixture
def folder(tmp_path):
    rng = np.random.default_rng(8)
    data = rng.uniform(0.5, 2.0, SHAPE)
    fits.PrimaryHDU(data, header=sky_wcs().to_header()).writeto(tmp_path / "image.fits")
    fits.PrimaryHDU(np.full(SHAPE, 0.5)).writeto(tmp_path / "error.fits")
    x, y = rng.uniform(-3, 72, 40), rng.uniform(-3, 62, 40)
    ra, dec = sky_wcs().pixel_to_world_values(x, y)
    Table({"id": np.arange(40), "X": x, "y": y}).write(tmp_path / "xy.csv")
    Table({"name": [f"s{k}" for k in range(40)], "ra": ra, "dec": dec}).write(
        tmp_path / "sky.fits")
    return tmp_path, data, x, y, ra, dec


def run(cwd, *args):
    cwd_before = os.getcwd()
    os.chdir(cwd)
    try:
        return main(["photometry", *args])
    finally:
        os.chdir(cwd_before)


@pytest.mark.parametrize("catalog, radius, out", [
    ("xy.csv", "3.5", "out.csv"),
    ("sky.fits", "3.5px", "out.fits"),
    ("sky.fits", "0.7arcsec", "out.csv"),
    ("xy.csv", "0.7arcsec", "out.fits"),
])
def test_sums_as_aperture_sums(folder, catalog, radius, out):
    path, data = folder[:2]
    assert run(path, "image.fits", catalog, "--radius", radius, "--error", "error.fits",
               "-o", out) == 0
    got = Table.read(path / out)
    source = Table.read(path / catalog)
    assert got.colnames == source.colnames + ["sum", "sum_error", "area"]
    for name in source.colnames:
        assert list(got[name]) == list(source[name])
    err = np.full(SHAPE, 0.5)
    w = WCS(fits.getheader(path / "image.fits")).celestial  # as the header keeps it
    # The positions the catalog holds, turned by the WCS where the radius
    # asks for the other kind.
    if "ra" in source.colnames:
        a, b = np.asarray(source["ra"], float), np.asarray(source["dec"], float)
        if not radius.endswith("arcsec"):
            a, b = w.world_to_pixel_values(a, b)
    else:
        a, b = np.asarray(source["X"], float), np.asarray(source["y"], float)
        if radius.endswith("arcsec"):
            a, b = w.pixel_to_world_values(a, b)
    if radius.endswith("arcsec"):
        want = zolvin.sky_aperture_sums(data, w, SkyDiscs(np.column_stack([a, b]), 0.7),
                                        error=err)
    else:
        want = zolvin.aperture_sums(data, zolvin.Grid(SHAPE), Discs(np.column_stack([a, b]), 3.5),
                                    error=err)
    for name in ("sum", "sum_error", "area"):
        np.testing.assert_array_equal(np.asarray(got[name], float), getattr(want, name))


@pytest.mark.parametrize("args, words", [
    (["missing.fits", "xy.csv", "--radius", "2"], "image missing.fits"),
    (["xy.csv", "xy.csv", "--radius", "2"], "cannot be read as FITS"),
    (["image.fits", "xy.txt", "--radius", "2"], "catalog must end"),
    (["image.fits", "xy.csv", "--radius", "-2"], "--radius"),
    (["image.fits", "xy.csv", "--radius", "2furlongs"], "--radius"),
    (["image.fits", "bad.csv", "--radius", "2"], "columns x, y or ra, dec"),
    (["image.fits", "text.csv", "--radius", "2"], "must hold numbers"),
    (["image.fits", "nan.csv", "--radius", "2"], "non-finite"),
    (["error.fits", "xy.csv", "--radius", "1arcsec"], "no celestial WCS"),
    (["image.fits", "xy.csv", "--radius", "2", "--error", "small.fits"], "error image has shape"),
    (["image.fits", "xy.csv", "--radius", "2", "--threads", "0"], "--threads"),
    (["image.fits", "xy.csv", "--radius", "2", "-o", "out.png"], "output must end"),
    (["image.fits", "xy.csv", "--radius", "2", "-o", "nowhere/out.csv"], "does not exist"),
    (["image.fits", "xy.csv", "--radius", "2", "-o", "old.csv"], "--force"),
])
def test_refusals_write_nothing(folder, capsys, args, words):
    path = folder[0]
    Table({"a": [1.0], "b": [2.0]}).write(path / "bad.csv")
    (path / "text.csv").write_text("x,y\n1,a\n")
    (path / "nan.csv").write_text("x,y\n1,nan\n")
    fits.PrimaryHDU(np.ones((3, 3))).writeto(path / "small.fits")
    (path / "old.csv").write_text("keep")
    before = sorted(os.listdir(path))
    capsys.readouterr()
    status = run(path, *(args if "-o" in args else args + ["-o", "out.csv"]))
    err = capsys.readouterr().err
    assert status == 2 and words in err and err.count("\n") == 1
    assert sorted(os.listdir(path)) == before
    assert (path / "old.csv").read_text() == "keep"


def test_force_replaces_and_the_command_line(folder):
    path = folder[0]
    (path / "old.csv").write_text("keep")
    cmd = [sys.executable, "-m", "zolvin", "photometry", "image.fits", "xy.csv", "--radius",
           "2", "-o", "old.csv", "--force"]
    done = subprocess.run(cmd, cwd=path, capture_output=True, text=True, timeout=120,
                          check=False)
    assert done.returncode == 0, done.stderr
    assert len(Table.read(path / "old.csv")) == 40
    assert not [n for n in os.listdir(path) if n.startswith(".")]
