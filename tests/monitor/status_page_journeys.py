#!/usr/bin/env python3
"""The status page through sentrel-monitor and Debian's headless chromium, all in a network namespace
of loopback alone: every node and its status in the rendered page, a hostile title kept as text, the
page's own style allowed by its policy and nothing else, the JSON field by field, a change of state
on the next load, and the endpoint's rules for other paths and methods.
usage: status_page_journeys.py SENTREL_MONITOR"""
import datetime, json, os, shutil, socket, subprocess, sys, threading
if os.environ.get("SENTREL_NETNS") != "1":  # again, inside a namespace of its own
    if not shutil.which("chromium"):
        print("SKIP: no chromium (scripts/install-deps installs it)")
        sys.exit(77)
    if subprocess.run(["unshare", "--net", "true"], capture_output=True).returncode != 0:
        print("SKIP: cannot make a network namespace (unshare --net needs root)")
        sys.exit(77)
    os.execvpe("unshare", ["unshare", "--net", "sh", "-c", 'ip link set lo up && exec "$@"', "-", sys.executable,
                           *sys.argv], dict(os.environ, SENTREL_NETNS="1"))
sys.argv[2:2] = ["-"]
from monitor_journeys import MONITOR, PAGE, free_port, http, wait_for, write_ini

HOSTILE = "<script>alert(1)</script>"
D, MPORT = os.environ["XDG_STATE_HOME"], free_port()
good = socket.create_server(("127.0.0.1", 0))
nodes = [(good.getsockname()[1], HOSTILE), (free_port(True), "shut\xe9"), (None, "echo"), (free_port(True), "gw")]
ini = write_ini(D, nodes, f"[Metrics]\nListen=127.0.0.1:{MPORT}\nSite=nor&th\n", secs=1)
with open(ini, "rb") as f:  # the last node elsewhere, down, and the second behind it: held
    text = f.read().replace(b"s3node=127.0.0.1", b"s3node=127.0.0.2").replace(b"s1type=0", b"s1type=0\ns1parent=127.0.0.2")
with open(ini, "wb") as f:
    f.write(text)
mon = subprocess.Popen([MONITOR, "--config", ini], cwd=D, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
failed, serving = [], [True]
threading.Thread(target=lambda: [c.sendall(PAGE) or c.close() for c in iter(lambda: good.accept()[0], 0)
                                 if serving[0] or c.close()], daemon=True).start()


def status():
    try:
        return json.loads(http(MPORT, b"GET /api/v1/status HTTP/1.0\r\n\r\n").split(b"\r\n\r\n", 1)[1])
    except (OSError, IndexError, ValueError):
        return None


def browse():
    r = subprocess.run(["chromium", "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr",
                        "--v=0", "--dump-dom", f"http://127.0.0.1:{MPORT}/"], capture_output=True, text=True,
                       timeout=90)
    return r.stdout, r.stderr


def check(what, ok, value):
    if not ok:
        failed.append(f"{what}: {value!r}")


def when(text):
    t = datetime.datetime.fromisoformat(text)
    return t if t.utcoffset() is not None and text[-6] in "+-" else None


try:
    def counted():
        s = status()
        return s if s and all(n["uptime24h"] is not None for n in s["nodes"]) else None
    s = wait_for(counted, 40, "every node probed and counted")
    for key, kind in (("site", str), ("monitoring", bool), ("intervalSeconds", int), ("history", bool)):
        check(key, type(s[key]) is kind, s[key])
    check("top", (s["site"], s["intervalSeconds"], s["history"], sorted(s)) == (
        "nor&th", 1, True, sorted(["site", "generated", "monitoring", "intervalSeconds", "lastScan", "history",
                                   "nodes"])), s)
    check("times", when(s["generated"]) and when(s["lastScan"]), s)
    want = [(0, HOSTILE, "HTTPD", True, "HTTP: 12 bytes.", 100), (1, "shut\xe9", "HTTPD", False, "*ERROR* count: ", 0),
            (2, "echo", "PING", True, "PING: ", 100), (3, "gw", "HTTPD", False, "*ERROR* count: ", 0)]
    for n, (index, title, kind, up, said, uptime) in zip(s["nodes"], want):
        check("node", (n["node"], n["title"], n["address"], n["kind"], n["up"], n["held"], n["uptime24h"],
                       n["uptime7d"]) == (index, title, f"127.0.0.{1 + index // 3}", kind, up, index == 1, uptime, uptime), n)
        check("fields", sorted(n) == sorted(["node", "title", "address", "port", "kind", "status", "up", "since",
                                             "stateSeconds", "lastProbe", "uptime24h", "uptime7d", "held"]), n)
        check("status", n["status"].startswith(said) and type(n["stateSeconds"]) is int, n)
        check("node times", when(n["since"]) and when(n["lastProbe"]) <= when(s["generated"]), n)
    dom, log = browse()
    check("hostile title", "<script" not in dom and "&lt;script&gt;alert(1)&lt;/script&gt;" in dom, dom)
    check("policy", "Content Security Policy" not in log and "Content-Security-Policy" not in log, log)
    for title, said in (("shut\xe9", "*ERROR* count: "), ("echo", "PING: "), ("nor&amp;th", "Monitoring")):
        check("page", title in dom and said in dom, dom)
    check("rows", len(s["nodes"]) == 4 and dom.count("<tr class=") == 4 and dom.count('class="up"') == 2, dom)

    since = s["nodes"][0]["since"]
    serving[0] = False  # the first node stops answering: its state and time in it change
    later = wait_for(lambda: (lambda s: s if s and s["nodes"][0]["up"] is False else None)(status()), 30, "down")
    check("state change", later["nodes"][0]["since"] > since and later["nodes"][0]["status"].startswith("*ERROR*"),
          later["nodes"][0])
    check("page after change", (dom := browse()[0]).count('class="down"') == 3 and "rotating" not in dom, dom)

    head = http(MPORT, b"GET / HTTP/1.0\r\n\r\n").split(b"\r\n\r\n")[0].decode()
    check("headers", "default-src 'none'; style-src 'sha256-" in head and "no-store" in head, head)
    for raw, code in ((b"POST / HTTP/1.0\r\n\r\n", b"405"), (b"GET /api/v1/status/x HTTP/1.0\r\n\r\n", b"404"),
                      (b"GET /index.html HTTP/1.0\r\n\r\n", b"404"), (b"PUT /api/v1/status HTTP/1.0\r\n\r\n", b"405"),
                      (b"GET / HTTP/1.0\r\nX: " + b"a" * 12000 + b"\r\n\r\n", b"431")):
        answer = http(MPORT, raw)
        check(raw[:24], answer[9:12] in (code, b"400", b"413") if code == b"431" else answer[9:12] == code and
              (code != b"405" or b"Allow: GET" in answer), answer[:200])
finally:
    mon.kill()
    mon.wait()
print("\n".join("FAIL " + f for f in failed) or "ok")
sys.exit(1 if failed else 0)
