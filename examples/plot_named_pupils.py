"""The named telescope pupils of zolvin.pupils.

    python examples/plot_named_pupils.py [OUT.png]

Every preset rendered exactly on 256 x 256 pixels spanning it, by
examples/gallery.py (which takes the size as well).
"""
import runpy
import sys
from pathlib import Path


def main(out):
    sys.argv = [sys.argv[0], "256", out]
    runpy.run_path(str(Path(__file__).with_name("gallery.py")), run_name="__main__")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "named_pupils.png")
