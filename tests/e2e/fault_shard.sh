#!/bin/sh
# One shard of the fault suite in a Wine prefix of its own, a copy of the build's initialised
# prefix (tools/prefix-copy): shards in separate prefixes run side by side.
#   fault_shard.sh BUILD SHARD SHARDS TEST_EXE [gtest options]
set -eu
build=$1 shard=$2 shards=$3 exe=$4
shift 4
copy=$("$(dirname "$0")/../../tools/prefix-copy" "$build" "faults-$shard")
export VANDREL_WINEPREFIX="$copy" GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$shard"
# Wine's services start now, detached from the output (see tools/run-tests).
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null
exec "$build/wine-run" "$exe" "$@"
