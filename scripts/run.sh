#!/usr/bin/env bash
# Sets up, builds and runs the main job.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build"
"$root/build/tools/log_demo"
