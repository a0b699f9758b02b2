#!/usr/bin/env python3
"""Two sites: two sentrel-monitors watch the same nodes, one real Prometheus scrapes both with the
example configuration and rules of docs/prometheus. A node both see down fires the quorum alert; a
node that one site sees down (its probes give up before the slow node answers) does not.
usage: sites_journey.py SENTREL_MONITOR DOCS_PROMETHEUS_DIR"""
import json, os, shutil, socket, subprocess, sys, threading, time, urllib.parse, urllib.request
from monitor_journeys import MONITOR, DOCS, PAGE, free_port, wait_for

if not shutil.which("prometheus"):
    print("SKIP: no prometheus (scripts/install-deps installs it)")
    sys.exit(77)
D = os.environ["XDG_STATE_HOME"]


def server(address, delay):
    srv = socket.create_server((address, 0))
    def answer(conn):
        time.sleep(delay)
        conn.sendall(PAGE)
        conn.close()
    threading.Thread(target=lambda: [threading.Thread(target=answer, args=(srv.accept()[0],), daemon=True).start()
                                     for _ in iter(int, 1)], daemon=True).start()
    return srv.getsockname()[1]


# 127.0.0.1 answers at once, 127.0.0.2 refuses, 127.0.0.3 answers after 2.5 s.
NODES = [("127.0.0.1", server("127.0.0.1", 0)), ("127.0.0.2", free_port()), ("127.0.0.3", server("127.0.0.3", 2.5))]
ports, procs = {"north": free_port(), "south": free_port()}, []
for site, maxsecs in (("north", 1), ("south", 6)):  # north's probes give up after 1 s
    order = NODES if site == "north" else NODES[::-1]  # other slots and titles: keyed by address alone
    ini = f"{D}/{site}.ini"
    with open(ini, "w") as f:
        f.write(f"[General]\nSecs=1\nMAXSecs={maxsecs}\n[Servers]\n" + "".join(
            f"s{i}node={a}\ns{i}port={p}\ns{i}title={site} {i}\ns{i}type=0\n" for i, (a, p) in enumerate(order))
            + f"[Metrics]\nListen=127.0.0.1:{ports[site]}\nSite={site}\n")
    procs.append(subprocess.Popen([MONITOR, "--config", ini], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
with open(f"{DOCS}/prometheus.yml") as f:
    config = f.read().replace("15s", "1s")
with open(f"{DOCS}/sentrel_rules.yml") as f:  # the journey cannot wait 5 minutes for each alert
    rules = f.read().replace("for: 5m", "for: 0s")
for site, port in ports.items():
    config = config.replace(f"monitor-{site}.example.net:9725", f"127.0.0.1:{port}")
for name, text in (("prometheus.yml", config), ("sentrel_rules.yml", rules)):
    with open(f"{D}/{name}", "w") as f:
        f.write(text)
pport = free_port()
procs.append(subprocess.Popen(["prometheus", f"--config.file={D}/prometheus.yml", f"--storage.tsdb.path={D}/tsdb",
                               f"--web.listen-address=127.0.0.1:{pport}"], stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL))


def query(expr, *labels):
    url = f"http://127.0.0.1:{pport}/api/v1/query?query=" + urllib.parse.quote(expr)
    try:
        result = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
    except OSError:
        return {}
    return {tuple(r["metric"].get(l) for l in labels): float(r["value"][1]) for r in result}


failed = []
try:
    seen = {("north", "127.0.0.1"): 1, ("north", "127.0.0.2"): 0, ("north", "127.0.0.3"): 0,
            ("south", "127.0.0.1"): 1, ("south", "127.0.0.2"): 0, ("south", "127.0.0.3"): 1}
    wait_for(lambda: query("sentrel_node_up", "site", "address") == seen, 60, "both sites scraped")
    quorum = 'ALERTS{alertname="SentrelNodeDownAtSites"}'
    wait_for(lambda: query(quorum.replace("}", ',alertstate="firing"}'), "address"), 30, "the quorum alert")
    for _ in range(5):  # several evaluations: the slow node stays out, per-site alerts go on
        time.sleep(1)
        if query(quorum, "address", "alertstate") != {("127.0.0.2", "firing"): 1}:
            failed.append(f"quorum: {query(quorum, 'address', 'alertstate')}")
    per_site = query('ALERTS{alertname="SentrelNodeDown",alertstate="firing"}', "site", "address")
    if per_site != {("north", "127.0.0.2"): 1, ("south", "127.0.0.2"): 1, ("north", "127.0.0.3"): 1}:
        failed.append(f"per site: {per_site}")
finally:
    for p in procs:
        p.kill()
        p.wait()
print("\n".join("FAIL " + f for f in failed) or "ok")
sys.exit(1 if failed else 0)
