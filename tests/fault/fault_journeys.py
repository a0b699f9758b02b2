#!/usr/bin/python3
"""The real program (argument 1) on a tarn.ini of its own, watched through its files,
peers and exit in a private network namespace: the script starts itself under unshare."""
import os, pty, select, signal, socket, subprocess, sys, tempfile, time, tty, unittest

STATE = tempfile.TemporaryDirectory()  # the programs keep their history here, never in $HOME
os.environ["XDG_STATE_HOME"] = STATE.name

if os.environ.get("SENTREL_NETNS") != "1":
    if subprocess.call(["unshare", "--net", "true"], stderr=subprocess.DEVNULL) != 0:
        print("SKIP: no private network namespace here (needs root)")
        sys.exit(77)
    sys.exit(subprocess.call(["unshare", "--net", sys.executable] + sys.argv,
                             env=dict(os.environ, SENTREL_NETNS="1")))
subprocess.check_call(["ip", "link", "set", "lo", "up"])
EXE = os.path.abspath(sys.argv.pop(1))


class Journey(unittest.TestCase):
    def start(self, node, alerts):
        home = tempfile.TemporaryDirectory()
        self.addCleanup(home.cleanup)
        self.home, self.ini = home.name, os.path.join(home.name, "sentrel", "tarn.ini")
        self.settings = "".join(f"{line}\r\n" for line in [
            "[General]", "AutoStart=1", "Secs=60", "[Servers]", f"s0node={node}", "s0port=1",
            "s0type=0", "[Reports]", "Log_Flag=1", f"Log_File_Name={home.name}/log", "[Alerts]",
            "Num_Fails=1", "Max_Alarms=1"] + [f"{key}={value}" for key, value in alerts.items()])
        os.mkdir(os.path.dirname(self.ini))
        open(self.ini, "w", newline="").write(self.settings)
        self.program = subprocess.Popen([EXE], cwd=home.name, env=dict(
            os.environ, XDG_CONFIG_HOME=home.name, QT_QPA_PLATFORM="offscreen"))
        self.addCleanup(self.program.kill)

    def terminate(self, within):
        # SIGTERM: the close path ends the program, the placement alone is added.
        start = time.monotonic()
        self.program.send_signal(signal.SIGTERM)
        self.assertEqual(self.program.wait(20), 0)
        self.assertLess(time.monotonic() - start, within)
        self.assertRegex(open(self.home + "/log", newline="").read(), r"^[A-Z][a-z]{2} [A-Z][a-z]"
                         r"{2} \d\d \d\d:\d\d:\d\d \d{4}  Server: \S+ - \*ERROR\* count: 1 \r\n\Z")
        ini = open(self.ini, newline="").read()
        self.assertEqual(ini[:len(self.settings)], self.settings)
        self.assertRegex(ini[len(self.settings):], r"^(\r\n)?\[Screen\]\r\n(.*\r\n)*WIDTH=\d+\r\n")

    def test_sigterm_during_an_email(self):
        server = socket.create_server(("127.0.0.1", 25))
        server.settimeout(20)
        self.start("127.0.0.1", {"Email_Flag": 1, "Email_SMTP": "127.0.0.1"})
        held = server.accept()[0]  # and never greeted
        self.terminate(15)
        held.close(), server.close()

    def test_sigterm_during_a_page(self):
        master, slave = pty.openpty()
        tty.setraw(slave)
        self.start("127.0.0.1", {"Pager_Flag": 1, "Com_1": 1, "Com_1_Device": os.ttyname(slave),
                                 "Pager_Phone": 5551234, "Pager_Message": 911})
        got = [(select.select([master], [], [], 20), os.read(master, 64), time.monotonic())[1:]
               for _ in "12"]  # the reset, and the dial a second after it: real pause units
        self.assertEqual([piece for piece, _ in got], [b"atz\r", b"atd5551234,,,,,911\r"])
        self.assertTrue(0.9 < got[1][1] - got[0][1] < 2.0, got)
        self.terminate(15)  # during the long pause after the dial

    def test_alarm_mails_a_real_server_then_runs_the_command_through_the_shell(self):
        from aiosmtpd.controller import Controller
        class Sink:
            async def handle_DATA(self, server, session, envelope):
                mails.append(envelope)
                return "250 accepted"
        mails, server = [], Controller(Sink(), hostname="127.0.0.1", port=25)
        server.start()
        self.addCleanup(server.stop)
        self.start(".hidden.example", {
            "Email_Flag": 1, "Email_SMTP": "127.0.0.1", "Email_From": "sentrel@example.com",
            "Email_To": "ops@example.com", "Email_Subject": "Sentrel alarm", "Launch_Flag": 1,
            "Command_Line": "echo 'a  b'|cat - /proc/self/status>o"})  # 39 characters at most
        out = self.home + "/o"
        subprocess.run(["sh", "-c", "until grep -qs SigCgt o; do sleep 0.02; done"],  # it has run
                       cwd=self.home, timeout=20)
        self.terminate(10)
        text = open(out).read()
        self.assertTrue(text.startswith("a  b\nName:\tcat\n"), text)  # quoting, pipe, redirection
        masks = dict(line.split(":\t") for line in text.splitlines() if line.startswith("Sig"))
        self.assertEqual(int(masks["SigBlk"], 16), 0)  # the program's blocks are not inherited
        self.assertEqual(int(masks["SigIgn"], 16) & (1 << (signal.SIGPIPE - 1)), 0)
        self.assertEqual([(m.mail_from, m.rcpt_tos) for m in mails],
                         [("sentrel@example.com", ["ops@example.com"])])
        self.assertRegex(mails[0].original_content, b"\r\nSubject: Sentrel alarm\r\n(.|\r\n)*"
                         b"\r\nThe following Server is NOT responding:\r\n\\.hidden\\.example\r\n"
                         b"\\*END\\*\r\n\r\n\\Z")  # the leading dot unstuffed


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
