#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: small images, files lists, telnet streams, PARMRK bytes,
settings stores and simulated drive options, sound and broken.

Run from anywhere: python3 fuzz/make_seeds.py. The files are committed; rerunning gives the
same bytes.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def word(value):
    return struct.pack(">H", value & 0xFFFF)


def packet(payload, bop=0xA55A, length=None, checksum=None):
    n = len(payload) if length is None else length
    if checksum is None:
        checksum = (n >> 8) + (n & 0xFF) + sum(payload)
    return word(bop) + word(n) + bytes(payload) + word(checksum)


def write_payload(address, data):
    return b"WR" + struct.pack(">I", address) + bytes(data)


def erase_payload(address, count):
    return b"ER" + struct.pack(">I", address) + word(count)


def kdx(count, revision, offset=16, magic=0x4F72, version=16, family=0):
    return (word(0) + word(count) + word(magic) + word(version) + word(0) + word(family) +
            word(revision) + word(offset))


def plain(count, offset=4):
    return word(offset) + word(count)


def images():
    data = [(i * 37 + 11) & 0xFF for i in range(48)]
    wr = write_payload(0x10000, data)
    er = erase_payload(0x10000, 0x400)
    return {
        "kdx_rev2_three_packets": kdx(3, 2) + packet(er) + packet(wr) + packet(wr[:20]),
        "kdx_rev3": kdx(1, 3) + packet(wr),
        "kdx_rev1_padded_offset": kdx(1, 1, offset=24) + bytes(8) + packet(wr),
        "plain_two_packets": plain(2) + packet(er) + packet(wr),
        "plain_starts_with_packet": packet(wr) + packet(er),
        "empty": b"",
        "zero_length_packet": kdx(1, 2) + packet(b""),
        "reset_frame": bytes.fromhex("A55A0006455800 00FFFE02A0".replace(" ", "")),
        "bad_magic": kdx(1, 2, magic=0x4F73) + packet(wr),
        "format_17": kdx(1, 2, version=17) + packet(wr),
        "format_negative": kdx(1, 2, version=0x8000) + packet(wr),
        "family_1": kdx(1, 2, family=1) + packet(wr),
        "bad_bop": kdx(1, 2) + packet(wr, bop=0xA55B),
        "bad_checksum": kdx(1, 2) + packet(wr, checksum=0x1234),
        "oversized_length": kdx(1, 2) + packet(wr, length=0x400F),
        "length_8000": kdx(1, 2) + word(0xA55A) + word(0x8000) + bytes(16),
        "truncated_payload": (kdx(1, 2) + packet(wr))[:-9],
        "truncated_checksum_sums_agree":
            kdx(1, 2) + packet(bytes([0xFE, 0xFE]) + bytes([0xFF] * 255))[:-1],
        "two_stray_bytes": kdx(1, 2) + packet(wr) + b"\x00\x00",
        "one_stray_byte": kdx(1, 2) + packet(wr) + b"\x5A",
        "offset_beyond_end": kdx(1, 2, offset=0x4000) + packet(wr),
        "negative_offset": kdx(1, 2, offset=0xFFF0) + packet(wr),
        "negative_revision": kdx(1, 0xFFFF) + packet(wr),
        "header_only_cut": kdx(0, 2)[:7],
        # Files that are not images, and sound images whose first bytes look like one of them.
        "intel_hex": intel_hex(4),
        "s_records": b"S00600004844521B\nS1130000285F245F2212226A000424290008237C2A\n"
                     b"S9030000FC\n",
        "text": "Notes on the new firmware: \u00e9t\u00e9 2026\r\n".encode() * 3,
        "gzip": bytes.fromhex("1f8b080000000000000303000000000000000000"),
        "elf_start": b"\x7fELF\x02\x01\x01" + bytes(57),
        "zip_start": b"PK\x03\x04\x0a\x00" + bytes(24),
        "plain_looks_like_intel_hex":
            intel_hex(400)[:0x3A31].ljust(0x3A31, b"\n") + packet(b"WRabcdefgh") + packet(b"WRij"),
        "plain_looks_like_text": (b"He" + b"llo, world\n" * 8).ljust(0x4865, b"\n") + packet(wr),
    }


def intel_hex(count):
    lines = b""
    for record in range(count):
        data = bytes((record + i) & 0xFF for i in range(16))
        fields = bytes([0x10, (record * 16) >> 8 & 0xFF, record * 16 & 0xFF, 0]) + data
        lines += b":" + fields.hex().upper().encode() + b"%02X\r\n" % (-sum(fields) & 0xFF)
    return lines + b":00000001FF\r\n"


