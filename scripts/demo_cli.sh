#!/usr/bin/env bash
# Sets up, builds and runs the tunnel with the command-line client instead of lumar: for
# machines without a display server.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build"
bash "$root/scripts/demo.sh" "$root/build"
