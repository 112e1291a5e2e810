import dask.array as da
import numpy as np
import pytest
import zolvin
import zolvin.dask as zd
from conftest import addr
from helpers import same_bits
from zolvin.cli import main

import _zolvin

# Sheared, a window with offsets of its own, odd sizes.
GRID = zolvin.Grid.spanning(1.0, 101, shear=0.35)[2:99, 5:100]
SPIDER = dict(obscuration=0.3, struts=zolvin.strut_angles(4), strut_width=0.05)



def in_memory(triangles, values, weights, size):
    tris = np.ascontiguousarray(triangles, dtype=np.float64)
    vals, wts = (np.ascontiguousarray(np.broadcast_to(x, len(tris)), dtype=np.float64)
                 for x in (values, weights))
    grid = np.zeros((size, size))
    _zolvin.accumulate_triangles(addr(tris), addr(vals), addr(wts), addr(grid), len(tris), size)
    return grid


CASES = {
    "pixel_frac": (zd.pixel_frac, ((0.1, -0.2), (0.6, 0.8)), {},
                   lambda g: zolvin.pixel_frac(g, (0.1, -0.2), (0.6, 0.8))),
    "circle": (zd.enclosed_circle, ((0.2, -0.1), 0.8), {},
               lambda g: zolvin.enclosed_circle(g, (0.2, -0.1), 0.8)),
    "strut": (zd.enclosed_strut, (1.5, ((-0.1, 0.0), (0.6, 0.8)), ((0.1, 0.0), (0.6, 0.8))), {},
              lambda g: zolvin.enclosed_strut(g, 1.5, ((-0.1, 0.0), (0.6, 0.8)), ((0.1, 0.0), (0.6, 0.8)))),
    "pupil coverage": (zd.pupil, (1.0,), SPIDER,
                       lambda g: zolvin.pupil(g, 1.0, n_threads=2, **SPIDER)),
    "pupil mesh": (zd.pupil, (1.0,), dict(SPIDER, method="mesh"),
                   lambda g: zolvin.pupil(g, 1.0, method="mesh", n_threads=2, **SPIDER)),
}


@pytest.mark.parametrize("case", CASES)
def test_chunks_are_the_in_memory_result(case):
    fn, args, kw, ref = CASES[case]
    arr = fn(GRID, *args, chunks=((30, 7, 60), (11, 84)), **kw)
    assert arr.shape == GRID.shape and arr.numblocks == (3, 2)
    assert same_bits(arr.compute(scheduler="threads"), ref(GRID))


@pytest.mark.parametrize("n, chunks, band, values, weights", [
    (3000, 700, 7, "array", 1.0),
    (2500, (1000, 1, 1499), 16, 2.0, "array"),
])
def test_accumulate_by_bands(rng, n, chunks, band, values, weights):
    size = 41
    # Triangles of every size over and beyond the grid, overlapping heavily,
    # so the order of the additions shows in the bits.
    centre = rng.uniform(-25, 25, size=(n, 1, 2))
    tris = centre + rng.normal(scale=rng.uniform(0.2, 6, size=(n, 1, 1)), size=(n, 3, 2))
    vals = rng.uniform(-1, 2, n) if values == "array" else values
    wts = rng.uniform(-0.1, 1, n) if weights == "array" else weights
    ref = in_memory(tris, vals, wts, size)
    d = lambda x: da.from_array(x, chunks=chunks) if isinstance(x, np.ndarray) else x  # noqa: E731
    arr = zd.accumulate_triangles(da.from_array(tris, chunks=(chunks, 3, 2)), d(vals), d(wts),
                                  size, band=band)
    assert arr.chunks[0][0] == band
    assert same_bits(arr.compute(), ref)


def test_accumulate_far_bands_of_a_huge_grid(rng):
    # 60001^2 float64 would take 27 GiB: only the band holding the triangles is made.
    size, band, row = 60001, 10, 45005
    half = (size - 1) // 2
    tris = rng.uniform(-4, 4, size=(40, 3, 2)) + [1234.0, row - half]
    vals = rng.uniform(0.5, 2, 40)
    arr = zd.accumulate_triangles(da.from_array(tris, chunks=(15, 3, 2)), vals, 3.0, size,
                                  band=band)
    got = arr.blocks[row // band].compute()
    ref = np.zeros_like(got)
    r0 = row // band * band
    for t, tri in enumerate(tris):  # the kernel's sums, one triangle after the other
        for i in range(band):
            for j in range(1224 + half, 1245 + half):
                a = zolvin.clip_area(tri, j - half, r0 + i - half)
                if a > 0:
                    ref[i, j] += a * (vals[t] / 3.0)
    assert ref.any() and same_bits(got, ref)


@pytest.mark.slow
def test_distributed_processes(rng):
    distributed = pytest.importorskip("distributed")
    tris = rng.uniform(-8, 8, size=(400, 3, 2))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  scheduler_kwargs={"dashboard": False}) as cluster, \
            distributed.Client(cluster) as client:
        cov, mesh, acc = client.compute([
            zd.pupil(GRID, 1.0, chunks=40, **SPIDER),
            zd.pupil(GRID, 1.0, chunks=50, method="mesh", **SPIDER),
            zd.accumulate_triangles(da.from_array(tris, chunks=(150, 3, 2)), 1.0, 2.0, 17,
                                    band=5)], sync=True)
    assert same_bits(cov, zolvin.pupil(GRID, 1.0, **SPIDER))
    assert same_bits(mesh, zolvin.pupil(GRID, 1.0, method="mesh", **SPIDER))
    assert same_bits(acc, in_memory(tris, 1.0, 2.0, 17))


