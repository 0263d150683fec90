#!/usr/bin/python3
"""Writes the seed inputs of control_frames_fuzz: byte 0 picks the peer
(0 = user 1000, 1 = root), then framed device calls as an agent sends them:
u32 magic "QLDE", u32 code, u32 inLength, u32 outLength, inLength bytes.

Usage: make_control_seeds.py FOLDER
"""
import os
import struct
import sys

MAGIC = 0x45444C51
CONNECT, DISCONNECT, PING = 0x142040, 0x142044, 0x1420C0
CLEANUP_DONE, GET_REQUEST, SET_LOG_LEVEL = 0x1423F8, 0x142400, 0x142408
VERSION, CONNECTION_INFO, INVALIDATE_PATH = 0x14240C, 0x142410, 0x142440
REDIR_QUERY_PATH, CHECKIN = 0x14018F, 0x142084
SID = "S-1-22-1-1000"
FIRST_HANDLE = 0x5C000101  # slot 0, cell 0
CHANNEL_BUFFER = 65589
WIDE_CHANNEL_BUFFER = (1 << 20) + 53
ASK_WIDE_PIECES = 1


def wide(text, chars):
    data = text.encode("utf-16-le")
    return data + b"\0" * (chars * 2 - len(data))


def frame(code, data=b"", out=None):
    return struct.pack("<IIII", MAGIC, code, len(data), len(data) if out is None else out) + data


def connection(name, handle=0, sid=SID, reserved=0):
    return (b"\xff\0" + wide(sid, 60) + wide(name, 63)
            + struct.pack("<HBBIIII", ord("X"), 0, 0, 10, 20, reserved, handle))


def ping(handle=0):
    return b"\xff\0\0\0" + struct.pack("<I", handle) + wide(SID, 60)


def reply(handle, status=0, information=0, value=0, data=b""):
    return b"\xff\0\0\0" + struct.pack("<IIII", handle, status, information, value) + data


def intern(name, target):
    return (b"\xff\0" + wide(SID, 60) + wide(name, 63) + wide(target, 260) + wide("", 260)
            + struct.pack("<II", 0, 0))


def cleanup_done(handle, request_id, status=0):
    return b"\xff\0\0\0" + struct.pack("<I12xIII8x", handle, request_id, status, 0)


def invalidate(name, path):
    return b"\xff\0" + wide(SID, 60) + wide(name, 63) + wide(path, 260)


SEEDS = {
    "register-ping-info": b"\0" + frame(CONNECT, connection("site1")) + frame(PING, ping())
    + frame(PING, ping(0x51000001)) + frame(CONNECTION_INFO, wide(SID, 60), 272)
    + frame(DISCONNECT, connection("site1", FIRST_HANDLE)),
    "agent-loop-intern": b"\0" + frame(CONNECT, connection("site1"))
    + frame(GET_REQUEST, reply(FIRST_HANDLE, 0xC0000010), CHANNEL_BUFFER)
    + frame(CHECKIN, intern("site1", "X:\\docs\\a.txt"), 1296)
    + frame(GET_REQUEST, reply(FIRST_HANDLE, 0, 1296, 0, intern("site1", "done")), CHANNEL_BUFFER)
    + frame(CLEANUP_DONE, cleanup_done(FIRST_HANDLE, 7)),
    # A Connection of wide pieces: its loop asks with the 1 MiB buffer, and a
    # reply claiming far more than was asked for.
    "wide-loop-intern": b"\0" + frame(CONNECT, connection("site1", reserved=ASK_WIDE_PIECES))
    + frame(GET_REQUEST, reply(FIRST_HANDLE, 0xC0000010), WIDE_CHANNEL_BUFFER)
    + frame(CHECKIN, intern("site1", "X:\\docs\\a.txt"), 1296)
    + frame(GET_REQUEST, reply(FIRST_HANDLE, 0, 0x200000, 0, intern("site1", "done") * 3),
            WIDE_CHANNEL_BUFFER)
    + frame(CONNECT, connection("site1")),
    "log-version-query": b"\0" + frame(SET_LOG_LEVEL, struct.pack("<I", 1)) + frame(VERSION, b"", 4)
    + frame(REDIR_QUERY_PATH, struct.pack("<II", 18, 0) + "\\QUENLODE\\site1".encode("utf-16-le"), 4)
    + frame(SET_LOG_LEVEL, struct.pack("<I", 0)),
    "invalidate": b"\0" + frame(CONNECT, connection("site1")) + frame(INVALIDATE_PATH, invalidate("site1", "\\docs"))
    + frame(INVALIDATE_PATH, invalidate("site1", "")),
    "root-peer": b"\1" + frame(CONNECT, connection("r", sid="S-1-22-1-0")) + frame(VERSION, b"", 4),
    "bad-magic": b"\0" + struct.pack("<IIII", 0x12345678, VERSION, 0, 4),
    "huge-lengths": b"\0" + struct.pack("<IIII", MAGIC, GET_REQUEST, 0x100000, 0x100000) + b"\xff" * 24,
    "short-records": b"\0" + frame(CONNECT, b"\xff" * 10, 268) + frame(PING, b"\xff", 128)
    + frame(GET_REQUEST, b"\xff" * 8, 52) + frame(CLEANUP_DONE, b"\xff" * 4) + frame(0x142100, b"\xff", 1296),
}


def main():
    folder = sys.argv[1]
    os.makedirs(folder, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
