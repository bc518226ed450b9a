#!/usr/bin/env python3
"""Hostile initiators against the vcam server: each scenario attacks it over PTP/IP, then a
good client (gphoto2 --summary) must be served at once.

    hostile_initiators.py VCAM

The server runs with a handshake timeout of 2 s and an idle timeout of 3 s. Every scenario
must end within its bound (seconds, in the table at the end, loose for a slow shared
machine); under the endless ones the server's resident memory must stay flat. Exits 77
(skipped) when gphoto2 is missing.
"""
import os
import random
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

HANDSHAKE_S = 2
IDLE_S = 3
FLAT_KIB = 8 * 1024  # how much resident memory an endless attack may add

PT_INIT_COMMAND_REQUEST, PT_INIT_COMMAND_ACK, PT_INIT_EVENT_REQUEST = 1, 2, 3
PT_INIT_EVENT_ACK, PT_INIT_FAIL, PT_OPERATION_REQUEST, PT_OPERATION_RESPONSE = 4, 5, 6, 7
PT_START_DATA, PT_DATA, PT_END_DATA, PT_PROBE_REQUEST = 9, 10, 12, 13
OC_OPEN_SESSION, OC_CLOSE_SESSION, OC_SEND_OBJECT_INFO, OC_SEND_OBJECT = 0x1002, 0x1003, 0x100C, 0x100D
RC_OK, RC_NO_VALID_OBJECT_INFO = 0x2001, 0x2015
IFR_REJECTED, IFR_BUSY = 1, 2


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def packet(kind, body=b''):
    return struct.pack('<II', 8 + len(body), kind) + body


def init_command_request(name='hostile'):
    return packet(PT_INIT_COMMAND_REQUEST,
                  bytes(range(16)) + name.encode('utf-16-le') + b'\0\0' + struct.pack('<I', 0x10000))


def init_event_request(number):
    return packet(PT_INIT_EVENT_REQUEST, struct.pack('<I', number))


def request(code, tid, params=(), data_out=False):
    body = struct.pack('<IHI', 2 if data_out else 1, code, tid)
    return packet(PT_OPERATION_REQUEST, body + b''.join(struct.pack('<I', p) for p in params))


def start_data(tid, total):
    return packet(PT_START_DATA, struct.pack('<IQ', tid, total))


def connect(port):
    return socket.create_connection(('127.0.0.1', port), timeout=10)


def read_exactly(sock, size):
    data = b''
    while len(data) < size:
        piece = sock.recv(size - len(data))
        if not piece:
            return None
        data += piece
    return data


def read_packet(sock):
    """(type, body), or None when the server closed the connection."""
    try:
        header = read_exactly(sock, 8)
        if header is None:
            return None
        length, kind = struct.unpack('<II', header)
        body = read_exactly(sock, length - 8)
        return None if body is None else (kind, body)
    except ConnectionResetError:
        return None


def response_code(sock):
    reply = read_packet(sock)
    check(reply is not None and reply[0] == PT_OPERATION_RESPONSE, f'no response: {reply}')
    return struct.unpack('<H', reply[1][:2])[0]


def init_fail_reason(sock):
    reply = read_packet(sock)
    check(reply is not None and reply[0] == PT_INIT_FAIL, f'expected Init Fail, got {reply}')
    return struct.unpack('<I', reply[1][:4])[0]


def closed_by_server(sock, within):
    """True when the server closes `sock` within `within` seconds (what it sends is skipped)."""
    sock.settimeout(within)
    try:
        while True:
            if not sock.recv(65536):
                return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def command_connection(port):
    command = connect(port)
    command.sendall(init_command_request())
    reply = read_packet(command)
    check(reply is not None and reply[0] == PT_INIT_COMMAND_ACK, f'no Init Command Ack: {reply}')
    return command, struct.unpack('<I', reply[1][:4])[0]


def session(port):
    """A whole handshake and an open session: (command, event)."""
    command, number = command_connection(port)
    event = connect(port)
    event.sendall(init_event_request(number))
    reply = read_packet(event)
    check(reply is not None and reply[0] == PT_INIT_EVENT_ACK, f'no Init Event Ack: {reply}')
    command.sendall(request(OC_OPEN_SESSION, 0, [1]))
    check(response_code(command) == RC_OK, 'OpenSession failed')
    return command, event


