#!/usr/bin/env python3
"""pyserial's rfc2217:// client, as many people's scripts use it, against vantor-drive-sim and
against vantor-port-server in front of a pty: it must open, take settings, send a break, tell
CTS, purge and move data both ways without a warning or a time-out.

usage: pyserial_clients_test.py VANTOR_DRIVE_SIM VANTOR_PORT_SERVER
Exits 77 (skipped) when pyserial is not installed."""
import logging
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import termios
import time

try:
    import serial
except ImportError:
    print("pyserial is not installed (scripts/install-deps.sh)")
    sys.exit(77)

START_DEADLINE_S = 10
DATA_DEADLINE_S = 5


class Warnings(logging.Handler):
    """Every warning or error the client logs."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append(self.format(record))


def start(args, stream, env=None, expect_before=None):
    """Starts a server and returns it with the rfc2217:// address from its first line, or from
    its second when its first holds `expect_before`."""
    process = subprocess.Popen(args, env=env, text=True, **{stream: subprocess.PIPE})
    # Read a byte at a time from the descriptor: a buffered reader may take both lines in one
    # read, and the descriptor would then never be ready for the second.
    fd = getattr(process, stream).fileno()
    deadline = time.monotonic() + START_DEADLINE_S
    lines = []
    for _ in range(2 if expect_before else 1):
        line = b""
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                break
            byte = os.read(fd, 1)
            if not byte:
                break
            line += byte
        lines.append(line.decode(errors="replace"))
    if "rfc2217://" not in lines[-1] or (expect_before and expect_before not in lines[0]):
        process.kill()
        raise AssertionError(f"{args[0]} did not start as expected: {lines!r}")
    return process, lines[-1][lines[-1].index("rfc2217://"):].rstrip(")\n")


def stop(process):
    process.send_signal(signal.SIGTERM)
    try:
        return process.wait(START_DEADLINE_S)
    except subprocess.TimeoutExpired:
        process.kill()
        raise AssertionError(f"{process.args[0]} did not stop on SIGTERM")


def open_client(address, warnings, options="logging=info"):
    logger = logging.getLogger("pySerial.rfc2217")
    logger.addHandler(warnings)
    return serial.serial_for_url(f"{address}?{options}", baudrate=9600, timeout=1)


def exercise(port):
    """What every server must take: settings, a break, the modem state, purges."""
    port.baudrate = 19200
    port.stopbits = serial.STOPBITS_TWO
    port.send_break(0.05)
    port.cts  # raises when the server never told the modem state
    port.reset_input_buffer()
    port.reset_output_buffer()


def read_exactly(fd, count):
    data = b""
    deadline = time.monotonic() + DATA_DEADLINE_S
    while len(data) < count and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.1)[0]:
            data += os.read(fd, count - len(data))
    return data


def check_drive_sim(drive_sim):
    server, address = start([drive_sim, "--port", "0"], "stdout")
    warnings = Warnings()
    try:
        port = open_client(address, warnings)
        exercise(port)
        port.close()
    finally:
        stop(server)
    assert not warnings.records, f"vantor-drive-sim: {warnings.records}"
    print("pyserial against vantor-drive-sim: clean")


def check_port_server(port_server):
    master, slave = os.openpty()
    lock_dir = tempfile.mkdtemp(prefix="vantor-locks-")
    env = dict(os.environ, VANTOR_LOCK_DIR=lock_dir)
    # A pty cannot carry the drive's breaks: the server says so before it serves.
    try:
        server, address = start([port_server, "--device", os.ttyname(slave), "--port", "0"],
                                "stderr", env,
                                f"warning: {os.ttyname(slave)} is a pseudo-terminal, which "
                                "cannot carry serial breaks")
    except BaseException:
        os.close(master)
        os.close(slave)
        shutil.rmtree(lock_dir)
        raise
    warnings = Warnings()
    try:
        port = open_client(address, warnings, "logging=info&poll_modem")
        exercise(port)
        attributes = termios.tcgetattr(slave)
        assert attributes[5] == termios.B19200, "the speed did not reach the device"
        assert attributes[2] & termios.CSTOPB, "two stop bits did not reach the device"
        # 0xFF is doubled by telnet and by the terminal layer's marking; each must be undone.
        port.write(b"\x00\xffto drive")
        assert read_exactly(master, 10) == b"\x00\xffto drive"
        os.write(master, b"\xff\x01from drive")
        assert port.read(12) == b"\xff\x01from drive"
        port.close()
        # The device is released when the client leaves: its lock file goes.
        deadline = time.monotonic() + DATA_DEADLINE_S
        while os.listdir(lock_dir) and time.monotonic() < deadline:
            time.sleep(0.01)
        assert not os.listdir(lock_dir), "the device was not released"
    finally:
        status = stop(server)
        log = server.stderr.read()
        os.close(master)
        os.close(slave)
        shutil.rmtree(lock_dir)
    assert status == 0, f"vantor-port-server ended with {status}: {log}"
    assert " closed" in log and "stopped" in log, log
    assert not warnings.records, f"vantor-port-server: {warnings.records}"
    print("pyserial against vantor-port-server: clean")


def main():
    drive_sim, port_server = sys.argv[1:3]
    check_drive_sim(drive_sim)
    check_port_server(port_server)


if __name__ == "__main__":
    main()
