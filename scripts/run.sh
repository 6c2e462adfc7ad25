#!/usr/bin/env bash
# Builds Kelva (release) and runs it in the foreground until Ctrl+C.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)"
echo "kelva: built; the service programs arrive with their own changes" >&2
