#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/fuzz/corpus/<target>/) from known-good bytes."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def u8(v): return struct.pack('<B', v)
def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)
def u64(v): return struct.pack('<Q', v)


def ptp_string(text):
    if not text:
        return b'\x00'
    units = text.encode('utf-16-le') + b'\x00\x00'
    return u8(len(text) + 1) + units


def name(text):  # PTP/IP FriendlyName: UCS-2LE with NUL, no count
    return text.encode('utf-16-le') + b'\x00\x00'


def array16(values): return u32(len(values)) + b''.join(u16(v) for v in values)
def array32(values): return u32(len(values)) + b''.join(u32(v) for v in values)


def packet(ptype, body=b''): return u32(8 + len(body)) + u32(ptype) + body


GUID = bytes(range(16))
PTPIP = {
    'init_command_request': packet(1, GUID + name('vm') + u32(0x10000)),
    'init_command_ack': packet(2, u32(1) + GUID + name('Tarvo Camera X1') + u32(0x10000)),
    'init_event_request': packet(3, u32(1)),
    'init_event_ack': packet(4),
    'init_fail': packet(5, u32(2)),
    'open_session': packet(6, u32(1) + u16(0x1002) + u32(0) + u32(1)),
    'response_ok': packet(7, u16(0x2001) + u32(0)),
    'response_params': packet(7, u16(0x2001) + u32(5) + u32(0x10001) + u32(0xFFFFFFFF) + u32(9)),
    'event_power_down': packet(8, u16(0xC001) + u32(3) + u32(1) + u32(0)),
    'data_phase': packet(9, u32(6) + u64(5)) + packet(10, u32(6) + b'abc') + packet(12, u32(6) + b'de'),
    'empty_data_phase': packet(9, u32(2) + u64(0)) + packet(12, u32(2)),
    'cancel': packet(11, u32(4)),
    'probe': packet(13) + packet(14),
}

CONTAINER = {
    'command': u32(16) + u16(1) + u16(0x1002) + u32(0) + u32(1),
    'data': u32(15) + u16(2) + u16(0x1009) + u32(3) + b'xyz',
    'response': u32(12) + u16(3) + u16(0x2001) + u32(3),
    'event': u32(20) + u16(4) + u16(0x4005) + u32(0) + u32(0x10001) + u32(0),
}

DEVICE_INFO = {
    'vcam': (u16(100) + u32(0) + u16(0) + ptp_string('') + u16(0)
             + array16([0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007, 0x1008,
                        0x1009, 0x100C, 0x100D, 0x1014, 0x1015])
             + array16([0x4005, 0xC001]) + array16([0x5001, 0xD003, 0xD031, 0xD032])
             + array16([]) + array16([0x3000, 0x3001, 0x3004, 0x3801])
             + ptp_string('Tarvo') + ptp_string('Tarvo Camera X1') + ptp_string('1.0.1.2')
             + ptp_string('TX1-00000001')),
}

STORAGE_INFO = {
    'card': (u16(4) + u16(2) + u16(0) + u64(64 << 30) + u64(32 << 30) + u32(0xFFFFFFFF)
             + ptp_string('Memory card') + ptp_string('TARVO')),
    'read_only': u16(4) + u16(1) + u16(1) + u64(1 << 30) + u64(0) + u32(0) + b'\x00\x00',
}

FIXED_OI = (u32(0x10001) + u16(0xBF01) + u16(0) + u32(200000) + u16(0) + u32(0) * 6
            + u32(0xFFFFFFFF) + u16(0) + u32(0) + u32(0))
OBJECT_INFO = {
    'libgphoto2': FIXED_OI + ptp_string('FW_1.0.2.0.BIN') + b'\x00\x00\x00',
    'dated': FIXED_OI + ptp_string('IMG.JPG') + ptp_string('20261208T120000') + b'\x00\x00',
    'name_only': FIXED_OI + ptp_string('a'),
}

PROP_DESC = {
    'battery_level': bytes([0x01, 0x50, 0x02, 0x00, 0x00, 0x64, 0x50, 0x01, 0x00, 0x64, 0x01]),
    'battery_state': u16(0xD003) + u16(6) + u8(0) + u32(1) + u32(1) + u8(2) + u16(2) + u32(1) + u32(2),
    'model_name': u16(0xD032) + u16(0xFFFF) + u8(0) + ptp_string('X1') + ptp_string('X1') + u8(0),
    'array': u16(0x5003) + u16(0x4004) + u8(1) + array16([1, 2]) + array16([3]) + u8(0),
}

PROP_VALUE = {
    'uint8': u16(2) + u8(80),
    'uint32': u16(6) + u32(0x01000102),
    'int16': u16(3) + u16(0xFFFE),
    'uint128': u16(10) + bytes(range(16)),
    'string': u16(0xFFFF) + ptp_string('Tarvo Camera X1'),
    'array': u16(0x4006) + array32([1, 2, 3]),
}

U32_ARRAY = {'storage_ids': array32([0x10001]), 'handles': array32([1, 2, 3, 4]), 'empty': array32([])}

PROFILE = {
    'faults': (b'[camera]\nmodel = Tarvo Camera X1\nfirmware = 1.0.1.2\n[card]\ncapacity = 32G\n'
               b'[fault.response]\noperation = SendObject\noccurrence = 2\ncode = 0x2019\n'
               b'fault.power_down.after_bytes = 1M\ndelay.ms = 10\n'),
}

OBJECT_NAME = {'firmware': b'FW_1.0.2.0.BIN', 'device': b'CON.txt', 'parent': b'../x',
               'drive': b'C:fw.bin', 'unicode': 'K\u00e4mera.bin'.encode('utf-8')}

