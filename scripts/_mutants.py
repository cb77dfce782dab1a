"""What the planted-fault scripts share (leakcheck_mutants.py, behaviour_mutants.py): a copy of
the sources to plant faults in, and the planting itself. A fault is one exact text replacement in
one file of src/; a fault whose text no longer occurs exactly once is stale, so that the tables
follow the sources."""

import contextlib
import os
import shutil

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


class Stale(Exception):
    """The fault's text does not occur exactly once in its file."""


def copy_sources(dest):
    """Copies src/ and CMakeLists.txt into `dest`; returns the copy's src directory."""
    src = os.path.join(dest, "src")
    shutil.copytree(os.path.join(ROOT, "src"), src)
    shutil.copy(os.path.join(ROOT, "CMakeLists.txt"), dest)
    return src


@contextlib.contextmanager
def planted(src, filename, text, replacement):
    """Replaces `text` by `replacement` in `src`/`filename` for the duration; raises Stale (and
    changes nothing) unless `text` occurs exactly once."""
    path = os.path.join(src, filename)
    with open(path) as f:
        original = f.read()
    if original.count(text) != 1:
        raise Stale("text found %d times in %s" % (original.count(text), filename))
    try:
        with open(path, "w") as f:
            f.write(original.replace(text, replacement))
        yield
    finally:
        with open(path, "w") as f:
            f.write(original)
