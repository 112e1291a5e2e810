"""The command line: ``python -m zolvin`` and the ``zolvin`` command."""
from .pupil import main

__all__ = ["main"]
