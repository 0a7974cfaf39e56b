#!/usr/bin/env python3
"""Writes the seed corpus of fuzz_converter (fuzz/corpus/converter/).

Each seed is a converter in the input layout of fuzz/harness/device_script.hpp:
the EndPointCaps value, the plan flags, the device descriptor, the
configuration descriptor, then a script of answers.  The seeds cover every
variant, a composite device, and descriptors that lie: lengths that do not
match what is sent, endpoint counts that promise more than follows, zero
lengths that would stall a careless parser, pipes that are missing.
"""
import os
import struct

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "converter")

# Script operations (fuzzing::Op).
DATA, EMPTY, STALL, FAIL, NAK, FULL, GONE = range(7)


def device(cls=0xFF, sub=0, proto=0, vid=0xFFFE, pid=0x0001, max0=8, length=18):
    d = struct.pack("<BBHBBBBHHHBBBB", 18, 1, 0x0110, cls, sub, proto, max0, vid, pid, 0x0100, 0, 0, 0, 1)
    return d[:length]


def endpoint(address, attributes, max_packet, interval=0, length=7):
    return struct.pack("<BBBBHB", length, 5, address, attributes, max_packet, interval)


def interface(number, endpoints, cls=0xFF, sub=0, proto=0, alternate=0, length=9):
    return struct.pack("<BBBBBBBBB", length, 4, number, alternate, endpoints, cls, sub, proto, 0)


def configuration(body, interfaces=1, total=None, length=9):
    total = 9 + len(body) if total is None else total
    return struct.pack("<BBHBBBBB", length, 2, total, interfaces, 1, 0, 0x80, 50) + body


def converter_config(variant):
    body = interface(0, 2 if variant == 0 else 3)
    body += endpoint(0x02, 2, 64) + endpoint(0x81, 2, 64)
    if variant != 0:
        body += endpoint(0x83, 3, 8, 2)
    return configuration(body)


def data(payload):
    return bytes([DATA, len(payload)]) + payload


def seed(caps, flags, dev, cfg, script=b""):
    return bytes([caps, flags]) + struct.pack("<H", len(dev)) + dev + struct.pack("<H", len(cfg)) + cfg + script


def flags(unplug_after=6, win98=False, close_first=False):
    return (1 if win98 else 0) | (2 if close_first else 0) | (unplug_after & 7) << 2


TRAFFIC = (data(b"hello") + bytes([EMPTY]) + data(bytes([0x0F])) + bytes([FULL]) + bytes([NAK, 3])
           + bytes([FAIL, 3]) + data(b"world") + bytes([STALL]) + bytes([EMPTY] * 4))

