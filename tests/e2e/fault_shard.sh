#!/bin/sh
# One shard of the fault suite in a Wine prefix of its own, a copy of the build's initialised
# prefix: the wizard runs once per prefix, so shards in separate prefixes run side by side.
#   fault_shard.sh BUILD SHARD SHARDS TEST_EXE [gtest options]
set -eu
build=$1 shard=$2 shards=$3 exe=$4
shift 4
copy=$build/wineprefix-faults-$shard
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null # the build's prefix exists
if [ ! -f "$copy/system.reg" ]; then
    # Linked, not copied: Wine does not write its installed files; the registry it rewrites
    # is copied.
    # Tests running meanwhile add and remove temporary files in the prefix: one that vanishes
    # under the copy is no loss.
    rm -rf "$copy.new"
    cp -al "$build/wineprefix" "$copy.new" 2>/dev/null || true
    [ -f "$copy.new/drive_c/windows/system32/kernel32.dll" ] || { echo "cannot copy the prefix" >&2; exit 1; }
    for reg in "$copy.new"/*.reg; do
        rm "$reg"
        cp -p "$build/wineprefix/${reg##*/}" "$reg"
    done
    mv "$copy.new" "$copy"
fi
export VANDREL_WINEPREFIX="$copy" GTEST_TOTAL_SHARDS="$shards" GTEST_SHARD_INDEX="$shard"
# Wine's services start now, detached from the output (see tools/run-tests).
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null
exec "$build/wine-run" "$exe" "$@"
