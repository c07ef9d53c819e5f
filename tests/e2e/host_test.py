#!/usr/bin/python3
"""tavrin_host as an administrator runs it, with the sync module: pulls and pushes over https,
the "windows" scheme through an accounts file and through PAM, pulls served while slow clients
hold connections, and the main job's script (scripts/run.sh)."""
import os
import pwd
import re
import shlex
import signal
import socket
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import demo  # noqa: E402
import harness  # noqa: E402
from tavrin_client import ClientError, ProtocolError  # noqa: E402

ACCOUNTS = os.path.join(HERE, "..", "fixtures", "windows", "accounts")
WINDOWS_SCHEME = demo.canonical({"scheme_type": "windows", "domain": "CORP"})


class HttpsTest(unittest.TestCase):
    def test_pull_and_push_over_https_with_the_sites_certificate(self):
        running = harness.RunningDemo(https=True)
        try:
            client = running.client("tls")
            self.assertEqual(client.pull().status, 200)
            self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Ada", "Grace"])
            client.insert("customers", {"name": "Over TLS"})
            self.assertEqual(client.push().status, 200)
            self.assertIn(["Over TLS"], running.sql("SELECT name FROM dbo.customers"))
            client.close()
            # Nothing is served in clear on the https binding.
            with self.assertRaises(ClientError):
                plain = harness.Client(os.path.join(running.directory, "plain.sqlite"),
                                       running.url.replace("https:", "http:"), running.facts["dbfile"], timeout=10)
                plain.pull()
        finally:
            running.stop()
            running.remove()


class WindowsSchemeTest(unittest.TestCase):
    """The "windows" scheme checks the password of user@domain through the host's logon back end."""

    def check_logons(self, running, user, right_password):
        cases = [("right password", user, right_password, 200),
                 ("wrong password", user, right_password + "x", 401),
                 ("unknown user", user + "-nobody", right_password, 401)]
        for name, login, password, status in cases:
            with self.subTest(name):
                client = running.client(name.replace(" ", "-"), user=login, password=password,
                                        scheme=WINDOWS_SCHEME)
                try:
                    self.assertEqual(client.pull().status, status)
                except ProtocolError as error:
                    self.assertEqual(error.status, status)
                finally:
                    client.close()

    def test_accounts_file(self):
        running = harness.RunningDemo(host_args=["--accounts", ACCOUNTS])
        try:
            self.check_logons(running, "alice", "Right horse 1")
        finally:
            running.stop()
            running.remove()

    def test_pam_with_a_throwaway_account(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: creates a Linux account, and pam_unix checks other users' passwords "
                          "only for root")
        user, password = "tavrin-e2e-%d" % os.getpid(), "Pam horse 7"
        subprocess.run(["useradd", "-M", "-N", "-s", "/usr/sbin/nologin", user], check=True, capture_output=True)
        try:
            subprocess.run(["chpasswd"], input=("%s:%s\n" % (user, password)).encode(), check=True,
                           capture_output=True)
            self.assertEqual(pwd.getpwnam(user).pw_name, user)
            running = harness.RunningDemo(host_args=["--pam-domain", "CORP"])
            try:
                self.check_logons(running, user, password)
            finally:
                running.stop()
                running.remove()
        finally:
            subprocess.run(["userdel", user], capture_output=True)


class SlowClientsTest(unittest.TestCase):
    def test_pulls_are_served_while_slow_uploads_hold_twice_as_many_connections_as_workers(self):
        running = harness.RunningDemo()  # 4 workers
        slow = []
        try:
            app = running.facts["app_path"]
            for _ in range(8):
                s = socket.create_connection(("127.0.0.1", running.port), timeout=30)
                s.sendall(("POST %s/push?db=demo&fid=1&h=%s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                           "Content-Length: 100000\r\n\r\n" % (app, "0" * 40)).encode() + b"x")
                slow.append(s)
            for i in range(3):
                client = running.client("pull-%d" % i)
                self.assertEqual(client.pull().status, 200)
                client.close()
                for s in slow:
                    s.sendall(b"x")
            for s in slow:
                s.setblocking(False)
                with self.assertRaises(BlockingIOError, msg="a slow upload was answered"):
                    s.recv(1)
        finally:
            for s in slow:
                s.close()
            running.stop()
            running.remove()


class RunScriptTest(unittest.TestCase):
    """scripts/run.sh with the programs of this build (nothing is built)."""
    SCRIPT = os.path.join(HERE, "..", "..", "scripts", "run.sh")

    def setUp(self):
        harness.module_path()
        self.environment = {k: v for k, v in os.environ.items() if k != "DEMO_DIR"}

    def test_the_demo_pulls_and_pushes_then_exits_when_asked(self):
        run = subprocess.run([self.SCRIPT, "--exit-after-demo"], env=self.environment, capture_output=True,
                             text=True, timeout=300)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        self.assertRegex(run.stdout, r"tavrin_host serves http://127\.0\.0\.1:\d+/sync")
        self.assertIn("push: SyncResult(status=200", run.stdout)
        self.assertNotIn("until Ctrl-C", run.stdout)

    def test_the_demo_keeps_serving_until_interrupted(self):
        script = subprocess.Popen([self.SCRIPT], env=self.environment, stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True, start_new_session=True)
        try:
            seen = []
            for line in script.stdout:
                seen.append(line)
                if "until Ctrl-C" in line:
                    break
            command = script.stdout.readline()
            self.assertIn("tavrin_client.py", command, "".join(seen))
            url = re.search(r"http://127\.0\.0\.1:(\d+)/sync", command)
            pull = subprocess.run(shlex.split(command), capture_output=True, text=True, timeout=120)
            self.assertIn("pull: SyncResult(status=200", pull.stdout, pull.stderr)
            os.killpg(script.pid, signal.SIGINT)
            self.assertEqual(script.wait(timeout=60), 0)
            with self.assertRaises(OSError):
                socket.create_connection(("127.0.0.1", int(url.group(1))), timeout=5).close()
        finally:
            if script.poll() is None:
                os.killpg(script.pid, signal.SIGKILL)
                script.wait()
            script.stdout.close()


if __name__ == "__main__":
    unittest.main()