@pytest.mark.parametrize("suffix", [".npy", ".zarr", ".png"])
def test_command_line_writes_each_format(tmp_path, capsys, suffix):
    out = tmp_path / f"pupil{suffix}"
    args = ["pupil", "--size", "67", "--shear", "0.2", "--obscuration", "0.25", "--struts", "3",
            "--method", "mesh", "--chunk", "30", "-q", "-o", str(out)]
    assert main(args) == 0
    grid = zolvin.Grid.spanning(1.0, 67, shear=0.2)
    ref = zolvin.pupil(grid, 1.0, obscuration=0.25, struts=zolvin.strut_angles(3),
                       strut_width=0.02, method="mesh")
    if suffix == ".npy":
        got = np.load(out)
    elif suffix == ".zarr":
        import zarr
        z = zarr.open_array(str(out), mode="r")
        assert z.chunks == (30, 30)
        got = z[...]
    else:
        from PIL import Image
        got = np.asarray(Image.open(out))
        ref = np.rint(ref[::-1] * 255).astype(np.uint8)
    assert same_bits(got, ref)
    text = capsys.readouterr().out
    exact = zolvin.analytic_area(1.0, obscuration=0.25, struts=zolvin.strut_angles(3),
                                 strut_width=0.02)
    assert f"analytic   {exact:.10f}" in text


def test_command_line_refuses(tmp_path, capsys):
    assert main(["pupil", "-o", str(tmp_path / "p.tif")]) == 2
    assert main(["pupil", "--obscuration", "1.5", "-o", str(tmp_path / "p.npy")]) == 2
    assert "obscuration" in capsys.readouterr().err
    assert main(["pupil", "--chunk", "0", "-o", str(tmp_path / "p.zarr")]) == 2
    assert "--chunk" in capsys.readouterr().err
    assert not any(tmp_path.iterdir())


@pytest.mark.parametrize("suffix", [".npy", ".png"])
def test_large_grids_stream_through_dask(tmp_path, monkeypatch, suffix):
    import zolvin.cli.resources as cli
    monkeypatch.setattr(cli, "IN_MEMORY", 8 * 40 * 40)
    out = tmp_path / f"p{suffix}"
    assert main(["pupil", "--size", "45", "--chunk", "16", "-q", "-o", str(out)]) == 0
    ref = zolvin.pupil(zolvin.Grid.spanning(1.0, 45), 1.0, obscuration=0.3, struts=zolvin.strut_angles(4),
                       strut_width=0.02)
    if suffix == ".png":
        from PIL import Image
        assert same_bits(np.asarray(Image.open(out)), np.rint(ref[::-1] * 255).astype(np.uint8))
    else:
        assert same_bits(np.load(out), ref)


# ---- Refusals and bounds, as in memory ----

T = np.zeros((4, 3, 2))
BAD_ACCUMULATE = [
    ((T.astype(complex), 1.0, 1.0, 5), TypeError, "triangles"),
    ((T.astype("U3"), 1.0, 1.0, 5), TypeError, "triangles"),
    ((np.zeros((4, 3)), 1.0, 1.0, 5), ValueError, "triangles"),
    ((T, np.zeros(4, complex), 1.0, 5), TypeError, "values"),
    ((T, 1j, 1.0, 5), TypeError, "values"),
    ((T, "1.5", 1.0, 5), TypeError, "values"),
    ((T, np.datetime64("2020-01-01"), 1.0, 5), TypeError, "values"),
    ((T, 1.0, np.array(["a"] * 4), 5), TypeError, "weights"),
    ((T, 1.0, np.zeros(4, "M8[s]"), 5), TypeError, "weights"),
    ((T, 10**400, 1.0, 5), ValueError, "values"),
    ((T, 1.0, np.zeros(3), 5), ValueError, "weights"),
    ((T, 1.0, 1.0, 2**31 - 1), ValueError, "size"),
    ((T, 1.0, 1.0, -1), ValueError, "size"),
    ((T, 1.0, 1.0, 5.0), TypeError, "size"),
]


@pytest.mark.parametrize("args, error, word", BAD_ACCUMULATE,
                         ids=[f"{w}-{i}" for i, (_, _, w) in enumerate(BAD_ACCUMULATE)])
