#!/usr/bin/env python3
# env_images.py DIR: writes two boot environment copies, env_main.bin and
# env_bak.bin, each with its own random data and a valid CRC over 512 KiB.
# env_images.py DIR OUT SIZE: checks OUT/env_{main,bak}.bin against them: a
# valid CRC over SIZE bytes and every data byte kept. Exit 1 on a failure.
import os, struct, sys, zlib

bad = 0
for name in ("main", "bak"):
    if len(sys.argv) == 2:
        data = os.urandom(0x80000 - 4)
        with open(f"{sys.argv[1]}/env_{name}.bin", "wb") as f:
            f.write(struct.pack("<I", zlib.crc32(data)) + data)
        continue
    size = int(sys.argv[3], 0)
    got = open(f"{sys.argv[2]}/env_{name}.bin", "rb").read()
    orig = open(f"{sys.argv[1]}/env_{name}.bin", "rb").read()
    good = struct.unpack("<I", got[:4])[0] == zlib.crc32(got[4:size]) and got[4:] == orig[4:]
    print(("ok: " if good else "FAILED: ") + f"environment {name}: CRC over {size:#x} bytes, data kept")
    bad += not good
sys.exit(1 if bad else 0)
