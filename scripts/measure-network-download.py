#!/usr/bin/env python3
"""Measures whole downloads over RFC 2217 in real time, behind a network with delay, jitter and loss.

For each network it starts vantor-drive-sim with a drive at address 5 in its command mode and the
tests' latency relay (vantor-latency-relay, built with the serial tests) in front of it, and runs
`vantor-cli download --json` RUNS times through the relay: the whole job, the seek and the switch
into the boot loader included, unless --skip-seeking (the drive then starts in its boot loader).
The same job on the built-in simulated line (`--port sim:address=5`, real time) is the baseline.

For each network it prints:
  first attempt   runs that succeeded with one resynchronisation, of RUNS
  succeeded       runs that succeeded at all
  job             whole-job time (the run record's duration), median and range
  packets         the packet phase (from the first packet's progress position to "Download
                  successful"), median
  bound           the stop-and-wait bound of the packet phase: the packets' and the drive's
                  answers' line time, the drive's time before it answers, and one round trip
                  (twice the delay plus the mean jitter both ways) per packet; lost segments are
                  not in it
  line/packets    line time over the packet phase
  bound/packets   how close the packet phase comes to the bound
  cpu/line        CPU seconds of the vantor-cli process (its rusage) per second of the line time
                  of every byte it sent, over the runs that succeeded (a failed job spends most
                  of its time in waits and sends little)
  syscalls        with --syscalls only: the system calls of the vantor-cli process and its
                  threads per job (strace -f -c), median; strace slows every call, so take the
                  other figures from a run without it

    scripts/measure-network-download.py build/ci [--baud 19200] [--runs 3] [--packets 48]
        [--networks 0,1,5,20,100,20:5:0.01] [--skip-seeking] [--seed 1] [--syscalls]

A network is DELAY_MS[:JITTER_MS[:LOSS]], LOSS a share from 0 to 1.
"""
import argparse
import json
import os
import re
import statistics
import struct
import subprocess
import sys
import tempfile
import threading

# Each packet's answer: acknowledgement word, response word, status word.
DRIVE_BYTES_PER_PACKET = 6
# The simulated drive's defaults: 1 ms from a packet's end to its acknowledgement, 2 ms from the
# acknowledgement to the response.
DRIVE_MS_PER_PACKET = 3
DRIVE_ADDRESS = 5
RUN_TIMEOUT_S = 600


def write_image(path, demo, packets):
    """examples/demo.orb's short first packet, then its 240-byte write packet `packets` times.
    Returns the bytes of every packet on the line."""
    data = open(demo, "rb").read()
    header, first, write = data[:16], data[16:30], data[30:276]
    count = struct.pack(">I", packets + 1)
    with open(path, "wb") as out:
        out.write(count + header[4:] + first + write * packets)
    return [len(first)] + [len(write)] * packets


def parse_network(text):
    parts = text.split(":")
    delay = int(parts[0])
    jitter = int(parts[1]) if len(parts) > 1 else 0
    loss = float(parts[2]) if len(parts) > 2 else 0.0
    return delay, jitter, loss


def describe(network):
    delay, jitter, loss = network
    text = f"{delay} ms each way"
    if jitter:
        text += f", jitter {jitter} ms"
    if loss:
        text += f", loss {loss * 100:g} %"
    return text


class Process:
    """A helper process whose first line of output names its port; ended when left."""

    def __init__(self, argv, pattern):
        self.process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                        text=True)
        line = self.process.stdout.readline()
        found = re.search(pattern, line)
        if not found:
            self.close()
            raise RuntimeError(f"{argv[0]} did not start: {line!r}")
        self.port = int(found.group(1))

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        self.process.stdout.close()


def count_syscalls(path):
    """The total of strace -c's summary in `path`."""
    with open(path) as summary:
        for line in summary:
            fields = line.split()
            if fields and fields[-1] == "total":
                return int(fields[3])
    return 0


def run_cli(argv):
    """Runs vantor-cli with its output in an unnamed file; returns its exit status, its JSON
    events, its CPU seconds (user and system, from wait4) and, with --syscalls, its system
    calls."""
    if SYSCALLS:
        fd, summary = tempfile.mkstemp(suffix=".strace")
        os.close(fd)
        argv = ["strace", "-f", "-qq", "-c", "-o", summary] + argv
    with tempfile.TemporaryFile(mode="w+") as output:
        process = subprocess.Popen(argv, stdout=output, stderr=subprocess.DEVNULL,
                                   env=dict(os.environ, VANTOR_REGISTRY="/nonexistent/registry"))
        killer = threading.Timer(RUN_TIMEOUT_S, process.kill)
        killer.start()
        _, status, usage = os.wait4(process.pid, 0)
        killer.cancel()
        process.returncode = os.waitstatus_to_exitcode(status)
        output.seek(0)
        events = [json.loads(line) for line in output if line.startswith("{")]
    calls = 0
    if SYSCALLS:
        calls = count_syscalls(summary)
        os.unlink(summary)
    return process.returncode, events, usage.ru_utime + usage.ru_stime, calls