@pytest.mark.parametrize("chunked", [False, True])
def test_accumulate_refuses_what_memory_refuses(args, error, word, chunked):
    tris, values, weights, size = args
    with pytest.raises(error, match=word):
        zolvin.accumulate_triangles(tris, values, weights, size)
    if chunked:  # the same values as dask arrays, checked by dtype before any graph
        tris = da.from_array(tris, chunks=2)
        values, weights = (da.from_array(x, chunks=2) if np.ndim(x) else x
                           for x in (values, weights))
    with pytest.raises(error, match=word):
        zd.accumulate_triangles(tris, values, weights, size)


def test_accumulate_refuses_inexact_integers_when_their_chunk_runs():
    tris = da.from_array(np.full((4, 3, 2), 2**60 + 1, dtype=np.int64), chunks=2)
    arr = zd.accumulate_triangles(tris, 1.0, 1.0, 5)
    with pytest.raises(ValueError, match="triangles"):
        arr.compute()


@pytest.mark.parametrize("size, chunks, band", [(2**22, 1, None), (2**22, 100, None),
                                                (60001, 3, None), (2**29, 4, None)])
def test_accumulate_graph_stays_bounded(size, chunks, band):
    tris = da.from_array(np.zeros((4 * chunks, 3, 2)), chunks=4)
    arr = zd.accumulate_triangles(tris, 1.0, 1.0, size, band=band)
    steps = arr.numblocks[0] * chunks
    assert steps <= zd.MAX_STEPS and sum(arr.chunks[0]) == size
    assert len(arr.__dask_graph__()) <= 2 * zd.MAX_STEPS + 3 * chunks


def test_accumulate_refuses_a_band_too_low_to_bound_the_graph():
    tris = da.from_array(np.zeros((8, 3, 2)), chunks=4)
    with pytest.raises(ValueError, match="band must be at least 256"):
        zd.accumulate_triangles(tris, 1.0, 1.0, 2**22, band=255)


def test_taller_bands_keep_the_bits(rng, monkeypatch):
    """Bands raised to bound the graph sum each cell as the in-memory call does."""
    monkeypatch.setattr(zolvin.core.chunks, "MAX_STEPS", 12)
    tris = rng.uniform(-9, 9, size=(60, 3, 2))
    vals = rng.uniform(0.5, 2, 60)
    arr = zd.accumulate_triangles(da.from_array(tris, chunks=20), vals, 2.0, 21, band=None)
    assert arr.numblocks[0] * 3 <= 12
    assert same_bits(arr.compute(), in_memory(tris, vals, 2.0, 21))


@pytest.mark.parametrize("fn, args", [
    (zd.enclosed_circle, ((0, 0), 10**400)),
    (zd.enclosed_circle, ((0, "1"), 1.0)),
    (zd.enclosed_circle, ((0, 0), 1j)),
    (zd.enclosed_strut, (2.0, ((0, 0),), ((0, 0), (0, 1)))),
    (zd.pixel_frac, ((0, 0, 0), (0, 1))),
    (zd.pupil, (10**400,)),
])
def test_coverage_refuses_what_memory_refuses(fn, args):
    in_memory_fn = getattr(zolvin, fn.__name__)
    with pytest.raises((TypeError, ValueError)) as expected:
        in_memory_fn(GRID, *args)
    with pytest.raises(expected.type, match=str(expected.value).split()[0].replace("[", r"\[")):
        fn(GRID, *args)


@pytest.mark.parametrize("chunks, error", [
    (0, ValueError), (-2, ValueError), ((0, 5), ValueError), (1.5, TypeError),
    ("lots", ValueError), ((3, 4, 5), ValueError), (((50, 50), (95,)), ValueError)])
def test_bad_chunks_are_refused(chunks, error):
    with pytest.raises(error, match="chunks"):
        zd.enclosed_circle(GRID, (0, 0), 1.0, chunks=chunks)


def test_chunks_larger_than_the_grid_make_one_chunk():
    arr = zd.enclosed_circle(GRID, (0, 0), 1.0, chunks=10**400)
    assert arr.numblocks == (1, 1)
    assert same_bits(arr.compute(), zolvin.enclosed_circle(GRID, (0, 0), 1.0))


def test_console_script_runs_the_job(tmp_path):
    """The installed `zolvin` command is `python -m zolvin`."""
    import subprocess
    import sys
    from pathlib import Path
    script = Path(sys.executable).parent / "zolvin"
    if not script.exists():
        pytest.skip("the package is not installed with its scripts here")
    outs = [tmp_path / "script.npy", tmp_path / "module.npy"]
    for cmd, out in (([str(script)], outs[0]), ([sys.executable, "-m", "zolvin"], outs[1])):
        run = subprocess.run(cmd + ["pupil", "--size", "24", "-q", "-o", str(out)],
                             capture_output=True, text=True, check=False, timeout=120)
        assert run.returncode == 0, run.stderr
    assert same_bits(np.load(outs[0]), np.load(outs[1]))
