"""The benchmarks' figures as data: the files well formed and consistent in
themselves, the README's table in step with them, and --record writing files
the generator reads."""
import copy
import importlib.util
import json
import shutil
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
RESULTS = ROOT / "bench" / "results"


def _load_script(path):
    """A script of the checkout as a module, without putting its directory on
    sys.path (bench/ and tools/ are not packages)."""
    spec = importlib.util.spec_from_file_location(f"_docs_{path.stem}", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.fixture(scope="module")
def table():
    return _load_script(ROOT / "tools" / "bench_table.py")


@pytest.fixture(scope="module")
def common():
    return _load_script(ROOT / "bench" / "common.py")


@pytest.fixture(scope="module")
def readme():
    return (ROOT / "README.md").read_text()


def test_every_benchmark_has_a_results_file_that_loads(table):
    results = table.load()  # refuses a malformed file or a ratio its medians contradict
    assert set(results) == {p.stem for p in (ROOT / "bench").glob("bench_*.py")}
    assert all(r["benchmark"] == f"bench/{name}.py" for name, r in results.items())


def _edit(path, value):
    """A change to a valid results file: path is a tuple of keys and indices."""
    def apply(result):
        *parents, last = path
        target = result
        for key in parents:
            target = target[key]
        if value is KeyError:
            del target[last]
        else:
            target[last] = value
    return apply


@pytest.mark.parametrize("edit, message", [
    (_edit(("format",), "zolvin-bench 2"), "format"),
    (_edit(("title",), KeyError), "keys"),
    (_edit(("benchmark",), "bench/bench_nothing.py"), "not a file"),
    (_edit(("recorded", "date"), "9 December"), "date"),
    (_edit(("recorded", "machine"), {"description": "x"}), "machine"),
    (_edit(("recorded", "load"), -1), "load"),
    (_edit(("recorded", "provenance"), ""), "provenance"),
    (_edit(("rows", 1, "id"), "circle"), "repeated"),
    (_edit(("rows", 0, "ours"), KeyError), "lacks"),
    (_edit(("rows", 0, "ours", "unit"), "minutes"), "unit"),
    (_edit(("rows", 0, "ours", "median"), [3, 2]), "median"),
    (_edit(("rows", 0, "baseline", "median"), 0), "median"),
    (_edit(("rows", 0, "baseline"), None), "without a baseline"),
    (_edit(("rows", 0, "baseline", "unit"), "ms/pixel"), "per"),
    (_edit(("notes",), [1]), "notes"),
])
def test_a_malformed_file_is_refused(table, edit, message):
    result = copy.deepcopy(json.loads((RESULTS / "bench_grid.json").read_text()))
    assert table.problems(result) == []
    edit(result)
    assert any(message in p for p in table.problems(result)), table.problems(result)


SINGLE = ([11.5, "ms"], [215.7, "ms"])
RANGES = ([[0.55, 1.6], "ns/cell"], [[1.6, 5.1], "us/cell"])


@pytest.mark.parametrize("medians, ratio, follows", [
    (SINGLE, 18.8, True), (SINGLE, 19, True), (SINGLE, 17.5, False),
    (SINGLE, 0.0532, False),  # inverted
    (SINGLE, [17, 20], False), (SINGLE, None, False),
    (RANGES, [2300, 3500], True), (RANGES, None, True), (RANGES, [500, 3500], False),
])
def test_ratio_must_follow_from_the_medians(table, medians, ratio, follows):
    (o, o_unit), (b, b_unit) = medians
    row = {"ours": {"name": "a", "median": o, "unit": o_unit},
           "baseline": {"name": "b", "median": b, "unit": b_unit}, "ratio": ratio}
    assert (table.ratio_problem(row) is None) == follows


def test_readme_table_is_written_from_the_data(table, readme):
    """The README holds exactly what tools/bench_table.py writes from bench/results/."""
    assert table.replace_table(readme, table.readme_table(table.load())) == readme


@pytest.mark.parametrize("name, row_id", [
    ("bench_grid", "circle"), ("bench_polygon_coverage", "star-photutils"),
    ("bench_apertures", "demo-photutils"),
])
def test_readme_table_changes_with_its_data(table, readme, tmp_path, name, row_id):
    """A figure changed in a data file changes its row of the README's table,
    so the test above fails until the table is written again."""
    shutil.copytree(RESULTS, tmp_path, dirs_exist_ok=True)
    path = tmp_path / f"{name}.json"
    result = json.loads(path.read_text())
    (row,) = [r for r in result["rows"] if r["id"] == row_id]
    row["ours"] = {"name": "x", "median": 1.25, "unit": "us"}
    row["baseline"]["median"], row["baseline"]["unit"], row["ratio"] = 2.5, "us", 2
    path.write_text(json.dumps(result))
    text = table.readme_table(table.load(tmp_path))
    (line,) = [line for line in text.splitlines() if line.startswith(f"| {row['case']} (")]
    assert line.endswith("| 1.25 us | " + f"{row['baseline']['name']}: 2.5 us | 2x |")
    assert table.replace_table(readme, text) != readme


@pytest.mark.parametrize("text", ["no markers\n", "{begin}\na\n{end}\n{begin}\nb\n{end}\n",
                                  "{end}\nbackwards\n{begin}\n"])
def test_replace_table_needs_one_pair_of_markers(table, text):
    with pytest.raises(ValueError, match="markers"):
        table.replace_table(text.format(begin=table.BEGIN, end=table.END), "| t |")


@pytest.mark.parametrize("argv, directory, rest", [
    (["b.py", "4096"], None, ["b.py", "4096"]),
    (["b.py", "--record", "4096"], "RESULTS", ["b.py", "4096"]),
    (["b.py", "4096", "--record=/tmp/x"], "/tmp/x", ["b.py", "4096"]),
    (["b.py", "--recorded"], None, ["b.py", "--recorded"]),
])
def test_record_option_leaves_the_positional_arguments(common, argv, directory, rest):
    got = common.record_option(argv)
    want = common.RESULTS if directory == "RESULTS" else directory and Path(directory)
    assert (got, argv) == (want, rest)


def test_record_writes_what_the_table_reads(common, table, tmp_path, monkeypatch):
    monkeypatch.setattr("sys.argv", ["bench_grid.py", "256"])
    record = common.Record(ROOT / "bench" / "bench_grid.py", "A title", tmp_path)
    record.add("fast", "a case", "256^2 grid", ("ours", 0.0123), ("peer", 2.5))
    record.add("per-item", "per pixel", "10^7 pixels", ("ours", 7.25e-9), ("numpy", 1.04e-7),
               unit="ns/pixel")
    record.add("mixed", "per cell", "grid", ("ours", 1e-9), ("peer", 3.3e-6), unit="ns/cell",
               baseline_unit="us/cell")
    record.add("alone", "a job", "big", ("the job", 36.4), unit="s")
    record.note("a note")
    record.write()
    assert [p.name for p in tmp_path.iterdir()] == ["bench_grid.json"]  # no temporary left
    result = table.load(tmp_path)["bench_grid"]  # loads: well formed, ratios follow
    rows = {row["id"]: row for row in result["rows"]}
    assert [rows["fast"]["ours"]["unit"], rows["fast"]["baseline"]["unit"]] == ["ms", "s"]
    assert rows["fast"]["ratio"] == pytest.approx(2.5 / 0.0123, rel=5e-3)
    assert rows["per-item"]["ours"]["median"] == 7.25 and rows["mixed"]["baseline"]["median"] == 3.3
    assert (result["recorded"]["command"], result["notes"]) == ("bench/bench_grid.py 256", ["a note"])
