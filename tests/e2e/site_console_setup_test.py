#!/usr/bin/python3
"""A site made the installer's way is served as made: `site_console.exe setup INI` under Wine
writes the site into the server configuration (webroot and temp directory on the prefix's C:
drive), then tavrin_host, told the Wine prefix, serves a pull and a push from it without any
edit, and keeps its configuration files from clients.

Run by the Windows build's ctest (its Wine prefix, with the tool and the administration DLL)
against the programs of the native build: SITE_CONSOLE_EXE, IISADMIN_COM_DLL, WINEPREFIX,
TAVRIN_HOST, SQLSERVER_STANDIN, STANDIN_ODBC and TAVRIN_MODULE come from the environment.
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

APPHOST = """<?xml version="1.0" encoding="UTF-8"?>
<configuration>
\t<system.applicationHost>
\t\t<applicationPools><add name="DefaultAppPool" /></applicationPools>
\t\t<sites></sites>
\t</system.applicationHost>
\t<system.webServer>
\t\t<globalModules><add name="tavrin" image="%s" /></globalModules>
\t\t<modules><add name="StaticFileModule" /><add name="DefaultDocumentModule" /></modules>
\t\t<handlers>
\t\t\t<add name="OPTIONSVerbHandler" path="*" verb="OPTIONS" modules="ProtocolSupportModule" />
\t\t\t<add name="TRACEVerbHandler" path="*" verb="TRACE" modules="ProtocolSupportModule" />
\t\t\t<add name="StaticFile" path="*" verb="*" modules="StaticFileModule,DefaultDocumentModule" />
\t\t</handlers>
\t</system.webServer>
</configuration>
"""


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
    def setUp(self):
        self.site_console = program("SITE_CONSOLE_EXE")
        self.com_dll = program("IISADMIN_COM_DLL")
        self.host = program("TAVRIN_HOST")
        self.module = program("TAVRIN_MODULE")
        self.standin, self.driver = program("SQLSERVER_STANDIN"), program("STANDIN_ODBC")
        self.prefix = program("WINEPREFIX")
        self.directory = tempfile.mkdtemp(prefix="tavrin-setup-")
        self.wine_env = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=", WINEARCH="win64")
        display = os.path.join(self.prefix, "xvfb.display")
        if os.path.exists(display):
            with open(display) as f:
                self.wine_env["DISPLAY"] = ":" + f.read().strip()
        self.wine = shutil.which("wine64") or "/usr/lib/wine/wine64"
        self.host_process = None

    def tearDown(self):
        if self.host_process is not None and self.host_process.poll() is None:
            self.host_process.send_signal(signal.SIGTERM)
            self.host_process.wait(timeout=20)
        shutil.rmtree(os.path.join(self.prefix, "drive_c", "ProgramData", "Tavrin"), ignore_errors=True)
        shutil.rmtree(self.directory, ignore_errors=True)

    def run_wine(self, *args, env=None):
        return subprocess.run([self.wine] + list(args), env=env or self.wine_env, capture_output=True, timeout=120)

    def start_host(self, config):
        log = os.path.join(self.directory, "host.log")
        self.host_process = subprocess.Popen(
            [self.host, "--config", config, "--wine-prefix", self.prefix, "--workers", "4", "--log", log],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
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

    def test_a_site_made_by_setup_is_served_as_made(self):
        facts = demo.provision(os.path.join(self.directory, "demo"), self.standin, self.driver, self.module)
        config = os.path.join(self.directory, "applicationHost.config")
        with open(config, "w") as f:
            f.write(APPHOST % self.module)
        port = free_port()
        ini = os.path.join(self.directory, "setup.ini")
        with open(ini, "w", newline="") as f:
            f.write("[QVS]\r\nPort=%d\r\nTemp=%s\\QVS Server\\temp\r\nODBC=%s\r\n"
                    % (port, DEFAULT_ROOT, facts["odbc_connection_string"]))

        registered = self.run_wine("regsvr32", "/s", windows_path(self.com_dll))
        self.assertEqual(registered.returncode, 0, registered.stderr)
        setup = self.run_wine(self.site_console, "setup", windows_path(ini),
                              env=dict(self.wine_env, TAVRIN_HOST_CONFIG=config))
        self.assertEqual(setup.returncode, 0, setup.stderr)
        self.assertFalse(os.path.exists(ini), "the INI file of a created site is deleted")
        with open(config) as f:
            written = f.read()
        self.assertIn(r'physicalPath="C:\ProgramData\Tavrin\QVS Server\www"', written)

        self.assertEqual(self.start_host(config), port)
        url = "http://127.0.0.1:%d" % port
        client = Client(os.path.join(self.directory, "client.sqlite"), url, facts["dbfile"], timeout=60)
        self.assertEqual(client.pull().status, 200)
        self.assertEqual(sorted(r["name"] for r in client.rows("customers")), ["Ada", "Grace"])
        client.insert("customers", {"name": "Made by setup"})
        self.assertEqual(client.push().status, 200)
        client.close()
        rows = demo.sql(self.standin, facts["data_dir"], facts["dbfile_db"], "SELECT name FROM dbo.customers",
                        self.directory)
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


if __name__ == "__main__":
    unittest.main()
