#!/usr/bin/env bash
# Installs what is missing, builds and starts the program on the machine's port 1.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/build.sh
exec "${BUILD_DIR:-build}/tq5bus"
