"""The benchmarks' figures as data: every file well formed and consistent in
itself, the README's table in step with the files, the recorder's output
readable by the generator."""
import datetime
import importlib.util
import json
import re
import shutil
from decimal import Decimal
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"
FILES = sorted(p.stem for p in RESULTS.glob("*.json"))
SECONDS = {"s": 1.0, "ms": 1e-3, "us": 1e-6, "ns": 1e-9}
UNIT = re.compile(r"(ns|us|ms|s)(/[a-z ]+)?$")


def _load_script(path):
    """A script of the checkout as a module, without putting its directory on
    sys.path (bench/ and tools/ are not packages)."""
    spec = importlib.util.spec_from_file_location(f"_docs_{path.stem}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def bench_table():
    return _load_script(ROOT / "tools" / "bench_table.py")


@pytest.fixture(scope="module")
def bench_common():
    return _load_script(ROOT / "bench" / "common.py")


@pytest.fixture(scope="module")
def readme():
    return (ROOT / "README.md").read_text()


def _figure_ok(value):
    """A median or ratio: null, a positive number, or a rising [low, high]."""
    if value is None:
        return True
    if isinstance(value, list):
        return len(value) == 2 and all(_figure_ok(v) and v is not None for v in value) \
            and value[0] < value[1]
    return isinstance(value, (int, float)) and not isinstance(value, bool) and value > 0


def _measure_problems(measure, where):
    if not isinstance(measure, dict) or set(measure) != {"name", "median", "unit"}:
        return [f"{where}: not a {{name, median, unit}} object"]
    problems = []
    if not (isinstance(measure["name"], str) and measure["name"]):
        problems.append(f"{where}: no name")
    if not _figure_ok(measure["median"]):
        problems.append(f"{where}: median {measure['median']!r}")
    if not (isinstance(measure["unit"], str) and UNIT.match(measure["unit"])):
        problems.append(f"{where}: unit {measure['unit']!r}")
    return problems


def problems_of(result):
    """Everything wrong with one results file, as messages."""
    problems = []
    keys = {"format", "benchmark", "title", "recorded", "rows", "notes"}
    if set(result) != keys:
        return [f"keys {sorted(result)} are not {sorted(keys)}"]
    if result["format"] != "zolvin-bench 1":
        problems.append(f"format {result['format']!r}")
    if not (ROOT / result["benchmark"]).is_file():
        problems.append(f"benchmark {result['benchmark']} is not a file of the checkout")
    rec = result["recorded"]
    try:
        datetime.date.fromisoformat(rec["date"])
    except (KeyError, TypeError, ValueError):
        problems.append(f"date {rec.get('date')!r}")
    machine = rec.get("machine") or {}
    if not (machine.get("description") and isinstance(machine.get("cores"), int)):
        problems.append(f"machine {machine!r}")
    if not (rec.get("load") is None or rec["load"] >= 0):
        problems.append(f"load {rec['load']!r}")
    if not (isinstance(rec.get("provenance"), str) and rec["provenance"]):
        problems.append("no provenance")
    ids = [row.get("id") for row in result["rows"]]
    if not ids or len(set(ids)) != len(ids):
        problems.append(f"row ids {ids} are missing or repeated")
    for row in result["rows"]:
        where = f"row {row.get('id')}"
        if not {"id", "case", "data", "ours", "ratio"} <= set(row):
            problems.append(f"{where}: keys {sorted(row)}")
            continue
        problems += _measure_problems(row["ours"], f"{where} ours")
        if row.get("baseline") is not None:
            problems += _measure_problems(row["baseline"], f"{where} baseline")
        if not _figure_ok(row["ratio"]):
            problems.append(f"{where}: ratio {row['ratio']!r}")
        if row["ratio"] is not None and row.get("baseline") is None:
            problems.append(f"{where}: a ratio without a baseline")
    if not all(isinstance(n, str) for n in result["notes"]):
        problems.append("notes are not strings")
    return problems


def _seconds(measure):
    """A median in seconds (per item) as a [low, high] pair, and its item."""
    prefix, _, item = measure["unit"].partition("/")
    value = measure["median"]
    low, high = value if isinstance(value, list) else (value, value)
    return [low * SECONDS[prefix], high * SECONDS[prefix]], item


def ratio_problem(row):
    """Why the row's ratio does not follow from its medians, or None: to the
    digits it is given with (and 1 % for the medians' own rounding) for single
    figures, within the bounds that ranges allow otherwise."""
    ours, base = row["ours"], row.get("baseline")
    if base is None or None in (ours["median"], base["median"]):
        return None
    (o_lo, o_hi), o_item = _seconds(ours)
    (b_lo, b_hi), b_item = _seconds(base)
    if o_item != b_item:
        return f"ours per {o_item!r}, the baseline per {b_item!r}"
    ratio = row["ratio"]
    if ratio is None:
        single = not isinstance(ours["median"], list) and not isinstance(base["median"], list)
        return "no ratio beside two single medians" if single else None
    if isinstance(ratio, list) or o_lo != o_hi or b_lo != b_hi:
        low, high = ratio if isinstance(ratio, list) else (ratio, ratio)
        if not (b_lo / o_hi * 0.99 <= low and high <= b_hi / o_lo * 1.01):
            return f"ratio {ratio} outside {b_lo / o_hi:.3g}..{b_hi / o_lo:.3g}"
        return None
    expected = b_lo / o_lo
    digits = 0.5 * 10.0 ** Decimal(repr(ratio)).as_tuple().exponent
    if abs(ratio - expected) > digits + 0.01 * expected:
        return f"ratio {ratio}, the medians give {expected:.4g}"
    return None


# ---- The files as they stand ---------------------------------------------------

def test_every_benchmark_has_its_results_file():
    scripts = {p.stem for p in (ROOT / "bench").glob("bench_*.py")}
    assert scripts == set(FILES)


@pytest.mark.parametrize("name", FILES)
def test_results_file_is_well_formed(bench_table, name):
    result = bench_table.load()[name]
    assert problems_of(result) == []
    assert result["benchmark"] == f"bench/{name}.py"


@pytest.mark.parametrize("name", FILES)
def test_ratios_follow_from_the_medians(bench_table, name):
    rows = bench_table.load()[name]["rows"]
    assert {row["id"]: ratio_problem(row) for row in rows} == {row["id"]: None for row in rows}


SINGLE = ([11.5, "ms"], [215.7, "ms"])
RANGES = ([[0.55, 1.6], "ns/cell"], [[1.6, 5.1], "us/cell"])


@pytest.mark.parametrize("medians, ratio, problem", [
    (SINGLE, 18.8, False), (SINGLE, 19, False), (SINGLE, 17.5, True),
    (SINGLE, 0.0532, True),  # inverted
    (SINGLE, [17, 20], True), (SINGLE, None, True),
    (RANGES, [2300, 3500], False), (RANGES, None, False), (RANGES, [500, 3500], True),
    (([1.0, "ns/cell"], [2.0, "ns/pixel"]), 2, True),
])
def test_ratio_check_catches_a_ratio_that_does_not_follow(medians, ratio, problem):
    (o, o_unit), (b, b_unit) = medians
    row = {"ours": {"name": "a", "median": o, "unit": o_unit},
           "baseline": {"name": "b", "median": b, "unit": b_unit}, "ratio": ratio}
    assert (ratio_problem(row) is not None) == problem


# ---- The README's table --------------------------------------------------------

def test_readme_table_is_written_from_the_data(bench_table, readme):
    """The README holds exactly what tools/bench_table.py writes from bench/results/."""
    assert bench_table.replace_table(readme, bench_table.readme_table(bench_table.load())) == readme


@pytest.mark.parametrize("name, row_id", [
    ("bench_grid", "circle"), ("bench_polygon_coverage", "star-photutils"),
    ("bench_apertures", "demo-photutils"),
])
def test_readme_table_changes_with_its_data(bench_table, readme, tmp_path, name, row_id):
    """A figure changed in a data file changes the README's table, so the
    test above fails until the table is written again."""
    shutil.copytree(RESULTS, tmp_path, dirs_exist_ok=True)
    path = tmp_path / f"{name}.json"
    result = json.loads(path.read_text())
    (row,) = [r for r in result["rows"] if r["id"] == row_id]
    row["ours"]["median"] = 123.456
    row["ratio"] = 654.321
    path.write_text(json.dumps(result))
    table = bench_table.readme_table(bench_table.load(tmp_path))
    assert bench_table.replace_table(readme, table) != readme
    (line,) = [line for line in table.splitlines() if line.startswith(f"| {row['case']} (")]
    assert "| 123.456 ms |" in line and line.endswith("| 654.321x |")


def test_readme_rows_name_existing_rows(bench_table):
    results = bench_table.load()
    for name, row_id in bench_table.README_ROWS:
        assert bench_table.find_row(results, name, row_id)["baseline"] is not None


@pytest.mark.parametrize("text", [
    "no markers at all\n",
    "{begin}\none\n{end}\n{begin}\ntwo\n{end}\n",
    "{end}\nbackwards\n{begin}\n",
])
def test_replace_table_needs_one_pair_of_markers(bench_table, text):
    text = text.format(begin=bench_table.BEGIN, end=bench_table.END)
    with pytest.raises(ValueError, match="markers"):
        bench_table.replace_table(text, "| table |")


def test_figures_render_as_given(bench_table):
    row = {"case": "c", "data": "d", "ours": {"name": "o", "median": [5, 10], "unit": "ns/pixel"},
           "baseline": {"name": "b", "median": None, "unit": "ms"}, "ratio": 1507, "note": None}
    assert bench_table.cells(row) == ["c", "d", "o: 5-10 ns/pixel", "b", "1507x", ""]


# ---- What --record writes ------------------------------------------------------

@pytest.mark.parametrize("argv, directory, rest", [
    (["b.py", "4096"], None, ["b.py", "4096"]),
    (["b.py", "--record", "4096"], "RESULTS", ["b.py", "4096"]),
    (["b.py", "4096", "--record=/tmp/x"], "/tmp/x", ["b.py", "4096"]),
    (["b.py", "--recorded"], None, ["b.py", "--recorded"]),
])
def test_record_option_leaves_the_positional_arguments(bench_common, argv, directory, rest):
    got = bench_common.record_option(argv)
    want = bench_common.RESULTS if directory == "RESULTS" else directory and Path(directory)
    assert (got, argv) == (want, rest)


def test_record_writes_what_the_table_reads(bench_common, bench_table, tmp_path, monkeypatch):
    monkeypatch.setattr("sys.argv", ["bench_grid.py", "256"])
    record = bench_common.Record(ROOT / "bench" / "bench_grid.py", "A title", tmp_path)
    record.add("fast", "a case", "256^2 grid", ("ours", 0.0123), ("peer", 2.5))
    record.add("per-item", "per pixel", "10^7 pixels", ("ours", 7.25e-9), ("numpy", 1.04e-7),
               unit="ns/pixel")
    record.add("mixed", "per cell", "grid", ("ours", 1e-9), ("peer", 3.3e-6), unit="ns/cell",
               baseline_unit="us/cell")
    record.add("alone", "a job", "big", ("the job", 36.4), unit="s")
    record.note("a note")
    record.write()
    assert [p.name for p in tmp_path.iterdir()] == ["bench_grid.json"]
    result = bench_table.load(tmp_path)["bench_grid"]
    assert problems_of(result) == []
    rows = {row["id"]: row for row in result["rows"]}
    assert [rows["fast"]["ours"]["unit"], rows["fast"]["baseline"]["unit"]] == ["ms", "s"]
    assert rows["fast"]["ratio"] == pytest.approx(2.5 / 0.0123, rel=5e-3)
    assert rows["per-item"]["ours"]["median"] == 7.25 and rows["mixed"]["baseline"]["median"] == 3.3
    assert {i: ratio_problem(r) for i, r in rows.items()} == {i: None for i in rows}
    assert result["recorded"]["command"] == "bench/bench_grid.py 256"
    assert result["notes"] == ["a note"]
