#!/usr/bin/env python3
"""Other sessions' latency while one saved response cannot be written.

Starts a loopback HTTP server and tapvane-cli with Save Response on, measures the time of
20 small requests, then again while another client requests /pipe again and again, whose
response file is a named pipe (MODE fifo; MODE none: an ordinary file). Prints p50, p99 and
the worst time of both runs.

Usage: save_latency.py CLI [fifo|none]
"""
import os, sys, socket, subprocess, threading, time, tempfile, http.server, socketserver, statistics

cli = sys.argv[1]
mode = sys.argv[2] if len(sys.argv) > 2 else "fifo"
tmp = tempfile.mkdtemp(prefix="tvbench")
data = os.path.join(tmp, "data")
os.makedirs(os.path.join(data, "127.0.0.1"))
if mode == "fifo":
    os.mkfifo(os.path.join(data, "127.0.0.1", "pipe"))

class H(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.0"
    def do_GET(self):
        body = b"x" * (100 if self.path == "/small" else 200000)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *a): pass
class S(socketserver.ThreadingMixIn, http.server.HTTPServer):
    daemon_threads = True
srv = S(("127.0.0.1", 0), H)
threading.Thread(target=srv.serve_forever, daemon=True).start()
sport = srv.server_address[1]
s = socket.socket(); s.bind(("127.0.0.1", 0)); lport = s.getsockname()[1]; s.close()
env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(tmp, "cfg"), HOME=tmp)
p = subprocess.Popen([cli, "--local-port", str(lport), "--url", "127.0.0.1", "--remote-port", str(sport),
                      "--save-response", "on", "--data-folder", data, "--bind", "local"],
                     env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
time.sleep(0.5)

def get(path):
    t = time.monotonic()
    c = socket.create_connection(("127.0.0.1", lport), timeout=10)
    c.sendall(b"GET " + path.encode() + b" HTTP/1.0\r\nHost: x\r\n\r\n")
    n = 0
    try:
        while True:
            b = c.recv(65536)
            if not b: break
            n += len(b)
    except socket.timeout:
        pass
    c.close()
    return time.monotonic() - t, n

def lat(count):
    return sorted(get("/small")[0] * 1000 for _ in range(count))

base = lat(20)
stop = False
def blocker():
    while not stop:
        try: get("/pipe")
        except Exception: pass
th = threading.Thread(target=blocker); th.start()
time.sleep(0.3)
loaded = lat(20)
stop = True
th.join(timeout=60)
p.terminate(); p.wait(timeout=30)
def q(v, f): return v[min(len(v) - 1, int(f * len(v)))]
print(f"{mode}: baseline p50 {q(base,.5):.1f} ms p99 {q(base,.99):.1f} ms | while /pipe loops: p50 {q(loaded,.5):.1f} ms p99 {q(loaded,.99):.1f} ms max {loaded[-1]:.1f} ms")
