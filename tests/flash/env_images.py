#!/usr/bin/env python3
# env_images.py DIR CRC_SIZE REWRITE_SIZE: writes two boot environment copies,
# env_main.old and env_bak.old, 512 KiB each with data of their own and a CRC
# over their first CRC_SIZE bytes, and as env_main.new and env_bak.new the
# same copies as a rewrite at REWRITE_SIZE leaves them: the CRC over that
# size in front, every other byte kept.
import os, struct, sys, zlib

for name in ("main", "bak"):
    data = os.urandom(0x80000 - 4)
    for kind, size in zip(("old", "new"), sys.argv[2:4]):
        with open(f"{sys.argv[1]}/env_{name}.{kind}", "wb") as f:
            f.write(struct.pack("<I", zlib.crc32(data[:int(size, 0) - 4])) + data)
