#!/usr/bin/env python3
"""Hostile PTP/IP cameras against the real KXPTPCLS.DLL under Wine.

Each scenario starts a camera on a free loopback port that behaves well except in one place,
runs kx_probe.exe (the wizard's calls through the library's interface) with KXPTPCLS.ini
pointing at that camera, and checks what the probe printed: the call where the camera turns
hostile ends within the scenario's bound with a failure, nothing hangs, and under the endless
streams the probe's peak memory stays flat.

    hostile_camera.py --wine-run BUILD/wine-run --probe kx_probe.exe --dll KXPTPCLS.DLL
                      [--only NAME] [--jobs N]

Standard library only. Exit 77 (skipped) when Wine or the programs are missing.
"""
import argparse
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # nothing written into the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from ptpip_wire import (  # noqa: E402
    DATA, DEVICE_PROP_NOT_SUPPORTED, END_DATA, INIT_COMMAND_REQUEST, INIT_EVENT_REQUEST,
    INVALID_OBJECT_HANDLE, OK, OPERATION_NOT_SUPPORTED, OPERATION_REQUEST, PROBE_REQUEST,
    PROBE_RESPONSE, START_DATA, STR, UINT32, UINT8, array32, data, device_info,
    end_data, event, init_command_ack, init_event_ack, init_fail, object_info, packet, prop_desc,
    read_packet, response, start_data, storage_info)

# Driver deadlines written to KXPTPCLS.ini for every scenario (the close scenario waits longer:
# only the close may end its call).
SETTINGS = {"timeout_ms": 2000, "floor_kb_per_second": 64, "handshake_timeout_ms": 2000,
            "connect_timeout_ms": 1000}
# A bound is checked loosely: the call may take SLACK times its bound plus a fixed allowance.
SLACK, ALLOWANCE_S = 2.0, 3.0
# Peak memory may grow this much under an endless stream, from its value after OpenDevice.
FLAT_KB = 32 * 1024

STORAGE = 0x00010001
POWER_DOWN_EVENT = 0xC001
CARD_INFO = storage_info(1 << 30, 1 << 29, "SD", "TARVO")


class Closed(Exception):
    pass


def hang_up(sock):
    try:
        sock.shutdown(socket.SHUT_RDWR)
    except OSError:
        pass
    sock.close()


