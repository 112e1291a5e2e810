"""Zonal statistics: exact sums and counts of a raster over many zones, beside
GDAL's fractional zonal statistics in the same run.

    python bench/bench_zonal.py [SCALE] [--record[=DIR]]     (SCALE 1: the full sizes)

20,000 Voronoi zones (random sites, cells clipped to the raster) on a 4000^2
float64 raster, sum and count, one thread:
1. `zonal_stats` from the zones, and `coverage_matrix` built and applied,
   against `gdal raster zonal-stats --pixels fractional --stat sum --stat
   count` (raster and zones written to files first; only its run is timed).
2. The same zones on the raster rotated 30 degrees about its centre (the
   zones rotated with it): our time beside the axis-aligned one, and how
   far GDAL's sums are from ours there.
3. A built matrix applied to one band: `zonal_stats(matrix=)` beside
   scipy's csr mat-vec.
4. A 32768^2 float32 raster in zarr with 100,000 Voronoi zones through
   `zolvin.dask.zonal_stats` (sum, count, mean), run in a child process under
   `prlimit --as` of 2 GiB: its time and peak resident memory.
SCALE shrinks the zone counts by SCALE and the rasters' sides by its square
root (same zone size).

    python bench/bench_zonal.py --zarr-child ZARR ZONES LIMIT   (the child of 4)
"""
import json
import math
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import zolvin
from common import recording, scale_arg, timed

TITLE = "`zonal_stats` and `coverage_matrix` beside GDAL's fractional zonal statistics"


def transform_of(side, angle_deg):
    """A north-up GDAL geotransform of unit pixels over [0, side]^2, rotated
    by angle about the raster's centre."""
    t = math.radians(angle_deg)
    cos, sin = math.cos(t), math.sin(t)
    h = side / 2
    # x = h + cos (col - h) + sin (row - h), y = h + sin (col - h) - cos (row - h)
    return (h - cos * h - sin * h, cos, sin, h - sin * h + cos * h, sin, -cos)


def rotated(zones, angle_deg, side):
    """The zones turned with the raster about its centre."""
    import shapely
    t = math.radians(angle_deg)
    cos, sin = math.cos(t), math.sin(t)
    h = side / 2
    return shapely.transform(zones, lambda p: np.column_stack(
        [h + cos * (p[:, 0] - h) - sin * (p[:, 1] - h),
         h + sin * (p[:, 0] - h) + cos * (p[:, 1] - h)]))


def voronoi_zones(side, n, rng):
    import shapely
    box = shapely.box(0, 0, side, side)
    sites = shapely.multipoints(rng.uniform(0, side, (n, 2)))
    cells = shapely.get_parts(shapely.voronoi_polygons(sites, extend_to=box))
    return shapely.intersection(cells, box)


def write_inputs(directory, values, t, zones):
    from osgeo import gdal
    gdal.UseExceptions()
    import shapely
    raster = str(directory / "values.tif")
    ds = gdal.GetDriverByName("GTiff").Create(raster, values.shape[1], values.shape[0], 1,
                                              gdal.GDT_Float64, ["TILED=YES"])
    ds.SetGeoTransform(t)
    ds.GetRasterBand(1).WriteArray(values)
    ds = None
    # A GeoPackage: the format GDAL reads fastest, so that its run is its statistics.
    from osgeo import ogr
    vector = directory / "zones.gpkg"
    if vector.exists():
        vector.unlink()
    source = ogr.GetDriverByName("GPKG").CreateDataSource(str(vector))
    layer = source.CreateLayer("zones", geom_type=ogr.wkbUnknown)
    layer.CreateField(ogr.FieldDefn("id", ogr.OFTInteger))
    layer.StartTransaction()
    for k, wkb in enumerate(shapely.to_wkb(zones)):
        feature = ogr.Feature(layer.GetLayerDefn())
        feature.SetField("id", k)
        feature.SetGeometry(ogr.CreateGeometryFromWkb(wkb))
        layer.CreateFeature(feature)
    layer.CommitTransaction()
    source = None
    return raster, str(vector)


def gdal_run(directory, raster, vector, n):
    """GDAL's sums and counts (by zone) and the seconds of its run."""
    out = directory / "stats.csv"
    if out.exists():
        out.unlink()
    cmd = ["gdal", "raster", "zonal-stats", "-q", "--pixels", "fractional", "--stat", "sum",
           "--stat", "count", "--zones", vector, "--include-field", "id", "-f", "CSV",
           raster, str(out)]
    env = dict(os.environ, GDAL_NUM_THREADS="1")
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True, capture_output=True, env=env)
    seconds = time.perf_counter() - t0
    lines = out.read_text().splitlines()
    head = lines[0].split(",")
    sums, counts = np.full(n, np.nan), np.full(n, np.nan)
    for line in lines[1:]:
        r = line.split(",")
        k = int(r[head.index("id")])
        sums[k], counts[k] = float(r[head.index("sum")] or "nan"), float(r[head.index("count")] or "nan")
    return sums, counts, seconds


