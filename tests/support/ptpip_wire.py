"""PTP/IP packets and PTP datasets as bytes, for the Python test peers and the fuzz seeds.

Standard library only. Integers are little-endian; a packet is its length, its type, its body.
"""
import struct

# Packet types.
INIT_COMMAND_REQUEST, INIT_COMMAND_ACK, INIT_EVENT_REQUEST, INIT_EVENT_ACK = 1, 2, 3, 4
INIT_FAIL, OPERATION_REQUEST, OPERATION_RESPONSE, EVENT = 5, 6, 7, 8
START_DATA, DATA, CANCEL, END_DATA, PROBE_REQUEST, PROBE_RESPONSE = 9, 10, 11, 12, 13, 14

# Operation and response codes the peers name.
OPEN_SESSION, CLOSE_SESSION, SEND_OBJECT_INFO, SEND_OBJECT = 0x1002, 0x1003, 0x100C, 0x100D
OK, OPERATION_NOT_SUPPORTED, INVALID_OBJECT_HANDLE = 0x2001, 0x2005, 0x2009
DEVICE_PROP_NOT_SUPPORTED, NO_VALID_OBJECT_INFO = 0x200A, 0x2015

# Data types; an array type is its element's type with ARRAY set.
UINT8, UINT16, UINT32, UINT64, STR, ARRAY = 0x0002, 0x0004, 0x0006, 0x0008, 0xFFFF, 0x4000
INTEGER_FORMATS = {0x0001: '<b', UINT8: '<B', 0x0003: '<h', UINT16: '<H', 0x0005: '<i',
                   UINT32: '<I', 0x0007: '<q', UINT64: '<Q'}

# Packets longer than this are taken for garbage by read_packet.
MAX_PACKET = 1 << 24


def u8(v): return struct.pack('<B', v)
def u16(v): return struct.pack('<H', v)
def u32(v): return struct.pack('<I', v)
def u64(v): return struct.pack('<Q', v)


def ptp_string(text):
    if not text:
        return b'\0'
    return u8(len(text) + 1) + (text + '\0').encode('utf-16-le')


def friendly_name(text):  # UCS-2LE with NUL, no count
    return (text + '\0').encode('utf-16-le')


def array16(values): return u32(len(values)) + b''.join(u16(v) for v in values)
def array32(values): return u32(len(values)) + b''.join(u32(v) for v in values)


def value(data_type, v):
    """v in data_type: an integer, a str for STR, a list for an array type."""
    if data_type == STR:
        return ptp_string(v)
    if data_type & ARRAY:
        return u32(len(v)) + b''.join(value(data_type & ~ARRAY, x) for x in v)
    return struct.pack(INTEGER_FORMATS[data_type], v)


def packet(kind, body=b''):
    return u32(8 + len(body)) + u32(kind) + body


def init_command_request(guid, name, version=0x10000):
    return packet(INIT_COMMAND_REQUEST, guid + friendly_name(name) + u32(version))


def init_command_ack(number, guid, name, version=0x10000):
    return packet(INIT_COMMAND_ACK, u32(number) + guid + friendly_name(name) + u32(version))


def init_event_request(number): return packet(INIT_EVENT_REQUEST, u32(number))
def init_event_ack(): return packet(INIT_EVENT_ACK)
def init_fail(reason): return packet(INIT_FAIL, u32(reason))


def request(code, tid, params=(), data_out=False):
    return packet(OPERATION_REQUEST, u32(2 if data_out else 1) + u16(code) + u32(tid)
                  + b''.join(u32(p) for p in params))


def response(tid, code=OK, params=()):
    return packet(OPERATION_RESPONSE, u16(code) + u32(tid) + b''.join(u32(p) for p in params))


def event(code, tid, params=()):
    return packet(EVENT, u16(code) + u32(tid) + b''.join(u32(p) for p in params))


def start_data(tid, total): return packet(START_DATA, u32(tid) + u64(total))
def data(tid, payload): return packet(DATA, u32(tid) + payload)
def end_data(tid, payload=b''): return packet(END_DATA, u32(tid) + payload)


def data_phase(tid, payload, pieces=1, total=None):
    """Start Data (announcing total, else the payload's size), then the payload in pieces."""
    step = max(1, -(-len(payload) // pieces))
    chunks = [payload[i:i + step] for i in range(0, len(payload), step)] or [b'']
    return (start_data(tid, len(payload) if total is None else total)
            + b''.join(data(tid, c) for c in chunks[:-1]) + end_data(tid, chunks[-1]))


def device_info(operations, events, properties, formats, manufacturer, model, version, serial,
                extensions=''):
    return (u16(100) + u32(0) + u16(0) + ptp_string(extensions) + u16(0) + array16(operations)
            + array16(events) + array16(properties) + array16([]) + array16(formats)
            + ptp_string(manufacturer) + ptp_string(model) + ptp_string(version)
            + ptp_string(serial))


def storage_info(capacity, free, description, label, filesystem=2, access=0,
                 free_objects=0xFFFFFFFF):
    return (u16(4) + u16(filesystem) + u16(access) + u64(capacity) + u64(free)
            + u32(free_objects) + ptp_string(description) + ptp_string(label))


def object_info(storage, fmt, size, name, parent=0, captured=''):
    """An ObjectInfo without thumbnail, image or association details, nor keywords."""
    return (struct.pack('<IHHIHIIIIIIIHII', storage, fmt, 0, size, 0, 0, 0, 0, 0, 0, 0, parent,
                        0, 0, 0) + ptp_string(name) + ptp_string(captured) + b'\0\0')


def prop_desc(code, data_type, current, default=None, writable=False, value_range=None,
              enumeration=None):
    """A DevicePropDesc; the factory default is the current value unless given."""
    body = (u16(code) + u16(data_type) + u8(writable)
            + value(data_type, current if default is None else default) + value(data_type, current))
    if value_range is not None:
        return body + u8(1) + b''.join(value(data_type, v) for v in value_range)
    if enumeration is not None:
        return body + u8(2) + u16(len(enumeration)) + b''.join(value(data_type, v)
                                                               for v in enumeration)
    return body + u8(0)


def recv_exact(sock, n):
    """n bytes, or None once the peer has closed or reset the connection."""
    got = b''
    while len(got) < n:
        try:
            piece = sock.recv(n - len(got))
        except ConnectionResetError:
            return None
        if not piece:
            return None
        got += piece
    return got


def read_packet(sock):
    """(type, body), or None once the connection has ended or its length cannot be a packet."""
    head = recv_exact(sock, 8)
    if head is None:
        return None
    length, kind = struct.unpack('<II', head)
    if length < 8 or length > MAX_PACKET:
        return None
    body = recv_exact(sock, length - 8)
    return None if body is None else (kind, body)
