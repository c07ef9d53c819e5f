#!/usr/bin/python3
"""The operator's road without the window: scripts/site-console.sh --setup-only prepares a
demo database, a server configuration naming the module, the ODBC driver names of
site_console's connection strings and a fresh Wine prefix with the administration stand-in
registered; in that prefix `site_console.exe setup INI` (the installer's way) writes a site with
the connection string the wizard builds, and tavrin_host, told the prefix and the demo's
odbcinst.ini, serves a pull and a push from it without any edit, and keeps its configuration
files from clients.

Run by the Windows build's ctest against the programs of the native build: SITE_CONSOLE_EXE,
IISADMIN_COM_DLL, WINEPREFIX (the test prefix, for its X server), TAVRIN_HOST,
SQLSERVER_STANDIN, STANDIN_ODBC and TAVRIN_MODULE come from the environment.
"""
import http.client
import os
import select
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402
from tavrin_client import Client  # noqa: E402

DEFAULT_ROOT = r"C:\ProgramData\Tavrin"

def program(name):
    path = os.environ.get(name)
    if not path:
        raise unittest.SkipTest("%s is not set (run the test through ctest)" % name)
    if not os.path.exists(path):
        raise unittest.SkipTest("not built: %s" % path)
    return path


def windows_path(unix_path):
    return "Z:" + unix_path.replace("/", "\\")


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class SetupServesTest(unittest.TestCase):
    SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "site-console.sh")

    def setUp(self):
        self.site_console = program("SITE_CONSOLE_EXE")
        self.com_dll = program("IISADMIN_COM_DLL")
        self.host = program("TAVRIN_HOST")
        self.module = program("TAVRIN_MODULE")
        self.standin, self.driver = program("SQLSERVER_STANDIN"), program("STANDIN_ODBC")
        test_prefix = program("WINEPREFIX")
        self.directory = tempfile.mkdtemp(prefix="tavrin-setup-")
        self.demo = os.path.join(self.directory, "demo")
        self.prefix = os.path.join(self.directory, "wineprefix")
        self.wine_env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64",
                             WINEPREFIX=self.prefix, DEMO_DIR=self.demo)
        self.wine_env.pop("DISPLAY", None)
        display = os.path.join(test_prefix, "xvfb.display")
        if os.path.exists(display):
            with open(display) as f:
                self.wine_env["DISPLAY"] = ":" + f.read().strip()
        self.wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.host_process = None

    def tearDown(self):
        if self.host_process is not None:
            if self.host_process.poll() is None:
                self.host_process.send_signal(signal.SIGTERM)
                self.host_process.wait(timeout=20)
            self.host_process.stdout.close()
            self.host_process.stderr.close()
        wineserver = shutil.which("wineserver") or "/usr/lib/wine/wineserver64"
        subprocess.run([wineserver, "-k"], env=self.wine_env, capture_output=True, timeout=60)
        shutil.rmtree(self.directory, ignore_errors=True)

    def set_up(self):
        """The script's set-up steps, with the programs of these builds; its output."""
        run = subprocess.run([self.SCRIPT, "--setup-only"], env=self.wine_env, capture_output=True, text=True,
                             timeout=240)
        self.assertEqual(run.returncode, 0, run.stdout + run.stderr)
        return run.stdout

    def run_wine(self, *args, env=None):
        return subprocess.run([self.wine] + list(args), env=env or self.wine_env, capture_output=True, timeout=120)

    def start_host(self, config):
        log = os.path.join(self.directory, "host.log")
        self.host_process = subprocess.Popen(
            [self.host, "--config", config, "--wine-prefix", self.prefix, "--workers", "4", "--log", log],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=dict(os.environ, ODBCSYSINI=self.demo))
        deadline, seen = time.monotonic() + 30, b""
        while time.monotonic() < deadline:
            ready, _, _ = select.select([self.host_process.stdout], [], [], 0.5)
            if ready:
                line = self.host_process.stdout.readline()
                seen += line
                if line.startswith(b"listening tavrin http://"):
                    return int(line.rsplit(b":", 1)[1].strip(b"/\n"))
                if not line:
                    break
        self.fail("tavrin_host did not serve the site: %s %s" % (seen, self.host_process.stderr.read()))

    def test_the_script_prepares_what_a_served_site_needs(self):
        printed = self.set_up()
        config = os.path.join(self.demo, "applicationHost.config")
        self.assertIn("ODBCSYSINI=%s %s --config %s --wine-prefix %s" % (self.demo, self.host, config, self.prefix),
                      printed)
        data_dir = os.path.join(self.demo, "data")
        # The connection string of the wizard's Windows authentication, as typed for the demo.
        odbc = "Driver={SQL Server Native Client 11.0};Server={%s};Database={tavrin_config};" \
               "Trusted_Connection={yes}" % data_dir
        port = free_port()
        ini = os.path.join(self.directory, "setup.ini")
        with open(ini, "w", newline="") as f:
            f.write("[QVS]\r\nPort=%d\r\nTemp=%s\\QVS Server\\temp\r\nODBC=%s\r\n" % (port, DEFAULT_ROOT, odbc))
        setup = self.run_wine(self.site_console, "setup", windows_path(ini),
                              env=dict(self.wine_env, TAVRIN_HOST_CONFIG=config))
        self.assertEqual(setup.returncode, 0, setup.stderr)
        self.assertFalse(os.path.exists(ini), "the INI file of a created site is deleted")
        with open(config) as f:
            written = f.read()
        self.assertIn(r'physicalPath="C:\ProgramData\Tavrin\QVS Server\www"', written)

        self.assertEqual(self.start_host(config), port)
        url = "http://127.0.0.1:%d" % port
        client = Client(os.path.join(self.directory, "client.sqlite"), url, demo.DBFILE, timeout=60)
        self.assertEqual(client.pull().status, 200)
        self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Ada", "Grace"])
        client.insert("customers", {"name": "Made by setup"})
        self.assertEqual(client.push().status, 200)
        client.close()
        rows = demo.sql(self.standin, data_dir, demo.DBFILE_DB, "SELECT name FROM dbo.customers", self.directory)
        self.assertIn(["Made by setup"], rows)
        # The module's work files went to the temp directory on the prefix's C: drive, and are gone.
        temp = os.path.join(self.prefix, "drive_c", "ProgramData", "Tavrin", "QVS Server", "temp")
        self.assertEqual(os.listdir(temp), [])

        # The webroot's pages are served, its configuration never.
        connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
        for target, status in (("/", 200), ("/robots.txt", 200), ("/web.config", 404), ("/Web.Config", 404)):
            connection.request("GET", target)
            response = connection.getresponse()
            body = response.read()
            self.assertEqual(response.status, status, target)
            self.assertNotIn(b"odbc_connection_string", body, target)
        connection.close()
        self.host_process.send_signal(signal.SIGTERM)
        self.assertEqual(self.host_process.wait(timeout=20), 0)
        self.assertNotIn(b"warning", self.host_process.stderr.read())

        # Run again, the script keeps the demo and the configuration with its site.
        self.assertIn("demo kept in %s" % self.demo, self.set_up())
        with open(config) as f:
            self.assertEqual(f.read(), written)


if __name__ == "__main__":
    unittest.main()
