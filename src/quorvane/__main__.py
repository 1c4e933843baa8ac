"""``python -m quorvane``: the same command line as the ``quorvane`` script."""

from .cli import main

raise SystemExit(main())
