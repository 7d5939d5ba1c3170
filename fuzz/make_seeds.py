#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora: small images and files lists, sound and broken.

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
    }


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


def write_all(target, files):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    for name, data in files.items():
        with open(os.path.join(folder, name), "wb") as out:
            out.write(data)


if __name__ == "__main__":
    write_all("image_reader", images())
    write_all("files_list", files_lists())
