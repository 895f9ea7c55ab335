"""The output directory: checked before a run, written through a hidden staging
directory, and its files replaced all at once at the end.

Workers write into a staging directory inside the output directory; each file
appears there under its name only once complete. When every chunk is done the
files of an earlier dataset are moved aside, the new files renamed to
part-NNNNN.parquet in input order, and only then the old files removed; a
rename that fails undoes the ones before it.
"""

from __future__ import annotations

import contextlib
import errno
import os
import re
import shutil
import tempfile
import time
import uuid

from orvex_tools.dataset.chunks import PathLike

STAGING_PREFIX = ".orvex-staging-"
_REPLACED_PREFIX = ".orvex-replaced-"
_PART_NAME = re.compile(r"part-\d{5,}\.parquet")


def publish(out_dir: str, final_dir: str, kept: list[tuple[str, int]]) -> list[str]:
    """Gives the staged files kept their final names part-00000.parquet, ... in
    out_dir, in that order, and returns their paths.

    The part-*.parquet files of an earlier dataset are first moved aside into a
    hidden directory of out_dir, removed once every new file has its name. If
    any move fails, the moves done are undone, so that out_dir holds either
    the earlier dataset or the new one, and the error is raised.
    """
    aside = os.path.join(out_dir, f"{_REPLACED_PREFIX}{uuid.uuid4().hex[:12]}")
    os.mkdir(aside)
    moved: list[tuple[str, str]] = []  # (from, to), in the order done
    try:
        for name in sorted(os.listdir(out_dir)):
            if _PART_NAME.fullmatch(name):
                _move(os.path.join(out_dir, name), os.path.join(aside, name), moved)
        finals = []
        for number, (name, _) in enumerate(kept):
            final = os.path.join(out_dir, f"part-{number:05d}.parquet")
            _move(os.path.join(final_dir, name), final, moved)
            finals.append(final)
    except BaseException as exc:
        stuck = []
        for source, target in reversed(moved):
            try:
                os.rename(target, source)
            except OSError:
                stuck.append(source)
        if not stuck:
            os.rmdir(aside)
        elif isinstance(exc, Exception):
            raise OSError(f"replacing the dataset in {out_dir!r} failed ({exc}), and "
                          f"{len(stuck)} file(s) could not be put back: the earlier dataset's "
                          f"are in {aside!r}") from exc
        raise
    shutil.rmtree(aside, ignore_errors=True)
    return finals


def _move(source: str, target: str, moved: list[tuple[str, str]]) -> None:
    os.rename(source, target)
    moved.append((source, target))


def remove_old_staging(out_dir: str, staging: str) -> None:
    """Removes the staging directories other than this run's (left by runs that were killed)."""
    for name in os.listdir(out_dir):
        path = os.path.join(out_dir, name)
        if name.startswith(STAGING_PREFIX) and path != staging and os.path.isdir(path):
            shutil.rmtree(path, ignore_errors=True)



def check_output(out: PathLike, overwrite: bool) -> str:
    """Returns the absolute path of the output directory after checking that
    the run can write there: an existing directory must be empty, or with
    overwrite hold no part-*.parquet that is a directory; a missing one must be
    creatable. Raises FileExistsError, NotADirectoryError, IsADirectoryError or
    PermissionError."""
    label = os.fspath(out)
    out_dir = os.path.abspath(label)
    if os.path.isdir(out_dir):
        existing = sorted(os.listdir(out_dir))
        if existing and not overwrite:
            raise FileExistsError(f"the output directory {label!r} is not empty "
                                  f"(it holds {existing[0]!r}): pass overwrite=True to replace it")
        for name in existing:
            if _PART_NAME.fullmatch(name) and os.path.isdir(os.path.join(out_dir, name)):
                raise IsADirectoryError(errno.EISDIR, f"cannot replace {name!r} in the output "
                                        f"directory {label!r}: it is a directory")
        if not os.access(out_dir, os.W_OK | os.X_OK):
            raise PermissionError(errno.EACCES, f"cannot write to the output directory {label!r}: "
                                  "permission denied")
        _probe(out_dir, f"cannot write to the output directory {label!r}")
        return out_dir
    if os.path.lexists(out_dir):
        raise NotADirectoryError(errno.ENOTDIR,
                                 f"the output directory {label!r} exists and is not a directory")
    parent = os.path.dirname(out_dir)
    while not os.path.lexists(parent):
        parent = os.path.dirname(parent)
    if not os.path.isdir(parent):
        raise NotADirectoryError(errno.ENOTDIR, f"cannot create the output directory {label!r}: "
                                 f"{parent!r} is not a directory")
    if not os.access(parent, os.W_OK | os.X_OK):
        raise PermissionError(errno.EACCES, f"cannot create the output directory {label!r}: "
                              f"permission denied in {parent!r}")
    # Made and written for real (a file system such as /proc or /sys refuses
    # what the permission bits allow), then taken away again.
    created = []
    try:
        folder = out_dir
        while not os.path.lexists(folder):
            created.append(folder)
            folder = os.path.dirname(folder)
        for folder in reversed(created):
            try:
                os.mkdir(folder)
            except OSError as exc:
                created.remove(folder)
                raise type(exc)(exc.errno, f"cannot create the output directory {label!r}: "
                                f"{exc.strerror}") from None
        _probe(out_dir, f"cannot write to the output directory {label!r}")
    finally:
        for folder in created:
            with contextlib.suppress(OSError):
                os.rmdir(folder)
    return out_dir


def _probe(folder: str, message: str) -> None:
    """Writes a file in folder and removes it; OSError of the same kind, with
    message in front of the reason, if that fails."""
    try:
        fd, name = tempfile.mkstemp(dir=folder, prefix=".write-check-")
        os.close(fd)
        os.unlink(name)
    except OSError as exc:
        raise type(exc)(exc.errno, f"{message}: {exc.strerror}") from None



def remove_staging(staging: str, patience: float = 60.0) -> None:
    """Removes the staging directory, also while chunk tasks of a failed run still write into it.

    A task that was already running when the run failed is not stopped by
    cancelling it; a file it creates while the directory is being removed
    keeps the directory alive, so removal is repeated until the directory is
    gone. Once it is gone, such a task fails to write and leaves nothing.
    """
    deadline = time.monotonic() + patience
    while True:
        shutil.rmtree(staging, ignore_errors=True)
        if not os.path.exists(staging) or time.monotonic() > deadline:
            return
        time.sleep(0.05)
