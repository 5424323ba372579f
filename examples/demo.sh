#!/usr/bin/env bash
# The main job on the bundled example; run through `make demo`.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
"$PYTHON" partitions_demo.py
echo
echo "== the bundled pipeline's declarations"
"$PYTHON" show_metadata.py
echo
echo "== python -m quarn.inspect pipeline"
"$PYTHON" -m quarn.inspect pipeline | "$PYTHON" -m json.tool
echo
echo "== materializing raw, processed (fed raw's value) and prices[ticker=AAPL]"
PYTHON="$PYTHON" bash materialize_demo.sh
echo
echo "== python -m quarn.run pipeline, twice: the second run re-materializes nothing"
rm -rf out/run
"$PYTHON" -m quarn.run pipeline --out out/run
"$PYTHON" -m quarn.run pipeline --out out/run
