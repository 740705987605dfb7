#!/usr/bin/env python3
"""Writes the starting corpora of the driver's fuzz targets (tests/fuzz/corpus/).

start:      each real device's configuration descriptor (and its full-speed
            and other configurations when the description has them).
control:    a string-descriptor request per real string descriptor, laid out
            as ControlFuzz.cpp reads its input, plus class-request seeds.
completion: transfers ended whole, short, stalled and failed.
open:       the pipe names the driver knows and near misses, UTF-16LE.

Usage: scripts/make-fuzz-corpus.py [descriptor folder]
(default: the repository's devices/)
"""
import hashlib
import json
import pathlib
import struct
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
OUT = ROOT / "tests" / "fuzz" / "corpus"


def write(target, data):
    folder = OUT / target
    folder.mkdir(parents=True, exist_ok=True)
    name = hashlib.sha1(data).hexdigest()[:16]
    (folder / name).write_bytes(data)


def ending_whole(payload):
    # selector 0: Done with a length word, then the bytes (IN).
    return bytes([0]) + struct.pack("<H", len(payload)) + payload


def main():
    source = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else ROOT / "devices"
    for path in sorted(source.glob("*.json")):
        device = json.loads(path.read_text())
        configs = [device["configuration"]]
        if "fullspeed_configuration" in device:
            configs.append(device["fullspeed_configuration"])
        for other in device.get("other_configurations", []) or []:
            if isinstance(other, dict):
                other = other.get("configuration", "")
            configs.append(other)
        for config in configs:
            try:
                write("start", bytes.fromhex(config))
            except (TypeError, ValueError):
                print(f"{path.name}: skipped a configuration that is not hex", file=sys.stderr)
        for index, text in sorted((device.get("strings") or {}).items()):
            answer = bytes.fromhex(text)
            # request: selector 7 (IOCTL_GET_STRING_DESCRIPTOR), 4 input
            # bytes, output 255; then the probe answer (4 bytes) and the
            # whole answer, each as a Done ending.
            request = bytes([7, 4, int(index), 0, 0x09, 0x04]) + struct.pack("<H", 255)
            write("control", request + ending_whole(answer[:4]) + ending_whole(answer))
    # Class block read (selector 3) answered with a well-formed block, and
    # class read (selector 4) with a short answer.
    write("control", bytes([3, 0]) + struct.pack("<H", 64) + ending_whole(b"\x00\x06ABCD"))
    write("control", bytes([4, 0]) + struct.pack("<H", 8) + ending_whole(b"\x01"))
    write("control", bytes([5, 4, 1, 2, 3, 4]) + struct.pack("<H", 4) + ending_whole(b""))
    # Completion: write 64 then read 64 whole; a short read; a stall; a
    # failure with a USBD status; an interrupt read of 2 bytes.
    write("completion", bytes([0]) + struct.pack("<H", 64) + bytes([3]) +
          bytes([1]) + struct.pack("<H", 64) + ending_whole(bytes(range(64))))
    write("completion", bytes([1]) + struct.pack("<H", 100) + ending_whole(bytes(10)))
    write("completion", bytes([1]) + struct.pack("<H", 32) + bytes([1]))
    write("completion", bytes([0]) + struct.pack("<H", 32) + bytes([2, 0x04, 0x00, 0x00]))
    write("completion", bytes([2]) + struct.pack("<H", 8) + ending_whole(b"\x02\x00"))
    for name in ["", "PIPE0", "PIPE1", "PIPE2", "PIPE5", "PIPE6", "\\PIPE0", "pipe1", "PIPE", "PIPE00",
                 "PIPE0\\x", "\\", "PIPE-1"]:
        write("open", name.encode("utf-16-le") if name else b"\x00")


if __name__ == "__main__":
    main()
