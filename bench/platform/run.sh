#!/bin/bash
# Builds the Windows tree and measures the services against the bare system
# calls under Wine, in a scratch directory. Usage: bench/platform/run.sh [rounds]
set -euo pipefail
cd "$(dirname "$0")/../.."
. scripts/setup.sh
engine_wine_session
build=$ENGINE_BUILD
scratch=$(mktemp -d "$build/bench-platform-XXXX")
(cd "$scratch" && wine "$build/bench/platform/services_bench.exe" "${1:-21}")
rm -rf "$scratch"
