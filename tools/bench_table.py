"""The benchmarks' figures as data, and the README's table written from them.

    python3 tools/bench_table.py           rewrite the README's table from bench/results/*.json
    python3 tools/bench_table.py --check   exit 1, saying so, when the README's table is stale

Each ``bench/bench_NAME.py --record`` writes ``bench/results/bench_NAME.json``:
where and when it ran (machine, load, commit) and one row per comparison, each
with our median, the baseline's median from the same run and their ratio
(baseline / ours, so above 1 means we are faster). A median is a number or,
where only the spread over several runs was kept, a [low, high] pair; null
where only the ratio was kept. load() refuses a file that is malformed or
whose ratios do not follow from its medians. The docs' performance page
renders every file through load() and cells(); the README shows the rows of
README_ROWS.
Standard library only, so that it runs under any Python 3.
"""
from __future__ import annotations

import datetime
import json
import os
import re
import sys
from decimal import Decimal
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
RESULTS = ROOT / "bench" / "results"
README = ROOT / "README.md"
FORMAT = "zolvin-bench 1"
BEGIN = "<!-- bench-table: written by tools/bench_table.py from bench/results/*.json; do not edit -->"
END = "<!-- bench-table end -->"

# The README's rows, in its order: (results file, row id).
README_ROWS = [
    ("bench_grid", "circle"),
    ("bench_grid", "struts"),
    ("bench_polygon_coverage", "star-photutils"),
    ("bench_polygon_coverage", "dense-star-supersampled"),
    ("bench_polygon_coverage", "elt-photutils"),
    ("bench_apertures", "demo-photutils"),
    ("bench_apertures", "elt-supersampled"),
    ("bench_photometry", "circles-100000-r6-photutils"),
    ("bench_wcs", "tan-sip"),
    ("bench_resample", "drizzle-4096"),
    ("bench_resample", "reproject-exact-512"),
    ("bench_zonal", "voronoi-gdal"),
]

SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}
UNIT = re.compile(r"(ns|us|ms|s)(/[a-z ]+)?$")
KEYS = {"format", "benchmark", "title", "recorded", "rows", "notes"}

Result = dict[str, Any]


def load(directory: Path = RESULTS) -> dict[str, Result]:
    """Every results file of the directory by name (``bench_grid`` for
    ``bench_grid.json``), in name order; ValueError for a file that
    problems() finds fault with."""
    results = {}
    for path in sorted(directory.glob("*.json")):
        result = json.loads(path.read_text())
        found = problems(result)
        if found:
            raise ValueError(f"{path}: {'; '.join(found)}")
        results[path.stem] = result
    return results


# ---- What a results file must be ------------------------------------------------

def _figure_ok(value: Any) -> bool:
    """A median or ratio: null, a positive number, or a rising [low, high]."""
    if isinstance(value, list):
        return len(value) == 2 and all(_figure_ok(v) and v is not None for v in value) \
            and value[0] < value[1]
    return value is None or (isinstance(value, (int, float)) and not isinstance(value, bool)
                             and value > 0)


def _measure_problems(measure: Any, where: str) -> list[str]:
    if not isinstance(measure, dict) or set(measure) != {"name", "median", "unit"}:
        return [f"{where} is not a {{name, median, unit}} object"]
    found = [] if isinstance(measure["name"], str) and measure["name"] else [f"{where} has no name"]
    if not _figure_ok(measure["median"]):
        found.append(f"{where} median {measure['median']!r}")
    if not (isinstance(measure["unit"], str) and UNIT.match(measure["unit"])):
        found.append(f"{where} unit {measure['unit']!r}")
    return found


def _seconds(measure: dict[str, Any]) -> tuple[tuple[float, float], str]:
    """A median as (low, high) seconds per item, and the item."""
    prefix, _, item = measure["unit"].partition("/")
    value = measure["median"]
    low, high = value if isinstance(value, list) else (value, value)
    return (low * SECONDS[prefix], high * SECONDS[prefix]), item


