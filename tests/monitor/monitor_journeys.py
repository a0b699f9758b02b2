#!/usr/bin/env python3
"""sentrel-monitor against real peers on 127.0.0.1 and a real Prometheus server.
usage: monitor_journeys.py SENTREL_MONITOR DOCS_PROMETHEUS_DIR"""
import errno, json, os, signal, socket, sqlite3, subprocess, sys, tempfile, threading, time, unittest
import urllib.parse, urllib.request

STATE = tempfile.TemporaryDirectory()  # the programs keep their history here, never in $HOME
os.environ["XDG_STATE_HOME"] = STATE.name

MONITOR, DOCS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
PAGE = b"twelve bytes"
ACCEPTED, HELD = {}, {}  # peer port -> set once the peer has accepted a connection; held port -> its socket
let_go = lambda port: HELD.pop(port).close() or port  # a held port, for a program about to listen on it


def free_port(held=False, host="127.0.0.1"):
    """A port free now; a held one stays bound here, never listening, so it refuses and nothing takes it."""
    (s := socket.socket()).bind((host, 0))
    port = s.getsockname()[1]
    HELD.__setitem__(port, s) if held else s.close()
    return port


def peer(answer):
    """A TCP peer that sends `answer` and closes, or with None holds every connection silent."""
    srv, accepted, held = socket.create_server(("127.0.0.1", 0)), threading.Event(), []
    def serve():
        while True:
            conn, _ = srv.accept()
            accepted.set()
            if answer is None:
                held.append(conn)
                continue
            conn.recv(64)
            conn.sendall(answer)
            conn.close()
    threading.Thread(target=serve, daemon=True).start()
    ACCEPTED[srv.getsockname()[1]] = accepted
    return srv.getsockname()[1]


def write_ini(folder, nodes, extra="", secs=1, maxsecs=2, general=""):
    lines = [f"[General]\nSecs={secs}\nMAXSecs={maxsecs}\n{general}[Servers]"]
    for i, (port, title) in enumerate(nodes):
        lines.append(f"s{i}node=127.0.0.1\ns{i}port={port or ''}\ns{i}title={title}\ns{i}type={int(not port)}")
    path = os.path.join(folder, "tarn.ini")
    with open(path, "wb") as f:  # titles may hold Latin-1 bytes
        f.write(("\n".join(lines) + "\n" + extra).encode("latin-1"))
    return path


