#!/usr/bin/python3
# Alarm e-mail with TLS and a login, against aiosmtpd on 127.0.0.1 and a test CA
# that the probe trusts through SSL_CERT_FILE: STARTTLS and TLS on connect
# deliver; every fault fails closed without the message or the password leaving.
import os, socket, ssl, subprocess, sys, tempfile, threading, time
try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult
except ImportError:
    print("SKIP: /usr/bin/python3 cannot import aiosmtpd (python3-aiosmtpd)")
    sys.exit(77)

PROBE, D = sys.argv[1], tempfile.mkdtemp()
PASSWORD = "right horse"
failed = []


def check(ok, what, detail=""):
    print(("ok   " if ok else "FAIL ") + what + ("" if ok else "\n     " + str(detail)))
    failed.extend([] if ok else [what])


def openssl(*args):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                    "ec_paramgen_curve:P-256", "-nodes", "-days", "2", *args],
                   cwd=D, check=True, capture_output=True)


openssl("-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Sentrel test CA")
openssl("-keyout", "self.key", "-out", "self.pem", "-subj", "/CN=self", "-addext",
        "subjectAltName=DNS:localhost")  # right name, signed by nobody trusted
for name, alt in (("good", "DNS:localhost,IP:127.0.0.1"), ("other", "DNS:other.example"), ("good6", "IP:::1")):
    openssl("-CA", "ca.pem", "-CAkey", "ca.key", "-keyout", name + ".key", "-out",
            name + ".pem", "-subj", "/CN=" + name, "-addext", "subjectAltName=" + alt)


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Server:
    """aiosmtpd taking a login (AUTH LOGIN only on connect); keeps messages and passwords."""
    def __init__(self, cert=None, on_connect=False, host="127.0.0.1"):
        self.mails, self.logins, self.port = [], [], free_port()
        ctx = None
        if cert:
            ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
            ctx.load_cert_chain(f"{D}/{cert}.pem", f"{D}/{cert}.key")
        tls = {"ssl_context": ctx} if on_connect else {"tls_context": ctx}
        self.c = Controller(self, hostname=host, port=self.port, authenticator=self.auth,
                            auth_require_tls=bool(ctx) and not on_connect,
                            auth_exclude_mechanism=["PLAIN"] if on_connect else [], **tls)
        self.c.start()

    def auth(self, server, session, envelope, mechanism, data):
        self.logins.append(data.password)
        return AuthResult(success=data.password == PASSWORD.encode(), handled=False)

    async def handle_DATA(self, server, session, envelope):
        self.mails.append((envelope.mail_from, envelope.rcpt_tos, envelope.original_content))
        return "250 OK"


def password_file(name, text, mode=0o600):
    path = f"{D}/{name}"
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)
    return path


GOOD_PW = password_file("pw", PASSWORD + "\n")


def send(port, security, host="localhost", user="ops", pw=GOOD_PW):
    os.makedirs(f"{D}/cfg/sentrel", exist_ok=True)
    keys = dict(Email_SMTP=host, Email_From="sentrel@example.com", Email_To="ops@example.com",
                Email_Subject="Sentrel alarm", Email_Port=port, Email_Security=security,
                Email_User=user, Email_Password_File=pw)
    with open(f"{D}/cfg/sentrel/tarn.ini", "w") as f:
        f.write("[Alerts]\n" + "".join(f"{k}={v}\n" for k, v in keys.items()))
    env = dict(os.environ, XDG_CONFIG_HOME=f"{D}/cfg", SSL_CERT_FILE=f"{D}/ca.pem")
    start, rss = time.monotonic(), 0
    with tempfile.TemporaryFile("w+") as err:
        p = subprocess.Popen([PROBE, "Node down:\n.hidden"], env=env, stderr=err, text=True)
        # Waited for here, to read its peak resident size; killed past 120 s or 1 GB.
        while not (done := os.wait4(p.pid, os.WNOHANG))[0]:
            with open(f"/proc/{p.pid}/status") as status:
                rss = max([rss] + [int(l.split()[1]) for l in status if l.startswith("VmRSS")])
            (rss > 1 << 20 or time.monotonic() > start + 120) and os.kill(p.pid, 9)
            time.sleep(0.02)
        err.seek(0)
        stderr = err.read()
    check(PASSWORD not in stderr, "no password on standard error", stderr)
    return os.waitstatus_to_exitcode(done[1]), stderr, time.monotonic() - start, done[2].ru_maxrss


BODY = b"* ALERT! Server Not Responding! *\r\nNode down:\r\n.hidden\r\n*END*\r\n"
starttls, on_connect, starttls6 = Server("good"), Server("good", on_connect=True), Server("good6", host="::1")
for what, server, security, host in (("STARTTLS", starttls, "starttls", "localhost"),
                                     ("TLS on connect", on_connect, "tls", "127.0.0.1"),
                                     ("STARTTLS over IPv6", starttls6, "starttls", "::1")):
    rc, err, _, _ = send(server.port, security, host)
    mail = server.mails[0] if server.mails else ("", [], b"")
    check(rc == 1 and len(server.mails) == 1, what + ": the message arrives", (rc, err))
    check(mail[:2] == ("sentrel@example.com", ["ops@example.com"]), what + ": envelope", mail)
    check(BODY in mail[2] and b"\r\nSubject: Sentrel alarm\r\n" in mail[2], what + ": body", mail)