def ratio_problem(row: dict[str, Any]) -> str | None:
    """Why a row's ratio does not follow from its medians, or None. Single
    figures agree to the digits the ratio is given with, plus 1 % for the
    medians' own rounding; with ranges the ratio lies within what they allow."""
    ours, base, ratio = row["ours"], row.get("baseline"), row["ratio"]
    if base is None or None in (ours["median"], base["median"]):
        return None
    (o_lo, o_hi), o_item = _seconds(ours)
    (b_lo, b_hi), b_item = _seconds(base)
    if o_item != b_item:
        return f"ours per {o_item!r}, the baseline per {b_item!r}"
    single = o_lo == o_hi and b_lo == b_hi
    if ratio is None:
        return "no ratio beside two single medians" if single else None
    if single and not isinstance(ratio, list):
        # Half a unit in the last digit the ratio is written with (5 -> 0.5, 18.8 -> 0.05).
        exponent = Decimal(repr(ratio)).as_tuple().exponent
        digits = 0.5 * 10.0 ** (exponent if isinstance(exponent, int) else 0)
        expected = b_lo / o_lo
        return (f"ratio {ratio}, the medians give {expected:.4g}"
                if abs(ratio - expected) > digits + 0.01 * expected else None)
    low, high = ratio if isinstance(ratio, list) else (ratio, ratio)
    if b_lo / o_hi * 0.99 <= low and high <= b_hi / o_lo * 1.01:
        return None
    return f"ratio {ratio} outside {b_lo / o_hi:.3g}..{b_hi / o_lo:.3g}"


def _row_problems(row: Any) -> list[str]:
    where = f"row {row.get('id')!r}" if isinstance(row, dict) else "a row"
    if not isinstance(row, dict) or not {"id", "case", "data", "ours", "ratio"} <= set(row):
        return [f"{where} lacks id, case, data, ours or ratio"]
    found = _measure_problems(row["ours"], f"{where} ours")
    if row.get("baseline") is not None:
        found += _measure_problems(row["baseline"], f"{where} baseline")
    elif row["ratio"] is not None:
        found.append(f"{where} has a ratio without a baseline")
    if not _figure_ok(row["ratio"]):
        found.append(f"{where} ratio {row['ratio']!r}")
    if not found:
        problem = ratio_problem(row)
        found += [f"{where}: {problem}"] if problem else []
    return found


def problems(result: Any) -> list[str]:
    """Everything wrong with one results file, as messages."""
    if not isinstance(result, dict) or set(result) != KEYS:
        return [f"the keys must be {sorted(KEYS)}"]
    found = [] if result["format"] == FORMAT else [f"format {result['format']!r}, not {FORMAT!r}"]
    if not (ROOT / str(result["benchmark"])).is_file():
        found.append(f"benchmark {result['benchmark']!r} is not a file of the checkout")
    rec = result["recorded"] if isinstance(result["recorded"], dict) else {}
    try:
        datetime.date.fromisoformat(str(rec.get("date")))
    except ValueError:
        found.append(f"date {rec.get('date')!r}")
    machine = rec.get("machine")
    if not (isinstance(machine, dict) and machine.get("description")
            and isinstance(machine.get("cores"), int)):
        found.append(f"machine {machine!r}")
    load = rec.get("load")
    if not (load is None or (isinstance(load, (int, float)) and load >= 0)):
        found.append(f"load {load!r}")
    if not (isinstance(rec.get("provenance"), str) and rec["provenance"]):
        found.append("no provenance")
    rows = result["rows"] if isinstance(result["rows"], list) else []
    ids = [row.get("id") for row in rows if isinstance(row, dict)]
    if not ids or len(set(ids)) != len(rows):
        found.append(f"row ids {ids} missing or repeated")
    for row in rows:
        found += _row_problems(row)
    if not (isinstance(result["notes"], list) and all(isinstance(n, str) for n in result["notes"])):
        found.append("notes must be strings")
    return found


# ---- Rendering ------------------------------------------------------------------


def number(x: float) -> str:
    """A figure as the data give it: 215.7, 2.94, 1507, 0.13."""
    return f"{x:g}"


