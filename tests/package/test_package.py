#!/usr/bin/env python3
"""The Debian package and its ping helper, as an ordinary user would meet them.

  test_package.py BUILD_DIR     packs BUILD_DIR (cpack), checks it with lintian,
                                unpacks it into a scratch root and runs from there
  test_package.py --installed   runs the installed package (make package-check)

Runs as user and group 65534 in network and mount namespaces of its own, where ICMP datagram
sockets are not allowed: PING can only work through the helper. Needs root; else exits 77.
"""
import glob, os, re, shutil, signal, subprocess as sp, sys, tempfile, time

NOBODY = ["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"]
HELPER = "usr/libexec/sentrel/sentrel-ping"


def check(ok, what):
    if not ok:
        print("FAIL:", what)
        sys.exit(1)


def run(*args):
    done = sp.run(args, capture_output=True, text=True)
    check(done.returncode == 0, f"{' '.join(args)}:\n{done.stdout}{done.stderr}")
    return done.stdout


def build_and_unpack(build, scratch):
    run("cpack", "--config", f"{build}/CPackConfig.cmake", "-B", scratch)
    deb = glob.glob(f"{scratch}/sentrel_*_amd64.deb")
    check(len(deb) == 1, f"one sentrel_<version>_amd64.deb, got {deb}")
    print(run("lintian", "--fail-on", "error", deb[0]))
    root = f"{scratch}/root"
    run("dpkg-deb", "-x", deb[0], root)
    pages = sorted(p[len(root) + 15:] for p in glob.glob(f"{root}/usr/share/man/*/*"))
    check(pages == ["man1/sentrel-monitor.1.gz", "man1/sentrel.1.gz", "man8/sentrel-ping.8.gz"],
          f"each program's manual page in its section: {pages}")
    run("appstreamcli", "validate", "--no-net", *glob.glob(f"{root}/usr/share/metainfo/*.xml"))
    run("setcap", "cap_net_raw+ep", f"{root}/{HELPER}")  # what postinst does
    return root


def ask(helper, line):
    helper.stdin.write(line + "\n")
    helper.stdin.flush()
    return helper.stdout.readline().rstrip("\n")


def check_helper(root):
    helper = sp.Popen(NOBODY + [f"{root}/{HELPER}"], stdin=sp.PIPE, stdout=sp.PIPE, text=True)
    check(helper.stdout.readline() == "ready\n", "the helper starts and opens its socket")
    with open(f"/proc/{helper.pid}/status") as f:
        caps = dict(l.split(":\t") for l in f.read().splitlines() if l.startswith("Cap"))
    for kind in ("CapInh", "CapPrm", "CapEff", "CapAmb"):
        check(int(caps[kind], 16) == 0, f"the helper holds no capability after start-up: {caps}")
    check(re.fullmatch(r"7 1 ok \d+", ask(helper, "127.0.0.1 7 1 2000")), "an echo of 127.0.0.1")
    refused = ["127.0.0.1 7 2", "localhost 7 2 100", "127.1 7 2 100", "127.0.0.01 7 2 100",
               "127.0.0.256 7 2 100", "0x7f.0.0.1 7 2 100", "ff02::1 7 2 100", "0.0.0.0 7 2 100",
               "224.0.0.1 7 2 100", "255.255.255.255 7 2 100", "127.0.0.1 65536 2 100",
               "127.0.0.1 7 -2 100", "127.0.0.1 7 +2 100", "127.0.0.1 7 2 0",
               "127.0.0.1 7 2 10001", "127.0.0.1  7 2 100", "127.0.0.1 7 2 100 ",
               " 127.0.0.1 7 2 100", "127.0.0.1 7 2 100 21", "127.0.0.1\t7 2 100", "",
               "127.0.0.1 7 2 " + "9" * 5000, ":: 7 2 100", "::ffff:127.0.0.1 7 2 100",
               "::127.0.0.1 7 2 100", "::1%lo 7 2 100", "[::1] 7 2 100", "::1 7 2 100 0",
               "127.0.0.1 7 2 100 01", "127.0.0.1 7 2 100 1 1", "::1 7 2 100 1 "]
    for line in refused:
        check(ask(helper, line) == "bad", f"the helper refuses {line[:40]!r}")
    check(ask(helper, "127.0.0.1 7 3 2000").startswith("7 3 ok "), "it answers after refusals")
    check(re.fullmatch(r"7 65535 ok \d+", ask(helper, "::1 7 65535 2000 2")) and
          re.fullmatch(r"7 0 ok \d+\n", helper.stdout.readline()), "a round of two echoes of ::1")

    # 150 requests at once: no more than 100 within one second go out; the rest are
    # held back until they fit, never refused.
    start = time.monotonic()
    helper.stdin.write("".join(f"127.0.0.1 9 {n} 1000\n" for n in range(150)))
    helper.stdin.flush()
    answers = [helper.stdout.readline().split()[2] for _ in range(150)]
    took = time.monotonic() - start
    check(answers == ["ok"] * 150 and took >= 0.9, f"rate cap ({took:.2f} s): {answers}")
    helper.stdin.close()
    check(helper.wait(5) == 0, "the helper ends at the end of its input")  # or raises: a failure

    # Its parent killed: the helper ends by itself.
    parent = sp.Popen(NOBODY + [sys.executable, "-c", "import subprocess as s, sys, time\n"
                                "h = s.Popen([sys.argv[1]], stdin=s.PIPE, stdout=s.PIPE)\n"
                                "h.stdout.readline(); print(h.pid, flush=True); time.sleep(60)",
                                f"{root}/{HELPER}"], stdout=sp.PIPE, text=True)
    pid = int(parent.stdout.readline())
    parent.kill()
    parent.wait()
    for _ in range(50):
        if sp.run(["ps", "-o", "stat=", "-p", str(pid)], capture_output=True).stdout[:1] in b"Z":
            break  # gone (no line) or a zombie not yet reaped
        time.sleep(0.1)
    else:
        check(False, "the helper ends when its parent dies")


