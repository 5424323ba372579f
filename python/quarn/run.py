"""Command stub `python -m quarn.run`: discover, check, plan and materialize some modules."""

import sys

from quarn.runner.commands.run import main

if __name__ == "__main__":
    sys.exit(main())