def relative(a, b):
    return float(np.nanmax(np.abs(a - b) / np.maximum(np.abs(b), 1e-300)))


def main():
    record = recording(__file__, TITLE)
    scale = scale_arg()
    n = int(20_000 * scale)
    side = int(round(4000 * math.sqrt(scale)))
    rng = np.random.default_rng(0)
    values = rng.uniform(0.0, 100.0, (side, side))
    cells = voronoi_zones(side, n, rng)
    import shapely
    vertices = (shapely.get_num_coordinates(cells) - 1).mean()
    data = f"{side}^2 float64 raster, {n} Voronoi zones ({vertices:.1f} vertices each)"
    stats = ("sum", "count")
    have_gdal = shutil.which("gdal") is not None
    workdir = Path(tempfile.mkdtemp(prefix="bench_zonal_"))
    results = {}
    try:
        # Both orientations timed in turn, round after round, so that the
        # machine's load drifts over both alike.
        setups = {}
        for angle in (0, 30):
            t = transform_of(side, angle)
            setups[angle] = (t, zolvin.Grid.from_affine(t, values.shape),
                             rotated(cells, angle, side) if angle else cells)
        times = {(a, k): [] for a in setups for k in ("stats", "matrix")}
        ours = {}
        for _ in range(5):
            for angle, (_, grid, zones) in setups.items():
                t0 = time.perf_counter()
                ours[angle] = zolvin.zonal_stats(values, grid, zones, stats=stats, n_threads=1)
                t1 = time.perf_counter()
                m = zolvin.coverage_matrix(grid, zones, n_threads=1)
                zolvin.zonal_stats(values, matrix=m, stats=stats, n_threads=1)
                t2 = time.perf_counter()
                del m
                times[angle, "stats"].append(t1 - t0)
                times[angle, "matrix"].append(t2 - t1)
        for angle, (t, _, zones) in setups.items():
            tz, tm = (statistics.median(times[angle, k]) for k in ("stats", "matrix"))
            print(f"{angle:2d} deg: zonal_stats {tz:6.3f} s ({tz / n * 1e6:5.1f} us/zone), "
                  f"matrix built and applied {tm:6.3f} s; largest |count - area| "
                  f"{np.max(np.abs(ours[angle]['count'] - shapely.area(cells))):.1e}")
            tg = gsum = None
            if have_gdal:
                raster, vector = write_inputs(workdir, values, t, zones)
                runs = [gdal_run(workdir, raster, vector, n) for _ in range(3 if angle == 0 else 1)]
                gsum, gcount = runs[-1][:2]
                tg = statistics.median(r[2] for r in runs)
                print(f"        GDAL {tg:6.3f} s (x{tg / tz:5.2f} ours), sums differ "
                      f"{relative(ours[angle]['sum'], gsum):.1e}, counts "
                      f"{relative(ours[angle]['count'], gcount):.1e}")
            results[angle] = (tz, tm, tg, ours[angle], gsum)
        tz0, tm0, tg0, ours0, gsum0 = results[0]
        tz30, tm30, tg30, ours30, gsum30 = results[30]
        if tg0 is not None:
            record.add("voronoi-gdal", f"{n} zones, sum and count, 1 thread", data,
                       ("zonal_stats", tz0 / n), ("gdal raster zonal-stats --pixels fractional",
                                                  tg0 / n), unit="us/zone",
                       note=f"largest relative difference of the sums {relative(ours0['sum'], gsum0):.1e} "
                            "(GDAL keeps fractions as float32)")
            record.add("voronoi-matrix-gdal", f"{n} zones, matrix built and applied", data,
                       ("coverage_matrix + zonal_stats(matrix=)", tm0 / n),
                       ("gdal raster zonal-stats --pixels fractional", tg0 / n), unit="us/zone")
        wrong = ""
        if tg30 is not None:
            inside = np.abs(ours30["count"] - shapely.area(cells)) < 1e-9
            off = np.abs(gsum30 - ours30["sum"]) / np.abs(ours30["sum"])
            bad = int(np.sum(inside & ~(off < 1e-6)))
            worst = int(np.nanargmax(np.where(inside, off, 0)))
            wrong = (f"; on it GDAL's sums are off for {bad} of {n} zones (zone {worst}: "
                     f"{gsum30[worst]:.6g} for {ours30['sum'][worst]:.6g})")
            print(f"rotated: GDAL wrong for {bad} zones{wrong}")
        record.add("voronoi-rotated", f"{n} zones on the raster rotated 30 degrees", data,
                   ("zonal_stats, rotated 30 degrees", tz30 / n),
                   ("zonal_stats, axis-aligned", tz0 / n), unit="us/zone",
                   note=f"target: ratio at least 1/1.5{wrong}")

        # A built matrix applied to one band, beside scipy's mat-vec.
        grid = zolvin.Grid.from_affine(transform_of(side, 0), values.shape)
        m = zolvin.coverage_matrix(grid, cells, n_threads=1)
        band = values.ravel()
        ta, applied = timed(lambda: zolvin.zonal_stats(values, matrix=m, stats=("sum",),
                                                       n_threads=1), 7)
        ts, theirs = timed(lambda: m @ band, 7)
        print(f"matrix applied: zonal_stats(matrix=) {ta * 1e3:6.2f} ms, scipy mat-vec "
              f"{ts * 1e3:6.2f} ms (x{ts / ta:4.2f}); differ {relative(applied['sum'], theirs):.1e}")
        record.add("matrix-apply-scipy", f"one band through a built matrix ({m.nnz} entries)",
                   data, ("zonal_stats(matrix=), sum", ta), ("scipy csr_array @ band", ts),
                   note=f"target: ratio at least 0.5; largest relative difference "
                        f"{relative(applied['sum'], theirs):.1e}")
        run_zarr(record, scale, workdir)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    record.write()