class Camera:
    """A PTP/IP camera on 127.0.0.1 with one card photo; `hostile` replaces one behaviour.

    hostile: {"handshake": fn(camera, sock)} or {op_code: fn(camera, session, tid)}; a
    function that returns ends the session (both connections are closed).
    """

    def __init__(self, hostile=None):
        self.hostile = hostile or {}
        self.descs = {
            0xD003: prop_desc(0xD003, UINT32, 1),
            0xD031: prop_desc(0xD031, UINT32, 0x01000102),
            0xD032: prop_desc(0xD032, STR, "Tarvo Camera X1"),
            0x5001: prop_desc(0x5001, UINT8, 80, value_range=(0, 100, 1)),
        }
        self.objects = {1: ("IMG_0001.JPG", 0x3801, b"\xff\xd8" + bytes(998))}
        self.stopped = threading.Event()
        self.sockets = []
        self.pending = {}  # connection number -> [its event socket, once it came]
        self.listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(8)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def stop(self):
        self.stopped.set()
        for s in [self.listener] + self.sockets:
            hang_up(s)

    # Bytes on the wire.
    def read_packet(self, sock):
        try:
            got = read_packet(sock)
        except OSError:
            got = None
        if got is None:
            raise Closed()
        return got

    def send(self, sock, data):
        try:
            sock.sendall(data)
        except OSError:
            raise Closed()

    def sleep(self, seconds):
        if self.stopped.wait(seconds):
            raise Closed()

    def respond(self, session, code, tid, params=()):
        self.send(session["cmd"], response(tid, code, params))

    def send_data(self, session, tid, payload):
        sock = session["cmd"]
        self.send(sock, start_data(tid, len(payload)))
        self.send(sock, end_data(tid, payload))

    def read_data(self, session):
        kind, body = self.read_packet(session["cmd"])
        if kind != START_DATA:
            raise Closed()
        total = struct.unpack("<Q", body[4:12])[0]
        got = b""
        while len(got) < total:
            kind, body = self.read_packet(session["cmd"])
            if kind not in (DATA, END_DATA):
                raise Closed()
            got += body[4:]
        return got

    def send_event(self, session, code, params, split=None):
        """An event packet, its bytes sent in the pieces `split` names with pauses between."""
        rest = event(code, 0, params)
        sock = session["evt"]
        for cut in split or []:
            self.send(sock, rest[:cut])
            rest = rest[cut:]
            self.sleep(0.4)
        self.send(sock, rest)

    # Connections.
    def accept_loop(self):
        number = 1
        while not self.stopped.is_set():
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.sockets.append(sock)
            threading.Thread(target=self.serve, args=(sock, number), daemon=True).start()
            number += 1

    def serve(self, sock, number):
        try:
            kind, body = self.read_packet(sock)
            if kind == INIT_EVENT_REQUEST:
                wanted = struct.unpack("<I", body[:4])[0]
                if wanted not in self.pending:
                    self.send(sock, init_fail(1))
                    return
                self.send(sock, init_event_ack())
                self.pending[wanted].append(sock)
                self.answer_probes(sock)
                return
            if kind != INIT_COMMAND_REQUEST:
                return
            if "handshake" in self.hostile:
                self.hostile["handshake"](self, sock)
                return
            self.pending[number] = []
            self.send(sock, self.ack(number))
            for _ in range(500):
                if self.pending[number]:
                    break
                self.sleep(0.01)
            else:
                return
            session = {"cmd": sock, "evt": self.pending[number][0]}
            try:
                self.commands(session)
            finally:
                hang_up(session["evt"])
        except Closed:
            pass
        finally:
            hang_up(sock)

    def ack(self, number):
        return init_command_ack(number, bytes(range(16)), "Hostile camera")

    def answer_probes(self, sock):
        while True:
            kind, _ = self.read_packet(sock)
            if kind == PROBE_REQUEST:
                self.send(sock, packet(PROBE_RESPONSE))

    def commands(self, session):
        while True:
            kind, body = self.read_packet(session["cmd"])
            if kind != OPERATION_REQUEST:
                continue
            code, tid = struct.unpack("<HI", body[4:10])
            count = (len(body) - 10) // 4
            params = struct.unpack("<%dI" % count, body[10:10 + 4 * count])
            if code in self.hostile:
                self.hostile[code](self, session, tid)
                return
            self.operation(session, code, tid, params)

    def operation(self, session, code, tid, params):
        first = params[0] if params else 0
        if code == 0x1001:
            info = device_info([0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007, 0x1008,
                                0x1009, 0x100B, 0x100C, 0x100D, 0x1014, 0x1015],
                               [0x4002, 0x4005, POWER_DOWN_EVENT], list(self.descs), [0x3801],
                               "Tarvo", "Tarvo Camera X1", "1.0.1.2", "HC-1",
                               extensions="tarvo.com: 1.0")
            self.send_data(session, tid, info)
        elif code in (0x1002, 0x1003, 0x100B):
            if code == 0x100B:
                self.objects.pop(first, None)
        elif code == 0x1004:
            self.send_data(session, tid, array32([STORAGE]))
        elif code == 0x1005:
            self.send_data(session, tid, CARD_INFO)
        elif code == 0x1006:
            return self.respond(session, OK, tid, [len(self.objects)])
        elif code == 0x1007:
            handles = sorted(self.objects)
            self.send_data(session, tid, array32(handles))
        elif code in (0x1008, 0x1009):
            if first not in self.objects:
                return self.respond(session, INVALID_OBJECT_HANDLE, tid)
            name, fmt, content = self.objects[first]
            if code == 0x1009:
                self.send_data(session, tid, content)
            else:
                self.send_data(session, tid, object_info(STORAGE, fmt, len(content), name))
        elif code == 0x100C:
            info = self.read_data(session)
            count = info[52] if len(info) > 52 else 0
            name = info[53:53 + 2 * max(count - 1, 0)].decode("utf-16-le", "replace")
            session["announced"] = (name, struct.unpack("<H", info[4:6])[0])
            handle = max(self.objects) + 1
            session["handle"] = handle
            return self.respond(session, OK, tid, [STORAGE, 0, handle])
        elif code == 0x100D:
            content = self.read_data(session)
            name, fmt = session.get("announced", ("?", 0))
            self.objects[session.get("handle", 99)] = (name, fmt, content)
        elif code == 0x1014:
            if first not in self.descs:
                return self.respond(session, DEVICE_PROP_NOT_SUPPORTED, tid)
            self.send_data(session, tid, self.descs[first])
        elif code == 0x1015:
            if first not in self.descs:
                return self.respond(session, DEVICE_PROP_NOT_SUPPORTED, tid)
            desc = self.descs[first]
            data_type = struct.unpack("<H", desc[2:4])[0]
            size = {UINT8: 1, UINT32: 4}.get(data_type, desc[5] * 2 + 1)
            self.send_data(session, tid, desc[5:5 + size])
        else:
            return self.respond(session, OPERATION_NOT_SUPPORTED, tid)
        self.respond(session, OK, tid)


