#!/usr/bin/env bash
# Materializes the bundled example as an orchestrator would: one worker process per
# asset (and per partition), upstream values handed on as keyword arguments.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
OUT=out

worker() { "$PYTHON" -m quarn.worker --path examples "$@"; }

worker pipeline raw "$OUT/raw"
# processed(data) receives raw's value, read back from raw's value.json.
worker pipeline processed "$OUT/processed" --inputs-json "{\"data\": $(cat "$OUT/raw/value.json")}"
# One partition of prices: the partition key is its keyword argument.
worker pipeline prices "$OUT/prices/ticker=AAPL" --inputs-json '{"ticker": "AAPL"}'

for dir in raw processed prices/ticker=AAPL; do
  for file in value.json result.json; do
    # The files end without a line break.
    printf '%s\n  %s\n' "$OUT/$dir/$file" "$(cat "$OUT/$dir/$file")"
  done
done
