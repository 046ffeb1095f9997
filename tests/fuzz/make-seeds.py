#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<target>/ from the test suites' own
hex rows and sample plans. The targets read most inputs through libFuzzer's
FuzzedDataProvider: numbers from the end of the input (most significant byte last), bytes and
text from the front; Seed below lays an input out that way. Run it after changing a target's
input layout; the corpus files are committed."""
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))


class Seed:
    """An input in FuzzedDataProvider's layout."""

    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order the target consumes it

    def int(self, value, lo, hi):
        span, v, n = hi - lo, value - lo, 0
        while n < 8 and (span >> (8 * n)) > 0:
            n += 1
        self.back += bytes((v >> (8 * (n - 1 - i))) & 0xFF for i in range(n))
        return self

    def bool(self, value):
        return self.int(1 if value else 0, 0, 255)

    def bytes(self, data):
        self.front += data
        return self

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def hx(text):
    return bytes.fromhex(text.replace(" ", ""))


def net_reply():
    packet = 1460
    def seed(expected, first, counter, cuts, stream):
        s = Seed().int(expected, 0, 4 * packet).bool(first).int(counter, 0, 0xFFFF)
        s.int(len(cuts), 0, 8)
        for c in cuts:
            s.int(c, 0, 2 * packet)
        return s.bytes(stream).data()
    write("fuzz_net_reply", "one-packet", seed(4, True, 0, [], hx("EFBE3412A1B2C3D4")))
    write("fuzz_net_reply", "next-number", seed(4, False, 0x1234, [3], hx("EFBE3512A1B2C3D4")))
    write("fuzz_net_reply", "wrap", seed(2, False, 0xFFFF, [], hx("EFBE0000AABB")))
    write("fuzz_net_reply", "bad-magic-0", seed(2, True, 0, [], hx("EEBE00000102")))
    write("fuzz_net_reply", "bad-magic-1", seed(2, True, 0, [], hx("EFBF00000102")))
    two = hx("EFBE0000") + bytes(range(256)) * 5 + bytes(1456 - 1280)
    two += hx("EFBE0100") + bytes([0xAB]) * 44
    write("fuzz_net_reply", "two-packets", seed(1500, True, 0, [700, 800], two))
    write("fuzz_net_reply", "overrun", seed(2, True, 0, [], hx("EFBE0000AABBCC")))


def usb_replies():
    def seed(reg, word, count, n, wseed, slot_bytes, name_code, hub):
        s = Seed().int(reg, 0, 255).int(word, 0, 0xFFFFFFFF).int(count, 0, 0xFFFFFFFF)
        s.int(n, 0, 9000).int(wseed, 0, 0xFFFFFFFF)
        for b in slot_bytes:
            s.int(b, 0, 255)
        s.int(name_code, -(1 << 31), (1 << 31) - 1)
        hub(s)
        return s.data()
    def no_hub(s):
        pass
    def demo_hub(s):
        # list: hub channel A and B, then open, count, one slot EEPROM read
        s.int(2, 0, 7)  # Open
        s.int(0, 0, 2)
        s.int(1, 0, 31)  # CreateDeviceInfoList: FT_OK
        s.int(2, 0, 6)
        for serial in (b"VQX25001A", b"VQX25001B"):
            s.bool(True).int(len(serial), 0, 16).bytes(serial)
        s.int(1, 0, 15)  # the count as listed
        for _ in range(12):
            s.int(1, 0, 31)  # FT_OK for the calls that follow
        s.int(0, 0, 7)  # CountHubs
    write("fuzz_usb_replies", "write-word-1", seed(0, 1, 2, 1, 1, hx("21790500"), 3, no_hub))
    write("fuzz_usb_replies", "read-730", seed(15, 0x80000601, 730, 4097, 7, hx("21790500"), 9, no_hub))
    write("fuzz_usb_replies", "demo-slots-hub", seed(2, 0x40000601, 2, 8, 3, hx("21790500"), 2, demo_hub))


def record():
    def seed(rec, latin1, text):
        s = Seed()
        for b in rec:
            s.int(b, 0, 255)
        return s.bool(latin1).bytes(text).data()
    rec = hx("01000A00 00FFFFFF 14000A00")  # gateway 10.0.0.1, mask /24, ip 10.0.0.20
    write("fuzz_record", "valid", seed(rec, False, b"192.168.1.20"))
    write("fuzz_record", "leading-zero", seed(rec, False, b"010.0.0.1"))
    write("fuzz_record", "blanks", seed(hx("00000000 00FF00FF 0100007F"), True, b" 10.0.0.1\t"))
    write("fuzz_record", "too-large", seed(hx("FFFFFFFF FFFFFFFF FF0000E0"), False, b"256.1.1.1"))
    write("fuzz_record", "slash31", seed(hx("00000000 FEFFFFFF 0100A8C0"), False, "１.2.3.4".encode()))


