"""Timing helpers shared by the benchmarks: medians of repeated runs, and the
record of a run's figures that ``--record`` writes to bench/results/."""
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path


def timed(fn, repeats=5, setup=None):
    """Median seconds of fn() over the repeats (setup() runs untimed before each),
    and fn's last result."""
    times = []
    result = None
    for _ in range(repeats):
        result = None  # the last result is released before the clock starts
        if setup is not None:
            setup()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def median_seconds(fn, repeats=5, setup=None):
    return timed(fn, repeats, setup)[0]


def scale_arg(default=1.0):
    """Optional first argument: a factor that shrinks (or grows) the problem sizes."""
    return float(sys.argv[1]) if len(sys.argv) > 1 else default


def report(label, items, unit, ours, baseline, baseline_name):
    print(f"{label:<34} {ours / items * 1e9:9.2f} ns/{unit}   "
          f"{baseline_name} {baseline / items * 1e9:9.2f} ns/{unit}"
          f"   speed-up x{baseline / ours:6.1f}")


# ---- Recording: --record writes a run's figures to bench/results/ ------------

RESULTS = Path(__file__).resolve().parent / "results"
FORMAT = "zolvin-bench 1"
SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}


def record_option(argv=None):
    """Takes ``--record`` or ``--record=DIR`` out of argv (sys.argv by default,
    changed in place, so that the positional arguments read as before): the
    directory to write the results into, or None when not recording."""
    argv = sys.argv if argv is None else argv
    for i, arg in enumerate(argv[1:], 1):
        if arg == "--record" or arg.startswith("--record="):
            del argv[i]
            return Path(arg.partition("=")[2] or RESULTS)
    return None


def three_digits(x):
    """A figure as the data files keep it: three significant digits."""
    return float(f"{x:.3g}")


def _time_unit(seconds):
    """The unit a whole call's median reads best in: s, ms or us."""
    if seconds is None or seconds >= 1:
        return "s"
    return "ms" if seconds >= 1e-3 else "us"


def _measure(named, unit):
    """(name, seconds or None) as {name, median, unit}: seconds (per item when
    the unit is per item, e.g. "ns/pixel") in the unit's time prefix; unit
    None picks s, ms or us by the size of the median."""
    if named is None:
        return None
    name, seconds = named
    unit = unit or _time_unit(seconds)
    value = None if seconds is None else three_digits(seconds / SECONDS[unit.split("/")[0]])
    return {"name": name, "median": value, "unit": unit}


def _git_commit():
    """The checkout's commit, short; from .git itself where git is not at hand."""
    root = RESULTS.parent.parent
    try:
        run = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=root,
                             capture_output=True, text=True, check=True, timeout=10)
        return run.stdout.strip() or None
    except (OSError, subprocess.SubprocessError):
        pass
    try:
        head = (root / ".git" / "HEAD").read_text().strip()
        if head.startswith("ref: "):
            ref = head[5:]
            path = root / ".git" / ref
            if path.exists():
                head = path.read_text().strip()
            else:
                packed = (root / ".git" / "packed-refs").read_text().splitlines()
                head = next(line.split()[0] for line in packed if line.endswith(" " + ref))
        return head[:7]
    except (OSError, StopIteration):
        return None


def _cpu():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or None


class Record:
    """One run's figures, written by write() to DIR/bench_NAME.json.

    Rows take (name, median seconds) pairs, per item where the unit is per
    item ("ns/pixel"); without a unit each median is written in s, ms or us
    by its size. The ratio is the baseline's median over ours, computed
    before the figures are rounded to three digits."""

    def __init__(self, script, title, directory):
        self.script = Path(script)
        self.title = title
        self.directory = Path(directory)
        self.rows = []
        self.notes = []
        # The load of the machine as the run starts: the run's own threads do not count.
        self.load = round(os.getloadavg()[0], 2)
        self.command = " ".join([f"bench/{self.script.name}", *sys.argv[1:]])

    def add(self, row_id, case, data, ours, baseline=None, *, unit=None, baseline_unit=None,
            ratio=None, note=""):
        if ratio is None and baseline is not None and None not in (ours[1], baseline[1]):
            ratio = three_digits(baseline[1] / ours[1])
        self.rows.append({"id": row_id, "case": case, "data": data, "ours": _measure(ours, unit),
                          "baseline": _measure(baseline, baseline_unit or unit),
                          "ratio": ratio, "note": note})

    def note(self, text):
        self.notes.append(text)

    def data(self):
        import numpy
        cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()
        return {
            "format": FORMAT,
            "benchmark": f"bench/{self.script.name}",
            "title": self.title,
            "recorded": {
                "date": datetime.date.today().isoformat(),
                "command": self.command,
                "machine": {"description": f"a {cores}-core {platform.machine()} machine",
                            "cores": cores, "cpu": _cpu()},
                "load": self.load,
                "python": platform.python_version(),
                "numpy": numpy.__version__,
                "commit": _git_commit(),
                "provenance": f"Recorded by `{self.command} --record`.",
            },
            "rows": self.rows,
            "notes": self.notes,
        }

    def write(self):
        """Writes the file whole under a temporary name and renames it over the
        previous record, so an interrupted run leaves that record as it was."""
        self.directory.mkdir(parents=True, exist_ok=True)
        target = self.directory / f"{self.script.stem}.json"
        tmp = target.with_name(f".{target.name}.partial-{os.getpid()}")
        tmp.write_text(json.dumps(self.data(), indent=2) + "\n")
        os.replace(tmp, target)
        print(f"recorded {target}")
        return target


class NoRecord:
    """What a run without --record records: nothing."""

    def add(self, *args, **kwargs):
        pass

    def note(self, text):
        pass

    def write(self):
        return None


def recording(script, title):
    """A Record when the command line asks for --record, else a NoRecord;
    takes the option out of sys.argv either way."""
    directory = record_option()
    return NoRecord() if directory is None else Record(script, title, directory)
