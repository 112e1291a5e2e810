"""The command line: ``python -m zolvin JOB ...`` and the ``zolvin`` command.

Each job is a subcommand with a module of its own, which adds its arguments
(``add_parser``) and runs them (``run``). A mistake on the command line is a
UserError: one line on stderr and exit status 2, before any output is
written.
"""
from __future__ import annotations

import argparse
import signal
import sys
import threading
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from typing import Any

from .files import UserError
from .pupil import add_parser as add_pupil_job


def _parser() -> argparse.ArgumentParser:
    ap = argparse.ArgumentParser(prog="python -m zolvin", description="Pixel coverage jobs.")
    sub = ap.add_subparsers(dest="job", required=True)
    add_pupil_job(sub)
    return ap


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the job the arguments name; returns the exit status. While it
    runs (from the main thread), SIGTERM unwinds like Ctrl-C, so that the
    temporary output goes, whichever entry point called it."""
    with _terminate_unwinds():
        args = _parser().parse_args(argv)
        try:
            status: int = args.run(args)
        except UserError as e:
            print(f"error: {e}", file=sys.stderr)
            return 2
        return status


def _terminate(signum: int, frame: Any) -> None:
    raise SystemExit(128 + signum)


@contextmanager
def _terminate_unwinds() -> Iterator[None]:
    """SIGTERM raises SystemExit inside the block; the handler before is
    restored after it. Only the main thread may set handlers: elsewhere the
    block runs as it is."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    before = signal.signal(signal.SIGTERM, _terminate)
    try:
        yield
    finally:
        # (None: a handler not set from Python, which cannot be put back.)
        signal.signal(signal.SIGTERM, signal.SIG_DFL if before is None else before)


def command() -> int:
    """The ``zolvin`` command and ``python -m zolvin``: main() on the
    process's arguments."""
    return main()
