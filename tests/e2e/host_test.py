#!/usr/bin/python3
"""tavrin_host as an administrator runs it, with the sync module: pulls and pushes over https,
pushes of every framing, the "windows" scheme through an accounts file and through PAM, failed
logons and slow clients that hold no worker, packages that compress very well, and the main
job's script (scripts/run.sh)."""
import http.client
import os
import pwd
import re
import shlex
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import demo  # noqa: E402
import harness  # noqa: E402
from tavrin_client import ClientError, ProtocolError, inflate, sha1_hex, vcdiff_decode  # noqa: E402

ACCOUNTS = os.path.join(HERE, "..", "fixtures", "windows", "accounts")
WINDOWS_SCHEME = demo.canonical({"scheme_type": "windows", "domain": "CORP"})
# The bcrypt hash of 'Right horse 1' of the accounts fixture.
RIGHT_HORSE = "$2y$04$LG2bVfp0rc5bweYcZgAzPOjEozoNI4lpP24gKdZz09nhWzKoV142S"


def chunked(body, size, extension=b"", trailer=b""):
    """body in chunks of `size` bytes, `extension` after each size, `trailer` after the last chunk."""
    wire = b"".join(b"%X%s\r\n%s\r\n" % (len(body[at:at + size]), extension, body[at:at + size])
                    for at in range(0, len(body), size))
    return wire + b"0\r\n" + trailer + b"\r\n"


