"""`python -m quarn.runner.executors.fork ...`: the warm template of a run (see template.py).

The current directory, which `python -m` puts first on the import path, is left out while
the template's own modules load, so a project file named like a standard module (json.py,
random.py) cannot stand in for it; discovery then sets the project's import path itself.
"""

import os
import sys

from quarn._paths import same_folder

_cwd = os.path.realpath(os.getcwd())
_saved = list(sys.path)
sys.path[:] = [p for p in _saved if not same_folder(p, _cwd)]
from quarn.runner.executors.fork.template import main  # noqa: E402

sys.path[:] = _saved

if __name__ == "__main__":
    main()
