#!/bin/sh
# VandrelCheck of the build's kit on the sample update as `make demo` lays it out: it passes
# every scenario and writes its report with the pictures; then on a broken copy (a listed file
# missing, a colliding name, an unknown section in FirmInfo.txt) it fails naming each problem.
#   check_update.sh SOURCE_FOLDER BUILD_FOLDER
set -eu
top=$1 build=$2
out=$build/tests/check/check-update
rm -rf "$out"
mkdir -p "$out"
fail() {
    echo "FAILED: $*" >&2
    exit 1
}
winpath() { printf 'Z:%s\n' "$(realpath -m "$1" | sed 's|/|\\|g')"; }
"$top/tools/sample-update" "$build" "$out/update"
export VANDREL_WINEPREFIX="$("$top/tools/prefix-copy" "$build" check)"
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null

status=0
"$build/wine-run" "$build/kit/VandrelCheck.exe" "$(winpath "$out/update")" \
    "$(winpath "$out/report")" </dev/null || status=$?
report=$out/report/report.md
[ "$status" -eq 0 ] || fail "the sample must pass, exit code $status"
grep -q '^\*\*PASSED: 0 lint error' "$report" || fail "no verdict PASSED in report.md"
passes=$(grep -c '| pass |$' "$report" || true)
[ "$passes" -eq 10 ] || fail "$passes of 10 scenarios passed"
for scenario in 'whole walk: Tarvo Camera X1 |' 'whole walk: Tarvo Camera X1 Pro |' \
    'a model not listed' 'low battery' 'no card' 'a write-protected card' 'a card too full' \
    'the update already on the card' 'a power-down mid-copy' 'the cable pulled mid-copy'; do
    grep -q "^| $scenario.*| pass |\$" "$report" || fail "scenario '$scenario' not passed"
done
# Every page, the copy, the readme and each scenario's one message box, each a PNG that both
# reports show.
pictures="01-1-introduction 01-2-preparation 01-3-confirmation 01-5-complete 01-6-readme"
for n in 03 04 05 06 07 08 09 10; do pictures="$pictures $n-box-1"; done
for picture in $pictures; do
    file=$out/report/$picture.png
    [ "$(head -c 8 "$file" 2>/dev/null | od -An -tx1 | tr -d ' \n')" = 89504e470d0a1a0a ] ||
        fail "$picture.png is no PNG"
    grep -q "($picture.png)" "$report" || fail "report.md does not show $picture.png"
    grep -q "src=\"$picture.png\"" "$out/report/report.html" || fail "report.html does not show $picture.png"
done

cp -r "$out/update" "$out/broken"
rm "$out/broken/UPDATE.FIR"
mkdir "$out/broken/FIRMWARE/SUB"
cp "$out/broken/FIRMWARE/MAIN.BIN" "$out/broken/FIRMWARE/SUB/MAIN.BIN"
sed -i 's/\[Firmware Version\]/[Firmware Notes]/' "$out/broken/FirmInfo.txt"
status=0
"$build/wine-run" "$build/kit/VandrelCheck.exe" "$(winpath "$out/broken")" \
    "$(winpath "$out/broken-report")" </dev/null || status=$?
report=$out/broken-report/report.md
[ "$status" -eq 1 ] || fail "the broken copy must fail with exit code 1, not $status"
grep -q '^| error | entry-missing | UPDATE.FIR |' "$report" || fail "the missing file is not named"
grep -q '^| error | name-collision | FIRMWARE\\.*MAIN.BIN |' "$report" ||
    fail "the colliding name is not named"
grep -q '^| error | info-syntax | FirmInfo.txt line 11 |' "$report" ||
    fail "the syntax error is not named with its line"
grep -q '^Not run: the lint found errors' "$report" || fail "a broken update is rehearsed"
echo "the sample passed $passes scenarios; the broken copy failed with each problem named"