def files_lists():
    return {
        "crlf": b"a.orb    c:\\fw\\a.orb\r\nb.orb    /home/op/fw/b.orb\r\n",
        "lf": b"a.orb    /fw/a.orb\nb.orb    /fw/b.orb\n",
        "no_final_line_end": b"a.orb    /fw/a.orb\r\nb.orb    /fw/b.orb",
        "five_blanks": b"a.orb     /fw/a.orb\r\n",
        "path_with_four_blanks": b"a.orb    /fw/my    dir/a.orb\r\n",
        "no_separator": b"a.orb /fw/a.orb\r\nab\r\n\r\n",
        "empty": b"",
        "blank_lines": b"\r\n\n\r\n",
        "stray_cr": b"a\rb    /x\r\r\n\r",
        "long_line": b"a.orb    /" + b"p" * 600 + b"\r\n",
        "nul_bytes": b"a\x00.orb    /fw/\x00a.orb\n",
    }


IAC, SB, SE, WILL, WONT, DO, DONT, NOP = 255, 250, 240, 251, 252, 253, 254, 241
COM_PORT = 44


def com(command, value):
    return bytes([IAC, SB, COM_PORT, command]) + value.replace(b"\xff", b"\xff\xff") + \
        bytes([IAC, SE])


def telnet_streams():
    return {
        "server_greeting": bytes([IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 3, IAC, DO, 3,
                                  IAC, DO, COM_PORT]) + com(101, b"\x00\x00\x25\x80"),
        "data_with_ff": b"AB\xff\xffC" + com(106, b"\x10") + b"D",
        "nop_flood": bytes([IAC, NOP]) * 200 + b"x",
        "negotiation_storm": bytes([IAC, WILL, 0, IAC, WONT, 0]) * 40,
        "injected_dont_do": bytes([IAC, DONT, 0, IAC, DO, 0]) * 12,
        "unknown_options": bytes([IAC, DO, 1, IAC, WILL, 24, IAC, DO, 1, IAC, WILL, 24]),
        "unterminated_sb": bytes([IAC, SB, COM_PORT, 106]) + b"\x10" * 300,
        "break_flood": com(106, b"\x10") * 50,
        "iac_at_end": b"data\xff",
        "sb_with_stray_command": bytes([IAC, SB, COM_PORT, 101, IAC, NOP, 1, IAC, SE]) + b"z",
    }


def parmrk_streams():
    return {
        "plain": b"hello",
        "data_ff": b"a\xff\xffb",
        "break": b"a\xff\x00\x00b",
        "parity_error": b"\xff\x00\x41",
        "cut_mark": b"abc\xff",
        "cut_mark_zero": b"abc\xff\x00",
        "mixed": b"\xff\x00\x00\xff\xff\xff\x00\x07\x00\xff\x00\x00",
    }


def stores():
    ports = b"[SOFTWARE\\x5cHalvren\\x5cVantor\\x5cPorts]\n"
    return {
        "sound": b"VantorRegistry 1\n[SOFTWARE\\x5cHalvren\\x5cVantor]\nADDR=\\x03\nADDREN=1\n"
                 b"BRAT=9600\nCOM=1\nFilePath=c:\\x5cflist.txt\n" + ports + b"COM1=sim\n",
        "crlf_blank_last_line": b"VantorRegistry 1\r\n[K]\r\nA=1\r\n\r\n",
        "empty": b"",
        "comments": b"VantorRegistry 1\n# a comment\n[K]\n# another\nName\\x3d=v=w\n",
        "value_before_key": b"VantorRegistry 1\nCOM1=sim\n",
        "broken_escape": b"VantorRegistry 1\n[K]\nA=\\x4\n",
        "not_a_store": b"my notes\n",
        "every_escape": b"VantorRegistry 1\n[K]\nV=" +
                        b"".join(b"\\x%02x" % b for b in range(256)) + b"\n",
    }


def sim_options():
    return {
        "defaults": b"",
        "address": b"address=2,ident=0x2083",
        "addresses": b"addresses=3+7,password=secret",
        "noise": b"noise=0.1,seed=5,stray=3",
        "breaks": b"break-delay=500,break-ms=20,endless-break",
        "fifo": b"fifo=1,fifo-timeout=8",
        "unknown": b"bogus=1",
        "bad_number": b"ident=0x1FFFF",
    }


def dialog_files_lists():
    lists = dict(files_lists())
    lists["line_of_128"] = b"a    " + b"p" * 123 + b"\r\n"
    lists["line_of_129"] = b"a    " + b"p" * 124 + b"\r\n"
    lists["blank_name"] = b"    /fw/a.orb\r\n"
    return lists


def write_all(target, files):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write_all("image_reader", images())
    write_all("files_list", files_lists())
    write_all("dialog_files_list", dialog_files_lists())
    write_all("telnet", telnet_streams())
    write_all("parmrk", parmrk_streams())
    write_all("registry", stores())
    write_all("sim_options", sim_options())
