#!/usr/bin/env python3
"""Memory of tapvane-cli while many downloads pass through it at once.

Starts a loopback server that sends SIZE MiB to every connection, tapvane-cli in front of it
(plain mode, log to /dev/null), then COUNT clients that download at the same time. Prints
the relay's peak resident memory (VmHWM), its resident memory before, and after the
downloads ended (once the sessions are gone).

Usage: download_memory.py CLI [COUNT [SIZE_MIB]]
"""
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time

cli = sys.argv[1]
count = int(sys.argv[2]) if len(sys.argv) > 2 else 50
size = (int(sys.argv[3]) if len(sys.argv) > 3 else 16) << 20
chunk = b"d" * (1 << 20)

server = socket.socket()
server.bind(("127.0.0.1", 0))
server.listen(1024)
server_port = server.getsockname()[1]


def serve(conn):
    try:
        conn.recv(4096)
        left = size
        while left > 0:
            n = conn.send(chunk[: min(left, len(chunk))])
            left -= n
    except OSError:
        pass
    conn.close()


def accept_loop():
    while True:
        try:
            conn, _ = server.accept()
        except OSError:
            return
        threading.Thread(target=serve, args=(conn,), daemon=True).start()


threading.Thread(target=accept_loop, daemon=True).start()
probe = socket.socket()
probe.bind(("127.0.0.1", 0))
relay_port = probe.getsockname()[1]
probe.close()
work = tempfile.mkdtemp(prefix="tvmem")
env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "cfg"),
           XDG_DESKTOP_DIR=os.path.join(work, "desk"))
proc = subprocess.Popen([cli, "--local-port", str(relay_port), "--url", "127.0.0.1",
                         "--remote-port", str(server_port), "--save-response", "off",
                         "--replace-host", "off", "--bind", "local"],
                        env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


def status(key):
    with open(f"/proc/{proc.pid}/status") as f:
        for line in f:
            if line.startswith(key + ":"):
                return int(line.split()[1])
    return 0


def threads():
    return len(os.listdir(f"/proc/{proc.pid}/task"))


time.sleep(1.0)
before = status("VmRSS")
threads_before = threads()
received = []


def download():
    c = socket.create_connection(("127.0.0.1", relay_port))
    c.sendall(b"GET / HTTP/1.0\r\n\r\n")
    n = 0
    while n < size:
        b = c.recv(1 << 20)
        if not b:
            break
        n += len(b)
    c.close()
    received.append(n)


start = time.monotonic()
clients = [threading.Thread(target=download) for _ in range(count)]
for t in clients:
    t.start()
for t in clients:
    t.join()
elapsed = time.monotonic() - start
deadline = time.monotonic() + 30
while threads() > threads_before and time.monotonic() < deadline:
    time.sleep(0.1)
time.sleep(1.0)
after = status("VmRSS")
peak = status("VmHWM")
proc.terminate()
proc.wait(timeout=30)
whole = sum(1 for n in received if n == size)
print(f"{count} downloads of {size >> 20} MiB ({whole} whole) in {elapsed:.1f} s: "
      f"before {before / 1024:.1f} MiB, peak {peak / 1024:.1f} MiB, "
      f"after {after / 1024:.1f} MiB ({(peak - before) / count:.0f} KiB per session at the peak)")