# Hostile behaviours.
def trickle_handshake(camera, sock):
    for byte in camera.ack(1):
        camera.send(sock, bytes([byte]))
        camera.sleep(1.0)


def trickle_data(camera, session, tid):
    camera.send(session["cmd"], start_data(tid, len(CARD_INFO)))
    for byte in end_data(tid, CARD_INFO):
        camera.send(session["cmd"], bytes([byte]))
        camera.sleep(1.0)


def endless_data(camera, session, tid):
    camera.send(session["cmd"], start_data(tid, 2 ** 64 - 1))
    chunk = data(tid, bytes(65536))
    while True:
        camera.send(session["cmd"], chunk)


def flood(kind, link):
    def behave(camera, session, tid):
        packets = (end_data(tid) if kind == END_DATA else packet(kind)) * 64
        while True:
            camera.send(session[link], packets)
    return behave


def silence(camera, session, tid):
    camera.sleep(3600)


def split_power_down(camera, session, tid):
    camera.send_event(session, POWER_DOWN_EVENT, [1, 0], split=[1, 3, 4, 3])
    camera.sleep(0.5)  # then the camera is gone, as a camera that powered down


def refuse_busy(camera, sock):
    camera.send(sock, init_fail(2))  # busy


class Scenario:
    def __init__(self, name, bound_s, expect, camera, settings=None, probe_args=(), flat=False):
        self.name, self.bound_s, self.expect = name, bound_s, expect
        self.camera, self.settings, self.probe_args, self.flat = (
            camera, settings or {}, list(probe_args), flat)


