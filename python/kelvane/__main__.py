"""``python -m kelvane``: the command-line tool (see kelvane.cli)."""

from kelvane.cli import main

raise SystemExit(main())
