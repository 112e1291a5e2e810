"""``python -m zolvin``: the command line of zolvin.cli."""
import signal
import sys

from .cli.pupil import _terminate, main

if __name__ == "__main__":
    signal.signal(signal.SIGTERM, _terminate)
    sys.exit(main())
