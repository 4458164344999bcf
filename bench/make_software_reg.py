#!/usr/bin/env python3
"""Writes a SOFTWARE-like .reg text (HKEY_LOCAL_MACHINE\\SOFTWARE prefix) for hivexregedit --merge
and a list of lookups ("key path<TAB>value name", one a line) of values that exist in it.
Usage: make_software_reg.py OUT.reg OUT.lookups MEGABYTES LOOKUPS"""
import random
import sys


def main():
    reg_path, list_path, megabytes, lookups = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rnd = random.Random(17)
    prefix = "HKEY_LOCAL_MACHINE\\SOFTWARE"
    target = megabytes << 20
    written = 0
    values = []
    with open(reg_path, "w", encoding="utf-8") as f:
        f.write("Windows Registry Editor Version 5.00\n\n")
        for top in ("Classes", "Microsoft", "Vendors"):
            f.write(f"[{prefix}\\{top}]\n\n")
        v = 0
        while written < target:
            top = ("Classes", "Microsoft", "Vendors")[v % 3]
            vendor = f"{top}\\Vendor{v:04d}"
            f.write(f"[{prefix}\\{vendor}]\n\"Publisher\"=\"Publisher number {v}\"\n\n")
            for p in range(40):
                key = f"{vendor}\\Product{p:03d}"
                f.write(f"[{prefix}\\{key}]\n")
                desc = "".join(rnd.choice("abcdefghijklmnopqrstuvwxyz ") for _ in range(600))
                f.write(f"\"Description\"=\"{desc}\"\n")
                f.write(f"\"InstallPath\"=\"C:\\\\Program Files\\\\Vendor{v:04d}\\\\Product{p:03d}\"\n")
                f.write(f"\"Version\"=dword:{rnd.randrange(1 << 32):08x}\n")
                f.write(f"\"Build\"=\"{rnd.randrange(10000)}.{rnd.randrange(100)}\"\n\n")
                written += 1700
                for name in ("Description", "InstallPath", "Version", "Build"):
                    values.append((key, name))
            v += 1
    with open(list_path, "w", encoding="utf-8") as f:
        for key, name in rnd.sample(values, lookups):
            f.write(f"{key}\t{name}\n")


if __name__ == "__main__":
    main()
