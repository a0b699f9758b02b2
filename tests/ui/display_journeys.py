#!/usr/bin/env python3
"""The window program on a real X server with a window manager: a display lost during a pass,
a start without any way to send an echo, a close while maximized; and without any display.
Argument: the sentrel executable. Exit 77: something could not run here (the reason is printed)."""
import array, configparser, http.server, os, re, resource, shutil, signal, socket, subprocess, sys
import tempfile, threading, time, urllib.request

STATE = tempfile.TemporaryDirectory()  # the programs keep their history here, never in $HOME
os.environ["XDG_STATE_HOME"] = STATE.name

QUIET = subprocess.DEVNULL
failures, skipped = [], []


def check(ok, what):
    print(("ok   " if ok else "FAIL ") + what, flush=True)
    if not ok:
        failures.append(what)


def wait_for(probe, seconds):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if value := probe():
            return value
        time.sleep(0.1)


def ping_allowed():
    for kind in (socket.SOCK_DGRAM, socket.SOCK_RAW):
        try:
            socket.socket(socket.AF_INET, kind, socket.IPPROTO_ICMP).close()
            return True
        except OSError:
            pass
    return False


class Session:
    """Xvfb (no TCP listener) with openbox, and a settings folder of its own. -noreset: Xvfb
    otherwise resets whenever its last client (each probe for the window manager) leaves, and
    an openbox connecting during a reset may end at once."""
    def __enter__(self):
        self.dir, self.app, self.kids = tempfile.mkdtemp(prefix="sentrel-display-"), None, []
        self.ini = os.path.join(self.dir, "sentrel", "tarn.ini")
        read, write = os.pipe()
        self.x = subprocess.Popen(["Xvfb", "-displayfd", str(write), "-nolisten", "tcp", "-noreset",
                                   "-screen", "0", "1280x1024x24"], pass_fds=(write,), stderr=QUIET)
        os.close(write)
        with os.fdopen(read) as pipe:
            display = ":" + pipe.readline().strip()
        self.env = dict(os.environ, DISPLAY=display, XDG_CONFIG_HOME=self.dir, QT_QPA_PLATFORM="xcb")
        self.err, self.wm_err = (open(os.path.join(self.dir, n), "w+") for n in ("app", "wm"))
        self.wm = subprocess.Popen(["openbox"], env=self.env, stdout=QUIET, stderr=self.wm_err)
        wait_for(lambda: self.wmctrl("-m").returncode == 0, 30)
        return self

    def __exit__(self, *exc):  # whatever is left is killed
        for kid in self.kids:  # each in a process group of its own
            os.killpg(kid.pid, signal.SIGKILL)
        for process in (self.app, self.wm, self.x):
            if process and process.poll() is None:
                process.kill()
                process.wait()
        self.err.close()
        self.wm_err.close()
        shutil.rmtree(self.dir)

    def wmctrl(self, *args):
        return subprocess.run(["wmctrl", *args], env=self.env, capture_output=True, text=True)

    def start(self, ini=None, cage=(), **env):
        if ini is not None:
            os.makedirs(os.path.dirname(self.ini), exist_ok=True)
            with open(self.ini, "w") as f:
                f.write(ini)
        self.app = subprocess.Popen([*cage, EXE], env=dict(self.env, **env), stdout=QUIET,
                                    stderr=self.err)

    def tree(self):  # every window on the display, as `xwininfo -root -tree` lists them
        return subprocess.run(["xwininfo", "-root", "-tree"], env=self.env, capture_output=True,
                              text=True).stdout

    def state(self):  # for a failed check: the program, the window manager, the windows
        def tail(p, f):
            f.seek(0)
            return f"{'running' if p.poll() is None else p.returncode}, stderr {f.read()[-500:]!r}"
        return (f" (program {tail(self.app, self.err)}; openbox {tail(self.wm, self.wm_err)}; "
                f"wmctrl {self.wmctrl('-lG').stdout!r}; X windows {self.tree()[-1500:]!r})")

    def window(self, title, seconds=30):
        """[id, desktop, x, y, width, height, host, title] of a window whose title starts
        with `title` (x and y as wmctrl reports them, frame offset twice)."""
        def find():
            rows = [line.split(None, 7) for line in self.wmctrl("-lG").stdout.splitlines()]
            return next((r for r in rows if len(r) == 8 and r[7].startswith(title)), None)
        return wait_for(find, seconds)

    def created(self, title, seconds=30):  # in the X window tree, managed or not yet
        def find():  # a line '0x40000d "title": ("class" "class")  100x30+0+0 ...'
            names = re.findall(r'^\s*0x[0-9a-f]+ "([^"]*)": \("', self.tree(), re.M)
            return any(name.startswith(title) for name in names)
        return bool(wait_for(find, seconds))

    def settled(self, title):  # the window once the window manager is done with it: still for 1 s
        seen = []
        def still():
            seen[:] = seen[-9:] + [self.window(title, 1)]
            return len(seen) == 10 and seen[0] and seen.count(seen[0]) == 10 and seen[0]
        return wait_for(still, 20)

    def ended_within(self, seconds):
        try:
            return self.app.wait(seconds) is not None
        except subprocess.TimeoutExpired:
            return False

    def close(self):
        self.settled("Sentrel v1.2")  # every move of the window manager seen by the program
        self.app.terminate()  # the close path, as Exit takes it
        return self.ended_within(15)

    def screen(self):
        ini = configparser.ConfigParser(interpolation=None, strict=False)
        ini.read(self.ini)
        return [int(ini["Screen"].get(k, "0")) for k in ("XPOS", "YPOS", "WIDTH", "HEIGHT")]


