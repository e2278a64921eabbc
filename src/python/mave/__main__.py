"""`python -m mave`: the command line (see mave._cli)."""

from mave._cli import main

raise SystemExit(main())
