"""The command line: ``python -m zolvin`` and the ``zolvin`` command."""
from .main import command, main

__all__ = ["command", "main"]