# Faults: the mail fails, one line on stderr names why, no message and no
# password reaches the server.
other_name, untrusted, no_starttls, other_ip6 = Server("other"), Server("self"), Server(), Server("good", host="::1")
stalled = socket.create_server(("127.0.0.1", 0))  # accepted by the kernel, never answered
cases = [
    ("wrong password", starttls, "starttls", {"pw": password_file("bad", "wrong\n")},
     "login refused"),
    ("certificate for another name", other_name, "starttls", {}, "hostname mismatch"),
    ("certificate without the IPv6 address", other_ip6, "starttls", {"host": "::1"}, "IP address mismatch"),
    ("untrusted certificate", untrusted, "starttls", {}, "certificate not accepted"),
    ("no STARTTLS, with a login", no_starttls, "starttls", {}, "does not offer STARTTLS"),
    ("no STARTTLS, without a login", no_starttls, "starttls", {"user": ""}, "STARTTLS"),
    ("stalled handshake", None, "tls", {"host": "127.0.0.1"}, "did not end in time"),
    ("login without TLS", starttls, "none", {}, "never sent in clear text"),
]
for what, mode, text in (("group-readable", 0o640, "x\n"), ("world-readable", 0o604, "x\n"),
                         ("empty", 0o600, ""), ("with a line break", 0o600, "x\rX-Injected: y\n"),
                         ("too long", 0o600, "x" * 1025 + "\n")):
    cases.append(("password file " + what, starttls, "starttls",
                  {"pw": password_file(what, text, mode)}, "password file"))
cases.append(("password file missing", starttls, "starttls", {"pw": D + "/none"}, "cannot be opened"))
if os.geteuid() == 0:
    os.chown(password_file("theirs", PASSWORD + "\n"), 65534, 65534)
    cases.append(("password file of another owner", starttls, "starttls",
                  {"pw": D + "/theirs"}, "belongs to another user"))
else:
    print("SKIP password file of another owner: giving a file away needs root")
for what, server, security, extra, reason in cases:
    before = (len(server.mails), len(server.logins)) if server else (0, 0)
    port = server.port if server else stalled.getsockname()[1]
    rc, err, took, _ = send(port, security, **extra)
    check(rc == 3 and reason in err and err.count("\n") == 1 and took < 55, what + ": fails",
          (rc, err, took))
    after = (len(server.mails), server.logins[before[1]:]) if server else (0, [])
    check(after[0] == before[0] and PASSWORD.encode() not in after[1],
          what + ": nothing delivered, no password sent", after)


def flood(line, cert):
    """A server that never ends its greeting, sending line after line as fast as it can."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn = listener.accept()[0]
        try:
            if cert:
                ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
                ctx.load_cert_chain(f"{D}/{cert}.pem", f"{D}/{cert}.key")
                conn = ctx.wrap_socket(conn, server_side=True)
            while True:
                conn.sendall(line * 500)
        except OSError:
            conn.close()
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


# The mail fails at once (the clear-text dialogue silently) and the probe stays small.
for what, line, cert, security, reason in (
        ("clear text", b"220-xxxx\r\n", None, "none", ""),
        ("before STARTTLS", b"220-xxxx\r\n", None, "starttls", "reply has too many lines"),
        ("inside TLS", b"220-" + b"x" * 200 + b"\r\n", "good", "tls", "reply is too long")):
    rc, err, took, peak = send(flood(line, cert), security, "127.0.0.1", user="")
    check(rc == 3 and reason in err and err.count("\n") == bool(reason) and took < 55 and
          peak < 100 << 10, "endless greeting " + what + ": fails, stays small",
          (rc, err, took, peak))

def injector():
    """Answers STARTTLS with a second reply in the same segment, then shakes hands and hangs up."""
    listener = socket.create_server(("127.0.0.1", 0))

    def serve():
        conn = listener.accept()[0]
        for reply in (b"220 hi\r\n", b"250-hi\r\n250 STARTTLS\r\n", b"220 go ahead\r\n250 injected\r\n"):
            conn.sendall(reply)
            conn.recv(4096)  # EHLO, STARTTLS, then the client's hello
        conn.close()
    threading.Thread(target=serve, daemon=True).start()
    return listener.getsockname()[1]


rc, err, _, _ = send(injector(), "starttls", user="")
check(rc == 3 and "more than its answer to STARTTLS" in err, "reply injected before the handshake: fails",
      (rc, err))

for server in (starttls, on_connect, starttls6, other_name, other_ip6, untrusted, no_starttls):
    server.c.stop()
print(f"{len(failed)} failed" if failed else "all passed")
sys.exit(1 if failed else 0 if os.geteuid() == 0 else 77)
