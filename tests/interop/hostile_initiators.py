#!/usr/bin/env python3
"""Hostile initiators attack the vcam server; after each attack gphoto2 --summary must be served
at once (it gives up after 2.5 s of silence).   hostile_initiators.py VCAM

vcam runs with a handshake timeout of 2 s and an idle timeout of 3 s. Every scenario must end
within its bound (seconds, in the table below, loose for a slow shared machine); under the
endless ones vcam's resident memory must stay flat. Exits 77 (skipped) without gphoto2.
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

sys.dont_write_bytecode = True  # nothing written into the sources
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'support'))
from ptpip_wire import (  # noqa: E402
    CLOSE_SESSION, INIT_COMMAND_ACK, INIT_EVENT_ACK, INIT_FAIL, NO_VALID_OBJECT_INFO, OK,
    OPEN_SESSION, OPERATION_RESPONSE, PROBE_REQUEST, SEND_OBJECT, SEND_OBJECT_INFO, data,
    data_phase, init_command_request, init_event_request, object_info, packet, read_packet,
    request, start_data)

HANDSHAKE_S, IDLE_S = 2, 3
FLAT_KIB = 8 * 1024  # what an endless attack may add to the resident memory


class Failure(Exception):
    pass


def check(condition, what):
    if not condition:
        raise Failure(what)


def hello(name='hostile'):
    return init_command_request(bytes(16), name)


def connect(port):
    return socket.create_connection(('127.0.0.1', port), timeout=10)


def expect(sock, kind, what):
    """The packet's first field: a connection number, a reason or a response code."""
    reply = read_packet(sock)
    check(reply is not None and reply[0] == kind, f'{what}: got {reply}')
    return int.from_bytes(reply[1][:2 if kind == OPERATION_RESPONSE else 4], 'little')


def closed_by_server(sock, within):
    sock.settimeout(within)
    try:
        while sock.recv(65536):
            pass
        return True
    except ConnectionResetError:
        return True
    except socket.timeout:
        return False


def session(port, open_it=True):
    """A whole handshake, and OpenSession: (command, event)."""
    command = connect(port)
    command.sendall(hello())
    number = expect(command, INIT_COMMAND_ACK, 'Init Command Ack')
    event = connect(port)
    event.sendall(init_event_request(number))
    expect(event, INIT_EVENT_ACK, 'Init Event Ack')
    if open_it:
        command.sendall(request(OPEN_SESSION, 0, [1]))
        check(expect(command, OPERATION_RESPONSE, 'OpenSession') == OK, 'OpenSession failed')
    return command, event


# The attacks: each returns once it is over; `good` runs the good client meanwhile.

def silent_client(port, card, good):
    silent = connect(port)
    good()  # a connection that says nothing holds no session
    check(closed_by_server(silent, HANDSHAKE_S + 3), 'a silent connection was kept open')


def half_handshake(port, card, good):
    command = connect(port)
    command.sendall(hello())
    expect(command, INIT_COMMAND_ACK, 'Init Command Ack')
    check(closed_by_server(command, HANDSHAKE_S + 3), 'a half handshake was waited for forever')


def wrong_connection_number(port, card, good):
    command = connect(port)
    command.sendall(hello())
    number = expect(command, INIT_COMMAND_ACK, 'Init Command Ack')
    second, stranger, event = connect(port), connect(port), connect(port)
    second.sendall(hello('second'))
    check(expect(second, INIT_FAIL, 'a second initiator') == 2, 'a second initiator was not busy')
    stranger.sendall(init_event_request(number + 1))
    check(expect(stranger, INIT_FAIL, 'a wrong connection number') == 1, 'a wrong number was taken')
    event.sendall(init_event_request(number))
    expect(event, INIT_EVENT_ACK, 'the right event connection')
    command.sendall(request(OPEN_SESSION, 0, [1]) + request(CLOSE_SESSION, 1))
    check(expect(command, OPERATION_RESPONSE, 'OpenSession') == OK, 'the session did not open')


def trickled_header(port, card, good):
    command, event = session(port)
    for byte in request(CLOSE_SESSION, 1):
        command.sendall(bytes([byte]))
        time.sleep(0.05)
    check(expect(command, OPERATION_RESPONSE, 'a trickled request') == OK,
          'a trickled request failed')


def split_header(port, card, good):
    command, event = session(port)
    data = request(CLOSE_SESSION, 1)
    command.sendall(data[:5])
    time.sleep(0.5)
    command.sendall(data[5:])
    check(expect(command, OPERATION_RESPONSE, 'a split request') == OK, 'a split request failed')


def endless_data_out(port, card, good):
    command, event = session(port)
    command.sendall(request(SEND_OBJECT, 1, data_out=True) + start_data(1, 2**64 - 1))
    command.settimeout(0.01)
    chunk = data(1, bytes(65536))
    end = time.monotonic() + 3
    try:
        while time.monotonic() < end:
            command.sendall(chunk)
    except (BrokenPipeError, ConnectionResetError, socket.timeout):
        pass
    command.settimeout(5)
    check(expect(command, OPERATION_RESPONSE, 'an endless phase') == NO_VALID_OBJECT_INFO,
          'wrong answer')
    check(closed_by_server(command, 5), 'an endless data phase was drained')