def packet_phase_s(events):
    processing = next(i for i, e in enumerate(events)
                      if e["event"] == "status" and e["text"] == "Processing file")
    start = next(e["time_ms"] for e in events[processing:]
                 if e["event"] == "progress" and e["position"] == 1)
    end = next(e["time_ms"] for e in events
               if e["event"] == "status" and e["text"] == "Download successful")
    return (end - start) / 1000.0


def measure_once(args, image, network):
    """One job; the network None is the built-in simulated line."""
    options = [] if args.skip_seeking else [f"address={DRIVE_ADDRESS}"]
    common = [image, "--baud", str(args.baud), "--json"] + (
        ["--skip-seeking"] if args.skip_seeking else [])
    if network is None:
        port = "sim" + (":" + ",".join(options) if options else "")
        return run_cli([CLI, "download", "--port", port] + common)
    sim = Process([f"{args.build}/drivesim/vantor-drive-sim", "--port", "0"] + options,
                  r"127\.0\.0\.1:(\d+)")
    try:
        delay, jitter, loss = network
        relay = Process([RELAY, "--to", f"127.0.0.1:{sim.port}", "--delay-ms", str(delay),
                         "--jitter-ms", str(jitter), "--loss", str(loss), "--seed",
                         str(args.seed)], r"port (\d+)")
        try:
            return run_cli([CLI, "download", "--port", f"rfc2217://127.0.0.1:{relay.port}"] +
                           common)
        finally:
            relay.close()
    finally:
        sim.close()


def report(args, name, network, packet_bytes):
    first_attempt = succeeded = 0
    jobs, phases, cpu_per_line, syscalls = [], [], [], []
    for _ in range(args.runs):
        status, events, cpu_s, calls = measure_once(args, IMAGE, network)
        summary = next((e for e in events if e["event"] == "summary"), {})
        if status == 0 and summary.get("resynchronisations") == 1:
            first_attempt += 1
        if summary:
            jobs.append(summary["duration_s"])
        if status == 0:
            succeeded += 1
            phases.append(packet_phase_s(events))
            sent = max(e.get("bytes_sent", 0) for e in events)
            cpu_per_line.append(cpu_s / (sent * 10.0 / args.baud))
            syscalls.append(calls)
    delay, jitter, _ = network if network else (0, 0, 0)
    line_s = sum(b + DRIVE_BYTES_PER_PACKET for b in packet_bytes) * 10.0 / args.baud
    bound_s = line_s + len(packet_bytes) * (DRIVE_MS_PER_PACKET + 2 * delay + jitter) / 1000.0
    text = f"{name}: first attempt {first_attempt}/{args.runs}, succeeded {succeeded}/{args.runs}"
    if jobs:
        text += (f", job {statistics.median(jobs):.1f} s ({min(jobs):.1f}-{max(jobs):.1f})")
    if phases:
        phase = statistics.median(phases)
        text += (f", packets {phase:.2f} s, bound {bound_s:.2f} s, line/packets "
                 f"{line_s / phase:.3f}, bound/packets {bound_s / phase:.3f}")
    if cpu_per_line:
        text += f", cpu/line {statistics.median(cpu_per_line):.4f}"
    if SYSCALLS and syscalls:
        text += f", syscalls {statistics.median(syscalls):.0f}"
    print(text, flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("build")
    parser.add_argument("--baud", type=int, default=19200)
    parser.add_argument("--networks", "--delays", default="0,1,5,20,100,20:5:0.01")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--packets", type=int, default=48)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--skip-seeking", action="store_true")
    parser.add_argument("--syscalls", action="store_true")
    args = parser.parse_args()
    global CLI, RELAY, IMAGE, SYSCALLS
    SYSCALLS = args.syscalls
    CLI = f"{args.build}/cli/vantor-cli"
    RELAY = f"{args.build}/tests/serial/vantor-latency-relay"
    if not os.access(RELAY, os.X_OK):
        sys.exit(f"{RELAY} is missing: build the target vantor-latency-relay (serial tests)")
    demo = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples", "demo.orb")
    fd, IMAGE = tempfile.mkstemp(suffix=".orb")
    os.close(fd)
    try:
        packet_bytes = write_image(IMAGE, demo, args.packets)
        seeking = "without seeking" if args.skip_seeking else "with seeking"
        print(f"{len(packet_bytes)} packets at {args.baud} baud, {seeking}, {args.runs} runs each")
        report(args, "sim line (no network)", None, packet_bytes)
        for network in [parse_network(n) for n in args.networks.split(",")]:
            report(args, f"rfc2217, {describe(network)}", network, packet_bytes)
    finally:
        os.unlink(IMAGE)


CLI = RELAY = IMAGE = ""
SYSCALLS = False

if __name__ == "__main__":
    sys.exit(main())
