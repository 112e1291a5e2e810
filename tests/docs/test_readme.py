"""The README as the entry point: small, self-contained, its example and its
commands true."""
import contextlib
import io
import re
import shlex
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


@pytest.fixture(scope="module")
def readme():
    return (ROOT / "README.md").read_text()


def test_readme_fits_in_ten_kilobytes():
    assert (ROOT / "README.md").stat().st_size < 10_000


def _links(text):
    """Targets of markdown links and images, in order."""
    return re.findall(r"\]\(([^)\s]+)\)", text)


def test_every_link_stays_in_the_repository_and_exists(readme):
    links = _links(readme)
    assert links, "the README links its guides"
    for target in links:
        if re.match(r"[a-z]+://", target):
            continue
        path = (ROOT / target.split("#")[0]).resolve()
        assert path.is_relative_to(ROOT), f"{target} points outside the repository"
        assert path.exists(), f"{target} does not exist"


def test_every_guide_is_linked(readme):
    linked = {(ROOT / t).resolve() for t in _links(readme)}
    guides = set((ROOT / "docs" / "guides").glob("*.rst"))
    assert guides - linked == set()


def _blocks(text, language):
    return re.findall(rf"```{language}\n(.*?)```", text, re.S)


def test_ci_runs_the_readme_test_command(readme):
    commands = [line.split("#")[0].strip() for block in _blocks(readme, "sh")
                for line in block.splitlines()]
    assert "tools/env tools/test" in commands
    assert "tools/env tools/demo" in commands
    ci = [shlex.split(line, comments=True)
          for line in (ROOT / ".ci" / "run").read_text().splitlines()]
    assert ["tools/env", "tools/test"] in ci
    for command in ("tools/test", "tools/demo"):
        assert (ROOT / command).exists()


def test_the_example_prints_what_its_comments_say(readme):
    """Each print(...) of the example is followed by a comment whose leading
    number (digits up to '...') is where the printed value starts."""
    (code,) = _blocks(readme, "python")
    expected = [m.group(1) for line in code.splitlines() if line.startswith("print(")
                for m in [re.search(r"#\s*([-+0-9.]+?)(?:\.\.\.|\s|$)", line)]]
    assert len(expected) >= 2
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(compile(code, "README.md", "exec"), {})
    printed = out.getvalue().splitlines()
    assert len(printed) == len(expected)
    for value, prefix in zip(printed, expected):
        assert value.startswith(prefix), (value, prefix)