# One scenario a line: what the camera does, the bound (seconds) within which the call it
# attacks must end, and what the probe must report. "fails at X": X is the first call with a
# non-zero result (every call before it succeeded). The bounds follow from SETTINGS: a call
# ends by its start + timeout_ms (2 s) + its bytes at the floor throughput, a handshake within
# its own bound; a refused data phase is drained up to a small size, then cancelled.
SCENARIOS = [
    Scenario("well-behaved camera", 2, ("completes",), lambda: Camera()),
    # Trickles: the whole handshake, or the whole call, has a deadline (2 s).
    Scenario("Init Command Ack trickled at 1 byte/s", 2, ("no camera",),
             lambda: Camera({"handshake": trickle_handshake})),
    Scenario("StorageInfo data trickled at 1 byte/s", 2, ("fails at", "GetStorageInfo"),
             lambda: Camera({0x1005: trickle_data})),
    # Endless data phases: longer than the call may take in, refused and cancelled (2 s).
    Scenario("StorageIDs: Start Data 2^64-1, then Data forever", 2,
             ("fails at", "GetStorageIDs"), lambda: Camera({0x1004: endless_data}), flat=True),
    Scenario("ObjectHandles: Start Data 2^64-1, then Data forever", 2,
             ("fails at", "GetObjectHandles"), lambda: Camera({0x1007: endless_data}),
             flat=True),
    Scenario("read-back GetObject: Start Data 2^64-1, then Data forever", 2,
             ("fails at", "SendObject"), lambda: Camera({0x1009: endless_data}), flat=True),
    # Floods instead of a response: packets are no answer, the call's deadline holds (2 s).
    Scenario("End Data flood instead of StorageInfo's response", 2,
             ("fails at", "GetStorageInfo"), lambda: Camera({0x1005: flood(END_DATA, "cmd")}),
             flat=True),
    Scenario("Probe flood on the command link instead of a response", 2,
             ("fails at", "GetStorageInfo"), lambda: Camera({0x1005: flood(PROBE_REQUEST, "cmd")}),
             flat=True),
    Scenario("Probe flood on the event link, no response", 2, ("fails at", "GetStorageInfo"),
             lambda: Camera({0x1005: flood(PROBE_REQUEST, "evt")}), flat=True),
    # The event's pieces come 0.4 s apart, then the camera is gone (2.1 s in all).
    Scenario("power-down event with its header split, then gone", 3,
             ("event", 0x40001, "GetStorageInfo"), lambda: Camera({0x1005: split_power_down})),
    # Refused at once.
    Scenario("Init Fail (busy) to the handshake", 1, ("busy",),
             lambda: Camera({"handshake": refuse_busy})),
    # Only the close can end this call (60 s of silence allowed): at once, 1.5 s in.
    Scenario("silence; CloseDevice from another thread after 1.5 s", 2,
             ("closed", "GetStorageIDs"), lambda: Camera({0x1004: silence}),
             settings={"timeout_ms": 60000}, probe_args=["--close-after", "1500"]),
]

LINE = re.compile(r"^CALL (\S+) result=(-?\d+) ms=(\d+) peak_kb=(\d+)(.*)$")


def parse(output):
    calls, events, peaks, end = [], [], [], None
    for line in output.splitlines():
        m = LINE.match(line.strip())
        if m:
            extras = dict(kv.split("=", 1) for kv in m.group(5).split() if "=" in kv)
            calls.append({"name": m.group(1), "result": int(m.group(2)), "ms": int(m.group(3)),
                          "peak_kb": int(m.group(4)), **extras})
        elif line.startswith("MEMORY "):
            peaks.append(int(line.split("peak_kb=")[1]))
        elif line.startswith("EVENT "):
            events.append(int(line.split()[1].split("=")[1], 16))
        elif line.startswith("END "):
            end = line
    return calls, events, peaks, end


