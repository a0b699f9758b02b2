#!/usr/bin/python3
"""Journeys through the real program: started offscreen with a tarn.ini of its
own, watched through its files, its peers on 127.0.0.1 and its exit. Runs in a
private network namespace (it starts itself again under unshare), where port 25
and the resolver's silence are its own. Usage: fault_journeys.py <sentrel>"""
import contextlib, os, pty, re, signal, socket, subprocess, sys, tempfile, threading, time, tty, unittest

if os.environ.get("SENTREL_NETNS") != "1":
    env = dict(os.environ, SENTREL_NETNS="1")
    sys.exit(subprocess.call(["unshare", "--net", sys.executable] + sys.argv, env=env) if
             subprocess.call(["unshare", "--net", "true"], stderr=subprocess.DEVNULL) == 0 else 77)
subprocess.check_call(["ip", "link", "set", "lo", "up"])
EXE = os.path.abspath(sys.argv.pop(1))
LINE = re.compile(r"(Sun|Mon|Tue|Wed|Thu|Fri|Sat) [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}  "
                  r"Server: \S+ - (HTTP: \d+ bytes\. |\*ERROR\* count: \d+) \r\n")


def wait_for(pred, limit=20.0):
    end = time.monotonic() + limit
    while not pred() and time.monotonic() < end:
        time.sleep(0.02)
    return pred()


