"""Sphinx configuration of the zolvin site (built by tools/docs).

The API reference is made from the package's docstrings at build time: every
name of ``zolvin.__all__``, every module it lists and ``zolvin.dask`` appear
without being listed here. The gallery's pictures are drawn by the scripts
``examples/plot_*.py`` into the build directory each time the site is built.
The performance page renders the benchmarks' data files, bench/results/*.json.
"""
from __future__ import annotations

import importlib
import importlib.util
import os
import re
import subprocess
import sys
import types
from pathlib import Path

from docutils import nodes
from docutils.parsers.rst import Directive
from docutils.statemachine import StringList
from sphinx.util.nodes import nested_parse_with_titles

ROOT = Path(__file__).resolve().parent.parent
# Pictures go beside the HTML, never into the source tree; the pages refer to
# them through this path, relative to docs/.
GALLERY = ROOT / "build" / "docs" / "gallery"

project = "zolvin"
author = "the zolvin developers"
copyright = "the zolvin developers"
extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.doctest",
    "sphinx.ext.mathjax",
    "numpydoc",
]
exclude_patterns = ["_build"]
html_theme = "pydata_sphinx_theme"
html_theme_options = {"navigation_with_keys": False, "show_toc_level": 2}
html_title = "zolvin"
html_static_path: list[str] = []

# Members of a module come from its __all__; classes show their public methods.
autodoc_default_options = {"members": True, "member-order": "bysource"}
autodoc_typehints = "none"  # the signatures carry them; numpydoc sections say the rest
numpydoc_show_class_members = False
numpydoc_xref_param_type = False
numpydoc_validation_checks: set[str] = set()

doctest_global_setup = """
import numpy as np
import zolvin
"""


def _parse(directive: Directive, lines: list[str]) -> list[nodes.Node]:
    """The reST lines, titles included, as nodes at the directive's place."""
    node = nodes.section()
    node.document = directive.state.document
    nested_parse_with_titles(directive.state, StringList(lines, "conf.py"), node)
    return node.children


# |x| in a docstring's prose is an absolute value, never a substitution.
_BARS = re.compile(r"(?<![\\|\w])\|(?=[^\s|])([^|`]*?[^\s\\|])\|(?![|\w])")


def escape_bars(app, what, name, obj, options, lines: list[str]) -> None:
    """Escapes |...| in prose; literal blocks, doctests and ``literals`` keep theirs."""
    literal_indent = None
    for i, line in enumerate(lines):
        stripped = line.lstrip()
        indent = len(line) - len(stripped)
        if literal_indent is not None and stripped and indent <= literal_indent:
            literal_indent = None
        if literal_indent is None and not stripped.startswith((">>>", "...")):
            parts = line.split("``")
            parts[::2] = [_BARS.sub(r"\\|\1\\|", part) for part in parts[::2]]
            lines[i] = "``".join(parts)
        if stripped.endswith("::") and literal_indent is None:
            literal_indent = indent


def _public_modules() -> list[str]:
    """zolvin.dask and every module that zolvin.__all__ lists, in that order."""
    zolvin = importlib.import_module("zolvin")
    names = [f"zolvin.{n}" for n in zolvin.__all__
             if isinstance(getattr(zolvin, n), types.ModuleType)]
    return sorted(names) + ["zolvin.dask"]


class PublicModules(Directive):
    """``.. zolvin-modules::``: an automodule section per public module."""

    def run(self) -> list[nodes.Node]:
        lines = []
        for name in _public_modules():
            title = f"``{name}``"
            lines += [title, "-" * len(title), "", f".. automodule:: {name}", ""]
        return _parse(self, lines)


def _bench_table() -> types.ModuleType:
    """tools/bench_table.py, which reads bench/results/ for the README too."""
    spec = importlib.util.spec_from_file_location("bench_table", ROOT / "tools" / "bench_table.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def _rst(text: str) -> str:
    """Inline `code` of the data files as reST literals."""
    return re.sub(r"`([^`]+)`", r"``\1``", text)


def _provenance(result: dict) -> str:
    rec = result["recorded"]
    machine = rec["machine"]
    cpu = f", {machine['cpu']}" if machine.get("cpu") else ""
    load = (f"load average {rec['load']:g}" if rec.get("load") is not None
            else "load not recorded")
    commit = f", commit ``{rec['commit']}``" if rec.get("commit") else ""
    return (f"``{result['benchmark']}``, recorded {rec['date']} on {machine['description']} "
            f"({machine['cores']} cores{cpu}), {load}{commit}. {_rst(rec['provenance'])}")


def _results_lines(name: str, result: dict, cells) -> list[str]:
    title = _rst(result["title"])
    lines = [title, "-" * len(title), "", _provenance(result), "",
             ".. list-table::", "   :header-rows: 1", "   :widths: 18 14 20 24 8 16", ""]
    header = ["case", "data", "ours", "baseline, same run", "baseline / ours", "note"]
    for row in [header, *(cells(r) for r in result["rows"])]:
        row = [_rst(c) or "\\" for c in row]
        lines += [f"   * - {row[0]}", *(f"     - {c}" for c in row[1:]), ""]
    lines += [f"- {_rst(note)}" for note in result.get("notes", [])]
    return lines + ["", f"Data: ``bench/results/{name}.json``.", ""]


class BenchResults(Directive):
    """``.. zolvin-bench-results::``: a section per file of bench/results/,
    with where and when it was recorded and its rows as a table."""

    def run(self) -> list[nodes.Node]:
        table = _bench_table()
        lines = []
        for name, result in table.load().items():
            lines += _results_lines(name, result, table.cells)
        return _parse(self, lines)


def _scripts() -> list[Path]:
    return sorted((ROOT / "examples").glob("plot_*.py"))


class Gallery(Directive):
    """``.. zolvin-gallery::``: every picture the gallery scripts drew, captioned
    with the first line of its script's docstring."""

    def run(self) -> list[nodes.Node]:
        lines = []
        for script in _scripts():
            doc = (script.read_text().split('"""')[1].strip().splitlines() or [script.stem])[0]
            title = doc.rstrip(".")
            lines += [title, "-" * len(title), "",
                      f".. image:: ../build/docs/gallery/{script.stem}.png",
                      f"   :alt: {title}", "",
                      f"Drawn by ``examples/{script.name}``::", "",
                      f"    python examples/{script.name} OUT.png", ""]
        return _parse(self, lines)


def draw_gallery(app) -> None:
    """Runs every gallery script into the build directory before any page is read."""
    if app.builder.name != "html":
        return
    GALLERY.mkdir(parents=True, exist_ok=True)
    env = dict(os.environ, MPLBACKEND="Agg")
    for script in _scripts():
        target = GALLERY / f"{script.stem}.png"
        run = subprocess.run([sys.executable, str(script), str(target)], cwd=ROOT, env=env,
                             capture_output=True, text=True, check=False)
        if run.returncode != 0:
            raise RuntimeError(f"{script.name} failed:\n{run.stderr}")


def setup(app) -> dict[str, bool]:
    app.add_directive("zolvin-modules", PublicModules)
    app.add_directive("zolvin-gallery", Gallery)
    app.add_directive("zolvin-bench-results", BenchResults)
    app.connect("builder-inited", draw_gallery)
    app.connect("autodoc-process-docstring", escape_bars, priority=400)
    return {"parallel_read_safe": True}
