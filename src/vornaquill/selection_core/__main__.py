"""`python -m vornaquill.selection_core`: the command-line tool (also installed as `vornaquill-select`)."""

from .cli import main

if __name__ == "__main__":
    raise SystemExit(main())
