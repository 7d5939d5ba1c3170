#!/usr/bin/env python3
"""The far end of a comm port for the Windows tests: makes a pseudo terminal, links its
terminal side to PATH, and sends back every byte it receives until it is ended."""
import os
import pty
import select
import signal
import sys
import tty

link = sys.argv[1]
master, slave = pty.openpty()
tty.setraw(slave)
slave_path = os.ttyname(slave)
if os.path.lexists(link):
    os.unlink(link)
os.symlink(slave_path, link)
signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
print(slave_path, flush=True)
try:
    while True:
        ready, _, _ = select.select([master], [], [], 1.0)
        if ready:
            try:
                data = os.read(master, 4096)
            except OSError:
                continue  # the terminal side is closed between two opens
            os.write(master, data)
finally:
    os.unlink(link)