def scanning(port, reports=""):  # one HTTPD node on loopback, AutoStart, probe wait 60 s
    return ("[General]\nAutoStart=1\nSecs=60\nMAXSecs=60\n[Servers]\ns0node=127.0.0.1\n"
            f"s0port={port}\ns0type=0\n[Reports]\n{reports}")


def display_lost_during_pass():
    # Refused at once, its log line failing: the pass waits on a message, released at once
    # when the display goes. Silent: the probe would hold the pass 60 s, the end waits 10 s.
    for what, listen, log, title, seconds in (
            ("a message waits", False, "Log_Flag=1\nLog_File_Name={}/no/x.log\n", "sentrel", 5),
            ("a probe under way", True, "", "Sentrel v1.2 - scanning: 127.0.0.1", 15)):
        with socket.socket() as peer, Session() as s:
            peer.bind(("127.0.0.1", 0))
            if listen:
                peer.listen(4)  # connections complete in the backlog; nothing is ever sent
            s.start(scanning(peer.getsockname()[1], log.format(s.dir)))
            shown = s.created(title, 60)  # the program's first start may be slow
            check(shown, f"{what}: {title!r} is shown" + ("" if shown else s.state()))
            s.x.kill()
            check(s.ended_within(seconds), f"display lost while {what}: the process ends")


def start_without_echo():
    """A network namespace of its own (echo sockets off), no CAP_NET_RAW, no helper."""
    if os.geteuid() != 0:
        return skipped.append("start_without_echo: needs root for its network namespace")
    cage = ("unshare", "-n", "setpriv", "--bounding-set", "-net_raw", "--inh-caps", "-net_raw")
    with Session() as s:
        s.start(cage=cage, SENTREL_PING_HELPER="/nonexistent")
        message = s.window("sentrel", 60)
        check(message is not None, "no echo: the message is shown" + ("" if message else s.state()))
        s.wmctrl("-i", "-c", message[0])
        check(s.ended_within(5) and s.app.returncode == 0, "no echo: it ends with 0 when dismissed")
        check(not os.path.exists(s.ini), "no echo: nothing is saved")