def garbage(port, card, good):
    noise = random.Random(15740)
    for size in (3, 8, 100, 70000):
        junk = connect(port)
        junk.sendall(bytes(noise.getrandbits(8) for _ in range(size)))
        check(closed_by_server(junk, HANDSHAKE_S + 3), f'{size} garbage bytes kept a connection')
    command, event = session(port)
    command.sendall(bytes(noise.getrandbits(8) for _ in range(5000)))
    check(closed_by_server(command, 15), 'garbage inside a session was not refused')


def probe_flood(port, card, good):
    command, event = session(port)
    event.settimeout(0.01)
    probes = packet(PROBE_REQUEST) * 512
    end, ended = time.monotonic() + IDLE_S + 5, False
    while time.monotonic() < end and not ended:  # the answers are never read
        try:
            event.sendall(probes)
            command.sendall(probes)
        except socket.timeout:
            pass
        except (BrokenPipeError, ConnectionResetError):
            ended = True
    check(ended, 'probes alone kept a session alive')
    for _ in range(100):  # and where a handshake belongs
        probe = connect(port)
        probe.sendall(packet(PROBE_REQUEST))
        check(closed_by_server(probe, 5), 'a probe was let in')


def vanish_mid_send_object(port, card, good):
    command, event = session(port)
    info = object_info(0, 0x3000, 1 << 20, 'fw.bin')
    command.sendall(request(SEND_OBJECT_INFO, 1, [0x00010001, 0xFFFFFFFF], True) +
                    data_phase(1, info))
    check(expect(command, OPERATION_RESPONSE, 'SendObjectInfo') == OK, 'SendObjectInfo was refused')
    command.sendall(request(SEND_OBJECT, 2, data_out=True) + start_data(2, 1 << 20) +
                    data(2, bytes(300000)))
    for sock in (command, event):  # gone without a word: a reset, not a close
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))
        sock.close()
    good()
    check(os.listdir(card) == ['readme.txt'], f'the card holds {os.listdir(card)}')


def idle_session(port, card, good):
    command, event = session(port)
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


def rss_kib(pid):
    with open(f'/proc/{pid}/status') as status:
        return next(int(line.split()[1]) for line in status if line.startswith('VmRSS:'))


def main():
    if not shutil.which('gphoto2'):
        print('gphoto2 is not installed: skipped')
        return 77
    work = tempfile.mkdtemp(prefix='vcam-hostile.')
    card, home, log_path = (os.path.join(work, name) for name in ('card', 'home', 'vcam.log'))
    os.makedirs(card)
    os.makedirs(home)
    with open(os.path.join(card, 'readme.txt'), 'w') as readme:
        readme.write('camera card\n')
    log = open(log_path, 'w+')
    vcam = subprocess.Popen([sys.argv[1], '--card', card, '--port', '0', '--handshake-timeout',
                             str(HANDSHAKE_S), '--idle-timeout', str(IDLE_S)], stdout=log,
                            stderr=subprocess.STDOUT)
    failures = 0
    try:
        port = None
        for _ in range(100):
            with open(log_path) as lines:
                port = next((int(l.rsplit(':', 1)[1]) for l in lines if 'listening' in l), None)
            if port:
                break
            time.sleep(0.1)
        check(port, 'vcam did not start')

        def good():
            result = subprocess.run(['gphoto2', '--port', f'ptpip:127.0.0.1:{port}:{port}',
                                     '--summary'], capture_output=True, text=True, timeout=60,
                                    env=dict(os.environ, HOME=home))
            check(result.returncode == 0 and 'Model: Tarvo Camera X1' in result.stdout,
                  f'the good client was not served: {result.stdout}{result.stderr}')

        good()
        for name, attack, bound, endless in SCENARIOS:
            before, start = rss_kib(vcam.pid), time.monotonic()
            try:
                attack(port, card, good)
                took, grown = time.monotonic() - start, rss_kib(vcam.pid) - before
                check(took < bound, f'took {took:.1f} s, more than {bound} s')
                check(not endless or grown < FLAT_KIB, f'resident memory grew by {grown} KiB')
                good()
                print(f'ok   {name} ({took:.1f} s, memory {grown:+d} KiB)')
            except (Failure, OSError, subprocess.TimeoutExpired) as error:
                failures += 1
                print(f'FAIL {name}: {error}')
    except Failure as error:
        failures += 1
        print(f'FAIL: {error}')
    finally:
        vcam.terminate()
        vcam.wait(10)
        if failures:
            log.seek(0)
            print('--- vcam log (last lines)\n' + ''.join(log.readlines()[-40:]))
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
