#!/usr/bin/env bash
# The README's main job: installs what is missing and builds (scripts/setup.sh), then prints
# the sample label on the virtual printer with `quill demo`. Extra arguments go to quill demo.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/setup.sh
BUILD_DIR=${BUILD_DIR:-build}
echo "== quill demo"
exec "$BUILD_DIR/cli/quill" demo --png "$BUILD_DIR/quill-demo.png" "$@"
