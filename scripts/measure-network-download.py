#!/usr/bin/env python3
"""Measures a download over RFC 2217 in real time, directly and behind a delaying relay.

Starts vantor-drive-sim, optionally a relay that holds every byte DELAY ms each way, runs
vantor-cli download with --json and reads the packet phase from its events: from the first
packet's progress position to "Download successful". Efficiency is the line time of the
packet phase's bytes (10 bit times for each byte of the packets and of the drive's
acknowledgement and response, 6 bytes a packet) divided by its wall time.

    scripts/measure-network-download.py build/ci [--baud 19200] [--delays 0,2] [--packets 48]
"""
import argparse
import asyncio
import json
import os
import re
import struct
import subprocess
import sys
import tempfile
import threading
import time

DRIVE_BYTES_PER_PACKET = 6  # acknowledgement word, response word, status word


def write_image(path, demo, packets):
    """examples/demo.orb with its 240-byte write packet repeated `packets` times."""
    data = open(demo, "rb").read()
    header, first, write = data[:16], data[16:30], data[30:276]
    count = struct.pack(">I", packets + 1)
    with open(path, "wb") as out:
        out.write(count + header[4:] + first + write * packets)
    return len(write)


class Relay:
    """Holds every byte `delay_ms` in each direction between one client and the server."""

    def __init__(self, server_port, delay_ms):
        self.server_port = server_port
        self.delay = delay_ms / 1000.0
        self.loop = asyncio.new_event_loop()
        self.ready = threading.Event()
        threading.Thread(target=self._run, daemon=True).start()
        self.ready.wait(5)

    def _run(self):
        asyncio.set_event_loop(self.loop)
        server = self.loop.run_until_complete(asyncio.start_server(self._serve, "127.0.0.1", 0))
        self.port = server.sockets[0].getsockname()[1]
        self.ready.set()
        self.loop.run_forever()

    async def _pipe(self, reader, writer):
        while data := await reader.read(4096):
            due = self.loop.time() + self.delay
            self.loop.call_at(due, writer.write, data)
        self.loop.call_at(self.loop.time() + self.delay, writer.close)

    async def _serve(self, reader, writer):
        up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.server_port)
        await asyncio.gather(self._pipe(reader, up_writer), self._pipe(up_reader, writer))


def measure(build, baud, delay_ms, image):
    sim = subprocess.Popen([f"{build}/drivesim/vantor-drive-sim", "--port", "0"],
                           stdout=subprocess.PIPE, text=True)
    try:
        line = sim.stdout.readline()
        port = int(re.search(r"127\.0\.0\.1:(\d+)", line).group(1))
        relay_port = Relay(port, delay_ms).port if delay_ms > 0 else port
        run = subprocess.run([CLI, "download", image, "--port", f"rfc2217://127.0.0.1:{relay_port}",
                              "--baud", str(baud), "--skip-seeking", "--json"],
                             capture_output=True, text=True, timeout=600)
    finally:
        sim.terminate()
        sim.wait()
    events = [json.loads(text) for text in run.stdout.splitlines() if text.startswith("{")]
    start = next(e["time_ms"] for e in events if e["event"] == "progress" and e["position"] == 1)
    end = next(e["time_ms"] for e in events
               if e["event"] == "status" and e["text"] == "Download successful")
    return run.returncode, (end - start) / 1000.0


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--delays", default="0,2")
    parser.add_argument("--packets", type=int, default=48)
    args = parser.parse_args()
    global CLI
    CLI = f"{args.build}/cli/vantor-cli"
    demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "demo.orb")
    fd, image = tempfile.mkstemp(suffix=".orb")
    os.close(fd)
    try:
        packet = write_image(image, demo, args.packets)
        # Timed from the first packet's progress position: every write packet after the first
        # short one, with the drive's six bytes of answer each.
        line_bytes = args.packets * (packet + DRIVE_BYTES_PER_PACKET)
        for delay in [int(d) for d in args.delays.split(",")]:
            status, wall = measure(args.build, args.baud, delay, image)
            line = line_bytes * 10.0 / args.baud
            print(f"rfc2217, {delay} ms each way, {args.baud} baud: exit {status}, "
                  f"packet phase {wall:.3f} s, line time {line:.3f} s, "
                  f"efficiency {line / wall:.4f}")
    finally:
        os.unlink(image)


CLI = ""

if __name__ == "__main__":
    sys.exit(main())
