#!/usr/bin/env python3
"""Writes the seeds of the ELF check's fuzz target into corpus/elf.

whole.so is the smallest file of the build host's kind (64-bit little-endian
x86-64) that the check accepts: an ELF header, a program header table with one
loaded segment over the whole file and a dynamic section that holds only its
end marker, so no symbols: nothing a loader could use. cut.so is the same file
cut short inside both, as an interrupted copy leaves it. Run once; the output
is committed.

Usage: make_elf_seeds.py
"""

import struct
from pathlib import Path

EHDR, PHDR, DYN = 64, 56, 16
PT_LOAD, PT_DYNAMIC = 1, 2
ET_DYN, EM_X86_64 = 3, 62


def shared_object() -> bytes:
    phnum = 2
    dynamic_at = EHDR + phnum * PHDR
    size = dynamic_at + 2 * DYN
    ident = b"\x7fELF" + bytes([2, 1, 1]) + bytes(9)  # 64-bit, LSB, version 1
    header = ident + struct.pack("<HHIQQQIHHHHHH", ET_DYN, EM_X86_64, 1, 0, EHDR, 0, 0,
                                 EHDR, PHDR, phnum, 64, 0, 0)
    load = struct.pack("<IIQQQQQQ", PT_LOAD, 4 | 2, 0, 0, 0, size, size, 0x1000)
    dynamic = struct.pack("<IIQQQQQQ", PT_DYNAMIC, 4 | 2, dynamic_at, dynamic_at,
                          dynamic_at, 2 * DYN, 2 * DYN, 8)
    return header + load + dynamic + bytes(2 * DYN)  # DT_NULL entries


def main() -> None:
    folder = Path(__file__).resolve().parent / "corpus" / "elf"
    folder.mkdir(parents=True, exist_ok=True)
    whole = shared_object()
    (folder / "whole.so").write_bytes(whole)
    (folder / "cut.so").write_bytes(whole[:len(whole) - DYN])


if __name__ == "__main__":
    main()