ZARR_SIDE, ZARR_ZONES, LIMIT = 32768, 100_000, 2 << 30


def run_zarr(record, scale, workdir):
    """Writes the zarr raster (outside the limit), then times the child."""
    import dask.array as da
    side = int(round(ZARR_SIDE * math.sqrt(scale)))
    n = int(ZARR_ZONES * scale)
    path = str(workdir / "values.zarr")
    chunk = min(side, 2048)
    values = da.random.default_rng(1).random((side, side), chunks=chunk, dtype=np.float32)
    t0 = time.perf_counter()
    values.to_zarr(path)
    print(f"zarr: wrote {side}^2 float32 in {time.perf_counter() - t0:.1f} s")
    cmd = ["prlimit", f"--as={LIMIT}", sys.executable, __file__, "--zarr-child", path, str(n),
           str(LIMIT)]
    # Two malloc arenas: the limit is on address space, which idle arenas fill.
    env = dict(os.environ, MALLOC_ARENA_MAX="2")
    run = subprocess.run(cmd, capture_output=True, text=True, check=False, env=env)
    if run.returncode != 0:
        print(f"zarr: the child failed under the limit: {run.stderr[-2000:]}")
        record.note(f"the zarr run failed under a {LIMIT >> 20} MiB address-space limit")
        return
    out = json.loads(run.stdout.strip().splitlines()[-1])
    peak = out["peak"] / 2**20
    print(f"zarr: {n} zones on {side}^2 float32 through zolvin.dask.zonal_stats: "
          f"{out['seconds']:.1f} s ({out['seconds'] / n * 1e6:.0f} us/zone), peak resident "
          f"{peak:.0f} MiB under prlimit --as={LIMIT >> 20} MiB")
    record.add("zarr-dask", f"{n} zones, zarr raster, zolvin.dask.zonal_stats",
               f"{side}^2 float32 zarr raster in {chunk}^2 chunks",
               ("zolvin.dask.zonal_stats, sum count mean", out["seconds"] / n), unit="us/zone",
               note=f"peak resident memory {peak:.0f} MiB, run under prlimit --as="
                    f"{LIMIT >> 20} MiB (the raster is {side * side * 4 >> 20} MiB)")


def zarr_child(path, n):
    """The timed dask run (under the parent's limit); prints its figures."""
    import dask
    import dask.array as da
    import zolvin.dask
    values = da.from_zarr(path)
    side = values.shape[0]
    zones = voronoi_zones(side, n, np.random.default_rng(2))
    grid = zolvin.Grid.from_affine(transform_of(side, 0), values.shape)
    with dask.config.set(scheduler="threads", num_workers=2):
        t0 = time.perf_counter()
        r = zolvin.dask.zonal_stats(values, grid, zones, stats=("sum", "count", "mean"))
        seconds = time.perf_counter() - t0
    assert abs(r["count"].sum() - side * side) < 1e-6 * side * side
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({"seconds": seconds, "peak": peak}))


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--zarr-child":
        zarr_child(sys.argv[2], int(sys.argv[3]))
    else:
        main()