def span(value: float | list[float] | None) -> str:
    """A median or ratio: one number, a low-high range, or nothing."""
    if value is None:
        return ""
    if isinstance(value, list):
        low, high = value
        return f"{number(low)}-{number(high)}"
    return number(value)


def median(measure: dict[str, Any] | None) -> str:
    """'11.5 ms', '5-10 ns/pixel', or '' where only the ratio was kept."""
    if not measure or measure.get("median") is None:
        return ""
    return f"{span(measure['median'])} {measure['unit']}"


def ratio(value: float | list[float] | None) -> str:
    text = span(value)
    return f"{text}x" if text else ""


def cells(row: dict[str, Any]) -> list[str]:
    """One row of a results file as the docs' table shows it: case, data,
    ours, baseline, ratio, note."""
    def named(measure: dict[str, Any] | None) -> str:
        if not measure:
            return ""
        value = median(measure)
        return f"{measure['name']}: {value}" if value else measure["name"]
    return [row["case"], row["data"], named(row["ours"]), named(row.get("baseline")),
            ratio(row.get("ratio")), row.get("note") or ""]


def find_row(results: dict[str, Result], name: str, row_id: str) -> dict[str, Any]:
    if name not in results:
        raise KeyError(f"bench/results/{name}.json is missing")
    row: dict[str, Any]
    for row in results[name]["rows"]:
        if row["id"] == row_id:
            return row
    raise KeyError(f"bench/results/{name}.json has no row {row_id!r}")


def _cell(text: str) -> str:
    return text.replace("|", "\\|")


def _dates(names: list[str], results: dict[str, Result]) -> str:
    dates = sorted({results[n]["recorded"]["date"] for n in names})
    return dates[0] if len(dates) == 1 else f"{dates[0]} to {dates[-1]}"


def readme_table(results: dict[str, Result]) -> str:
    """The README's table and the line that says where its figures come from."""
    lines = ["| task | zolvin | peer, same run | peer / zolvin |", "|---|---|---|---|"]
    for name, row_id in README_ROWS:
        row = find_row(results, name, row_id)
        peer = row["baseline"]
        lines.append(" | ".join([
            f"| {_cell(row['case'])} ({_cell(row['data'])})", _cell(median(row["ours"])),
            f"{_cell(peer['name'])}: {_cell(median(peer))}", f"{_cell(ratio(row['ratio']))} |"]))
    names = sorted({name for name, _ in README_ROWS})
    machines = sorted({results[n]["recorded"]["machine"]["description"] for n in names})
    sources = ", ".join(f"`bench/results/{n}.json`" for n in names)
    lines += ["", f"Medians recorded {_dates(names, results)} on {' and '.join(machines)}; "
                  f"from {sources}."]
    return "\n".join(lines)


def replace_table(text: str, table: str) -> str:
    """text with the part between the markers replaced by table."""
    pattern = re.compile(re.escape(BEGIN) + r"\n.*?" + re.escape(END), re.S)
    if len(pattern.findall(text)) != 1:
        raise ValueError(f"the README must hold the markers {BEGIN!r} ... {END!r} once")
    return pattern.sub(lambda _: f"{BEGIN}\n{table}\n{END}", text)


def main(argv: list[str]) -> int:
    check = argv == ["--check"]
    if argv and not check:
        print("usage: tools/bench_table.py [--check]", file=sys.stderr)
        return 2
    text = README.read_text()
    try:
        new = replace_table(text, readme_table(load()))
    except (KeyError, ValueError) as e:
        print(f"error: {e.args[0]}", file=sys.stderr)
        return 2
    if check:
        if new != text:
            print("README.md: the benchmark table differs from bench/results; "
                  "run tools/bench_table.py", file=sys.stderr)
            return 1
        return 0
    if new != text:
        # A whole new file renamed over the old one: an interrupted run leaves the README as it was.
        tmp = README.with_name(f".{README.name}.partial-{os.getpid()}")
        tmp.write_text(new)
        os.replace(tmp, README)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