class Journey(unittest.TestCase):
    def peer(self, answer, port=0):
        """A server on 127.0.0.1: answers each connection and closes, or holds it silent."""
        srv, accepted = socket.create_server(("127.0.0.1", port)), []
        self.addCleanup(lambda: [srv.shutdown(socket.SHUT_RDWR)] + [c.close() for c in accepted])
        def serve():
            with contextlib.suppress(OSError):
                while accepted.append(srv.accept()[0]) or True:
                    if answer:
                        accepted[-1].recv(100), accepted[-1].sendall(answer), accepted[-1].close()
        threading.Thread(target=serve, daemon=True).start()
        return srv.getsockname()[1], accepted

    def start(self, servers, alerts):
        self.home = tempfile.TemporaryDirectory()
        self.addCleanup(self.home.cleanup)
        self.log = os.path.join(self.home.name, "sentrel.log")
        os.mkdir(os.path.join(self.home.name, "sentrel"))
        self.ini = os.path.join(self.home.name, "sentrel", "tarn.ini")
        nodes = "".join(f"s{i}node={a}\r\ns{i}port={p}\r\ns{i}type=0\r\n"
                        for i, (a, p) in enumerate(servers))
        self.settings = ("[General]\r\nAutoStart=1\r\nSecs=60\r\nMAXSecs=4\r\n[Servers]\r\n" + nodes
                         + f"[Reports]\r\nLog_Flag=1\r\nSuccess=1\r\nLog_File_Name={self.log}\r\n"
                         + "[Alerts]\r\nNum_Fails=1\r\nMax_Alarms=1\r\n"
                         + "".join(f"{k}={v}\r\n" for k, v in alerts.items()))
        with open(self.ini, "w", newline="") as f:
            f.write(self.settings)
        env = dict(os.environ, XDG_CONFIG_HOME=self.home.name, QT_QPA_PLATFORM="offscreen")
        self.program = subprocess.Popen([EXE], env=env, cwd=self.home.name)
        self.addCleanup(self.program.kill)

    def terminate(self, within, log_lines):
        """SIGTERM: the close path ends the program by itself, the placement is saved."""
        start = time.monotonic()
        self.program.send_signal(signal.SIGTERM)
        self.assertEqual(self.program.wait(20), 0)
        self.assertLess(time.monotonic() - start, within)
        with open(self.log, "rb") as f:
            lines = f.read().decode().splitlines(keepends=True)
        self.assertEqual(len(lines), log_lines)
        for line in lines:
            self.assertRegex(line, LINE)
        with open(self.ini, newline="") as f:
            ini = f.read()
        self.assertTrue(ini.startswith(self.settings), ini)  # only the placement is added
        self.assertRegex(ini[len(self.settings):], r"\[Screen\]\r\n(.*\r\n)*WIDTH=\d+\r\n")
        return lines

    def test_sigterm_during_a_pass_finishes_its_node_and_no_more(self):
        (healthy, answered), (silent, held) = self.peer(b"<html>ok</html>\n"), self.peer(None)
        self.start([("127.0.0.1", healthy), ("127.0.0.1", silent), ("127.0.0.1", healthy)], {})
        self.assertTrue(wait_for(lambda: held))
        lines = self.terminate(10, 2)
        self.assertIn("HTTP: 16 bytes.", lines[0])
        self.assertIn("*ERROR* count: 1", lines[1])
        self.assertEqual(len(answered), 1)

    def test_sigterm_during_an_email(self):
        held = self.peer(None, 25)[1]  # takes the connection, never greets
        self.start([("127.0.0.1", "1")], {"Email_Flag": 1, "Email_SMTP": "127.0.0.1"})
        self.assertTrue(wait_for(lambda: held), "no e-mail was started")
        self.terminate(15, 1)

    def test_sigterm_during_a_page(self):
        master, slave = pty.openpty()
        tty.setraw(slave)
        got = []
        threading.Thread(target=lambda: [got.append((os.read(master, 64), time.monotonic()))
                                         for _ in iter(int, 1)], daemon=True).start()
        self.start([("127.0.0.1", "1")], {"Pager_Flag": 1, "Com_1": 1, "Pager_Phone": 5551234,
                                          "Com_1_Device": os.ttyname(slave), "Pager_Message": 911})
        self.assertTrue(wait_for(lambda: got), "no page was started")
        self.terminate(15, 1)
        self.assertEqual(got[0][0], b"atz\r")
        # The dial comes a second after the reset: real pause units.
        self.assertEqual(got[1][0], b"atd5551234,,,,,911\r")
        self.assertTrue(0.9 < got[1][1] - got[0][1] < 2.0, got)

    def test_alarm_mails_a_real_server_then_runs_the_command_through_the_shell(self):
        from aiosmtpd.controller import Controller
        class Sink:
            envelopes = []
            async def handle_DATA(self, server, session, envelope):
                self.envelopes.append(envelope)
                return "250 accepted"
        server = Controller(Sink(), hostname="127.0.0.1", port=25)
        server.start()
        self.addCleanup(server.stop)
        self.start([(".hidden.example", "80")], {
            "Email_Flag": 1, "Email_SMTP": "127.0.0.1", "Email_From": "sentrel@example.com",
            "Email_To": "ops@example.com", "Email_Subject": "Sentrel alarm", "Launch_Flag": 1,
            "Command_Line": "echo 'a  b'|cat - /proc/self/status>o"})  # 39 characters at most
        out = os.path.join(self.home.name, "o")
        self.assertTrue(wait_for(lambda: "SigCgt" in open(out).read() if os.path.exists(out) else 0))
        self.terminate(10, 1)
        text = open(out).read()
        self.assertTrue(text.startswith("a  b\nName:\tcat\n"), text)  # quoting, pipe, redirection
        masks = dict(line.split(":\t") for line in text.splitlines() if line.startswith("Sig"))
        self.assertEqual(int(masks["SigBlk"], 16), 0)  # the program's blocks are not inherited
        self.assertEqual(int(masks["SigIgn"], 16) & (1 << (signal.SIGPIPE - 1)), 0)
        (mail,) = Sink.envelopes
        self.assertEqual((mail.mail_from, mail.rcpt_tos), ("sentrel@example.com", ["ops@example.com"]))
        self.assertIn(b"\r\nSubject: Sentrel alarm\r\n", mail.original_content)
        self.assertTrue(mail.original_content.endswith(  # the leading dot unstuffed
            b"\r\nThe following Server is NOT responding:\r\n.hidden.example\r\n*END*\r\n\r\n"))


if __name__ == "__main__":
    unittest.main(verbosity=2, warnings="ignore")
