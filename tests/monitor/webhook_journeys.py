#!/usr/bin/env python3
"""The webhook through sentrel-monitor: an HTTPS receiver with a test CA on 127.0.0.1 gets each
form's bytes, down then up; a real Alertmanager fires and resolves the alert; fault rows fail
closed with one line that holds no secret, counted in sentrel_alarms_total.
usage: webhook_journeys.py SENTREL_MONITOR"""
import base64, calendar, contextlib, http.server, json, os, re, shutil, signal, socket, ssl, subprocess, sys, tempfile
import threading, time, urllib.request
sys.argv[2:2] = ["-"]  # monitor_journeys takes the monitor and a docs folder
from monitor_journeys import MONITOR, PAGE, free_port, http as ask, let_go, wait_for, write_ini

if not shutil.which("prometheus-alertmanager"):
    print("SKIP: no prometheus-alertmanager (scripts/install-deps installs it)")
    sys.exit(77)
D, TOKEN, GOT = tempfile.mkdtemp(prefix="sentrel-hook-"), "tok-SECRET-7f3a", []
for name, subj, alt, signer in (("ca", "CA", "", []), ("self", "self", "DNS:localhost", []),
                                ("good", "good", "DNS:localhost", ["-CA", "ca.pem", "-CAkey", "ca.key"]),
                                ("other", "other", "DNS:other.example", ["-CA", "ca.pem", "-CAkey", "ca.key"])):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256", "-nodes",
                    "-days", "2", "-keyout", name + ".key", "-out", name + ".pem", "-subj", "/CN=" + subj, *signer,
                    *(["-addext", "subjectAltName=" + alt] if alt else [])], cwd=D, check=True, capture_output=True)
for name, mode, text in (("tok", 0o600, TOKEN), ("leaky", 0o644, TOKEN), ("inject", 0o600, "abc\rX-Injected: yes"),
                         ("huge", 0o600, "x" * 5000)):
    with open(f"{D}/{name}", "w") as f:
        f.write(text + "\n")
    os.chmod(f"{D}/{name}", mode)


class Hook(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        GOT.append((self.path, self.headers, self.rfile.read(int(self.headers["Content-Length"]))))
        time.sleep(30 if self.path == "/slow" else 0)
        self.send_response({"/fail": 500, "/redirect": 302}.get(self.path.split("?")[0], 200))
        self.send_header("Location", "/json")
        self.end_headers()
        with contextlib.suppress(OSError):  # the sender stops reading at its limit
            self.wfile.write(b"x" * 102400 if self.path == "/long" else b"")

    def log_message(self, *args):
        pass


def receiver(cert):
    srv = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hook)
    ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    ctx.load_cert_chain(f"{D}/{cert}.pem", f"{D}/{cert}.key")
    srv.socket = ctx.wrap_socket(srv.socket, server_side=True)
    threading.Thread(target=srv.serve_forever, daemon=True).start()
    return f"https://localhost:{srv.server_address[1]}"


GOOD, OTHER, SELF, AM, NODE = receiver("good"), receiver("other"), receiver("self"), free_port(True), free_port(True)
TITLE, T0 = 'we"b\\\xe9', time.time()
TJ, STATUS = json.dumps(TITLE, ensure_ascii=False)[1:-1], {"down": "*ERROR* count: N", "up": "HTTP: 12 bytes."}
SUM = {"down": "[north] " + TJ + " is down", "up": "[north] " + TJ + " is up again"}  # [Metrics] Site=north
DESC = {"down": "127.0.0.1: *ERROR* count: N, failing since T", "up": "127.0.0.1: HTTP: 12 bytes., down N s since T"}
BODY = {"json": lambda e: f'{{"event":"{e}","node":0,"address":"127.0.0.1","title":"{TJ}","status":"{STATUS[e]}",'
                          f'"failCount":N,"time":"T","outageSeconds":N,"site":"north"}}',
        "ntfy": lambda e: DESC[e], "slack": lambda e: f'{{"text":"{SUM[e]}: {DESC[e]}"}}',
        "gotify": lambda e: f'{{"title":"{SUM[e]}","message":"{DESC[e]}","priority":{8 if e == "down" else 4}}}',
        "alertmanager": lambda e: '[{"labels":{"alertname":"SentrelNodeDown","node":"0","address":"127.0.0.1",'
        f'"title":"{TJ}","site":"north"}},"annotations":{{"summary":"{SUM[e]}","description":"{DESC[e]}"}},"startsAt":"T",'
        '"endsAt":"T"}]'}
