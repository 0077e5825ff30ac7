#!/usr/bin/env bash
# Sets up, builds and runs the main job: the tunnel at work between network namespaces.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build"
bash "$root/scripts/demo.sh" "$root/build"
