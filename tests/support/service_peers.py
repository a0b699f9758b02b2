#!/usr/bin/env python3
# HTTPS and DNS peers on 127.0.0.1 until the reader goes away; prints `ca=<file> dns=<port> <server>=<port>...`.
import http.server, shutil, socket, socketserver, ssl, struct, subprocess, sys, tempfile, threading, time

DIR = tempfile.mkdtemp()
CONF = f"""[ca]\ndefault_ca=t\n[t]\ndatabase={DIR}/index\nnew_certs_dir={DIR}\nserial={DIR}/serial
default_md=sha256\npolicy=p\ncopy_extensions=copy\nunique_subject=no\n[p]\ncommonName=supplied\n"""


def run(*args):
    subprocess.run(["openssl", *args], check=True, capture_output=True, cwd=DIR)


def ca(name):
    run("req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-days", "30",
        "-subj", f"/CN={name}", "-keyout", f"{name}.key", "-out", f"{name}.pem")


def leaf(name, signer, host, start, end):
    run("req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes", "-subj", f"/CN={host}",
        "-addext", f"subjectAltName=DNS:{host}", "-keyout", f"{name}.key", "-out", f"{name}.csr")
    run("ca", "-batch", "-notext", "-config", "ca.cnf", "-cert", f"{signer}.pem", "-keyfile", f"{signer}.key",
        "-in", f"{name}.csr", "-out", f"{name}.pem", "-startdate", start, "-enddate", end)


class Page(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    PAGES = {"/": (200, b"<p>all well: sentrel-word</p>"), "/busy": (503, b"busy sentrel-word"),
             "/moved": (302, b""), "/far": (200, b"x" * 65536 + b"sentrel-word"),
             "/near": (200, b"x" * (65536 - 12) + b"sentrel-word")}

    def do_GET(self):
        status, body = self.PAGES.get(self.path, (404, b""))
        self.send_response(status)
        if status == 302:
            self.send_header("Location", "/busy")
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    log_message = lambda *args: None


def https(name):
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Page)
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(f"{DIR}/{name}.pem", f"{DIR}/{name}.key")
    server.socket = context.wrap_socket(server.socket, server_side=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server.server_address[1]


RECORDS = {("a.test", 1): b"\xc0\x00\x02\x01", ("a.test", 28): socket.inet_pton(socket.AF_INET6, "2001:db8::1"),
           ("big.test", 1): b"\xc0\x00\x02\x07"}


def answer(query, tcp):
    at, labels = 12, []
    while query[at]:
        labels.append(query[at + 1:at + 1 + query[at]].decode())
        at += 1 + query[at]
    name, (qtype,) = ".".join(labels).lower(), struct.unpack("!H", query[at + 1:at + 3])
    rcode, flags, rdata, owner = 0, 0x8180, RECORDS.get((name, qtype)), b"\xc0\x0c"
    if name == "silent.test":
        return None
    if name == "other.test":
        rdata, owner = b"\xc0\x00\x02\x09", b"\x05other\x04else\x00"
    if name == "big.test" and not tcp:
        flags, rdata = flags | 0x0200, None
    rcode = {"missing.test": 3, "broken.test": 2}.get(name, 0)
    rr = owner + struct.pack("!HHIH", qtype, 1, 60, len(rdata)) + rdata if rdata else b""
    return query[:2] + struct.pack("!HHHHH", flags | rcode, 1, 1 if rr else 0, 0, 0) + query[12:at + 5] + rr


def dns():
    udp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    udp.bind(("127.0.0.1", 0))
    port = udp.getsockname()[1]

    def serve_udp():
        while True:
            query, peer = udp.recvfrom(512)
            reply = answer(query, False)
            if reply:
                udp.sendto(reply, peer)

    class Tcp(socketserver.BaseRequestHandler):
        def handle(self):
            length = struct.unpack("!H", self.request.recv(2))[0]
            reply = answer(self.request.recv(length), True)
            self.request.sendall(struct.pack("!H", len(reply)) + reply)

    tcp = socketserver.ThreadingTCPServer(("127.0.0.1", port), Tcp)
    for target in (serve_udp, tcp.serve_forever):
        threading.Thread(target=target, daemon=True).start()
    return port


def main():
    for name, text in (("ca.cnf", CONF), ("index", ""), ("serial", "01\n")):
        open(f"{DIR}/{name}", "w").write(text)
    ca("ca")
    ca("stranger")
    stamp = lambda seconds: time.strftime("%Y%m%d%H%M%SZ", time.gmtime(time.time() + seconds))
    day = 86400
    leaf("good", "ca", "probe.test", stamp(-day), stamp(20 * day))
    leaf("soon", "ca", "probe.test", stamp(-day), stamp(5 * day + 3600))
    leaf("expired", "ca", "probe.test", stamp(-30 * day), stamp(-day))
    leaf("untrusted", "stranger", "probe.test", stamp(-day), stamp(20 * day))
    leaf("wrongname", "ca", "other.test", stamp(-day), stamp(20 * day))
    ports = {name: https(name) for name in ("good", "soon", "expired", "untrusted", "wrongname")}
    print(f"ca={DIR}/ca.pem dns={dns()} " + " ".join(f"{k}={v}" for k, v in ports.items()), flush=True)
    try:
        while True:  # a dot now and then: the reader's pclose ends it
            time.sleep(0.2)
            print(end=".", flush=True)
    except BrokenPipeError:
        shutil.rmtree(DIR, ignore_errors=True)


main()
