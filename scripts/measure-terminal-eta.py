#!/usr/bin/env python3
"""How near the terminal view's time left comes to the time a download really has left: runs
vantor-cli in real time on a pseudo-terminal against the simulated drive, notes when each live
line was drawn, and compares the ETA it showed at each packet with the time until "Download
successful". Writes the image and the run's history into a folder of its own and removes it.

usage: scripts/measure-terminal-eta.py VANTOR_CLI VANTOR_MAKE_IMAGE [PACKETS]"""
import os, pty, sys, time, re, select, shutil, subprocess, tempfile
cli, make_image = sys.argv[1:3]
packets = sys.argv[3] if len(sys.argv) > 3 else "24"
folder = tempfile.mkdtemp(prefix="vantor-eta-")
image = os.path.join(folder, "image.orb")
subprocess.run([make_image, "-o", image, "--packets", packets], check=True, capture_output=True)
pid, fd = pty.fork()
if pid == 0:
    os.environ.update(TERM="xterm", VANTOR_REGISTRY=os.path.join(folder, "no-registry"),
                      XDG_DATA_HOME=os.path.join(folder, "data"))
    os.execv(cli, [cli, "download", image, "--port", "sim:address=5", "--no-tone", "--no-history", "--baud", "9600"])
frames = []
buf = b""
while True:
    try:
        r, _, _ = select.select([fd], [], [], 30)
        if not r: break
        data = os.read(fd, 4096)
    except OSError:
        break
    if not data: break
    now = time.monotonic()
    if not buf:
        started = now
    buf += data
    while b"\r" in buf or b"\n" in buf:
        i = min(x for x in (buf.find(b"\r"), buf.find(b"\n")) if x >= 0)
        frames.append((started, buf[:i].decode(errors="replace")))
        buf = buf[i+1:]
        started = now
os.waitpid(pid, 0)
shutil.rmtree(folder, ignore_errors=True)
end = next(t for t, f in frames if "Download successful" in f)
errors = []
for t, f in frames:
    m = re.search(r"Downloading packet (\d+) .* (\d+)/(\d+) .*ETA (\d+):(\d+)", f)
    if m and m.group(1) == m.group(2):
        eta = int(m.group(4)) * 60 + int(m.group(5))
        errors.append((int(m.group(1)), eta, end - t))
for p, eta, actual in errors[::3] + errors[-2:]:
    print(f"packet {p:2d}: ETA {eta:2d} s, actual {actual:5.2f} s")
ratio = sum(e for _, e, _ in errors) / sum(a for _, _, a in errors)
print(f"sum of ETAs / sum of actual times left: {ratio:.2f}")
