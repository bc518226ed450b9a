#!/usr/bin/env python3
"""Writes the fuzz targets' seed corpora (tests/fuzz/corpus/<target>/) from known-good bytes."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # nothing written into the sources but the seeds
sys.path.insert(0, os.path.join(HERE, '..', 'support'))
from ptpip_wire import (  # noqa: E402
    ARRAY, CANCEL, PROBE_REQUEST, PROBE_RESPONSE, STR, UINT16, UINT32, UINT8, array32, data,
    data_phase, device_info, end_data, event, init_command_ack, init_command_request,
    init_event_ack, init_event_request, init_fail, object_info, packet, prop_desc, ptp_string,
    request, response, start_data, storage_info, u16, u32, u64, u8)

GUID = bytes(range(16))
PTPIP = {
    'init_command_request': init_command_request(GUID, 'vm'),
    'init_command_ack': init_command_ack(1, GUID, 'Tarvo Camera X1'),
    'init_event_request': init_event_request(1),
    'init_event_ack': init_event_ack(),
    'init_fail': init_fail(2),
    'open_session': request(0x1002, 0, [1]),
    'response_ok': response(0),
    'response_params': response(5, params=(0x10001, 0xFFFFFFFF, 9)),
    'event_power_down': event(0xC001, 3, [1, 0]),
    'data_phase': start_data(6, 5) + data(6, b'abc') + end_data(6, b'de'),
    'empty_data_phase': data_phase(2, b''),
    'cancel': packet(CANCEL, u32(4)),
    'probe': packet(PROBE_REQUEST) + packet(PROBE_RESPONSE),
}

CONTAINER = {
    'command': u32(16) + u16(1) + u16(0x1002) + u32(0) + u32(1),
    'data': u32(15) + u16(2) + u16(0x1009) + u32(3) + b'xyz',
    'response': u32(12) + u16(3) + u16(0x2001) + u32(3),
    'event': u32(20) + u16(4) + u16(0x4005) + u32(0) + u32(0x10001) + u32(0),
}

DEVICE_INFO = {
    'vcam': device_info([0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007, 0x1008,
                         0x1009, 0x100C, 0x100D, 0x1014, 0x1015],
                        [0x4005, 0xC001], [0x5001, 0xD003, 0xD031, 0xD032],
                        [0x3000, 0x3001, 0x3004, 0x3801],
                        'Tarvo', 'Tarvo Camera X1', '1.0.1.2', 'TX1-00000001'),
}

STORAGE_INFO = {
    'card': storage_info(64 << 30, 32 << 30, 'Memory card', 'TARVO'),
    'read_only': storage_info(1 << 30, 0, '', '', filesystem=1, access=1, free_objects=0),
}

ROOT = 0xFFFFFFFF
OBJECT_INFO = {
    'libgphoto2': object_info(0x10001, 0xBF01, 200000, 'FW_1.0.2.0.BIN', ROOT),
    'dated': object_info(0x10001, 0xBF01, 200000, 'IMG.JPG', ROOT, captured='20261208T120000'),
    'name_only': object_info(0x10001, 0xBF01, 200000, 'a', ROOT)[:-3],  # ends after the name
}

PROP_DESC = {
    'battery_level': prop_desc(0x5001, UINT8, 80, default=100, value_range=(0, 100, 1)),
    'battery_state': prop_desc(0xD003, UINT32, 1, enumeration=(1, 2)),
    'model_name': prop_desc(0xD032, STR, 'X1'),
    'array': prop_desc(0x5003, UINT16 | ARRAY, [3], default=[1, 2], writable=True),
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

def session(command, event=b''):  # the event share's size, then both shares
    return u16(len(event)) + event + command


ACK = PTPIP['init_command_ack']
EVENTS = init_event_ack() + event(0x4005, 0, [0x10001]) + packet(PROBE_REQUEST)
# The responder's side of the fuzz target's calls, in order (transaction IDs 0 to 11).
FULL = (ACK + response(0) + data_phase(1, DEVICE_INFO['vcam']) + response(1)
        + data_phase(2, U32_ARRAY['storage_ids']) + response(2)
        + data_phase(3, STORAGE_INFO['card']) + response(3)
        + data_phase(4, OBJECT_INFO['libgphoto2']) + response(4)
        + data_phase(5, b'firmware' * 100, 3) + response(5)
        + response(6, params=(0x10001, 0xFFFFFFFF, 2)) + response(7)
        + data_phase(8, PROP_DESC['battery_level']) + response(8)
        + response(9, params=(1,)) + response(10) + response(11))
SESSION = {
    'full': session(FULL, EVENTS),
    'stray_packets': session(ACK + response(0) + packet(PROBE_REQUEST) + end_data(1)
                             + data_phase(1, DEVICE_INFO['vcam'], 4) + end_data(1)
                             + response(1), EVENTS),
    'refusals': session(ACK + response(0) + response(1, 0x2019)
                        + start_data(2, 0xFFFFFFFFFFFFFFFF) + data(2, b'x'), init_event_ack()),
    'init_fail': session(init_fail(2)),
}


# Responder inputs: [profile flags][event byte count][event bytes][command bytes].
def responder_input(flags, command, event=b''):
    return u8(flags) + u8(len(event)) + event + command


HELLO = PTPIP['init_command_request']
UPLOAD_OI = object_info(0x10001, 0xBF01, 100, 'FW.BIN', ROOT)
RESPONDER_SESSION = (
    HELLO + request(0x1002, 0, [1]) + request(0x1001, 1) + request(0x1004, 2)
    + request(0x1005, 3, [0x10001]) + request(0x1007, 4, [0xFFFFFFFF, 0, 0xFFFFFFFF])
    + request(0x1008, 5, [1]) + request(0x1009, 6, [1]) + request(0x1014, 7, [0x5001])
    + request(0x100C, 8, [0x10001, 0xFFFFFFFF], True) + data_phase(8, UPLOAD_OI)
    + request(0x100D, 9, [], True) + data_phase(9, bytes(100))
    + request(0x100B, 10, [1, 0]) + request(0x1003, 11))
RESPONDER = {
    'session': responder_input(0x00, RESPONDER_SESSION, packet(PROBE_REQUEST)),
    'short_upload_kept': responder_input(
        0x21, HELLO + request(0x1002, 0, [1]) + request(0x100C, 1, [0, 0xFFFFFFFF], True)
        + data_phase(1, UPLOAD_OI) + request(0x100D, 2, [], True) + data_phase(2, bytes(50))),
    'endless_data': responder_input(
        0x00, HELLO + request(0x1002, 0, [1]) + request(0x100D, 1, [], True)
        + start_data(1, 2**64 - 1) + data(1, bytes(1000))),
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
    for seed, content in seeds.items():
        with open(os.path.join(folder, seed), 'wb') as f:
            f.write(content)