def plan():
    csv = (b"host,port,slot,ip,mask,gateway\n"
           b"192.168.1.20,,,10.0.0.20,255.255.255.0,10.0.0.1\n"
           b",,3,10.0.0.23,255.255.255.0,10.0.0.1\n"
           b"# a comment\n"
           b"\"127.0.0.1\",23101,,10.0.0.21,255.255.255.0,0.0.0.0\r\n")
    json = (b'[{"host":"192.168.1.20","ip":"10.0.0.20","mask":"255.255.255.0","gateway":"10.0.0.1"},'
            b'{"slot":3,"ip":"10.0.0.23","mask":"255.255.255.0","gateway":"10.0.0.1"},'
            b'{"host":"127.0.0.1","port":23101,"ip":"10.0.0.21","mask":"255.255.255.0","gateway":"0.0.0.0"}]')
    write("fuzz_plan", "csv-auto", b"\x00" + csv)
    write("fuzz_plan", "csv", b"\x01" + b"\xEF\xBB\xBF" + csv)
    write("fuzz_plan", "json", b"\x02" + json)
    write("fuzz_plan", "json-modules", b"\x00" + b'{"modules":' + json + b"}")
    write("fuzz_plan", "json-duplicate-key", b"\x02" + b'[{"slot":1,"slot":2,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}]')
    write("fuzz_plan", "csv-quotes", b"\x01" + b'SLOT,IP,Mask,gateway\n"4" , "10.0.0.4",255.255.0.0,""\n')
    entry = b'{"slot":1,"ip":"10.0.0.2","mask":"255.0.0.0","gateway":"0.0.0.0"}'
    write("fuzz_plan", "json-modules-twice", b"\x00" + b'{"modules":[' + entry + b'],"modules":[]}')
    write("fuzz_plan", "json-bom-cut-short", b"\x02" + b"\xEF\xBB\xBF[" + entry + b',{"slot":2,"ip')
    write("fuzz_plan", "csv-long-comment",
          b"\x00" + b"slot,ip,mask,gateway\n  #" + b"x" * 5000 + b"\n2,10.0.0.2,255.0.0.0,0.0.0.0\n")


def scan():
    write("fuzz_scan", "forms", b"192.168.1.0/24\n10.0.0.10-10.0.0.60\n10.0.0.5")
    write("fuzz_scan", "overlap", b"10.0.0.0/30\n10.0.0.3-10.0.0.9\n10.0.0.10\n0.0.0.0/0")
    write("fuzz_scan", "refused", b"10.0.0.9-10.0.0.1\n1.2.3.4/33\n1.2.3.4/+8\n010.0.0.1")


def sim_requests():
    def seed(strict, v2, stream):
        s = Seed().bool(strict).bool(v2).int(0, 0, 3).int(-1, -1, 40).int(2, 0, 8)
        s.int(4, 0, 16).int(7, 0, 16)
        return s.bytes(stream).data()
    # Enable, a byte written, a write command, status polls, the version, a read command, data.
    write_byte = hx("800100000000 8F4001000000 8A010C000004 C40600000000 CE0200000000")
    read_byte = hx("800100000000 8A010C000008 C40600000000 CF0100000000")
    write("fuzz_sim_requests", "write-v1", seed(True, False, write_byte))
    write("fuzz_sim_requests", "read-v1", seed(True, False, read_byte))
    write("fuzz_sim_requests", "write-v2", seed(True, True, hx("800100000000 8F4001000000 8D010C000004 C30100000000")))
    write("fuzz_sim_requests", "refused", seed(True, False, hx("8D010C000008 8A0100000004 8F5A02000000 C30100000000 0102 A0010000007F 8A01")))
    write("fuzz_sim_requests", "lax", seed(False, True, hx("0102 8A0180000004 C4FF00000070 CF5A05000000")))


def usb_emulation():
    def seed(ops, packet64=False, busy=0, slots=(1, 2, 9, 7, 5, 0)):
        s = Seed().int(1, 0, 7).bool(packet64).int(busy, 0, 3)
        for t in slots:
            s.int(t, 0, 15)
        for _ in range(4):
            s.int(1, 0, 7)  # no silent, stall, short writes, unplugging
        for op in ops:
            op(s)
        return s.data()
    def open_(s):
        s.int(0, 0, 10).int(0, 0, 3)
    def bring_up(s):
        s.int(10, 0, 10).int(0, 0, 3).bool(True)
    def out(data):
        def op(s):
            s.int(4, 0, 10).int(0, 0, 3).int(1, 0, 7).int(0, 0, 1)
            s.int(len(data), 0, 700).bytes(data).int(1000, 0, 3000)
        return op
    def bulk_in(length):
        def op(s):
            s.int(5, 0, 10).int(0, 0, 3).int(0, 0, 2).int(length, 0, 2048).int(1000, 0, 3000)
        return op
    def control(rtype, req, value, index, length):
        def op(s):
            s.int(3, 0, 10).int(0, 0, 3).bool(False).int(rtype, 0, 255).bool(False)
            s.int(req, 0, 255).int(value, 0, 0xFFFF).bool(False).int(index, 0, 0xFFFF)
            s.int(length, 0, 300)
        return op
    slot_types = hx("C20200000000")
    write("fuzz_usb_emulation", "slot-types", seed([open_, bring_up, out(slot_types), bulk_in(512)]))
    write("fuzz_usb_emulation", "slot-types-64", seed([open_, bring_up, out(slot_types), bulk_in(200)], packet64=True))
    write("fuzz_usb_emulation", "latency-status", seed([open_, bring_up, control(0x40, 0x09, 2, 2, 0),
                                                         control(0xC0, 0x0A, 0, 2, 1), control(0xC0, 0x05, 0, 2, 2)]))
    write("fuzz_usb_emulation", "bitmode-before-baud", seed([open_, control(0x40, 0x0B, 0x0400, 1, 0)]))
    write("fuzz_usb_emulation", "config-text", b"slots=1,2,9,7,5,0 packet=64 record2=0A0000010000FFFF1400000A\x00")


if __name__ == "__main__":
    net_reply()
    usb_replies()
    record()
    plan()
    scan()
    sim_requests()
    usb_emulation()
    sys.exit(0)
