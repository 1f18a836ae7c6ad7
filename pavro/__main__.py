"""Runs the command-line tool: ``python -m pavro --help``."""

import sys

from pavro.cli import main

sys.exit(main())
