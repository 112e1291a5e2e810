"""Output files of the jobs: checked before any work, written under a temporary
name beside the target and renamed into place once complete, so that an
interrupted job leaves either nothing or the file that was there before.
"""
from __future__ import annotations

import os
import re
import secrets
import shutil
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path


class UserError(Exception):
    """A mistake in the command line: reported as one line, exit status 2."""


# Files of a zarr store (formats 2 and 3): metadata, and chunk keys made of
# indices ("0.3", "0/3", "c/0/3").
ZARR_METADATA = frozenset({".zarray", ".zattrs", ".zgroup", ".zmetadata", "zarr.json"})
_INDEX = re.compile(r"\d+(\.\d+)*")


def is_zarr_store(path: Path) -> bool:
    """Whether the directory holds an array's zarr metadata at its top and
    nothing but zarr metadata and chunks below (what the job writes)."""
    if not any((path / name).is_file() for name in ZARR_METADATA):
        return False
    for root, _, files in os.walk(path):
        parts = Path(root).relative_to(path).parts
        if not all(p == "c" or _INDEX.fullmatch(p) for p in parts):
            return False
        if not all(f in ZARR_METADATA or _INDEX.fullmatch(f) for f in files):
            return False
    return True


def check_target(out: Path, force: bool) -> None:
    """Refuses an output that the job could not write, or that exists and may
    not be replaced: a file without --force, a directory that is not a zarr
    store (ever), a missing or unwritable folder."""
    folder = out.parent
    if not folder.is_dir():
        what = "is not a folder" if folder.exists() else "does not exist"
        raise UserError(f"output folder {folder} {what}")
    if not os.access(folder, os.W_OK | os.X_OK):
        raise UserError(f"output folder {folder} is not writable")
    if not (out.exists() or out.is_symlink()):
        return
    if out.suffix == ".zarr":
        if not (out.is_dir() and is_zarr_store(out)):
            raise UserError(f"{out} exists and is not a zarr store; it is never replaced")
    elif out.is_dir():
        raise UserError(f"{out} is a directory")
    if not force:
        raise UserError(f"{out} exists; --force replaces it")


def _remove(path: Path) -> None:
    if path.is_dir() and not path.is_symlink():
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            path.unlink()
        except FileNotFoundError:
            pass


@contextmanager
def replacing(out: Path, force: bool) -> Iterator[Path]:
    """Yields a temporary path beside out to write the whole output to; when
    the block ends normally, moves it to out. On any exception (SystemExit
    and KeyboardInterrupt included) the temporary output is removed and out
    is left as it was."""
    # Hidden, and ending in out's suffix, which names the format.
    tmp = out.with_name(f".{out.stem}.partial-{os.getpid()}-{secrets.token_hex(4)}{out.suffix}")
    try:
        yield tmp
        _commit(tmp, out, force)
    except BaseException:
        _remove(tmp)
        raise


def _exchange(a: Path, b: Path) -> bool:
    """Swaps two paths in one step (Linux renameat2 with RENAME_EXCHANGE);
    False where that is not available."""
    try:
        import ctypes
        libc = ctypes.CDLL(None, use_errno=True)
        renameat2 = libc.renameat2
    except (OSError, AttributeError):
        return False
    at_fdcwd, rename_exchange = -100, 2
    done = renameat2(at_fdcwd, os.fsencode(a), at_fdcwd, os.fsencode(b), rename_exchange)
    return bool(done == 0)


def _commit(tmp: Path, out: Path, force: bool) -> None:
    if tmp.is_dir():
        if force and out.is_dir():
            if _exchange(tmp, out):
                shutil.rmtree(tmp, ignore_errors=True)  # now the old store
                return
            # No atomic exchange here: the old store moves aside first and
            # goes once the new one is in place.
            old = out.with_name(f".{out.name}.old-{os.getpid()}-{secrets.token_hex(4)}")
            os.rename(out, old)
            try:
                os.rename(tmp, out)
            except BaseException:
                os.rename(old, out)
                raise
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.rename(tmp, out)  # fails if a non-empty directory appeared meanwhile
        return
    if force:
        os.replace(tmp, out)
        return
    # No replacing without --force, even of a file made since the check: a
    # hard link fails where out exists.
    try:
        os.link(tmp, out)
    except FileExistsError:
        raise UserError(f"{out} exists; --force replaces it") from None
    except OSError:
        if out.exists():
            raise UserError(f"{out} exists; --force replaces it") from None
        os.replace(tmp, out)
        return
    tmp.unlink()
