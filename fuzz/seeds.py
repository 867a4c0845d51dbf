#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets under fuzz/corpus/<target>/ (run from anywhere).

The seeds are small, well-formed examples of each input format (see the comment at the top of each
fuzz_<target>.cpp); libFuzzer mutates from them. The package descriptor seeds are kept by hand."""
import os
import struct

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, name, data):
    folder = os.path.join(ROOT, target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(bytes(data))


def le16(v):
    return struct.pack("<H", v)


def le32(v):
    return struct.pack("<I", v)


def put(buf, offset, data):
    buf[offset:offset + len(data)] = data


# ---- controller replies -------------------------------------------------------------------
def identify(fixed=500, feature_pages=True, slot=3):
    b = bytearray(647)
    put(b, 5, b"1.98")
    put(b, 189, bytes([slot]))
    put(b, 196, le32(647))
    put(b, 200, b"ZEVORIDE")
    put(b, 208, b"P410i  RAID     ")
    put(b, 240, le32(fixed))
    put(b, 268, le32(0x80000000 if feature_pages else 0))
    put(b, 290, bytes([3, 8]))
    put(b, 365, le16(0x5A3E) + le16(0x1D5A) + le16(0x4b1b) + le16(0x1D5A))
    put(b, 373, le32(8) + le32(8))
    put(b, 389, b"Zevorided RAID".ljust(32))
    put(b, 453, le16(slot))
    return b


def controller_parameters(total=207):
    b = bytearray(334)
    put(b, 188, le32(total))
    return b


def cache_status():
    b = bytearray(512)
    put(b, 16, le32(512))
    return b


def subsystem_parameters(serial=b"PDVTF0ARH1234   "):
    b = bytearray(1744)
    put(b, 44, serial.ljust(32))
    return b


def feature_reply(pages):
    body = b"".join(bytes([p, s]) + le16(len(d)) + d for p, s, d in pages)
    b = bytearray(b"\0\0" + le16(len(body)) + body)
    return b + bytearray(240 - len(b)) if len(b) < 240 else b


STANDARD_PAGES = [
    (0x07, 0x01, b"\x01"),       # encryption supported
    (0x0A, 0x01, b"\x00"),       # not software RAID
    (0x0C, 0x01, b"\x00\x00\x00\x02\x00"),  # family id supported
    (0x0E, 0x01, b"\x00\x00"),   # skipped silently
    (0x0F, 0x01, b"\x00"),       # unknown page
]


def ok(reply=b"", control=0):
    return bytes([control]) + le16(len(reply)) + bytes(reply)


def check_condition(sense, reply=b""):
    return bytes([0x08, len(sense)]) + bytes(sense).ljust(32, b"\0") + le16(len(reply)) + bytes(reply)


def start_up(fixed=500, feature_pages=True, slot=3):
    return ok(identify(fixed, feature_pages, slot)) + ok(controller_parameters()) + ok(cache_status())


# ---- LUN reports ----------------------------------------------------------------------------
def physical_report(entries, claimed=None):
    body = b""
    for index, device_type, flags in entries:
        lun = bytearray(8)
        v = index + 256
        lun[6] = v & 0xFF
        lun[7] = (v >> 8) & 0x3F
        e = bytearray(24)
        put(e, 0, lun)
        e[16] = device_type
        e[17] = flags
        body += bytes(e)
    length = len(body) if claimed is None else claimed
    return struct.pack(">I", length) + b"\0\0\0\0" + body


def logical_report(entries, claimed=None):
    body = b""
    for number, kind in entries:
        e = bytearray(24)
        put(e, 0, le16(number))
        e[4] = kind
        body += bytes(e)
    length = len(body) if claimed is None else claimed
    return struct.pack(">I", length) + b"\0\0\0\0" + body


def identify_physical(index, device_type=0, box=1, bay=3):
    b = bytearray(128)
    put(b, 0, le16(index))
    b[2] = device_type
    put(b, 4, le16(box))
    b[6] = bay
    put(b, 8, b"1I")
    put(b, 16, b"ZEVDISK ")
    put(b, 24, b"EG0300FBVFL".ljust(40))
    put(b, 64, b"KXG1P4A0FXYZ".ljust(20))
    put(b, 84, b"HPD5    ")
    put(b, 92, le32(0x01))
    return b


def inquiry(additional=91):
    b = bytearray(96)
    b[4] = additional
    put(b, 8, b"ZEVDISK EG0300FBVFL     ")
    return b


def main():
    # command line: option byte, arguments separated by zero bytes
    for name, options, args in [
        ("inventory", 0, ["-i"]),
        ("update_debug", 0, ["-u", "-d", "upd.log", "-f", "-v"]),
        ("output_then_mode", 0, ["-o", "out.xml", "-i", "-u"]),
        ("output_is_option", 0, ["-o", "-i"]),
        ("output_missing", 0, ["-i", "-o"]),
        ("help_after_mode", 0, ["-i", "-h", "-u"]),
        ("debug_before_mode", 0, ["-d", "-i"]),
        ("marker_present", 1, ["-u"]),
        ("unknown", 0, ["-debug"]),
        ("empty", 0, []),
    ]:
        write("command_line", name, bytes([options]) + b"\0".join(a.encode() for a in args))

    # descriptor: lookup-size byte, then a controller descriptor
    def descriptor(props):
        body = b"".join(le16(t) + le16(len(v)) + v for t, v in props)
        return le16(2 + len(body)) + body
    address = bytes([0, 1, 0, 1]) + bytes(12)
    controller = [(0, b"/sys/devices/pci0000:00/0000:00:03.0/0000:03:00.0"), (1, b"/dev/sg3"), (2, le16(0)),
                  (3, address), (5, le16(1)), (6, le16(0xFFFF)), (0x41, le32(0x030000))]
    write("descriptor", "controller", b"\x10" + descriptor(controller))
    write("descriptor", "controller_small_buffer", b"\x02" + descriptor(controller))
    write("descriptor", "slot_properties", b"\x04" + descriptor(controller + [(0x42, b"S\0\0\0"), (0x43, le32(7))]))
    truncated = descriptor(controller)
    write("descriptor", "size_beyond_entries", b"\x10" + le16(len(truncated) + 40) + truncated[2:])
    write("descriptor", "entry_past_end", b"\x10" + le16(20) + truncated[2:24])

    # hex dump: repeat byte, then data
    write("hex_dump", "three_bytes", b"\x00AB\n")
    write("hex_dump", "seventeen", b"\x00" + bytes(range(17)))
    write("hex_dump", "all_bytes", b"\x00" + bytes(range(256)))
    write("hex_dump", "empty", b"\x00")

    # feature pages: the reply itself
    write("feature_pages", "standard", feature_reply(STANDARD_PAGES))
    write("feature_pages", "all_slots", feature_reply(
        [(p, s, bytes(n)) for p, s, n in [(1, 1, 1), (1, 2, 20), (2, 1, 8), (3, 1, 1), (4, 1, 3), (4, 2, 3), (5, 1, 4),
                                          (6, 1, 3), (7, 1, 1), (8, 1, 1), (9, 1, 2), (10, 1, 1), (11, 1, 1),
                                          (12, 1, 5), (13, 1, 4), (14, 2, 5), (14, 3, 5), (14, 4, 4), (14, 5, 4)]]))
    write("feature_pages", "page_too_long", feature_reply([(0x07, 0x01, b"\x01\x02\x03")]))
    long_total = feature_reply(STANDARD_PAGES)
    put(long_total, 2, le16(300))
    write("feature_pages", "total_too_long", long_total)

    # identify decode: 8 parameter bytes, then the identify reply
    write("identify_decode", "standard", bytes([40, 7, 100, 8, 16]) + le16(207) + b"\x01" + identify())
    write("identify_decode", "old_layout", bytes([8, 3, 104, 16, 2]) + le16(100) + b"\x03" + identify(fixed=300, slot=31))
    write("identify_decode", "too_short", bytes([3, 0, 194, 32, 1]) + le16(0) + b"\x04" + identify(fixed=275, slot=0xFF))

    # controller replies: option byte, then the answers in the order the storage core asks
    reads = ok(subsystem_parameters()) + ok(feature_reply(STANDARD_PAGES)) + ok(b"\x00" * 4) * 4
    queries = reads + ok() * 16
    write("controller_replies", "ciss_standard", b"\x20" + start_up() + queries)
    write("controller_replies", "ciss_flash", b"\x04" + start_up() + queries)
    write("controller_replies", "sis_reinitialise", b"\x09" + start_up() + reads + start_up() + reads)
    write("controller_replies", "pqi_no_feature_pages", b"\x12" + start_up(feature_pages=False, slot=31) +
          ok(subsystem_parameters(b"\x01bad")) + ok() * 8)
    write("controller_replies", "identify_rejected", b"\x00" + check_condition(b"\x70\x00\x05") + ok() * 2)
    write("controller_replies", "too_old", b"\x00" + ok(identify(fixed=275)))
    write("controller_replies", "ioctl_fails", b"\x00" + b"\xf0")

    # LUN reports: option byte, index count and indices, then the answers
    drives = [(4, 0, 0), (9, 0, 1), (12, 6, 0), (0, 5, 0), (2, 7, 0)]
    logical = [(0, 0), (1, 1), (5, 0)]
    head = b"\x00\x03" + le16(4) + le16(12) + le16(1)
    reports = (ok(physical_report(drives)) + ok(physical_report(drives)) + ok(physical_report(drives)) +
               ok(logical_report(logical)) + ok(logical_report(logical)))
    write("lun_reports", "ciss_lists", head + reports)
    write("lun_reports", "sis_lists", b"\x11" + head[1:] + reports)
    write("lun_reports", "second_read", head + ok(physical_report(drives[:1], claimed=24 * 40)) +
          ok(physical_report(drives)) + reports)
    write("lun_reports", "report_fails", head + b"\xf0" + ok(physical_report([])) + b"\xff")
    table = start_up() + ok(physical_report(drives))
    for index, device_type, _ in drives:
        table += ok(identify_physical(index, device_type)) + ok(inquiry()[:5]) + ok(inquiry())
    write("lun_reports", "ciss_table", b"\x04\x00" + table)
    write("lun_reports", "sis_table", b"\x15\x00" + table)


if __name__ == "__main__":
    main()
