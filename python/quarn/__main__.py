"""`python -m quarn`: the `quarn` command."""

import sys

from quarn.runner.commands.main import main

if __name__ == "__main__":
    sys.exit(main())
