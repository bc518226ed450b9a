#!/bin/bash
# Interop: Debian's gphoto2 drives the vcam server over PTP/IP on a free loopback port.
#   gphoto2_interop.sh VCAM            --summary, --list-files and --upload-file (byte for byte)
#   gphoto2_interop.sh VCAM --capture  the same session captured with tshark on loopback; the
#                                      PTP/IP dissection must decode with no malformed packet
#   gphoto2_interop.sh PEER --peer     the bridge of peers/ under an initiator that is not ours:
#                                      libgphoto2's virtual camera, a property set and read back
#                                      (a data-out phase), a file fetched byte for byte (a data-in
#                                      phase of several transfers)
# Exits 77 (skipped) when gphoto2, or tshark and the right to capture, are missing.
set -u
vcam=$1
capture=${2:-}
work=$(mktemp -d /tmp/vcam-interop.XXXXXX)
vcam_pid=
tshark_pid=
cleanup() {
    [ -n "$tshark_pid" ] && kill "$tshark_pid" 2>/dev/null
    [ -n "$vcam_pid" ] && kill "$vcam_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*"
    [ -f "$work/vcam.log" ] && { echo "--- vcam log"; cat "$work/vcam.log"; }
    exit 1
}

command -v gphoto2 >/dev/null || { echo "gphoto2 is not installed: skipped"; exit 77; }
if [ "$capture" = --capture ]; then
    command -v tshark >/dev/null || { echo "tshark is not installed: skipped"; exit 77; }
fi

# A card with a file in the root and one in a folder.
mkdir -p "$work/card/DCIM" "$work/home"
printf 'camera card\n' > "$work/card/readme.txt"
head -c 200000 /dev/urandom > "$work/card/DCIM/IMG_0001.JPG"
export HOME=$work/home  # gphoto2 keeps its settings there