def http(port, raw, timeout=5):
    """Sends raw bytes; returns the answer's status line, or b"" when the server closed without one."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        try:
            s.sendall(raw)
        except OSError:
            pass
        data = b""
        try:
            while chunk := s.recv(65536):
                data += chunk
        except (ConnectionResetError, socket.timeout):
            pass
    return data


def wait_for(check, limit=20, what="condition"):
    end = time.time() + limit
    while time.time() < end:
        result = check()
        if result:
            return result
        time.sleep(0.2)
    raise AssertionError("timed out waiting for " + what)


class Journeys(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="sentrel-mon-")
        self.procs = []

    def tearDown(self):
        for p in self.procs:
            if p.poll() is None:
                p.kill()
            p.wait()

    def spawn(self, *cmd, **kw):
        p = subprocess.Popen(cmd, cwd=self.dir, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                             errors="replace", **kw)
        self.procs.append(p)
        return p

    def monitor(self, ini, *args, **kw):
        return subprocess.run([MONITOR, "--config", ini, *args], cwd=self.dir, capture_output=True,
                              text=True, timeout=30, **kw)

    def test_bad_arguments_and_settings_end_with_a_message(self):
        env = dict(os.environ, XDG_CONFIG_HOME=self.dir)  # no tarn.ini there
        for args, code, said in [(["--bogus"], 64, "unknown argument"), (["--config"], 64, "needs a file"),
                                 (["--alarms"], 64, "--alarms goes with --once"),
                                 (["--config", "/nonexistent/tarn.ini", "--once"], 66, "no settings file"),
                                 (["--config", self.dir, "--once"], 66, "cannot read"),
                                 (["--once"], 66, "no settings file")]:
            with self.subTest(args=args):
                r = subprocess.run([MONITOR, *args], capture_output=True, text=True, timeout=10, env=env)
                self.assertEqual(r.returncode, code)
                self.assertIn(said, r.stderr)
                self.assertEqual(r.stdout, "")

    def test_once_exit_code_lines_and_alarms_only_when_asked(self):
        good, refused = peer(PAGE), free_port(True)
        alarm = "[Alerts]\nNum_Fails=1\nLaunch_Flag=1\nCommand_Line=touch alarmed\n"
        for nodes, alarms, code in [([], [], 3), ([(good, "web")], [], 0),
                                    ([(good, "web"), (refused, "shut")], [], 2),
                                    ([(good, "web"), (refused, "shut")], ["--alarms"], 2)]:
            with self.subTest(nodes=len(nodes), alarms=alarms):
                r = self.monitor(write_ini(self.dir, nodes, alarm), "--once", *alarms)
                self.assertEqual(r.returncode, code, r.stderr)
                lines = r.stdout.splitlines()
                self.assertEqual(len(lines), len(nodes))
                self.assertEqual("no nodes in" in r.stderr, not nodes, r.stderr)
                self.assertTrue(not nodes or lines[0].startswith("web") and lines[0].endswith("HTTP: 12 bytes."))
                self.assertTrue(all(l.endswith("*ERROR* count: 1") for l in lines[1:]), lines)
                self.assertEqual(os.path.exists(os.path.join(self.dir, "alarmed")), bool(alarms))
        os.remove(os.path.join(self.dir, "alarmed"))  # a hold covering now: the row says so, nothing rings
        r = self.monitor(write_ini(self.dir, [(refused, "shut")], alarm + "[Maintenance]\nHold_Until=2999-01-01 00:00\n"),
                         "--once", "--alarms")
        self.assertEqual((r.returncode, r.stdout, os.path.exists(os.path.join(self.dir, "alarmed"))),
                         (2, "shut" + " " * 37 + "*ERROR* count: 1 (held: maintenance)\n", False))
        ini = write_ini(self.dir, [(refused, "shut")], alarm)  # --hold's file, read by every pass, then its end
        for hold, said in (("2h", "every alarm held until 2"), ("off", "no alarm held by --hold")):
            self.assertEqual(self.monitor(ini, "--hold", hold).stdout[:len(said)], said)
            r = self.monitor(ini, "--once", "--alarms")
            self.assertEqual((r.stdout.endswith("(held: maintenance)\n"), os.path.exists(os.path.join(
                self.dir, "alarmed"))), (hold == "2h", hold == "off"))
        self.assertEqual(self.monitor(ini, "--hold", "2x").returncode, 64)
        P = r" \| rta=\d+\.\dms;;;0 pl=0%;;;0;100"  # a round's perfdata; a failed threshold fails
        for general, code, tail in [("Echoes=1\n", 0, r"PING: \d+ ms\."), ("Echoes=3\n", 0, r"PING: \d+ ms\." + P),
                                    ("Echoes=3\n[Alerts]\nSlow_ms=1\n[General]\n", 2, r"\*ERROR\* Slow: \d+ ms\." + P)]:
            r = self.monitor(write_ini(self.dir, [(None, "echo")], general=general), "--once")
            self.assertEqual(r.returncode, code, r.stderr)
            self.assertRegex(r.stdout, "^echo +" + tail + "\n$")

    def test_prometheus_scrapes_reload_and_fault_rows(self):
        good, refused, mport, pport, moved = peer(PAGE), *(free_port(True) for _ in range(4))
        for cmd in (["promtool", "check", "config", f"{DOCS}/prometheus.yml"],
                    ["promtool", "check", "rules", f"{DOCS}/sentrel_rules.yml"],
                    ["promtool", "test", "rules", f"{DOCS}/sentrel_rules_test.yml"],
                    ["amtool", "check-config", f"{DOCS}/alertmanager.yml"]):
            r = subprocess.run(cmd, capture_output=True, text=True, timeout=60)
            self.assertEqual(r.returncode, 0, r.stdout + r.stderr)
        # Equal entries and titles that differ only in bytes that are not UTF-8 stay series of their own.
        nodes = [(good, "web"), (refused, "shut\xe9"), (refused, "shut\xe8"), (good, "web")]
        ini = write_ini(self.dir, nodes, f"[Metrics]\nListen={let_go(mport)}\n")  # a port alone: loopback only
        mon = self.spawn(MONITOR, "--config", ini)
        with open(os.path.join(self.dir, "prom.yml"), "w") as f:
            f.write(f"global: {{scrape_interval: 1s}}\nscrape_configs:\n - job_name: sentrel\n"
                    f"   static_configs: [{{targets: ['127.0.0.1:{mport}', '[::1]:{moved}']}}]\n")
        self.spawn("prometheus", "--config.file=prom.yml", "--storage.tsdb.path=tsdb",
                   f"--web.listen-address=127.0.0.1:{let_go(pport)}")

        def query(expr):
            url = f"http://127.0.0.1:{pport}/api/v1/query?query=" + urllib.parse.quote(expr)
            try:
                result = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
            except OSError:
                return {}
            return {r["metric"]["node"] + " " + r["metric"]["title"]: float(r["value"][1]) for r in result}
        up = wait_for(lambda: (lambda q: q if len(q) == 4 else None)(query("sentrel_node_up")), 40, "up")
        shut = "1 shut\\xE9"  # a title byte that is not UTF-8 must not spoil the scrape
        self.assertEqual(up, {"0 web": 1.0, shut: 0.0, "2 shut\\xE8": 0.0, "3 web": 1.0})
        first = query("sentrel_node_consecutive_failures")[shut]
        wait_for(lambda: query("sentrel_node_consecutive_failures")[shut] > first, 20, "failures rising")
        self.assertGreater(query('sentrel_node_probes_total{outcome="failure"}')[shut], 1)
        # Each probe counted once: every node's failures equal its consecutive failures.
        self.assertEqual(query('sentrel_node_probes_total{outcome="failure"} - ignoring(outcome) '
                               'sentrel_node_consecutive_failures'), dict.fromkeys(up, 0.0))

        # Fault rows: only GET /metrics answers; garbage, oversized and slow requests leave it serving.
        for name, raw, allowed in [("post", b"POST /metrics HTTP/1.1\r\n\r\n", (b"404", b"405")),
                                   ("other path", b"GET /etc/passwd HTTP/1.1\r\n\r\n", (b"404",)),
                                   ("longer path", b"GET /metricsfoo HTTP/1.1\r\n\r\n", (b"404",)),
                                   ("path below", b"GET /metrics/extra HTTP/1.1\r\n\r\n", (b"404",)),
                                   ("query", b"GET /metrics?x=/a HTTP/1.1\r\n\r\n", (b"200",)),
                                   ("escaped", b"GET /metric%73 HTTP/1.1\r\n\r\n", (b"404",)),
                                   ("over 8 KiB", b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 12000 + b"\r\n\r\n",
                                    (b"", b"400", b"413", b"431")),
                                   ("garbage", os.urandom(300) + b"\r\n\r\n", (b"", b"400", b"404")),
                                   ("oversized", b"GET /metrics HTTP/1.1\r\nX: " + b"a" * 200000 + b"\r\n\r\n",
                                    (b"", b"400", b"413", b"431"))]:
            with self.subTest(row=name):
                self.assertIn(http(mport, raw)[9:12], allowed)
        slow = time.time()
        self.assertNotIn(b"200 OK", http(mport, b"GET /metr", timeout=10))
        self.assertLess(time.time() - slow, 8)  # the server gave up on the slow client
        self.assertIn(b'sentrel_node_up{address="127.0.0.1"', http(mport, b"GET /metrics HTTP/1.0\r\n\r\n"))
        self.assertEqual(socket.socket().connect_ex(("127.0.0.2", mport)), errno.ECONNREFUSED)
        self.assertEqual(http(mport, b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n" * 2).count(b" 200 OK"), 1)

        # SIGHUP: an added node is served where Listen now says; a port taken then is tried at the next SIGHUP.
        write_ini(self.dir, nodes + [(None, "echo"), (good, "added")],
                  f"[Metrics]\nListen=[::]:{moved}\n[Maintenance]\nHold_Until=2999-01-01 00:00\n", general="Echoes=2\n")
        mon.send_signal(signal.SIGHUP)  # the old port is given up at once
        wait_for(lambda: socket.socket().connect_ex(("127.0.0.1", mport)) == errno.ECONNREFUSED, 15, "reload")
        let_go(moved), mon.send_signal(signal.SIGHUP)
        def served():
            try:
                return b'title="added"' in http(moved, b"GET /metrics HTTP/1.0\r\n\r\n")
            except ConnectionRefusedError:
                return False  # not reloaded yet
        wait_for(served, 15, "added node")
        scrape = http(moved, b"GET /metrics HTTP/1.0\r\n\r\n").decode()
        self.assertIn("\nsentrel_monitoring 1\n", scrape)  # the new listener knows what went before
        held = 'sentrel_node_held{address="127.0.0.1",node="2",port="%d",title="shut\\\\xE8",type="HTTPD",reason="%s"} '
        wait_for(lambda: held % (refused, "maintenance") + "1" in http(moved, b"GET /metrics HTTP/1.0\r\n\r\n").decode(),
                 15, "held by Hold_Until")
        self.assertIn(held % (refused, "parent") + "0", http(moved, b"GET /metrics HTTP/1.0\r\n\r\n").decode())
        for name in ("echo_loss_ratio", "round_trip_jitter_seconds", "echoes_sent_total", "echoes_received_total"):
            self.assertRegex(scrape, f'sentrel_node_{name}{{[^}}]*title="echo"[^}}]*}} ' + "0\n" * ("loss" in name))
        six = f'sentrel_node_up{{instance="[::1]:{moved}"}} and on(instance) up == 1'  # scraped over IPv6
        wait_for(lambda: query(six).get("5 added") == 1, 30, "a scrape over IPv6")
        mon.send_signal(signal.SIGTERM)
        out, err = mon.communicate(timeout=15)
        self.assertEqual(mon.returncode, 0, err)
        self.assertIn("added", out)
        self.assertIn("read " + ini + " again", err)

    def test_reload_during_an_outage_keeps_the_counts_and_raises_one_alarm(self):
        good, refused = peer(PAGE), free_port(True)
        alarm = ("[Alerts]\nNum_Fails=1\nMax_Alarms=1\nLaunch_Flag=1\nCommand_Line=echo >> alarms\n"
                 "[Reports]\nLog_Flag=1\nLog_File_Name=probe.log\n")  # a line per failure
        ini = write_ini(self.dir, [(refused, "shut")], alarm)
        mon = self.spawn(MONITOR, "--config", ini)
        def failures_logged(n):  # two passes or more since the last step
            wait_for(lambda: os.path.exists(f"{self.dir}/probe.log") and
                     open(f"{self.dir}/probe.log").read().count("*ERROR*") >= n, 20, f"{n} failures")
        # The same node, then moved down.
        for step, nodes in enumerate(([(refused, "shut")], [(good, "web"), (refused, "shut")])):
            failures_logged(2 * step + 2)
            write_ini(self.dir, nodes, alarm)
            mon.send_signal(signal.SIGHUP)
        failures_logged(6)
        mon.send_signal(signal.SIGTERM)
        out, err = mon.communicate(timeout=20)
        self.assertEqual(err.count("read " + ini + " again"), 2, err)
        counts = [int(l.rsplit(" ", 1)[1]) for l in out.splitlines() if l.startswith("shut")]
        self.assertEqual(counts, list(range(1, len(counts) + 1)))
        self.assertGreater(len(counts), 4)
        with open(os.path.join(self.dir, "alarms")) as f:
            self.assertEqual(f.read(), "\n")

    def test_reload_that_restarts_history_keeps_the_stretch_watched(self):
        nodes = [(peer(PAGE), "web")]
        ini = write_ini(self.dir, nodes)
        mon = self.spawn(MONITOR, "--config", ini, env=dict(os.environ, XDG_STATE_HOME=self.dir))
        def count(sql):
            try:
                with sqlite3.connect(f"file:{self.dir}/sentrel/history.sqlite?mode=ro", uri=True) as db:
                    return db.execute(sql).fetchone()[0]
            except sqlite3.Error:
                return 0  # not made yet
        wait_for(lambda: count("SELECT count(*) FROM result") >= 2, 20, "results")
        write_ini(self.dir, nodes, "[History]\nKeep_Days=31\n")
        mon.send_signal(signal.SIGHUP)  # a new writer: monitoring goes on, one stretch from here
        after = "SELECT count(*) FROM result WHERE time_ms > (SELECT start_ms FROM session LIMIT 1 OFFSET 1)"
        wait_for(lambda: count(after) >= 3, 20, "passes after the reload")
        mon.send_signal(signal.SIGTERM)
        mon.communicate(timeout=20)
        self.assertEqual(count("SELECT count(*) FROM session"), 2)

    def test_two_sites_page_once_for_a_node_both_see_down(self):
        # Two monitors ("sites") watch the same nodes in other slots under other titles; a real Prometheus
        # scrapes both with the shipped configuration and rules (the alerts without their 5 minutes).
        # 127.0.0.2 refuses; 127.0.0.3 answers after 2.5 s, beyond north's MAXSecs only.
        slow = socket.create_server(("127.0.0.3", 0))
        threading.Thread(target=lambda: [threading.Timer(2.5, lambda c=c: (c.sendall(PAGE), c.close())).start()
                                         for c in iter(lambda: slow.accept()[0], None)], daemon=True).start()
        nodes = [("127.0.0.1", peer(PAGE)), ("127.0.0.2", free_port(True, "127.0.0.2")),
                 ("127.0.0.3", slow.getsockname()[1])]
        ports, pport = {"north": free_port(True), "south": free_port(True)}, free_port(True)
        with open(f"{DOCS}/prometheus.yml") as f:
            config = f.read().replace("15s", "1s")
        for site, maxsecs, order in (("north", 1, nodes), ("south", 6, nodes[::-1])):
            with open(os.path.join(self.dir, site + ".ini"), "w") as f:
                f.write(f"[General]\nSecs=1\nMAXSecs={maxsecs}\n[Servers]\n" + "".join(
                    f"s{i}node={a}\ns{i}port={p}\ns{i}title={site} {i}\n" for i, (a, p) in enumerate(order))
                    + f"[Metrics]\nListen=127.0.0.1:{let_go(ports[site])}\nSite={site}\n")
            self.spawn(MONITOR, "--config", site + ".ini")
            config = config.replace(f"monitor-{site}.example.net:9725", f"127.0.0.1:{ports[site]}")
        with open(f"{DOCS}/sentrel_rules.yml") as f, open(os.path.join(self.dir, "sentrel_rules.yml"), "w") as out:
            out.write(f.read().replace("for: 5m", "for: 0s"))
        with open(os.path.join(self.dir, "prometheus.yml"), "w") as f:
            f.write(config)
        self.procs.append(subprocess.Popen(["prometheus", "--config.file=prometheus.yml", "--storage.tsdb.path=tsdb",
                                            f"--web.listen-address=127.0.0.1:{let_go(pport)}"], cwd=self.dir,
                                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

        def query(expr, *labels):
            url = f"http://127.0.0.1:{pport}/api/v1/query?query=" + urllib.parse.quote(expr)
            try:
                result = json.load(urllib.request.urlopen(url, timeout=5))["data"]["result"]
            except OSError:
                return {}
            return {tuple(r["metric"].get(l) for l in labels): float(r["value"][1]) for r in result}
        seen = {(site, a): float(site == "south" and a != "127.0.0.2" or a == "127.0.0.1")
                for site in ports for a, _ in nodes}
        wait_for(lambda: query("sentrel_node_up", "site", "address") == seen, 60, "both sites scraped")
        quorum = 'ALERTS{alertname="SentrelNodeDownAtSites"}'
        wait_for(lambda: query(quorum.replace("}", ',alertstate="firing"}'), "address"), 30, "the quorum alert")
        rules = f"http://127.0.0.1:{pport}/api/v1/rules"  # the rule group's latest evaluation:
        evaluated = lambda: json.load(urllib.request.urlopen(rules, timeout=5))["data"]["groups"][0]["lastEvaluation"]
        for _ in range(5):  # several evaluations: the node one site sees down stays out
            self.assertEqual(query(quorum, "address", "alertstate"), {("127.0.0.2", "firing"): 1})
            last = evaluated()
            wait_for(lambda: evaluated() != last, 10, "the next evaluation")
        self.assertEqual(query('ALERTS{alertname="SentrelNodeDown",alertstate="firing"}', "site", "address"),
                         {("north", "127.0.0.2"): 1, ("south", "127.0.0.2"): 1, ("north", "127.0.0.3"): 1})

    def test_sigterm_during_a_silent_probe_lets_the_node_finish(self):
        silent = peer(None)  # MAXSecs=0: the probe waits 60 s, and so does the stop
        ini = write_ini(self.dir, [(silent, "mute")], f"[Reports]\nLog_Flag=1\nLog_File_Name=probe.log\n", maxsecs=0)
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)  # systemd's end of NOTIFY_SOCKET
        notify.bind(os.path.join(self.dir, "notify"))
        self.addCleanup(notify.close)
        mon = self.spawn(MONITOR, "--config", ini, env=dict(os.environ, NOTIFY_SOCKET=notify.getsockname()))
        wait_for(ACCEPTED[silent].is_set, 10, "the probe to connect")
        start = time.time()
        mon.send_signal(signal.SIGTERM)
        notify.settimeout(10)  # the unit's stop limit stretched to the wait: 60 + 1 + 10 s, and 5 to end
        self.assertEqual(notify.recv(100), b"EXTEND_TIMEOUT_USEC=76000000")
        out, err = mon.communicate(timeout=90)
        self.assertEqual(mon.returncode, 0, err)
        self.assertGreater(time.time() - start, 1.5)  # it waited for the node rather than cutting it off
        self.assertTrue(out.rstrip().endswith("*ERROR* count: 1"), out)
        with open(os.path.join(self.dir, "probe.log")) as f:
            self.assertRegex(f.read(), r"Server: 127\.0\.0\.1 - \*ERROR\* count: 1\s*$")


if __name__ == "__main__":
    sys.argv[1:] = sys.argv[3:]
    unittest.main(verbosity=2)
