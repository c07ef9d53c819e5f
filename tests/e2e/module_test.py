#!/usr/bin/python3
"""The sync module inside tavrin_host over real HTTP: the answers the module gives on its own
(query, dbfile, credentials), the engine's path dispatch, error bodies and events, the request
log, and the work files of request bodies."""
import http.client
import os
import re
import socket
import sys
import time
import unittest
import urllib.parse

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402


class ModuleTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.demo = harness.RunningDemo(event_log=True)
        cls.app = cls.demo.facts["app_path"]

    @classmethod
    def tearDownClass(cls):
        cls.demo.stop()
        cls.demo.remove()

    def request(self, target, body=None, headers=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.demo.port, timeout=30)
        try:
            connection.request("POST" if body is not None else "GET", target, body=body, headers=headers or {})
            response = connection.getresponse()
            return response.status, response.reason, response.getheader("X-Tavrin-Error-Code"), response.read()
        finally:
            connection.close()

    def log_rows(self, marker):
        """Request-log rows (url, request_size, response_size, status) of urls holding marker."""
        rows = self.demo.config_sql("SELECT url, request_size, response_size, status FROM tavrin.log")
        return [(r[0], int(r[1]), int(r[2]), int(r[3])) for r in rows if marker in r[0]]

    def events_of(self, marker):
        return [e["data"] for e in self.demo.events() if marker in e["data"]]

    def wait_for_request_log(self, marker):
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if marker in self.demo.request_log():
                return
            time.sleep(0.1)
        self.fail("the host never logged %s" % marker)

    def assert_temp_directory_empty(self):
        self.assertEqual(os.listdir(self.demo.facts["temp_directory"]), [])

    def test_answers_of_the_module_itself_are_neither_logged_nor_events(self):
        app = self.app
        cases = [
            ("no-query", app + "/pull", (400, "Missing/Invalid Query String", None, b"")),
            ("no-db", app + "/pull?fid=1&case=no-db", (400, "Missing/Invalid Query String", None, b"")),
            ("unknown", app + "/pull?db=nosuch&case=unknown", (400, "DBFile Not Found", "4552", b"")),
        ]
        for name, target, expected in cases:
            with self.subTest(name):
                self.assertEqual(self.request(target), expected)
                self.assertEqual(self.events_of(target), [])
        self.assertEqual(self.log_rows("case="), [])

    def test_credentials(self):
        scheme = urllib.parse.quote(self.demo.facts["scheme"])
        target = "%s/nopath?db=demo&s=%s&u=alice&case=" % (self.app, scheme)
        cases = [
            ("wrong", {"x-tavrin-password": "nope"}, 401),
            ("empty", {"x-tavrin-password": ""}, 401),
            ("missing", {}, 401),
            # The right password passes authentication; the engine then answers the path.
            ("right", {"x-tavrin-password": "alice-secret"}, 404),
        ]
        for name, headers, status in cases:
            with self.subTest(name):
                self.assertEqual(self.request(target + name, headers=headers)[0], status)
        # Without "u" the scheme is not applied at all.
        self.assertEqual(self.request("%s/nopath?db=demo&s=%s&case=no-user" % (self.app, scheme))[0], 404)
        self.assertEqual([r[3] for r in self.log_rows("case=")], [404, 404])

    def test_engine_paths_logs_and_events(self):
        app = self.app
        for name, target in (("upper", app + "/PULL"), ("slash", app + "/pull/"), ("other", app + "/pulls")):
            with self.subTest(name):
                url = target + "?db=demo&case=path-" + name
                self.assertEqual(self.request(url), (404, "TODO", None, b""))
                self.assertEqual(self.log_rows("case=path-" + name), [(url, 0, 0, 404)])
                self.assertEqual(self.events_of("case=path-" + name), ["HTTP 404    --    " + url])

    def test_numbers_no_server_could_have_are_refused_and_the_host_lives_on(self):
        app, zeros, top = self.app, "0" * 32, "9223372036854775807"
        out_of_range = "number out of range in query string parameter '%s'"
        cases = [
            (app + "/pull?db=demo&fid=1&first=-9223372036854775808", out_of_range % "first"),
            (app + "/pull?db=demo&fid=1&pv=5&from=%s,%s,0,0,0" % (top, zeros), out_of_range % "from"),
            (app + "/pull?db=demo&fid=1&pv=5&rstamps&from=%s,%s,0,0,0" % (top, zeros), out_of_range % "from"),
            (app + "/pull?db=demo&fid=1&from=5,%s,0,-9223372036854775808,0;t1" % zeros, out_of_range % "from"),
            (app + "/push?db=demo&fid=1&h=%s&from=5,%s,0,-9223372036854775808,0;t1" % ("0" * 40, zeros),
             out_of_range % "from"),
            (app + "/push?db=demo&fid=1&h=%s&x=%s" % ("0" * 40, top), out_of_range % "x"),
            (app + "/pull?db=demo&fid=1&pv=7", "query string parameter 'pv' must be a package version from 2 to 6"),
        ]
        for target, text in cases:
            with self.subTest(target):
                status, _, code, body = self.request(target, body=b"" if "/push" in target else None)
                self.assertEqual((status, code, body), (400, None, text.encode() + b"\0"))
        self.assertEqual(self.request(app + "/pull?db=demo&fid=1&pv=5")[0], 200)

    def test_internal_error_is_answered_and_reported(self):
        status, reason, code, body = self.request(self.app + "/pull?db=Not_valid&case=bad-name")
        self.assertEqual((status, reason, code), (500, "Internal Error", None))
        self.assertTrue(body.endswith(b"\0"), body)
        text = body[:-1].decode()
        self.assertTrue(text.startswith("Error 63 (qklib)[3.4.0.4917]: "), text)
        self.assertIn("\tsrc/servers/iis/main.cpp:", text)
        self.assertEqual([e["data"] for e in self.demo.events() if e["data"] == text], [text])
        self.assertEqual(self.log_rows("case=bad-name"), [])

    def test_an_untranslatable_default_is_a_warning_and_the_dbfile_is_served(self):
        self.demo.require("pull")
        facts = self.demo.facts
        self.demo.sql("CREATE TABLE dbo.priced (id int NOT NULL PRIMARY KEY, price money NULL DEFAULT ((1.23456)))")
        table_id = harness.demo.cli(self.demo.standin, "add-table", facts["data_dir"], facts["dbfile_db"],
                                    facts["dbfile"], "dbo.priced").splitlines()[0].strip()
        self.assertEqual(self.request(self.app + "/pull?db=demo&fid=9&pv=6&test=default-warning")[0], 200)
        warnings = [e for e in self.demo.events() if e["id"] == 2]
        self.assertEqual([(e["channel"], e["level"]) for e in warnings], [("Tavrin/Admin", 3)])
        self.assertIn('table [dbo].[priced] (ID %s), column "price": the default ((1.23456)) cannot be given to '
                      "clients" % table_id, warnings[0]["data"])

    def test_request_body_is_saved_logged_and_removed(self):
        body = bytes(range(256)) * 39 + b"0123456789abcdef"  # 10,000 bytes: three reads
        url = self.app + "/nopath?db=demo&case=body"
        self.assertEqual(self.request(url, body=body)[0], 404)
        self.assertEqual(self.log_rows("case=body"), [(url, 10000, 0, 404)])
        self.assert_temp_directory_empty()

    def test_settings_are_read_and_checked_on_every_request(self):
        web_config = os.path.join(self.demo.facts["webroot"], "web.config")
        with open(web_config) as f:
            original = f.read()
        stamp = os.stat(web_config).st_mtime_ns

        def rewrite(text):
            # The host rereads the file when its time stamp changes; coarse file-system clocks
            # could give two quick writes the same one, so each write gets a later stamp.
            nonlocal stamp
            with open(web_config, "w") as f:
                f.write(text)
            stamp += 1000000000
            os.utime(web_config, ns=(stamp, stamp))
        a_file = os.path.join(self.demo.directory, "host.log")
        missing_dir = os.path.join(self.demo.directory, "no-such-dir")
        cases = [
            ("no temp_directory", r'temp_directory="[^"]*"', "",
             "temp_directory must be specified in the web.config file"),
            ("empty temp_directory", r'temp_directory="[^"]*"', 'temp_directory=""',
             "temp_directory must be specified in the web.config file"),
            ("missing directory", r'temp_directory="[^"]*"', 'temp_directory="%s"' % missing_dir,
             "temp_directory does not exist: " + missing_dir),
            ("a file", r'temp_directory="[^"]*"', 'temp_directory="%s"' % a_file,
             "temp_directory is not a directory: " + a_file),
            ("no odbc_connection_string", r'odbc_connection_string="[^"]*"', "",
             "odbc_connection_string must be specified in the web.config file"),
        ]
        try:
            for name, pattern, replacement, message in cases:
                with self.subTest(name):
                    rewrite(re.sub(pattern, replacement, original))
                    # Without a query the module would answer 400, but the settings come first.
                    status, reason, _, body = self.request(self.app + "/pull")
                    self.assertEqual((status, reason), (500, "Internal Error"))
                    self.assertIn("]: %s\r\n" % message, body.decode())
        finally:
            rewrite(original)
        self.assertEqual(self.request(self.app + "/pull")[0], 400)

    def test_client_gone_while_its_body_is_read(self):
        url = self.app + "/nopath?db=demo&case=gone"
        with socket.create_connection(("127.0.0.1", self.demo.port), timeout=30) as s:
            s.sendall(("POST %s HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 10000\r\n\r\n" % url).encode())
            s.sendall(b"x" * 5000)
            time.sleep(0.3)
        self.wait_for_request_log("case=gone")
        self.assertEqual(self.log_rows("case=gone"), [])
        self.assertEqual(self.events_of("case=gone"), [])
        self.assert_temp_directory_empty()


if __name__ == "__main__":
    unittest.main()