"$vcam" --card "$work/card" --port 0 > "$work/vcam.log" 2>&1 &
vcam_pid=$!
port=
for _ in $(seq 100); do
    port=$(sed -n 's/^.* listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$work/vcam.log")
    [ -n "$port" ] && break
    sleep 0.1
done
[ -n "$port" ] || fail "the camera did not start"
gp() { timeout 30 gphoto2 --port "ptpip:127.0.0.1:$port:$port" "$@" 2>&1; }

if [ "$capture" = --peer ]; then
    summary=$(gp --summary)
    echo "$summary" | grep -q "Model: VC" || fail "summary lacks the model: $summary"
    echo "$summary" | grep -q "store_00010001" || fail "summary lacks the card: $summary"
    set=$(gp --set-config f-number=f/4 --get-config f-number)
    echo "$set" | grep -q "Current: f/4" || fail "the property was not set: $set"
    mkdir -p "$work/got"
    (cd "$work/got" && gp --get-file 1 --folder /store_00010001/DCIM) > "$work/get.log"
    cmp "$work/card/DCIM/IMG_0001.JPG" "$work/got/IMG_0001.JPG" ||
        fail "the file fetched differs: $(cat "$work/get.log")"
    kill -TERM "$vcam_pid"
    wait "$vcam_pid"
    status=$?
    vcam_pid=
    [ "$status" -eq 0 ] || fail "the peer exited with $status"
    echo "gphoto2 and libgphoto2's virtual camera over the bridge: passed"
    exit 0
fi

if [ "$capture" = --capture ]; then
    tshark -i lo -f "tcp port $port" -w "$work/session.pcapng" > "$work/tshark.log" 2>&1 &
    tshark_pid=$!
    for _ in $(seq 100); do
        grep -q "Capturing on" "$work/tshark.log" && break
        kill -0 "$tshark_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! grep -q "Capturing on" "$work/tshark.log"; then
        cat "$work/tshark.log"
        echo "cannot capture on loopback: skipped"
        exit 77
    fi
fi

summary=$(gp --summary)
echo "$summary" | grep -q "Model: Tarvo Camera X1" || fail "summary lacks the model: $summary"
echo "$summary" | grep -q "Version: 1.0.1.2" || fail "summary lacks the version: $summary"
echo "$summary" | grep -q "store_00010001" || fail "summary lacks the card: $summary"

files=$(gp --list-files)
echo "$files" | grep -q "readme.txt" || fail "list lacks readme.txt: $files"
echo "$files" | grep -q "IMG_0001.JPG" || fail "list lacks DCIM/IMG_0001.JPG: $files"

# 200000 bytes travel as Data(65536) x3 + End Data; 131072 as Data + End Data of 65536.
head -c 200000 /dev/urandom > "$work/FW_1.0.2.0.BIN"
head -c 131072 /dev/urandom > "$work/exact.bin"
(cd "$work" && gp --folder /store_00010001 --upload-file FW_1.0.2.0.BIN) > "$work/up1.log"
cmp "$work/FW_1.0.2.0.BIN" "$work/card/FW_1.0.2.0.BIN" || fail "upload differs: $(cat "$work/up1.log")"
(cd "$work" && gp --folder /store_00010001/DCIM --upload-file exact.bin) > "$work/up2.log"
cmp "$work/exact.bin" "$work/card/DCIM/exact.bin" || fail "upload into DCIM differs: $(cat "$work/up2.log")"

# A second upload of the same name must leave the first one as it is.
mkdir -p "$work/other"
head -c 10 /dev/urandom > "$work/other/FW_1.0.2.0.BIN"
(cd "$work/other" && gp --folder /store_00010001 --upload-file FW_1.0.2.0.BIN) > "$work/up3.log"
cmp "$work/FW_1.0.2.0.BIN" "$work/card/FW_1.0.2.0.BIN" || fail "an existing file was overwritten"

if [ "$capture" = --capture ]; then
    sleep 0.5
    kill -INT "$tshark_pid"
    wait "$tshark_pid" 2>/dev/null
    tshark_pid=
    decode=(tshark -r "$work/session.pcapng" -d "tcp.port==$port,ptpip")
    "${decode[@]}" -V > "$work/dissection.txt" 2>&1
    packets=$(grep -c "^Picture Transfer Protocol$" "$work/dissection.txt")
    [ "$packets" -gt 50 ] || fail "only $packets PTP/IP packets were decoded"
    if grep -qi "malformed" "$work/dissection.txt"; then
        grep -i -B30 "malformed" "$work/dissection.txt" | head -80
        fail "Wireshark reports malformed packets"
    fi
    errors=$("${decode[@]}" -Y "_ws.malformed || _ws.expert.severity == error" | wc -l)
    [ "$errors" -eq 0 ] || fail "Wireshark reports $errors packets with errors"
    # Every packet vcam sent must be a responder's packet type (gphoto2's own large Data
    # packets span TCP segments, which this dissector shows as unknown types).
    ours=$("${decode[@]}" -Y "tcp.srcport == $port && ptpip" -T fields -e ptpip.pktType |
           tr ',' '\n' | sort | uniq -c)
    echo "packet types sent by vcam:"
    echo "$ours"
    echo "$ours" | awk '{print $2}' | grep -vxE '0x0000000(2|4|5|7|8|9|a|c|d|e)' &&
        fail "vcam sent a packet of an unexpected type"
    for op in 0x1001 0x100c 0x100d 0x1014; do
        grep -q "Operation Code: $op" "$work/dissection.txt" || fail "the capture lacks $op"
    done
    echo "tshark decoded $packets PTP/IP packets, none malformed"
fi

# vcam stops cleanly on SIGTERM and SIGINT alike; each mode tries one.
signal=TERM
[ "$capture" = --capture ] && signal=INT
kill -$signal "$vcam_pid"
for _ in $(seq 50); do kill -0 "$vcam_pid" 2>/dev/null || break; sleep 0.1; done
kill -0 "$vcam_pid" 2>/dev/null && fail "vcam did not stop on SIG$signal"
wait "$vcam_pid"
status=$?
vcam_pid=
[ "$status" -eq 0 ] || fail "vcam exited with $status"
grep -q "vcam stopped" "$work/vcam.log" || fail "vcam did not stop cleanly"
echo "gphoto2 interop passed"