HEAD = {"ntfy": lambda e: {"Authorization": "Bearer " + TOKEN, "Priority": {"down": "high", "up": "default"}[e],
                           "Tags": {"down": "rotating_light", "up": "white_check_mark"}[e], "Title": "=?UTF-8?B?"
                           + base64.b64encode(json.loads(f'"{SUM[e]}"').encode()).decode() + "?="},
        "gotify": lambda e: {"X-Gotify-Key": TOKEN}}
ROWS = [(form, f"{GOOD}/{form}", form, "tok", None) for form in BODY] + [  # name, URL, form, token, failure
    ("real alertmanager", f"http://127.0.0.1:{AM}/api/v2/alerts", "alertmanager", "tok", None),
    ("untrusted", f"{SELF}/json", "json", "tok", "certificate"),
    ("wrong name", f"{OTHER}/json", "json", "tok", "certificate subject name"),
    ("slow", f"{GOOD}/slow", "json", "tok", "timed out"),
    ("500", f"https://ops:pw-SECRET@{GOOD[8:]}/fail?key=q-SECRET", "slack", "tok", "answered 500"),
    ("redirect", f"{GOOD}/redirect", "gotify", "tok", "answered 302"),
    ("token readable", f"{GOOD}/leaky", "ntfy", "leaky", "may be read or written by others"),
    ("token with a line break", f"{GOOD}/inject", "json", "inject", "control character"),
    ("token too long", f"{GOOD}/huge", "gotify", "huge", "longer than 1024 bytes"),
    ("long answer", f"{GOOD}/long", "json", "tok", None)]


def normal(body):
    return re.sub(rb'(failCount":|outageSeconds":|down |count: )\d+', rb"\1N", re.sub(rb"\d{4}-\d\d-\d\dT[\d:.]+Z", b"T", body))


def alarms(port):  # {outcome: count} of channel webhook from the monitor's /metrics
    try:
        text = ask(port, b"GET /metrics HTTP/1.0\r\n\r\n").decode()
    except OSError:
        return {}
    found = re.findall(r'alarms_total\{channel="webhook",outcome="(\w+)"\} (\S+)', text)
    return {o: float(n) for o, n in found if float(n)}


def am_alert():
    try:
        found = json.load(urllib.request.urlopen(f"http://127.0.0.1:{AM}/api/v2/alerts", timeout=5))
    except OSError:
        return False
    return next((a for a in found if a["labels"].get("alertname") == "SentrelNodeDown"), None)


env = dict(os.environ, SSL_CERT_FILE=f"{D}/ca.pem")
with open(f"{D}/am.yml", "w") as f:
    f.write("global: {resolve_timeout: 10s}\nroute: {receiver: none}\nreceivers: [{name: none}]\n")