def check_program(root, scratch):
    # The window program, offscreen, with one PING node and every success logged.
    home = f"{scratch}/home"
    os.makedirs(f"{home}/.config/sentrel")
    with open(f"{home}/.config/sentrel/tarn.ini", "w") as f:
        f.write(f"[General]\nAutoStart=1\nSecs=1\n[Servers]\ns0node=127.0.0.1\ns0type=1\n"
                f"[Reports]\nLog_Flag=1\nLog_File_Name={home}/ping.log\nSuccess=1\n")
    for path in (home, f"{home}/.config", f"{home}/.config/sentrel"):
        os.chown(path, 65534, 65534)
    env = {"HOME": home, "XDG_CONFIG_HOME": f"{home}/.config", "QT_QPA_PLATFORM": "offscreen",
           "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
    program = sp.Popen(NOBODY + [f"{root}/usr/bin/sentrel"], env=env)
    for _ in range(100):
        log = open(f"{home}/ping.log", errors="replace").read() if os.path.exists(f"{home}/ping.log") else ""
        if re.search(r"127\.0\.0\.1 - PING: \d+ ms\.", log) or program.poll() is not None:
            break
        time.sleep(0.2)
    program.send_signal(signal.SIGTERM)
    program.wait(20)
    check(re.search(r"127\.0\.0\.1 - PING: \d+ ms\.", log), f"a PING time in the log: {log!r}")
    print("log:", log.strip())


def check_no_build_tree_helper(root, build, scratch):
    # The installed monitor without its helper goes on as if none were installed (as
    # root: a raw socket of its own) and never runs what is planted at the path where
    # the build tree's helper was; bound over it in this mount namespace only.
    os.remove(f"{root}/{HELPER}")
    with open(f"{scratch}/planted", "w") as f:
        f.write(f"#!/bin/sh\ntouch {scratch}/ran\n")
    os.chmod(f"{scratch}/planted", 0o755)
    run("mount", "--bind", f"{scratch}/planted", f"{build}/libexec/sentrel/sentrel-ping")
    with open(f"{scratch}/tarn.ini", "w") as f:
        f.write("[Servers]\ns0node=127.0.0.1\ns0type=1\n")
    os.environ["XDG_STATE_HOME"] = scratch
    out = run(f"{root}/usr/bin/sentrel-monitor", "--config", f"{scratch}/tarn.ini", "--once")
    check(not os.path.exists(f"{scratch}/ran"), "the installed monitor runs no build-tree helper")
    check(re.search(r"127\.0\.0\.1 +PING: \d+ ms\.", out), f"it pings without a helper: {out!r}")


def main():
    if os.geteuid() != 0 or sp.run(["unshare", "--net", "true"]).returncode != 0:
        print("skipped: needs root and network namespaces")
        return 77
    if os.environ.get("SENTREL_PACKAGE_NETNS") != "1":
        os.environ["SENTREL_PACKAGE_NETNS"] = "1"
        os.execvp("unshare", ["unshare", "--net", "--mount", sys.executable] + sys.argv)
    run("ip", "link", "set", "lo", "up")
    with open("/proc/sys/net/ipv4/ping_group_range", "w") as f:
        f.write("1 0")  # no group may open ICMP datagram sockets
    scratch = tempfile.mkdtemp(prefix="sentrel-package-")
    os.chmod(scratch, 0o755)
    try:
        root = "/" if sys.argv[1] == "--installed" else build_and_unpack(sys.argv[1], scratch)
        check_helper(root)
        check_program(root, scratch)
        if root != "/":
            check_no_build_tree_helper(root, sys.argv[1], scratch)
    finally:
        shutil.rmtree(scratch)
    print("package: every check passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
