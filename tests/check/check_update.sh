#!/bin/bash
# VandrelCheck of the build's kit as a maker's CI meets it. The sample update passes every
# scenario with its four reports and pictures; a broken copy fails (1) naming each problem; an
# update the check once failed (an empty listed folder, a CF Capacity above 3 GiB), in a folder
# whose name holds a blank, passes through tools/check-update with a camera's own name. What
# cannot run says 2 at once: no update folder, no display, a report folder that cannot be
# written or that is the update folder (whose files stay as they were), a program that cannot
# load on Wine's desktop.
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
check() { # FOLDER REPORT [OPTION...]: sets status
    local update=$1 report=$2
    shift 2
    status=0
    "$build/wine-run" "$build/kit/VandrelCheck.exe" "$@" "$(winpath "$update")" \
        "$(winpath "$report")" </dev/null >"$out/last.log" 2>&1 || status=$?
}
fingerprint() { (cd "$1" && find . -printf '%p %s %T@\n' | sort && find . -type f -exec sha256sum {} + | sort); }
"$top/tools/sample-update" "$build" "$out/update"
prefix=$("$top/tools/prefix-copy" "$build" check)
export VANDREL_WINEPREFIX=$prefix
"$build/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null

before=$(fingerprint "$out/update")
check "$out/update" "$out/report"
report=$out/report/report.md
[ "$status" -eq 0 ] || fail "the sample must pass, exit code $status"
[ "$(fingerprint "$out/update")" = "$before" ] || fail "the check changed the sample update"
grep -q '^\*\*PASSED: 0 lint error' "$report" || fail "no verdict PASSED in report.md"
passes=$(grep -c '| pass |$' "$report" || true)
[ "$passes" -eq 11 ] || fail "$passes of 11 scenarios passed"
for scenario in 'whole walk: Tarvo Camera X1 |' 'whole walk: Tarvo Camera X1 Pro |' \
    'a model not listed' 'low battery' 'no card' 'a write-protected card' 'a card too full' \
    'a card with just the declared room' 'the update already on the card' \
    'a power-down mid-copy' 'the cable pulled mid-copy'; do
    grep -q "^| $scenario.*| pass |\$" "$report" || fail "scenario '$scenario' not passed"
done
grep -q '^| UPDATE.FIR | UPDATE.FIR | 1572864 | [0-9a-f]\{64\} |$' "$report" ||
    fail "report.md does not list UPDATE.FIR with its size and SHA-256"
python3 - "$out/report" "$(sha256sum "$out/update/UPDATE.FIR" | cut -d' ' -f1)" <<'PY' || fail "report.json or junit.xml"
import json, sys, xml.etree.ElementTree as ET
folder, sha = sys.argv[1], sys.argv[2]
report = json.load(open(f"{folder}/report.json"))
assert report["verdict"] == "PASSED" and report["exitCode"] == 0, report["verdict"]
assert {"path": "UPDATE.FIR", "cardName": "UPDATE.FIR", "size": 1572864, "sha256": sha} in report["files"]
assert [b["name"] for b in report["binaries"]] == ["Vandrel.exe", "KXPTPCLS.DLL", "VandrelCheck.exe"]
assert all(b["version"] == "2.0.0.2" and b["commit"] != "none" for b in report["binaries"])
assert 932 in report["codePages"] and report["date"].endswith("UTC")
suites = ET.parse(f"{folder}/junit.xml").getroot()
rehearsal = suites.find("testsuite[@name='rehearsal']")
assert rehearsal.get("tests") == "11" and rehearsal.get("failures") == "0"
PY
# Every page, the copy, the readme and each failing scenario's one message box, each a PNG
# that both reports show.
pictures="01-1-introduction 01-2-preparation 01-3-confirmation 01-5-complete 01-6-readme"
for n in 03 04 05 06 07 09 10 11; do pictures="$pictures $n-box-1"; done
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
check "$out/broken" "$out/broken-report"
report=$out/broken-report/report.md
[ "$status" -eq 1 ] || fail "the broken copy must fail with exit code 1, not $status"
grep -q '^| error | entry-missing | UPDATE.FIR |' "$report" || fail "the missing file is not named"
grep -q '^| error | name-collision | FIRMWARE\\.*MAIN.BIN |' "$report" ||
    fail "the colliding name is not named"
grep -q '^| error | info-syntax | FirmInfo.txt line 11 |' "$report" ||
    fail "the syntax error is not named with its line"
grep -q '^Not run: the lint found errors' "$report" || fail "a broken update is rehearsed"

# Could not run, each found before any rehearsal.
check "$out/no such folder" "$out/r1"
[ "$status" -eq 2 ] || fail "a missing update folder gave $status, not 2"
grep -q '"exitCode": 2' "$out/r1/report.json" || fail "report.json of a missing folder"
touch "$out/a-file"
check "$out/update" "$out/a-file/report"
[ "$status" -eq 2 ] || fail "an unwritable report folder gave $status, not 2"
cp "$out/update/UPDATE.FIR" "$out/update/01-photo.png"
before=$(fingerprint "$out/update")
check "$out/update" "$out/update"
[ "$status" -eq 2 ] || fail "the update folder as report folder gave $status, not 2"
[ "$(fingerprint "$out/update")" = "$before" ] || fail "the update folder changed under its own report"
rm "$out/update/01-photo.png"
status=0
env -u DISPLAY "$build/wine-run" "$build/kit/VandrelCheck.exe" "$(winpath "$out/update")" \
    "$(winpath "$out/r2")" </dev/null >"$out/last.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "no display gave $status, not 2"
status=0
"$build/wine-run" "$build/kit/KxCameraCheck.exe" --help </dev/null >"$out/last.log" 2>&1 || status=$?
[ "$status" -eq 0 ] && grep -q '^usage: KxCameraCheck' "$out/last.log" || fail "KxCameraCheck --help"
status=0
"$build/wine-run" "$build/kit/KxCameraCheck.exe" --bogus </dev/null >"$out/last.log" 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "KxCameraCheck took an unknown option ($status)"
status=0
(. "$top/tools/common.sh" && find_wine && VANDREL_START_SECONDS=5 VANDREL_WINEPREFIX=$prefix \
    run_on_wine_desktop "$build" Nothing 640x480 "$out/nothing.log" 'Z:\no\such.exe') \
    >/dev/null 2>&1 || status=$?
[ "$status" -eq 2 ] || fail "a program that cannot load gave $status, not 2"

# Good updates the check once failed, through the script `make check-update` runs.
good="$out/good update"
cp -r "$out/update" "$good"
mkdir "$good/EMPTY"
sed -i 's/^FIRMWARE$/FIRMWARE\nEMPTY/; s/^4096$/3670016/' "$good/FirmInfo.txt"
status=0
"$top/tools/check-update" "$build" "$out/good-report" "$good" \
    --camera-model "Tarvo Camera X1" >/dev/null 2>&1 || status=$?
[ "$status" -eq 0 ] || fail "the good update gave $status: $(tail -5 "$out/good-report/check.log")"
[ "$(cat "$out/good-report/exit-code")" = 0 ] || fail "no exit-code file"
grep -q '^| whole walk: Tarvo Camera X1 |.*| pass |$' "$out/good-report/report.md" ||
    fail "the camera's own name was not rehearsed"
echo "the sample passed $passes scenarios; the broken copy failed with each problem named;" \
    "what could not run said so; the good update passed"