class Vcam:
    def __init__(self, program, work):
        self.card = os.path.join(work, 'card')
        os.makedirs(self.card)
        with open(os.path.join(self.card, 'readme.txt'), 'w') as f:
            f.write('camera card\n')
        self.log = open(os.path.join(work, 'vcam.log'), 'w+')
        self.process = subprocess.Popen(
            [program, '--card', self.card, '--port', '0', '--handshake-timeout', str(HANDSHAKE_S),
             '--idle-timeout', str(IDLE_S)], stdout=self.log, stderr=subprocess.STDOUT)
        self.port = None
        for _ in range(100):
            self.log.seek(0)
            for line in self.log:
                if line.startswith('vcam listening on 127.0.0.1:'):
                    self.port = int(line.rsplit(':', 1)[1])
            if self.port:
                break
            time.sleep(0.1)
        check(self.port, 'vcam did not start')

    def rss_kib(self):
        with open(f'/proc/{self.process.pid}/status') as status:
            for line in status:
                if line.startswith('VmRSS:'):
                    return int(line.split()[1])
        raise Failure('vcam is gone')

    def stop(self):
        self.process.terminate()
        self.process.wait(10)

    def tail(self):
        self.log.seek(0)
        return ''.join(self.log.readlines()[-40:])


def good_client(vcam, home):
    """gphoto2 --summary, which must be served (it gives up after 2.5 s of silence)."""
    result = subprocess.run(['gphoto2', '--port', f'ptpip:127.0.0.1:{vcam.port}:{vcam.port}',
                             '--summary'], capture_output=True, text=True, timeout=60,
                            env=dict(os.environ, HOME=home))
    check(result.returncode == 0 and 'Model: Tarvo Camera X1' in result.stdout,
          f'the good client was not served: {result.stdout}{result.stderr}')


# Scenarios: each gets the server and the good client; the attack is over when it returns.

def silent_client(vcam, good):
    silent = connect(vcam.port)
    good()  # a connection that says nothing holds no session
    check(closed_by_server(silent, HANDSHAKE_S + 3), 'a silent connection was kept open')


def half_handshake(vcam, good):
    command, _ = command_connection(vcam.port)
    check(closed_by_server(command, HANDSHAKE_S + 3), 'a half handshake was waited for forever')


def wrong_connection_number(vcam, good):
    command, number = command_connection(vcam.port)
    second = connect(vcam.port)
    second.sendall(init_command_request('second'))
    check(init_fail_reason(second) == IFR_BUSY, 'a second command connection was not busy')
    stranger = connect(vcam.port)
    stranger.sendall(init_event_request(number + 1))
    check(init_fail_reason(stranger) == IFR_REJECTED, 'a wrong connection number was taken')
    event = connect(vcam.port)
    event.sendall(init_event_request(number))
    reply = read_packet(event)
    check(reply is not None and reply[0] == PT_INIT_EVENT_ACK, 'the right event connection failed')
    command.sendall(request(OC_OPEN_SESSION, 0, [1]))
    check(response_code(command) == RC_OK, 'the session did not open')
    command.sendall(request(OC_CLOSE_SESSION, 1))
    check(response_code(command) == RC_OK, 'the session did not close')
    command.close()
    event.close()


def trickled_header(vcam, good):
    command, event = session(vcam.port)
    for byte in request(OC_CLOSE_SESSION, 1):
        command.sendall(bytes([byte]))
        time.sleep(0.05)
    check(response_code(command) == RC_OK, 'a trickled request was not served')


def split_header(vcam, good):
    command, event = session(vcam.port)
    data = request(OC_CLOSE_SESSION, 1)
    command.sendall(data[:5])
    time.sleep(0.5)
    command.sendall(data[5:])
    check(response_code(command) == RC_OK, 'a request split over 500 ms was not served')


def endless_data_out(vcam, good):
    command, event = session(vcam.port)
    command.sendall(request(OC_SEND_OBJECT, 1, data_out=True) + start_data(1, 2**64 - 1))
    chunk = packet(PT_DATA, struct.pack('<I', 1) + bytes(65536))
    command.settimeout(0.01)
    end = time.monotonic() + 3
    answered = None
    while time.monotonic() < end:
        try:
            command.sendall(chunk)
        except (BrokenPipeError, ConnectionResetError, socket.timeout):
            break
    command.settimeout(5)
    answered = read_packet(command)
    check(answered is not None and answered[0] == PT_OPERATION_RESPONSE and
          struct.unpack('<H', answered[1][:2])[0] == RC_NO_VALID_OBJECT_INFO,
          f'an endless data phase was not refused: {answered}')
    check(closed_by_server(command, 5), 'an endless data phase was drained')


