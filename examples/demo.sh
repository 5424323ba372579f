#!/usr/bin/env bash
# The main job on the bundled example; run through `make demo`.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
"$PYTHON" partitions_demo.py
echo
echo "== the bundled pipeline's declarations"
"$PYTHON" show_metadata.py