def check(scenario, calls, events, peaks, end):
    """The reasons the scenario failed; empty when it passed."""
    problems = []
    if end is None:
        problems.append("the probe did not finish")
    limit_ms = (scenario.bound_s * SLACK + ALLOWANCE_S) * 1000
    by_name = {c["name"]: c for c in calls}
    failed = [c for c in calls if c["result"] != 0 and c["name"] != "Free"]
    first_failure = failed[0] if failed else None
    kind = scenario.expect[0]

    def ended_in_time(call):
        if call["ms"] > limit_ms:
            problems.append("%s took %d ms (bound %d s)" % (call["name"], call["ms"],
                                                           scenario.bound_s))

    if kind == "completes":
        if failed or not end or "completed=1" not in end:
            problems.append("a well-behaved camera must pass every call")
    elif kind == "no camera":
        enum = by_name.get("EnumerateDevices")
        if not enum or (enum["result"] == 0 and enum.get("count") != "0"):
            problems.append("the camera must not be counted")
        elif enum:
            ended_in_time(enum)
    elif kind == "busy":
        busy = [c for c in calls if c["name"] in ("EnumerateDevices", "OpenDevice")
                and c["result"] == 192]
        if not busy:
            problems.append("Init Fail must give 192 (port busy) from EnumerateDevices or "
                            "OpenDevice")
        else:
            ended_in_time(busy[0])
    else:  # fails at / event / closed: one call, and nothing after it
        target = scenario.expect[-1]
        if not first_failure or first_failure["name"] != target:
            problems.append("first failing call: %s, expected %s" % (
                first_failure["name"] if first_failure else "none", target))
        else:
            ended_in_time(first_failure)
        if kind == "event" and scenario.expect[1] not in events:
            problems.append("event 0x%x was not delivered (got %s)" % (
                scenario.expect[1], [hex(e) for e in events]))
        if kind == "closed" and not any(c["name"] == "CloseDevice(other-thread)" for c in calls):
            problems.append("the other thread's CloseDevice never returned")
    if scenario.flat and "OpenDevice" in by_name:
        grown = max([c["peak_kb"] for c in calls] + peaks) - by_name["OpenDevice"]["peak_kb"]
        if grown > FLAT_KB:
            problems.append("peak memory grew by %d KB after OpenDevice" % grown)
    return problems


def run(scenario, args):
    camera = scenario.camera()
    folder = tempfile.mkdtemp(prefix="hostile-")
    try:
        shutil.copy(args.dll, os.path.join(folder, "KXPTPCLS.DLL"))
        settings = dict(SETTINGS, **scenario.settings)
        with open(os.path.join(folder, "KXPTPCLS.ini"), "w") as ini:
            ini.write("transport = ptpip\nhosts = 127.0.0.1:%d\n" % camera.port)
            ini.writelines("%s = %s\n" % kv for kv in settings.items())
        windows_folder = "Z:" + folder.replace("/", "\\")
        # A hang is cut off well past the loose bound, and reported as such.
        cutoff = 2 * (scenario.bound_s * SLACK + ALLOWANCE_S) + 10
        began = time.monotonic()
        try:
            done = subprocess.run([args.wine_run, args.probe, windows_folder] +
                                  scenario.probe_args, stdout=subprocess.PIPE,
                                  stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL,
                                  timeout=cutoff, text=True, errors="replace")
            output = done.stdout
        except subprocess.TimeoutExpired as e:
            output = (e.stdout or b"").decode("utf-8", "replace") if isinstance(
                e.stdout, bytes) else (e.stdout or "")
            output += "\n(hung: cut off after %d s)" % cutoff
        elapsed = time.monotonic() - began
    finally:
        camera.stop()
        shutil.rmtree(folder, ignore_errors=True)
    calls, events, peaks, end = parse(output)
    return scenario, check(scenario, calls, events, peaks, end), output, elapsed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--wine-run", required=True)
    parser.add_argument("--probe", required=True)
    parser.add_argument("--dll", required=True)
    parser.add_argument("--only")
    parser.add_argument("--jobs", type=int, default=3)
    parser.add_argument("--verbose", action="store_true", help="print every probe's output")
    args = parser.parse_args()
    for path in (args.wine_run, args.probe, args.dll):
        if not os.path.exists(path):
            print("skipped: %s is missing" % path)
            return 77
    if shutil.which("wine64") is None and not os.path.exists("/usr/lib/wine/wine64"):
        print("skipped: wine64 is missing")
        return 77
    chosen = [s for s in SCENARIOS if not args.only or args.only in s.name]
    failures = 0
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for scenario, problems, output, elapsed in pool.map(lambda s: run(s, args), chosen):
            status = "FAIL" if problems else "ok"
            print("%-4s %-58s %5.1f s" % (status, scenario.name, elapsed))
            failures += 1 if problems else 0
            for p in problems:
                print("     - " + p)
            if problems or args.verbose:
                for line in output.strip().splitlines():
                    if not line.startswith("MEMORY "):
                        print("     | " + line)
    print("%d of %d scenarios failed" % (failures, len(chosen)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
