#!/usr/bin/env bash
# Installs what the tests need, builds, and runs every test: unit tests,
# integration tests against local HTTPS servers, and the GTK window under Xvfb.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
. "$top/scripts/deps.sh"
ensure_packages $BUILD_PACKAGES $RUN_PACKAGES python3 xvfb xauth minisign
build_setup "$top"
cd "$top/build"
ctest --output-on-failure --timeout 300