def send_raw(port, packets, pause=0.0):
    """Sends the packets one by one on a new connection; (status, body) of the answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=60) as s:
        for packet in packets:
            s.sendall(packet)
            time.sleep(pause)
        response = http.client.HTTPResponse(s)
        response.begin()
        return response.status, response.read()


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


class ChunkedPushTest(unittest.TestCase):
    def test_a_push_is_applied_and_answered_alike_whatever_its_framing(self):
        running = harness.RunningDemo()
        try:
            client = running.client("framings")
            self.assertEqual(client.pull().status, 200)

            def head(target, framing):
                return ("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\n%s\r\nConnection: close\r\n\r\n"
                        % (target, framing)).encode()

            def curl(target, body):
                with tempfile.NamedTemporaryFile(dir=running.directory) as upload:
                    upload.write(body)
                    upload.flush()
                    answer = os.path.join(running.directory, "curl-answer")
                    code = subprocess.run(["curl", "-sS", "-o", answer, "-w", "%{http_code}", "-H",
                                           "Transfer-Encoding: chunked", "--data-binary", "@" + upload.name,
                                           "http://127.0.0.1:%d%s" % (running.port, target)],
                                          capture_output=True, text=True, timeout=60, check=True).stdout
                    with open(answer, "rb") as f:
                        return int(code), f.read()

            framings = [
                ("with a length", lambda t, b: send_raw(running.port, [head(t, "Content-Length: %d" % len(b)) + b])),
                ("curl, chunked", curl),
                ("chunked in one packet", lambda t, b: send_raw(
                    running.port, [head(t, "Transfer-Encoding: chunked") + chunked(b, 1 << 20)])),
                ("head and body apart", lambda t, b: send_raw(
                    running.port, [head(t, "Transfer-Encoding: chunked"), chunked(b, 1 << 20)], pause=0.2)),
                ("in 1 KB chunks", lambda t, b: send_raw(
                    running.port, [head(t, "Transfer-Encoding: chunked") + chunked(b, 1000)])),
                ("extensions and a trailer", lambda t, b: send_raw(
                    running.port, [head(t, "Transfer-Encoding: chunked") +
                                   chunked(b, 700, b";ext=1", b"X-Trailer: t\r\n")])),
            ]
            for number, (name, send) in enumerate(framings):
                with self.subTest(name):
                    client.insert("customers", {"name": name, "photo": os.urandom(3000)})
                    path = os.path.join(running.directory, "push-%d" % number)
                    client.build_push_package(path, os.urandom(16))
                    with open(path, "rb") as f:
                        upload = f.read()
                    target = "%s/push?%s" % (running.facts["app_path"], client.query(
                        h=sha1_hex(upload), **{"from": client.baseline}))
                    status, answer = send(target, zlib.compress(upload))
                    self.assertEqual(status, 200, answer[:300])
                    followup = vcdiff_decode(upload, inflate(answer, "push answer"))
                    self.assertEqual(followup[:16], b"SQLite format 3\0")
                    self.assertEqual(running.sql("SELECT COUNT(*) FROM dbo.customers WHERE name = N'%s'" % name),
                                     [["1"]])
                    client.mark_pushed()
                    self.assertEqual(client.pull().status, 200)
            client.close()
        finally:
            running.stop()
            running.remove()


class HighRatioPushTest(unittest.TestCase):
    def test_a_package_that_compresses_very_well_is_taken_whole(self):
        running = harness.RunningDemo()
        try:
            # Inflating, hashing and storing 72 MiB takes a while on a busy machine.
            client = running.client("photo", timeout=600)
            self.assertEqual(client.pull().status, 200)
            # 72 MiB of zeros: an upload of a few hundred KB that inflates over 200 times.
            client.insert("customers", {"name": "Big photo", "photo": bytes(72 << 20)})
            self.assertEqual(client.push().status, 200)
            self.assertEqual(running.sql("SELECT DATALENGTH(photo) FROM dbo.customers WHERE name = N'Big photo'"),
                             [[str(72 << 20)]])
            client.close()
        finally:
            running.stop()
            running.remove()


class SlowClientsTest(unittest.TestCase):
    def test_pulls_are_served_while_slow_uploads_hold_four_more_connections_than_workers(self):
        running = harness.RunningDemo()  # 4 workers
        slow = []
        try:
            app = running.facts["app_path"]
            for number in range(8):
                s = socket.create_connection(("127.0.0.1", running.port), timeout=30)
                head = "POST %s/push?db=demo&fid=1&h=%s HTTP/1.1\r\nHost: 127.0.0.1\r\n" % (app, "0" * 40)
                start = os.urandom(70000)
                if number % 2:
                    s.sendall((head + "Content-Length: 1000000\r\n\r\n").encode() + start)
                else:
                    s.sendall((head + "Transfer-Encoding: chunked\r\n\r\n").encode() + chunked(start, 7000)[:70000])
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


class FailedLogonsTest(unittest.TestCase):
    """A failed logon's delay holds back that client's 401, not a worker: anonymous pulls are
    answered while many failed logons wait."""

    def check(self, running, user, logons, delay):
        answered = []

        def bad_logon():
            client = running.client("bad-%d" % threading.get_ident(), user=user, password="wrong password",
                                    scheme=WINDOWS_SCHEME)
            started = time.monotonic()
            try:
                client.pull()
                answered.append((None, 0, 0))
            except ProtocolError as error:
                answered.append((error.status, time.monotonic() - started, time.monotonic()))
            finally:
                client.close()

        threads = [threading.Thread(target=bad_logon) for _ in range(logons)]
        for t in threads:
            t.start()
        time.sleep(0.2)
        client = running.client("anonymous")
        self.assertEqual(client.pull().status, 200)
        pulled = time.monotonic()
        client.close()
        for t in threads:
            t.join()
        self.assertEqual([status for status, _, _ in answered], [401] * logons)
        self.assertGreaterEqual(min(took for _, took, _ in answered), delay, "a 401 came before its delay")
        self.assertLess(pulled, min(at for _, _, at in answered), "the pull waited for failed logons")

    def test_accounts_file(self):
        accounts = tempfile.NamedTemporaryFile("w", suffix=".accounts", delete=False)
        with accounts:
            accounts.write("CORP:slow:%s:Staff:delay=3000\n" % RIGHT_HORSE)
        running = harness.RunningDemo(host_args=["--accounts", accounts.name])
        try:
            self.check(running, "slow", 32, 3.0)
        finally:
            running.stop()
            running.remove()
            os.unlink(accounts.name)

    def test_pam(self):
        if os.geteuid() != 0:
            self.skipTest("needs root: pam_unix checks other users' passwords only for root")
        running = harness.RunningDemo(host_args=["--pam-domain", "CORP"])
        try:
            # pam_unix delays every failure about two seconds, an unknown user's too.
            self.check(running, "tavrin-e2e-nobody-%d" % os.getpid(), 8, 1.0)
        finally:
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
