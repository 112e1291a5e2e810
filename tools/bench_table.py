"""The benchmarks' figures as data, and the README's table written from them.

    python3 tools/bench_table.py           rewrite the README's table from bench/results/*.json
    python3 tools/bench_table.py --check   exit 1, saying so, when the README's table is stale

Each ``bench/bench_NAME.py --record`` writes ``bench/results/bench_NAME.json``:
where and when it ran (machine, load, commit) and one row per comparison, each
with our median, the baseline's median from the same run and their ratio
(baseline / ours, so above 1 means we are faster). A median is a number or,
where only the spread over several runs was kept, a [low, high] pair; null
where only the ratio was kept. The docs' performance page renders every file
through load() and cells(); the README shows the rows of README_ROWS.
Standard library only, so that it runs under any Python 3.
"""
from __future__ import annotations

import json
import os
import re
import sys
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
    ("bench_polygon_coverage", "elt-photutils"),
    ("bench_apertures", "demo-photutils"),
    ("bench_apertures", "elt-supersampled"),
]

Result = dict[str, Any]


def load(directory: Path = RESULTS) -> dict[str, Result]:
    """Every results file of the directory by name (``bench_grid`` for
    ``bench_grid.json``), in name order."""
    results = {}
    for path in sorted(directory.glob("*.json")):
        result = json.loads(path.read_text())
        if result.get("format") != FORMAT:
            raise ValueError(f"{path}: format is {result.get('format')!r}, not {FORMAT!r}")
        results[path.stem] = result
    return results


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
