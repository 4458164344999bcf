#!/usr/bin/env python3
"""Hand-built seeds that the real tools cannot make small enough: VHD images with 4 KiB blocks
(dynamic, differencing chains with W2ru/W2ku locators, split sets), small hosted sparse and ESX
sparse (COWD) extents, and LDM disks from the sample data in the sparse form of the partitions
target. Usage: make_seeds.py OUT_DIR RAW_DISK [LDM_TARBALL]"""
import os
import struct
import sys
import tarfile
import uuid

SEP = b"\n==vmpeek-file==\n"
out, raw_path = sys.argv[1], sys.argv[2]
ldm_tar = sys.argv[3] if len(sys.argv) > 3 else None
raw = open(raw_path, "rb").read()


def save(target, name, data):
    d = os.path.join(out, target)
    os.makedirs(d, exist_ok=True)
    if len(data) < 256 * 1024:
        open(os.path.join(d, name), "wb").write(data)


def frame(*files):
    return SEP.join(files)


def sectors(data):
    return [data[i:i + 512] for i in range(0, len(data), 512)]


# ---- VHD ------------------------------------------------------------------------------------

def checksum(b):
    return (~sum(b)) & 0xFFFFFFFF


def vhd_footer(disk_type, size, data_offset, uid, saved=0):
    f = bytearray(512)
    f[0:8] = b"conectix"
    struct.pack_into(">IIQ", f, 8, 2, 0x00010000, data_offset)
    f[28:32] = b"vmpk"
    f[36:40] = b"Wi2k"
    struct.pack_into(">QQHBBI", f, 40, size, size, max(1, size // (16 * 63 * 512)), 16, 63, disk_type)
    f[68:84] = uid
    f[84] = saved
    struct.pack_into(">I", f, 64, checksum(f))
    return bytes(f)


def vhd_dynamic(data, uid, block=4096, parent_uid=None, locators=(), present=None):
    """A dynamic (or, with parent_uid, differencing) image holding the non-zero blocks of data,
    or the sectors listed in present."""
    size = len(data)
    spb = block // 512
    entries = (size + block - 1) // block
    bat_bytes = (entries * 4 + 511) // 512 * 512
    bitmap_sectors = ((block // 4096) + 511) // 512
    pos = 3 + bat_bytes // 512
    bat = [0xFFFFFFFF] * entries
    blocks = b""
    for b in range(entries):
        chunk = data[b * block:(b + 1) * block].ljust(block, b"\0")
        want = [s for s in range(spb) if present is None or (b * spb + s) in present]
        if present is None and not any(chunk):
            continue
        if not want:
            continue
        bitmap = bytearray(bitmap_sectors * 512)
        for s in want:
            bitmap[s // 8] |= 0x80 >> (s % 8)
        bat[b] = pos
        blocks += bytes(bitmap) + chunk
        pos += bitmap_sectors + spb
    loc_data = b""
    loc_entries = bytearray(8 * 24)
    for i, (code, text) in enumerate(locators):
        raw_text = text.encode("utf-16-le")
        space = (len(raw_text) + 511) // 512 * 512
        struct.pack_into(">IIIIQ", loc_entries, i * 24, code, space, len(raw_text), 0, (pos * 512))
        loc_data += raw_text.ljust(space, b"\0")
        pos += space // 512
    h = bytearray(1024)
    h[0:8] = b"cxsparse"
    struct.pack_into(">QQIIII", h, 8, 0xFFFFFFFFFFFFFFFF, 1536, 0x00010000, entries, block, 0)
    if parent_uid:
        h[40:56] = parent_uid
        h[64:64 + 10] = "p.vhd".encode("utf-16-be")
    h[576:576 + 192] = loc_entries
    struct.pack_into(">I", h, 36, checksum(h))
    footer = vhd_footer(4 if parent_uid else 3, size, 512, uid)
    table = b"".join(struct.pack(">I", e) for e in bat).ljust(bat_bytes, b"\xff")
    return footer + bytes(h) + table + blocks + loc_data + footer


U_CHILD, U_PARENT, U_GRAND = uuid.uuid4().bytes, uuid.uuid4().bytes, uuid.uuid4().bytes
W2RU, W2KU = 0x57327275, 0x57326B75
disk = raw[:64 * 1024]
save("vhd", "fixed", disk + vhd_footer(2, len(disk), 0xFFFFFFFFFFFFFFFF, U_CHILD))
save("vhd", "fixed-saved", disk + vhd_footer(2, len(disk), 0xFFFFFFFFFFFFFFFF, U_CHILD, saved=1))
save("vhd", "dynamic", vhd_dynamic(disk, U_CHILD))
save("vhd", "dynamic-8k", vhd_dynamic(disk, U_CHILD, block=8192))
parent = vhd_dynamic(disk, U_PARENT)
changed = bytearray(disk)
changed[512 * 3:512 * 5] = b"\xab" * 1024
child_ru = vhd_dynamic(bytes(changed), U_CHILD, parent_uid=U_PARENT, locators=[(W2RU, ".\\p.vhd")],
                       present={3, 4})
child_ku = vhd_dynamic(bytes(changed), U_CHILD, parent_uid=U_PARENT,
                       locators=[(W2KU, "Z:\\p.vhd"), (W2RU, "p.vhd")], present={3, 4})
save("vhd", "diff-w2ru", frame(child_ru, parent))
save("vhd", "diff-w2ku", frame(child_ku, parent))
mid = vhd_dynamic(disk, U_PARENT, parent_uid=U_GRAND, locators=[(W2RU, "g.vhd")], present={1})
grand = vhd_dynamic(disk, U_GRAND)
save("vhd", "diff-chain", frame(child_ru, mid, b"", grand))
dyn = vhd_dynamic(disk, U_CHILD)
cut = (len(dyn) // 512 // 2) * 512
save("vhd", "split", frame(dyn[:cut], b"", dyn[cut:]))

# ---- VMDK sparse extents ----------------------------------------------------------------------

def hosted_sparse(data, grain=8, per_gt=512, flags=3):
    capacity = len(data) // 512
    grains = (capacity + grain - 1) // grain
    tables = (grains + per_gt - 1) // per_gt
    gd_sectors = (tables * 4 + 511) // 512
    gt_sectors = (per_gt * 4 + 511) // 512
    rgd = 1
    rgt = rgd + gd_sectors
    gd = rgt + tables * gt_sectors
    gt = gd + gd_sectors
    pos = gt + tables * gt_sectors
    entries = [0] * (tables * per_gt)
    payload = b""
    for g in range(grains):
        chunk = data[g * grain * 512:(g + 1) * grain * 512].ljust(grain * 512, b"\0")
        if any(chunk):
            entries[g] = pos
            payload += chunk
            pos += grain
    hdr = bytearray(512)
    struct.pack_into("<IIIQQQQIQQQ", hdr, 0, 0x564D444B, 1, flags, capacity, grain, 0, 0, per_gt, rgd, gd,
                     gt + tables * gt_sectors)
    hdr[73:77] = b"\n \r\n"

    def directory(first):
        return b"".join(struct.pack("<I", first + t * gt_sectors) for t in range(tables)).ljust(gd_sectors * 512, b"\0")
    tables_bytes = b"".join(struct.pack("<I", e) for e in entries).ljust(tables * gt_sectors * 512, b"\0")
    return bytes(hdr) + directory(rgt) + tables_bytes + directory(gt) + tables_bytes + payload


def cowd(data, grain=1, holes=()):
    capacity = len(data) // 512
    grains = (capacity + grain - 1) // grain
    tables = (grains + 4095) // 4096
    gd_sector = 4
    gd_sectors = (tables * 4 + 511) // 512
    pos = gd_sector + gd_sectors
    gd = []
    body = b""
    for t in range(tables):
        if t in holes:
            gd.append(0)
            continue
        gd.append(pos)
        entries = [0] * 4096
        gt_pos = pos
        pos += 32
        grains_bytes = b""
        for j in range(4096):
            g = t * 4096 + j
            chunk = data[g * grain * 512:(g + 1) * grain * 512].ljust(grain * 512, b"\0")
            if g < grains and any(chunk):
                entries[j] = pos
                grains_bytes += chunk
                pos += grain
        body += b"".join(struct.pack("<I", e) for e in entries) + grains_bytes
        assert gt_pos
    hdr = bytearray(2048)
    struct.pack_into("<IIIIIIII", hdr, 0, 0x44574F43, 1, 3, capacity, grain, gd_sector, tables, pos)
    return bytes(hdr) + b"".join(struct.pack("<I", e) for e in gd).ljust(gd_sectors * 512, b"\0") + body


save("vmdk_hosted_sparse", "grain8", hosted_sparse(disk))
save("vmdk_hosted_sparse", "grain8-flags1", hosted_sparse(disk, flags=1))
save("vmdk_hosted_sparse", "grain16-gt64", hosted_sparse(raw[:192 * 1024], grain=16, per_gt=64))
save("vmdk_hosted_sparse", "child-of-flat", frame(hosted_sparse(bytes(changed[:8192]).ljust(len(disk), b"\0")), disk))
save("vmdk_esx_sparse", "grain1", cowd(disk))
save("vmdk_esx_sparse", "grain4", cowd(raw[:192 * 1024], grain=4))
save("vmdk_esx_sparse", "child-of-flat", frame(cowd(bytes(changed[:8192]).ljust(len(disk), b"\0")), disk))
# Two tables' worth of sectors, the second table absent: writes there make a new table.
save("vmdk_esx_sparse", "hole", cowd(disk.ljust(8192 * 512, b"\0"), holes={1}))

# The same extents under descriptors of their own.
GEOMETRY = 'ddb.geometry.cylinders = "4"\nddb.geometry.heads = "16"\nddb.geometry.sectors = "63"\n'


def descriptor(lines, cid="00000002", parent_cid="ffffffff", hint=None):
    text = "# Disk DescriptorFile\nversion=1\nCID=%s\nparentCID=%s\n" % (cid, parent_cid)
    if hint:
        text += 'parentFileNameHint="%s"\n' % hint
    text += "\n# Extent description\n" + "\n".join(lines) + "\n\n# The Disk Data Base \n" + GEOMETRY
    return text.encode()


n = len(disk) // 512
save("vmdk_descriptor", "sparse-and-esx", frame(descriptor(['RW 64 SPARSE "1.vmdk"', 'RW %d VMFSSPARSE "2.vmdk"' % (n - 64)]),
                                                hosted_sparse(disk[:64 * 512]), cowd(disk[64 * 512:])))
save("vmdk_descriptor", "three-flat", frame(descriptor(['RW 32 FLAT "1.vmdk" 0', 'RDONLY 32 VMFS "2.vmdk"',
                                                        'RW %d FLAT "3.vmdk" 0' % (n - 64)]),
                                            disk[:32 * 512], disk[32 * 512:64 * 512], disk[64 * 512:]))
save("vmdk_descriptor", "esx-child", frame(descriptor(['RW %d VMFSSPARSE "1.vmdk"' % n], parent_cid="0000abcd", hint="2.vmdk"),
                                           cowd(bytes(changed[:8192]).ljust(len(disk), b"\0")),
                                           descriptor(['RW %d FLAT "3.vmdk" 0' % n], cid="0000abcd"), disk))
save("vmdk_descriptor", "loop", frame(descriptor(['RW %d FLAT "2.vmdk" 0' % n], cid="1", parent_cid="1", hint="1.vmdk"),
                                      descriptor(['RW %d FLAT "3.vmdk" 0' % n], cid="1", parent_cid="1", hint="disk.vmdk"),
                                      disk, disk))

# ---- LDM sample disks in the partitions target's sparse form ----------------------------------

def sparse_form(image, keep):
    total = len(image) // 512
    body = b""
    run_start = None
    secs = [s for s in keep if s < total and any(image[s * 512:(s + 1) * 512])]
    secs.sort()
    i = 0
    while i < len(secs):
        j = i
        while j + 1 < len(secs) and secs[j + 1] == secs[j] + 1:
            j += 1
        first, last = secs[i], secs[j]
        body += struct.pack("<II", first, (last - first + 1) * 512) + image[first * 512:(last + 1) * 512]
        i = j + 1
    del run_start
    return b"VMPKSPRS" + struct.pack("<I", total) + body


if ldm_tar and os.path.exists(ldm_tar):
    wanted = {"ldm-2003r2-simple-1.img", "ldm-2003r2-spanned-1.img", "ldm-2003r2-mirrored-1.img",
              "ldm-2003r2-raid5-1.img", "ldm-2008r2-striped-1.img", "ldm-2008r2-spanned-2.img"}
    with tarfile.open(ldm_tar, "r:xz") as tar:
        for member in tar:
            name = os.path.basename(member.name)
            if name not in wanted:
                continue
            image = tar.extractfile(member).read()
            total = len(image) // 512
            # The boot sectors, the private headers, and the head of the database (TOCBLOCKs, VMDB
            # and the VBLK records) that lies in the 2048 sectors before the last private header.
            keep = list(range(0, 300)) + list(range(total - 2048, total - 2048 + 160)) + list(range(total - 200, total))
            save("partitions", name.replace(".img", ""), sparse_form(image, keep))
