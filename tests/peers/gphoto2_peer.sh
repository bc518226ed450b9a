#!/bin/bash
# The bridge under an initiator that is not ours: Debian's gphoto2 drives libgphoto2's virtual
# camera (vcamera-peer) over PTP/IP on a free loopback port: its summary, a property set and
# read back in one session (a data-out phase), its card listed and a file fetched byte for byte
# (a data-in phase of several transfers), and a clean stop on SIGTERM.
#   gphoto2_peer.sh VCAMERA_PEER
# Exits 77 (skipped) when gphoto2 is missing.
set -u
peer=$1
work=$(mktemp -d /tmp/peer-gphoto2.XXXXXX)
peer_pid=
cleanup() {
    [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    [ -f "$work/peer.log" ] && { echo "--- peer log"; cat "$work/peer.log"; }
    exit 1
}

command -v gphoto2 >/dev/null || { echo "gphoto2 is not installed: skipped"; exit 77; }

mkdir -p "$work/card/DCIM" "$work/home" "$work/got"
printf 'camera card\n' > "$work/card/readme.txt"
head -c 200000 /dev/urandom > "$work/card/DCIM/IMG_0001.JPG"
export HOME=$work/home # gphoto2 keeps its settings there

"$peer" --card "$work/card" --port 0 --log "$work/peer.log" > "$work/out" 2>&1 &
peer_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^libgphoto2 vcamera listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/out")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "the peer did not start: $(cat "$work/out")"
gp() { timeout 30 gphoto2 --port "ptpip:127.0.0.1:$port:$port" "$@" 2>&1; }

summary=$(gp --summary)
echo "$summary" | grep -q "Model: VC" || fail "summary lacks the model: $summary"
echo "$summary" | grep -q "Version: 2.5.11" || fail "summary lacks the version: $summary"
echo "$summary" | grep -q "store_00010001" || fail "summary lacks the card: $summary"

set=$(gp --set-config f-number=f/4 --get-config f-number)
echo "$set" | grep -q "Current: f/4" || fail "the property was not set: $set"

files=$(gp --list-files)
echo "$files" | grep -q "readme.txt" || fail "list lacks readme.txt: $files"
echo "$files" | grep -q "IMG_0001.JPG" || fail "list lacks DCIM/IMG_0001.JPG: $files"
(cd "$work/got" && gp --get-file 1 --folder /store_00010001/DCIM) > "$work/get.log"
cmp "$work/card/DCIM/IMG_0001.JPG" "$work/got/IMG_0001.JPG" ||
    fail "the file fetched differs: $(cat "$work/get.log")"

kill -TERM "$peer_pid"
for _ in $(seq 50); do kill -0 "$peer_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$peer_pid" 2>/dev/null && fail "the peer did not stop on SIGTERM"
wait "$peer_pid"
status=$?
peer_pid=
[ "$status" -eq 0 ] || fail "the peer exited with $status"
echo "gphoto2 and libgphoto2's virtual camera over the bridge: passed"
