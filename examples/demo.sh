#!/usr/bin/env bash
# A tour of the quarn command on the bundled pipeline; run through `make demo`.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
OUT=out/demo
quarn() {
  echo
  echo "\$ quarn $*"
  "$PYTHON" -m quarn "$@"
}

rm -rf "$OUT"
quarn check pipeline.py
quarn show pipeline.py --out "$OUT"
quarn run pipeline.py --out "$OUT"
echo
echo "# nothing changed: nothing runs"
quarn run pipeline.py --out "$OUT"
quarn run pipeline.py --out "$OUT" --select ticker_summary --partition ticker=MSFT --force
quarn history "$OUT"
quarn show pipeline.py --out "$OUT" --asset daily_prices
if command -v dot >/dev/null; then
  quarn graph pipeline.py --out "$OUT" -o out/graph.svg
else
  quarn graph pipeline.py --out "$OUT" --format mermaid
  echo "# (install Graphviz for an svg or png: apt-get install graphviz)"
fi
quarn report "$OUT"
echo
echo "# open examples/$OUT/report.html in a browser"