SEEDS = {
    # Each variant, well-formed, with traffic and both kinds of unplug.
    "variant0": seed(0, flags(6), device(), converter_config(0), TRAFFIC),
    "variant1": seed(1, flags(6), device(), converter_config(1), TRAFFIC),
    "variant2-win98": seed(2, flags(6, win98=True), device(), converter_config(2), TRAFFIC),
    "variant3-closed": seed(3, flags(6, close_first=True), device(), converter_config(3), TRAFFIC),
    "variant1-idle": seed(1, flags(7), device(), converter_config(1)),
    # Unplugged after each step, and a device that goes away mid-transfer.
    **{f"unplug-after-{k}": seed(1, flags(k), device(), converter_config(1), TRAFFIC) for k in range(6)},
    "gone-mid-transfer": seed(2, flags(7), device(), converter_config(2), data(b"ab") + bytes([FULL, GONE])),
    "stalls-everything": seed(3, flags(6), device(), converter_config(3), bytes([STALL] * 40)),
    "fails-everything": seed(1, flags(6), device(), converter_config(1), bytes(x for i in range(20) for x in (FAIL, i))),
    "naks-then-data": seed(1, flags(6), device(), converter_config(1), bytes([NAK, 200, NAK, 255]) + data(b"late")),
    "short-writes": seed(3, flags(6), device(), converter_config(3), data(b"\x01") + data(b"\x02\x03") + bytes([EMPTY])),
    # A composite device: the converter's functions behind an interface
    # association, a communications interface first.
    "composite": seed(1, flags(6), device(cls=0xEF, sub=2, proto=1), configuration(
        bytes([8, 11, 0, 2, 2, 2, 1, 0])  # interface association: interfaces 0-1
        + interface(0, 1, cls=2, sub=2, proto=1) + endpoint(0x83, 3, 8, 2)
        + interface(1, 2, cls=10) + endpoint(0x02, 2, 64) + endpoint(0x81, 2, 64), interfaces=2), TRAFFIC),
    # Descriptors that lie.
    "total-longer-than-sent": seed(1, flags(6), device(), configuration(
        interface(0, 3) + endpoint(0x02, 2, 64) + endpoint(0x81, 2, 64) + endpoint(0x83, 3, 8, 2), total=600)),
    "total-shorter-than-sent": seed(1, flags(6), device(), configuration(
        interface(0, 3) + endpoint(0x02, 2, 64) + endpoint(0x81, 2, 64) + endpoint(0x83, 3, 8, 2), total=18)),
    "total-huge": seed(1, flags(6), device(), configuration(interface(0, 2) + endpoint(0x02, 2, 64), total=0xFFFF)),
    "more-endpoints-promised": seed(3, flags(6), device(), configuration(interface(0, 3) + endpoint(0x02, 2, 64))),
    "missing-endpoints": seed(3, flags(6), device(), configuration(interface(0, 1) + endpoint(0x81, 2, 64)), TRAFFIC),
    "no-endpoints": seed(2, flags(6), device(), configuration(interface(0, 0)), TRAFFIC),
    "no-interfaces": seed(1, flags(6), device(), configuration(b"", interfaces=0)),
    "zero-length-endpoint": seed(1, flags(6), device(), configuration(
        interface(0, 2) + endpoint(0x02, 2, 64, length=0) + endpoint(0x81, 2, 64))),
    "zero-length-interface": seed(1, flags(6), device(), configuration(interface(0, 2, length=0) + endpoint(0x02, 2, 64))),
    "zero-length-configuration": seed(1, flags(6), device(), configuration(interface(0, 0), length=0)),
    "short-endpoint": seed(1, flags(6), device(), configuration(
        interface(0, 2) + endpoint(0x02, 2, 64, length=4) + endpoint(0x81, 2, 64))),
    "endpoint-overruns-total": seed(1, flags(6), device(), configuration(
        interface(0, 2) + endpoint(0x02, 2, 64) + endpoint(0x81, 2, 64, length=40))),
    "zero-max-packet": seed(1, flags(6), device(), configuration(
        interface(0, 3) + endpoint(0x02, 2, 0) + endpoint(0x81, 2, 0) + endpoint(0x83, 3, 0, 0)), TRAFFIC),
    "wrong-directions": seed(1, flags(6), device(), configuration(
        interface(0, 3) + endpoint(0x82, 2, 64) + endpoint(0x01, 2, 64) + endpoint(0x03, 3, 8, 2)), TRAFFIC),
    "isochronous-pipes": seed(2, flags(6), device(), configuration(
        interface(0, 3) + endpoint(0x02, 1, 64, 1) + endpoint(0x81, 1, 64, 1) + endpoint(0x83, 3, 8, 2)), TRAFFIC),
    "short-device-descriptor": seed(1, flags(6), device(length=8), converter_config(1)),
    "empty-descriptors": seed(1, flags(6), b"", b""),
    "registry-says-variant-4": seed(4, flags(6), device(), converter_config(3), TRAFFIC),
    "registry-says-more-pipes": seed(3, flags(6), device(), converter_config(0), TRAFFIC),
}


def main():
    os.makedirs(HERE, exist_ok=True)
    for name, content in SEEDS.items():
        with open(os.path.join(HERE, name), "wb") as f:
            f.write(content)
    print(f"{len(SEEDS)} seeds in {HERE}")


if __name__ == "__main__":
    main()
