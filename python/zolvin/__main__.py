"""``python -m zolvin``: the command line of zolvin.cli."""
import sys

from .cli.main import command

if __name__ == "__main__":
    sys.exit(command())