def garbage(vcam, good):
    noise = random.Random(15740)
    for size in (3, 8, 100, 70000):
        junk = connect(vcam.port)
        junk.sendall(bytes(noise.getrandbits(8) for _ in range(size)))
        check(closed_by_server(junk, HANDSHAKE_S + 3), f'{size} garbage bytes kept a connection')
    command, event = session(vcam.port)
    command.sendall(bytes(noise.getrandbits(8) for _ in range(5000)))
    check(closed_by_server(command, 15), 'garbage inside a session was not refused')


def probe_flood(vcam, good):
    command, event = session(vcam.port)
    event.settimeout(0.01)
    probes = packet(PT_PROBE_REQUEST) * 512
    end = time.monotonic() + IDLE_S + 5
    ended = False
    while time.monotonic() < end and not ended:  # never reading the answers
        try:
            event.sendall(probes)
            command.sendall(probes)
        except socket.timeout:
            pass
        except (BrokenPipeError, ConnectionResetError):
            ended = True
    check(ended, 'probes alone kept a session alive')
    for _ in range(100):  # probes where a handshake belongs
        probe = connect(vcam.port)
        probe.sendall(packet(PT_PROBE_REQUEST))
        check(read_packet(probe) is None or closed_by_server(probe, 5), 'a probe was let in')
        probe.close()


def vanish_mid_send_object(vcam, good):
    command, event = session(vcam.port)
    name = 'fw.bin'.encode('utf-16-le') + b'\0\0'
    info = struct.pack('<IHHIHIIIIIIIHII', 0, 0x3000, 0, 1 << 20, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0)
    info += bytes([len('fw.bin') + 1]) + name + b'\0\0\0'
    command.sendall(request(OC_SEND_OBJECT_INFO, 1, [0x00010001, 0xFFFFFFFF], True) +
                    start_data(1, len(info)) + packet(PT_END_DATA, struct.pack('<I', 1) + info))
    check(response_code(command) == RC_OK, 'SendObjectInfo was refused')
    command.sendall(request(OC_SEND_OBJECT, 2, data_out=True) + start_data(2, 1 << 20) +
                    packet(PT_DATA, struct.pack('<I', 2) + bytes(300000)))
    for sock in (command, event):  # gone without a word: a reset, not a close
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        sock.close()
    good()
    check(os.listdir(vcam.card) == ['readme.txt'], f'the card holds {os.listdir(vcam.card)}')


def idle_session(vcam, good):
    command, event = session(vcam.port)
    check(closed_by_server(command, IDLE_S + 5), 'an idle session was kept')


# name, attack, bound in seconds, endless (memory must stay flat)
SCENARIOS = [
    ('silent client', silent_client, HANDSHAKE_S + 20, False),
    ('half handshake then silence', half_handshake, HANDSHAKE_S + 10, False),
    ('second command connection, wrong connection number', wrong_connection_number, 10, False),
    ('header trickled byte by byte', trickled_header, 10, False),
    ('request header split over 500 ms', split_header, 10, False),
    ('endless data-out under Start Data 2^64-1', endless_data_out, 15, True),
    ('garbage bytes', garbage, 4 * (HANDSHAKE_S + 3) + 15, True),
    ('probe flood', probe_flood, IDLE_S + 20, True),
    ('client vanishes mid-SendObject', vanish_mid_send_object, 20, False),
    ('idle session', idle_session, IDLE_S + 10, False),
]


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    if not shutil.which('gphoto2'):
        print('gphoto2 is not installed: skipped')
        return 77
    work = tempfile.mkdtemp(prefix='vcam-hostile.')
    home = os.path.join(work, 'home')
    os.makedirs(home)
    vcam = Vcam(sys.argv[1], work)
    failures = 0
    try:
        good = lambda: good_client(vcam, home)
        good()
        for name, attack, bound, endless in SCENARIOS:
            before = vcam.rss_kib()
            start = time.monotonic()
            try:
                attack(vcam, good)
                took = time.monotonic() - start
                check(took < bound, f'took {took:.1f} s, more than {bound} s')
                grown = vcam.rss_kib() - before
                check(not endless or grown < FLAT_KIB, f'resident memory grew by {grown} KiB')
                good()
                print(f'ok   {name} ({took:.1f} s, memory {grown:+d} KiB)')
            except (Failure, OSError, subprocess.TimeoutExpired) as error:
                failures += 1
                print(f'FAIL {name}: {error}')
        check(vcam.process.poll() is None, 'vcam died')
    except Failure as error:
        failures += 1
        print(f'FAIL: {error}')
    finally:
        vcam.stop()
        if failures:
            print('--- vcam log (last lines)\n' + vcam.tail())
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