def response(tid, code=0x2001, params=()):
    return packet(7, u16(code) + u32(tid) + b''.join(u32(p) for p in params))


def data_in(tid, payload, pieces=1):
    step = max(1, -(-len(payload) // pieces))
    chunks = [payload[i:i + step] for i in range(0, len(payload), step)] or [b'']
    body = b''.join(packet(10, u32(tid) + c) for c in chunks[:-1])
    return packet(9, u32(tid) + u64(len(payload))) + body + packet(12, u32(tid) + chunks[-1])


def session(command, event=b''):  # the event share's size, then both shares
    return u16(len(event)) + event + command


ACK = PTPIP['init_command_ack']
EVENTS = packet(4) + packet(8, u16(0x4005) + u32(0) + u32(0x10001)) + packet(13)
# The responder's side of the fuzz target's calls, in order (transaction IDs 0 to 11).
FULL = (ACK + response(0) + data_in(1, DEVICE_INFO['vcam']) + response(1)
        + data_in(2, U32_ARRAY['storage_ids']) + response(2)
        + data_in(3, STORAGE_INFO['card']) + response(3)
        + data_in(4, OBJECT_INFO['libgphoto2']) + response(4)
        + data_in(5, b'firmware' * 100, 3) + response(5)
        + response(6, params=(0x10001, 0xFFFFFFFF, 2)) + response(7)
        + data_in(8, PROP_DESC['battery_level']) + response(8)
        + response(9, params=(1,)) + response(10) + response(11))
SESSION = {
    'full': session(FULL, EVENTS),
    'stray_packets': session(ACK + response(0) + packet(13) + packet(12, u32(1))
                             + data_in(1, DEVICE_INFO['vcam'], 4) + packet(12, u32(1))
                             + response(1), EVENTS),
    'refusals': session(ACK + response(0) + response(1, 0x2019)
                        + packet(9, u32(2) + u64(0xFFFFFFFFFFFFFFFF)) + packet(10, u32(2) + b'x'),
                        packet(4)),
    'init_fail': session(packet(5, u32(2))),
}


def request(code, tid, params=(), data_out=False):
    return packet(6, u32(2 if data_out else 1) + u16(code) + u32(tid) + b''.join(u32(p) for p in params))


def data_out(tid, payload, total=None):
    return (packet(9, u32(tid) + u64(len(payload) if total is None else total))
            + packet(12, u32(tid) + payload))


# Responder inputs: [profile flags][event byte count][event bytes][command bytes].
def responder_input(flags, command, event=b''):
    return u8(flags) + u8(len(event)) + event + command


HELLO = PTPIP['init_command_request']
UPLOAD_OI = FIXED_OI[:8] + u32(100) + FIXED_OI[12:] + ptp_string('FW.BIN') + b'\x00\x00\x00'
RESPONDER_SESSION = (
    HELLO + request(0x1002, 0, [1]) + request(0x1001, 1) + request(0x1004, 2)
    + request(0x1005, 3, [0x10001]) + request(0x1007, 4, [0xFFFFFFFF, 0, 0xFFFFFFFF])
    + request(0x1008, 5, [1]) + request(0x1009, 6, [1]) + request(0x1014, 7, [0x5001])
    + request(0x100C, 8, [0x10001, 0xFFFFFFFF], True) + data_out(8, UPLOAD_OI)
    + request(0x100D, 9, [], True) + data_out(9, bytes(100))
    + request(0x100B, 10, [1, 0]) + request(0x1003, 11))
RESPONDER = {
    'session': responder_input(0x00, RESPONDER_SESSION, packet(13)),
    'short_upload_kept': responder_input(
        0x21, HELLO + request(0x1002, 0, [1]) + request(0x100C, 1, [0, 0xFFFFFFFF], True)
        + data_out(1, UPLOAD_OI) + request(0x100D, 2, [], True) + data_out(2, bytes(50))),
    'endless_data': responder_input(
        0x00, HELLO + request(0x1002, 0, [1]) + request(0x100D, 1, [], True)
        + packet(9, u32(1) + u64(2**64 - 1)) + packet(10, u32(1) + bytes(1000))),
    'raw_event_handshake': responder_input(0x40, HELLO, PTPIP['init_event_request']),
    'property_lists': responder_input(
        0x80, HELLO + request(0x1002, 0, [1]) + request(0x9805, 1, [0xFFFFFFFF, 0, 0xDC07, 0,
                                                                    0xFFFFFFFF])
        + request(0x9805, 2, [0, 0, 0xFFFFFFFF, 0, 1]) + request(0x9805, 3, [2, 0, 0xDC04, 0, 0])),
}

OBJECT_PROP_LIST = {
    'name_and_size': u32(2) + u32(5) + u16(0xDC07) + u16(0xFFFF) + ptp_string('A.JPG')
    + u32(5) + u16(0xDC04) + u16(0x0008) + u64(1),
    'array_value': u32(1) + u32(7) + u16(0xDC99) + u16(0x4004) + u32(2) + u16(1) + u16(2),
}

CORPORA = {
    'ptpip_packet': PTPIP, 'container': CONTAINER, 'device_info': DEVICE_INFO,
    'storage_info': STORAGE_INFO, 'object_info': OBJECT_INFO, 'device_prop_desc': PROP_DESC,
    'prop_value': PROP_VALUE, 'u32_array': U32_ARRAY, 'object_prop_list': OBJECT_PROP_LIST, 'profile': PROFILE,
    'object_name': OBJECT_NAME, 'session': SESSION, 'responder': RESPONDER,
}

for target, seeds in CORPORA.items():
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    for seed, data in seeds.items():
        with open(os.path.join(folder, seed), 'wb') as f:
            f.write(data)