am = subprocess.Popen(["prometheus-alertmanager", "--config.file=am.yml", "--storage.path=am",
                       f"--web.listen-address=127.0.0.1:{let_go(AM)}", "--cluster.listen-address="], cwd=D,
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
failed, mons = [], {}
try:
    # --once --alarms: the notice is out before the program ends; without --alarms nothing goes.
    for args, url, said in ((["--alarms"], f"{GOOD}/once", ""), ([], f"{GOOD}/quiet", ""),
                            (["--alarms"], "ftp://127.0.0.1/", "Webhook_URL in tarn.ini is not an http or https")):
        ini = write_ini(D, [(free_port(True), "once")], f"[Alerts]\nNum_Fails=1\nWebhook_URL={url}\n")
        r = subprocess.run([MONITOR, "--config", ini, "--once", *args], capture_output=True, text=True, env=env)
        if [p for p, _, _ in GOT if p in ("/once", "/quiet")] != ["/once"] or said not in r.stderr or r.returncode != 2:
            failed.append(f"--once {args} {url}: {GOT} {r.stderr}")
    # 70 alarms at once, the receiver hanging: 64 wait (the first may be under way), the rest are dropped.
    ini = write_ini(D, [(free_port(True), f"n{i}") for i in range(70)], f"[Alerts]\nNum_Fails=1\nWebhook_URL={GOOD}/slow\n")
    r = subprocess.run([MONITOR, "--config", ini, "--once", "--alarms"], capture_output=True, text=True, env=env)
    if r.stderr.count("too many notices waiting") not in (5, 6):
        failed.append(f"a full queue: {r.stderr.count(chr(10))} lines {r.stderr[:300]}")
    for name, url, form, token, _ in ROWS:
        folder, mport = tempfile.mkdtemp(dir=D), free_port()
        ini = write_ini(folder, [(NODE, TITLE)], f"[Metrics]\nListen=127.0.0.1:{mport}\nSite=north\n[Alerts]\nNum_Fails=1\n"
                        f"Max_Alarms=1\nWebhook_URL={url}\nWebhook_Format={form}\nWebhook_Token_File={D}/{token}\n")
        mons[name] = (subprocess.Popen([MONITOR, "--config", ini], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                       text=True, errors="replace", env=env), mport)
    sent = lambda n: alarms(mons[n][1]).get("sent", 0) + alarms(mons[n][1]).get("failed", 0)
    wait_for(lambda: all(sent(n) >= 1 for n, *_ in ROWS if n != "slow"), 30, "every down notice")
    firing = wait_for(am_alert, 10, "the alert in Alertmanager")
    # Posted again while the node fails, it outlives resolve_timeout; the other notices are not held up.
    renewed = wait_for(lambda: (lambda a: a and a["updatedAt"] > firing["updatedAt"] and a)(am_alert()), 45,
                       "the alert renewed")
    node = socket.create_server(("127.0.0.1", let_go(NODE)))  # the node answers from now on
    threading.Thread(target=lambda: [c.sendall(PAGE) or c.close() for c in iter(lambda: node.accept()[0], 0)],
                     daemon=True).start()
    wait_for(lambda: all(sent(n) == 2 for n, *_ in ROWS), 150, "every up notice")
    resolved = wait_for(lambda: (lambda a: a is None or (a and a["status"]["state"] != "active"))(am_alert()),
                        10, "the alert resolved")
    counts = {name: alarms(mport) for name, (_, mport) in mons.items()}
    for mon, _ in mons.values():
        mon.send_signal(signal.SIGTERM)
    ends = {name: mon.communicate(timeout=30) for name, (mon, _) in mons.items()}
    most = max(len(out.splitlines()) for out, _ in ends.values())
    for name, url, form, token, reason in ROWS:
        count, (out, err) = counts[name], ends[name]
        lines = [l for l in err.splitlines() if "webhook" in l]
        got = [] if reason else [(h, normal(b)) for p, h, b in GOT if p == f"/{name}"]
        got = [g for i, g in enumerate(got) if not i or g[1] != got[i - 1][1]]  # renewals of one alert
        want = [] if reason or " " in name else [(HEAD.get(form, lambda e: {"Authorization": "Bearer " + TOKEN})(e),
                                                  BODY[form](e).encode()) for e in ("down", "up")]
        if (count != ({"failed": 2.0} if reason else {"sent": 2.0}) or "SECRET" in err or len(lines) != (2 if reason else 0)
                or not all(reason in l for l in lines) or [b for _, b in got] != [b for _, b in want]
                or any(h[k] != v for (h, _), (hs, _) in zip(got, want) for k, v in hs.items())
                or len(out.splitlines()) < 0.75 * most):  # the passes went on while a webhook hung
            failed.append(f"{name}: {count} {lines} {out.count(chr(10))} lines\n  got  {got}\n  want {want}")
    if (firing["status"]["state"] != "active" or firing["labels"]["title"] != TITLE or renewed["status"]["state"] != "active"
            or firing["labels"]["site"] != "north"):
        failed.append(f"alertmanager: {firing} then {renewed} then {resolved}")
    if any(p in ("/inject", "/huge") for p, _, _ in GOT):
        failed.append("a refused token file: sent all the same")
    stamps = re.findall(rb"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z", b"".join(b for _, _, b in GOT))
    late = [t for t in stamps if not T0 - 5 < calendar.timegm(time.strptime(t.decode(), "%Y-%m-%dT%H:%M:%S")) < time.time() + 300]
    lengths = [int(n) for _, _, b in GOT for n in re.findall(rb'(?:"event":"up".*"outageSeconds":|, down )(\d+)', b)]
    if late or not stamps or not all(20 < n < time.time() - T0 for n in lengths) or len(lengths) < 4:
        failed.append(f"dates {late} of {len(stamps)}, outage lengths {lengths}")
finally:
    for mon, _ in mons.values():
        mon.kill()
    am.terminate()
    am.wait()
print("\n".join("FAIL " + f for f in failed) or "ok")
sys.exit(1 if failed else 0)
