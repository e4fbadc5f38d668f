#!/bin/bash
# Builds the Windows tree and measures the services against the bare system
# calls under Wine, in a scratch directory. Usage: bench/platform/run.sh [rounds]
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
. scripts/setup.sh
engine_install_packages
engine_build windows >/dev/null
build=$root/out/windows
env_file=$build/bench-env.sh
tests/wine/setup.sh "$env_file" "$build/wineprefix" >/dev/null
scratch=$(mktemp -d "$build/bench-platform-XXXX")
trap 'rm -rf "$scratch"; tests/wine/cleanup.sh "$env_file"' EXIT
. "$env_file"
(cd "$scratch" && wine "$build/bench/platform/services_bench.exe" "${1:-21}")
