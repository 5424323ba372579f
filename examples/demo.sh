#!/usr/bin/env bash
# A tour of the quarn command on the bundled pipeline; run through `make demo`. This folder
# is a project: its pyproject.toml names the module and the output directory (out/demo), so
# the commands need no arguments, from here or from any folder below.
set -euo pipefail
cd "$(dirname "$0")"
PYTHON=${PYTHON:-python3}
quarn() {
  echo
  echo "\$ quarn $*"
  "$PYTHON" -m quarn "$@"
}

rm -rf out/demo
quarn check
quarn show
quarn run
echo
echo "# nothing changed: nothing runs"
quarn run
quarn run --select ticker_summary --partition ticker=MSFT --force
mkdir -p out && cd out
echo
echo "# from a folder below the project: the same output directory"
quarn history
quarn show --asset daily_prices
cd ..
if command -v dot >/dev/null; then
  quarn graph -o out/graph.svg
else
  quarn graph --format mermaid
  echo "# (install Graphviz for an svg or png: apt-get install graphviz)"
fi
quarn report
echo
echo "# open examples/out/demo/report.html in a browser"