def without_display():
    """No display variable at all, and an X display where nothing listens."""
    def x_answers(n):
        for path in (f"\0/tmp/.X11-unix/X{n}", f"/tmp/.X11-unix/X{n}"):  # abstract, then file
            with socket.socket(socket.AF_UNIX) as s:
                if s.connect_ex(path) == 0:
                    return True
    bare = {k: v for k, v in os.environ.items()
            if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE")}
    dead = next(f":{n}" for n in range(500, 600) if not x_answers(n))
    for what, env in (("no DISPLAY", bare), (f"DISPLAY={dead}, nothing there",
                                            dict(bare, DISPLAY=dead))):
        r = subprocess.run([EXE], env=env, capture_output=True, text=True, timeout=60,
                           preexec_fn=lambda: resource.setrlimit(resource.RLIMIT_CORE, (0, 0)))
        check(r.returncode == 1 and r.stderr.count("\n") == 1 and "sentrel-monitor" in r.stderr,
              f"{what}: exit 1, one line naming sentrel-monitor: {r.returncode} {r.stderr!r}")


def placement_after_maximized_close():
    with Session() as s:
        s.start("[Screen]\nXPOS=150\nYPOS=120\nWIDTH=640\nHEIGHT=440\n")
        normal = s.settled("Sentrel v1.2")
        check(s.close() and s.screen() == [150, 120, 640, 440], f"normal close: {s.screen()}")
        s.start()
        s.wmctrl("-i", "-r", s.settled("Sentrel v1.2")[0], "-b", "add,maximized_vert,maximized_horz")
        big = wait_for(lambda: (w := s.window("Sentrel v1.2")) and int(w[4]) > 1000 and w, 10)
        check(big is not None, f"maximized by the window manager: {big and big[2:6]}")
        check(s.close() and s.screen() == [150, 120, 640, 440], f"maximized close: {s.screen()}")
        s.start()
        again = s.settled("Sentrel v1.2")
        check(again[2:6] == normal[2:6], f"restart: {again[2:6]}, first run {normal[2:6]}")
        s.close()


def alarm_silenced_and_notified():
    """A private PulseAudio (its null sink recorded), a session bus with dunst, metrics
    on loopback: the HTTPD node fails, is silenced by Ctrl+M, answers, fails anew, dunst gone."""
    if missing := [t for t in ("dunst", "xdotool", "pulseaudio") if shutil.which(t) is None]:
        return skipped.append(f"alarm_silenced_and_notified: not installed: {missing}")
    with Session() as s:
        d, kids, ports = s.dir, s.kids, [socket.create_server(("127.0.0.1", 0)) for _ in "abc"]
        port, metrics, mail = (p.getsockname()[1] for p in ports)
        [p.close() for p in ports]  # free again: the node fails, the metrics endpoint listens
        def spawn(cmd, **kw):  # in a process group of its own, killed at the end
            kids.append(subprocess.Popen(cmd, start_new_session=True, env=s.env, **kw))
            return kids[-1]
        raw = " --raw --format=s16le --channels=1 --rate=16000 "
        spawn(["sh", "-c", f"export HOME={d} XDG_RUNTIME_DIR={d} PULSE_SERVER=unix:{d}/native; "
               "pulseaudio -n --daemonize=no --exit-idle-time=-1 --load='module-null-sink sink_na"
               f"me=null' --load='module-native-protocol-unix auth-anonymous=1 socket={d}/native'"
               f" 2>/dev/null & until [ -S {d}/native ]; do sleep 0.05; done; pacat -d null{raw}"
               f"/dev/zero & exec parec -d null.monitor{raw}>{d}/raw"])
        with open("/usr/share/dbus-1/session.conf") as conf, open(f"{d}/bus.conf", "w") as f:
            f.write(conf.read().replace("<standard_session_servicedirs />", ""))  # no activation
        bus = spawn(["dbus-daemon", f"--config-file={d}/bus.conf", "--print-address", "--nofork"],
                    stdout=subprocess.PIPE, stderr=QUIET, text=True)
        s.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        spawn(["stdbuf", "-oL", "dbus-monitor", "interface=org.freedesktop.Notifications",
               "type=method_return,sender=org.freedesktop.Notifications"],
              stdout=open(f"{d}/monitor", "w"))
        dunst = spawn(["dunst"], stderr=QUIET)
        def loud(seconds):  # any 20 ms of the last seconds loud; quiet until the recording starts
            if not os.path.exists(f"{d}/raw"):
                return False
            a = array.array("h", open(f"{d}/raw", "rb").read()[-32000 * seconds:])
            return any(sum(x * x for x in a[i:i + 320]) > 320e6 for i in range(0, len(a), 320))
        def counts():  # the node's failures, the command's runs
            text = urllib.request.urlopen(f"http://127.0.0.1:{metrics}/metrics").read().decode()
            return [int(re.search(r"consecutive_failures\{.*\} (\d+)", text)[1]),
                    os.path.getsize(f"{d}/c")]
        s.start(f"[General]\nAutoStart=1\nSecs=1\nMAXSecs=5\n[Servers]\ns0node=127.0.0.1\ns0port="
                f"{port}\ns0type=0\ns0title=web\ns1node=127.0.0.1\ns1port={mail}\ns1type=0\ns1title=mail"
                f"\n[Metrics]\nListen=127.0.0.1:{metrics}\n[Alerts]\n"
                "Audio_Flag=1\nWave_File=x\nLoop_Flag=1\nNum_Fails=1\nMax_Alarms=99\nLaunch_Flag=1"
                "\nCommand_Line=echo>>$XDG_CONFIG_HOME/c\n", PULSE_SERVER=f"unix:{d}/native")
        window = s.window("Sentrel", 60)
        check(window and wait_for(lambda: loud(1), 30), "alarm: the looping sound is heard")
        subprocess.run(["xdotool", "windowactivate", "--sync", window[0], "key", "ctrl+m"],
                       env=s.env)
        before = wait_for(lambda: not loud(1) and counts(), 10)
        def grown():  # four passes since `before`: three seconds at least
            now = counts()
            return all(a + 4 <= b for a, b in zip(before, now)) and now
        after = before and wait_for(grown, 20)
        check(before and after and not loud(3),
              f"Ctrl+M: quiet for 3 s, failures and commands go on: {before} {after}")
        up = type("Up", (http.server.BaseHTTPRequestHandler,),
                  {"handle": lambda h: h.rfile.readline() and h.wfile.write(b"up")})
        with http.server.ThreadingHTTPServer(("127.0.0.1", port), up) as web:
            threading.Thread(target=web.serve_forever, daemon=True).start()
            check(wait_for(lambda: "up again" in open(f"{d}/monitor").read(), 20), "node answers")
            web.shutdown()
        os.killpg(dunst.pid, signal.SIGKILL)
        check(wait_for(lambda: loud(1), 20), "a new outage: the sound is heard again")
        text, notes = open(f"{d}/monitor").read(), []  # the calls answered, in order
        for sender, n, replaces, summary, body, urgency in re.findall(
                r"sender=(\S+) -> \S+ serial=(\d+) .*member=Notify\n.*\n\s+uint32 (\d+)\n.*\n\s+"
                r"string \"(.*)\"\n\s+string \"(.*)\"\n(?:.*\n){5}.*byte (\d)", text):
            answer = rf"-> destination={sender} serial=\d+ reply_serial={n}\n\s+uint32 (\d+)"
            if got := re.search(answer, text):
                notes.append((int(replaces), summary, body, int(urgency), int(got[1])))
        again = r"Answering again after (\d+ min )?\d+ s: HTTP"  # the outage's length
        shape = "".join("d" if n[1:4:2] == ("web is down", 2) and "in a row" in n[2] else "u"
                        if n[1:4:2] == ("web is up again", 1) and re.match(again, n[2]) else "?"
                        for n in notes if n[1].startswith("web "))
        web, other = ([n for n in notes if n[1].startswith(name)] for name in ("web ", "mail "))
        replaced = all(ns and [n[0] for n in ns] == [0] + [ns[0][4]] * (len(ns) - 1) for ns in (web, other))
        check(re.fullmatch("d+u", shape) and replaced and other[-1][1] == "mail is down",  # one each
              f"down, up, in place, the other node on the host still down: {shape} {notes[:3]}")
        runs = counts()[1]
        wait_for(lambda: counts()[1] >= runs + 2, 20)  # alarms go on without a service
        s.err.seek(0)
        said = s.err.read()
        check(said.count("notifications") == 1 and s.app.poll() is None, f"no service: {said!r}")


if __name__ == "__main__":
    EXE = os.path.abspath(sys.argv[1])
    without_display()  # needs no X server
    missing = [tool for tool in ("Xvfb", "openbox", "wmctrl") if shutil.which(tool) is None]
    if missing or not ping_allowed():
        print("SKIP: " + ("not installed: " + ", ".join(missing) if missing else
                          "no ICMP socket may be opened here, the program would not start"))
        sys.exit(1 if failures else 77)
    for journey in (display_lost_during_pass, start_without_echo, placement_after_maximized_close,
                    alarm_silenced_and_notified):
        try:
            journey()
        except (TypeError, ValueError) as error:  # a window that never showed
            check(False, f"{journey.__name__}: {error!r}")
    print(*(f"SKIP {reason}" for reason in skipped), f"{len(failures)} failed", sep="\n")
    sys.exit(1 if failures else 77 if skipped else 0)
