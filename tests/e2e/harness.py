"""Runs the sync host for end-to-end tests: a provisioned demo, tavrin_host on loopback, clients.

The programs come from the environment (ctest sets it): TAVRIN_HOST, SQLSERVER_STANDIN,
STANDIN_ODBC and TAVRIN_MODULE (the sync module; the tests skip while it is not built).
"""
import http.client
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import demo  # noqa: E402
from tavrin_client import Client  # noqa: E402

START_TIMEOUT = 30


def tool(name):
    path = os.environ.get(name)
    if not path:
        raise unittest.SkipTest("%s is not set (run the tests through ctest)" % name)
    return path


def module_path():
    path = tool("TAVRIN_MODULE")
    if not os.path.exists(path):
        raise unittest.SkipTest("module not built yet: %s is missing" % path)
    return path


def make_certificate(directory, name="127.0.0.1"):
    """A throwaway self-signed certificate for the loopback address: (certificate, key) paths."""
    certificate, key = os.path.join(directory, "host.pem"), os.path.join(directory, "host.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                    "-nodes", "-days", "2", "-subj", "/CN=" + name, "-addext", "subjectAltName=IP:" + name,
                    "-keyout", key, "-out", certificate], check=True, capture_output=True, timeout=60)
    return certificate, key


class RunningDemo:
    """A demo directory with tavrin_host serving it on 127.0.0.1 until stop().

    host_args: more options of tavrin_host; https: the site's binding is https, with a throwaway
    certificate that clients check the server against; workers: the host's worker threads."""

    def __init__(self, support_mode=None, event_log=False, host_args=(), https=False, workers=4):
        self.module = module_path()
        self.standin = tool("SQLSERVER_STANDIN")
        self.directory = tempfile.mkdtemp(prefix="tavrin-e2e-")
        self.facts = demo.provision(self.directory, self.standin, tool("STANDIN_ODBC"), self.module,
                                    support_mode=support_mode, protocol="https" if https else "http")
        self.log = os.path.join(self.directory, "host.log")
        # With event_log the host listens to the module's event provider into this file.
        self.event_log = os.path.join(self.directory, "events.jsonl") if event_log else None
        self.protocol, self.workers, self.host_args = "https" if https else "http", workers, list(host_args)
        self.cafile = self.key = None
        if https:
            self.cafile, self.key = make_certificate(self.directory)
        self.hosts = []
        self.process, self.port = self.start_host(self.facts["host_config"], self.log, self.event_log)
        self.url = "%s://127.0.0.1:%d%s" % (self.protocol, self.port, self.facts["app_path"])
        self.served = {}

    def start_host(self, config, log, event_log=None):
        command = [tool("TAVRIN_HOST"), "--config", config,
                   "--workers", str(self.workers), "--timeout", "30", "--log", log]
        if event_log:
            command += ["--event-log", event_log]
        if self.cafile:
            command += ["--certificate", "Tavrin=" + self.cafile, "--private-key", "Tavrin=" + self.key]
        command += self.host_args
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.hosts.append(process)
        return process, self.wait_for_port(process)

    def add_host(self):
        """Starts one more tavrin_host serving the same data directory on another port; returns its URL."""
        number = len(self.hosts) + 1
        site = os.path.join(self.directory, "host%d" % number)
        config, _, _ = demo.write_site(site, self.module, tool("STANDIN_ODBC"), self.facts["data_dir"],
                                       protocol=self.protocol)
        _, port = self.start_host(config, os.path.join(self.directory, "host%d.log" % number))
        return "%s://127.0.0.1:%d%s" % (self.protocol, port, self.facts["app_path"])

    def wait_for_port(self, process):
        port, seen = demo.wait_for_listening(process, START_TIMEOUT)
        if port is not None:
            return port
        self.stop()
        raise RuntimeError("tavrin_host did not start: %s" % seen.decode("utf-8", "replace"))

    def client(self, name="client", fid=1, **auth):
        return Client(os.path.join(self.directory, name + ".sqlite"), self.url, self.facts["dbfile"], fid,
                      cafile=self.cafile, **auth)

    def sql(self, script):
        """Runs T-SQL on the dbfile's database through the stand-in; result rows as texts."""
        return demo.sql(self.standin, self.facts["data_dir"], self.facts["dbfile_db"], script, self.directory)

    def require(self, road):
        """Skips the calling test while the module answers road ("pull" or "push") with
        "Not implemented" (its handler is not part of the build yet)."""
        if road not in self.served:
            connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
            try:
                connection.request("GET", "%s/%s?db=%s&fid=1&pv=6" % (self.facts["app_path"], road,
                                                                     self.facts["dbfile"]))
                response = connection.getresponse()
                body = response.read()
                self.served[road] = not (response.status == 500 and b"Not implemented" in body)
            finally:
                connection.close()
        if not self.served[road]:
            raise unittest.SkipTest("the %s handler is not built yet" % road)

    def events(self):
        """The events the module wrote, oldest first (each a dict of the sink's JSON line)."""
        if not os.path.exists(self.event_log):
            return []
        with open(self.event_log) as f:
            return [json.loads(line) for line in f if line.strip()]

    def config_sql(self, script):
        """Runs T-SQL on the configuration database; result rows as texts."""
        return demo.sql(self.standin, self.facts["data_dir"], self.facts["config_db"], script, self.directory)

    def request_log(self):
        """The site's request log (W3C extended, beside the host's log): every day's file, oldest first."""
        folder = os.path.join(self.directory, "W3SVC1")
        text = ""
        for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
            with open(os.path.join(folder, name), errors="replace") as f:
                text += f.read()
        return text

    def stop(self):
        for process in self.hosts:
            if process.poll() is None:
                process.send_signal(signal.SIGTERM)
                try:
                    process.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    process.kill()
                    process.wait()
            process.stdout.close()
        self.hosts = []

    def remove(self):
        shutil.rmtree(self.directory, ignore_errors=True)


class DemoTestCase(unittest.TestCase):
    """Test cases sharing one running demo per class."""

    @classmethod
    def setUpClass(cls):
        cls.demo = RunningDemo()

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop()
        cls.demo.remove()
