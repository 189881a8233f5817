"""The daemon's tagged value encoding for local sockets, for test peers:
None, int (unsigned), str, dict (str keys) and list. Binaries are not
needed by any test peer and not supported."""

import struct

NULL, INTEGER, STRING, ARRAY, MAP, END = 0x00, 0x01, 0x10, 0x41, 0x42, 0x40


def encode(value):
    if value is None:
        return bytes([NULL, 0])
    if isinstance(value, bool) or isinstance(value, int):
        value = int(value)
        for width in (1, 2, 4, 8):
            if value < 1 << (8 * width):
                return bytes([INTEGER, width]) + value.to_bytes(width, "big")
        raise ValueError("integer too large")
    if isinstance(value, str):
        data = value.encode()
        return bytes([STRING]) + struct.pack(">H", len(data)) + data
    if isinstance(value, dict):
        body = b"".join(encode(k[1:] if k.startswith("_") else k) + encode(v) for k, v in sorted(value.items()))
        return bytes([MAP]) + body + bytes([END])
    if isinstance(value, (list, tuple)):
        return bytes([ARRAY]) + b"".join(encode(v) for v in value) + bytes([END])
    raise TypeError(type(value))


def _exact(sock, n):
    data = b""
    while len(data) < n:
        piece = sock.recv(n - len(data))
        if not piece:
            raise EOFError("peer closed")
        data += piece
    return data


def _value(sock, tag):
    if tag == NULL:
        _exact(sock, 1)
        return None
    if tag == INTEGER:
        width = _exact(sock, 1)[0]
        return int.from_bytes(_exact(sock, width), "big") if width else 0
    if tag == STRING:
        (length,) = struct.unpack(">H", _exact(sock, 2))
        return _exact(sock, length).decode(errors="replace")
    if tag == MAP:
        result = {}
        while True:
            key_tag = _exact(sock, 1)[0]
            if key_tag == END:
                return result
            if key_tag != STRING:
                raise ValueError("map key tag %#x" % key_tag)
            key = _value(sock, STRING)
            result[key] = _value(sock, _exact(sock, 1)[0])
    if tag == ARRAY:
        result = []
        while True:
            element_tag = _exact(sock, 1)[0]
            if element_tag == END:
                return result
            result.append(_value(sock, element_tag))
    raise ValueError("tag %#x" % tag)


def recv(sock):
    """Reads one value from a connected socket."""
    return _value(sock, _exact(sock, 1)[0])


def send(sock, value):
    sock.sendall(encode(value))
