#!/usr/bin/env python3
# env_images.py DIR: two boot environment copies, env_main.bin and
# env_bak.bin, each with its own random data and a valid CRC over 512 KiB.
import os, struct, sys, zlib

for name in ("main", "bak"):
    data = os.urandom(0x80000 - 4)
    with open(f"{sys.argv[1]}/env_{name}.bin", "wb") as f:
        f.write(struct.pack("<I", zlib.crc32(data)) + data)
