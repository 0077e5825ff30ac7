#!/usr/bin/env bash
# Sets up, builds and runs the main job: lumar connecting through its page, carrying traffic
# through the tunnel and disconnecting, between network namespaces (scripts/lumar_demo.sh).
# The same tunnel with the command-line client: scripts/demo_cli.sh.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
bash "$root/scripts/setup.sh" "$root/build"
bash "$root/scripts/lumar_demo.sh" "$root/build"
