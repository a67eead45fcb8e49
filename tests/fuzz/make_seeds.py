#!/usr/bin/env python3
"""Writes the committed seed corpora under corpus/. Run from anywhere; the
output is deterministic, so a rerun changes nothing."""

import os
import random
import struct

HERE = os.path.dirname(os.path.abspath(__file__))
SYNC = b"\xff" * 10


def header(length):
    return SYNC + struct.pack(">i", length)


def frame(body):
    return header(len(body)) + body


def body(size, seed):
    rng = random.Random(seed)
    return bytes(rng.randrange(0, 255) for _ in range(size))


def streams():
    rng = random.Random(5)
    garbage = bytes(rng.randrange(0, 255) for _ in range(2000))
    yield "one_byte_body", frame(b"A")
    yield "three_frames", frame(body(5, 1)) + frame(body(300, 2)) + frame(body(1, 3))
    yield "garbage_then_frame", b"\x01\x02\x03junk" + frame(body(20, 4))
    yield "nine_ff_then_frame", b"\xff" * 9 + b"\x00" + frame(body(16, 5))
    yield "ff_run_then_frame", b"\xff" * 25 + struct.pack(">i", 12) + body(12, 6)
    yield "ff_at_window_end", b"\x00" * 8 + b"\xff" * 6 + b"\xff" * 4 + struct.pack(">i", 3) + b"xyz"
    yield "length_zero", header(0) + frame(body(7, 7))
    yield "length_minus_one", header(-1) + frame(body(7, 8))
    yield "length_int_min", header(-(2 ** 31)) + frame(body(9, 9))
    yield "length_8813", header(8813) + frame(body(10, 10))
    yield "oversize_hides_frame", (header(9000) + (frame(body(20, 20)) + body(9000, 21))[:9000]
                                   + frame(body(6, 22)))
    yield "length_int_max", header(2 ** 31 - 1) + frame(body(11, 11))
    yield "max_body", frame(body(8812, 12))
    yield "torn_header", frame(body(30, 13)) + SYNC + b"\x00\x00"
    yield "torn_body", frame(body(30, 14)) + header(100) + body(40, 15)
    yield "garbage_storm", garbage + frame(body(8, 16))
    yield "sync_inside_body", frame(SYNC + struct.pack(">i", 4) + b"fake") + frame(b"real")
    yield "sync_in_length", SYNC + SYNC + struct.pack(">i", 2) + b"ok"
    yield "frames_120", b"".join(frame(body(1 + i % 7, 100 + i)) for i in range(120))
    yield "mixed", (frame(body(50, 17)) + b"\xff\xff\x00" + header(0) + frame(body(3, 18))
                    + b"\xff" * 13 + frame(body(2, 19)))
    yield "empty", b""
    # Runs of 0xFF in front of a sync mark: padding, garbage that ends in
    # 0xFF, and the bad headers whose length begins with 0xFF.
    for run in (1, 3, 4, 13, 14, 20):
        yield "ff_tail_%02d" % run, (b"\x12\x34" + b"\xff" * run + frame(body(9, 30 + run))
                                    + frame(body(4, 50 + run)))
    yield "ff_padding_100", b"\xff" * 100 + frame(body(17, 23))
    yield "length_minus_five", header(-5) + frame(body(7, 24))
    yield "length_minus_256", header(-256) + frame(body(7, 25))
    yield "ff_run_then_oversize", b"\xff" * 18 + struct.pack(">i", 9000) + body(9000, 26) + frame(b"x")
    yield "ff_run_24_then_zero", b"\xff" * 24 + struct.pack(">i", 0) + frame(body(5, 27))
    # FF 00 12 after the mark, then 34: a frame of 0x1234 bytes.
    yield "ff_00_aa_bb_cc", header(-(2 ** 24) + 0x12) + b"\x34" + body(0x1234, 28) + frame(b"y")


def buffer_ops():
    for i in range(24):
        rng = random.Random(1000 + i)
        yield "ops_%02d" % i, bytes(rng.randrange(0, 256) for _ in range(rng.randrange(32, 1024)))


def write(target, items):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in items:
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


write("fuzz_frame_scan", streams())
write("fuzz_receive_path", streams())
write("fuzz_byte_buffer", buffer_ops())
