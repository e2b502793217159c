#!/usr/bin/env bash
# The main job, end to end (grows with the project).
set -euo pipefail
cd "$(dirname "$0")/.."
echo "demo: nothing to run yet"
