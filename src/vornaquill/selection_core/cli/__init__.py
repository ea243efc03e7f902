"""The command-line tool `vornaquill-select`: `read` loads a population, `report` writes the table,
JSON, CSV and plot, `main` holds the options and the entry point."""

from .main import main

__all__ = ["main"]
