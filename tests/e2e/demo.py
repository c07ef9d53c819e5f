#!/usr/bin/python3
"""Provisions a demo of the sync host: a SQL Server stand-in with a demo dbfile, and the
web-server configuration that serves it with the sync module on loopback.

Usage: demo.py DIR --standin CLI --driver ODBC_SO --module MODULE_SO [--port N] [--for-site-console]

Makes under DIR:
  data/                 the SQL Server stand-in's data directory: the configuration database
                        "tavrin_config" (dbfile registry, users) and the database "demo" with the
                        host tables customers (identity key), orders (identity key, foreign key
                        to customers) and stock (composite key), synchronised as dbfile "demo"
  webroot/web.config    the site's tavrin/settings (temp_directory, the ODBC connection string) and
                        its request body limit, raised to 1 GiB for big pushes
  temp/                 the temp_directory
  applicationHost.config  one site on 127.0.0.1:PORT (0: any free port) whose /sync/ path goes
                        to the sync module
and prints what it made. A DIR that already holds a demo is kept as it is.
With --for-site-console, applicationHost.config has no site yet: it names the module and the
handlers every site inherits, for site_console to add a module site; and odbcinst.ini
registers the stand-in's driver under the driver names site_console's connection strings use
(for programs run with ODBCSYSINI=DIR).
Also importable: provision() returns the same facts as a dict.
"""
import argparse
import json
import os
import select
import subprocess
import sys
import time
from xml.sax.saxutils import quoteattr

CONFIG_DB = "tavrin_config"
DBFILE_DB = "demo"
DBFILE = "demo"
APP_PATH = "/sync"
# The users of the "table2" scheme live in the configuration database.
SCHEME = {"scheme_type": "table2", "table": "users"}
USERS = {"alice": "alice-secret", "bob": "bob-secret"}

HOST_TABLES_SQL = """\
CREATE TABLE dbo.customers (id int IDENTITY(1,1) NOT NULL PRIMARY KEY, name nvarchar(100) NOT NULL,
  balance decimal(12,2) NULL, photo varbinary(max) NULL, joined datetime2 NULL, active bit NULL)
CREATE TABLE dbo.orders (id int IDENTITY(1,1) NOT NULL PRIMARY KEY,
  customer_id int NOT NULL REFERENCES dbo.customers (id), amount float NULL, note nvarchar(200) NULL)
CREATE TABLE dbo.stock (warehouse char(4) NOT NULL, sku nvarchar(20) NOT NULL, qty int NOT NULL,
  PRIMARY KEY (warehouse, sku))
INSERT INTO dbo.customers (name, balance, photo, joined, active) VALUES (N'Ada', 10.50, 0x0102FF, '2024-01-02 03:04:05', 1)
INSERT INTO dbo.customers (name, balance, joined, active) VALUES (N'Grace', NULL, '2023-12-31 23:59:59', 0)
INSERT INTO dbo.orders (customer_id, amount, note) VALUES (1, 99.5, N'first order')
INSERT INTO dbo.stock (warehouse, sku, qty) VALUES ('WH01', N'bolt-6', 120)
INSERT INTO dbo.stock (warehouse, sku, qty) VALUES ('WH02', N'bolt-6', 7)
"""
HOST_TABLES = ["dbo.customers", "dbo.orders", "dbo.stock"]
# The drivers the connection strings of site_console name.
WIZARD_DRIVERS = ["SQL Server Native Client 11.0", "ODBC Driver 17 for SQL Server"]

# A server configuration without sites: the module, and the handlers and modules every site
# inherits (site_console keeps StaticFile, OPTIONSVerbHandler and TRACEVerbHandler in a site it
# makes and counts a site as a module site only when StaticFile is there).
SERVER_CONFIG = """<?xml version="1.0" encoding="UTF-8"?>
<configuration>
\t<system.applicationHost>
\t\t<applicationPools><add name="DefaultAppPool" /></applicationPools>
\t\t<sites></sites>
\t</system.applicationHost>
\t<system.webServer>
\t\t<globalModules><add name="tavrin" image=%s /></globalModules>
\t\t<modules><add name="StaticFileModule" /><add name="DefaultDocumentModule" /></modules>
\t\t<handlers>
\t\t\t<add name="OPTIONSVerbHandler" path="*" verb="OPTIONS" modules="ProtocolSupportModule" />
\t\t\t<add name="TRACEVerbHandler" path="*" verb="TRACE" modules="ProtocolSupportModule" />
\t\t\t<add name="StaticFile" path="*" verb="*" modules="StaticFileModule,DefaultDocumentModule" />
\t\t</handlers>
\t</system.webServer>
</configuration>
"""

# The site takes pushes of up to this many bytes (requestFiltering's maxAllowedContentLength).
MAX_BODY = 1 << 30


def canonical(document):
    """Compact JSON with sorted keys: the form access-list rows name a scheme in."""
    return json.dumps(document, sort_keys=True, separators=(",", ":"))


class ProvisionError(Exception):
    pass


def cli(standin, *args):
    run = subprocess.run([standin] + [str(a) for a in args], capture_output=True, text=True, timeout=120)
    if run.returncode != 0:
        raise ProvisionError("sqlserver-standin %s failed: %s" % (" ".join(map(str, args[:1])),
                                                                 (run.stderr or run.stdout).strip()))
    return run.stdout


def sql(standin, data_dir, database, script, work_dir):
    """Runs T-SQL through the stand-in; returns the result rows as lists of texts."""
    path = os.path.join(work_dir, "query.sql")
    with open(path, "w") as f:
        f.write(script)
    out = cli(standin, "run", data_dir, database, path)
    lines = out.splitlines()
    return [line.split("\t") for line in lines[1:]] if lines else []


def connection_string(driver, data_dir, database=CONFIG_DB):
    return "Driver=%s;Server=%s;Database=%s" % (driver, data_dir, database)


def write_site(directory, module, driver, data_dir, port=0, support_mode=None, protocol="http"):
    webroot, temp = os.path.join(directory, "webroot"), os.path.join(directory, "temp")
    os.makedirs(webroot, exist_ok=True)
    os.makedirs(temp, exist_ok=True)
    settings = 'temp_directory=%s odbc_connection_string=%s' % (
        quoteattr(temp), quoteattr(connection_string(driver, data_dir)))
    if support_mode is not None:
        settings += " support_mode=%s" % quoteattr(support_mode)
    with open(os.path.join(webroot, "web.config"), "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<configuration>\n'
                '\t<configSections><sectionGroup name="tavrin"><section name="settings" /></sectionGroup>'
                '</configSections>\n'
                '\t<tavrin><settings %s /></tavrin>\n'
                '\t<system.webServer>\n'
                '\t\t<!-- Request bodies (compressed pushes) of up to 1 GiB; 30,000,000 bytes unless set. -->\n'
                '\t\t<security><requestFiltering><requestLimits maxAllowedContentLength="%d" /></requestFiltering>'
                '</security>\n'
                '\t</system.webServer>\n</configuration>\n' % (settings, MAX_BODY))
    config = os.path.join(directory, "applicationHost.config")
    with open(config, "w") as f:
        f.write('<?xml version="1.0" encoding="UTF-8"?>\n<configuration>\n'
                '\t<system.applicationHost>\n\t\t<sites>\n'
                '\t\t\t<site name="Tavrin" id="1">\n'
                '\t\t\t\t<application path="/" applicationPool="Tavrin">\n'
                '\t\t\t\t\t<virtualDirectory path="/" physicalPath=%s />\n'
                '\t\t\t\t</application>\n'
                '\t\t\t\t<bindings><binding protocol="%s" bindingInformation="127.0.0.1:%d:" /></bindings>\n'
                '\t\t\t</site>\n\t\t</sites>\n\t</system.applicationHost>\n'
                '\t<system.webServer>\n'
                '\t\t<globalModules><add name="tavrin" image=%s /></globalModules>\n'
                '\t\t<modules><add name="tavrin" /></modules>\n'
                '\t\t<handlers><add name="tavrin-sync" path="%s/*" verb="*" modules="tavrin" /></handlers>\n'
                '\t</system.webServer>\n</configuration>\n' % (quoteattr(webroot), protocol, port, quoteattr(module),
                                                            APP_PATH))
    return config, webroot, temp


def write_server_config(path, module):
    """A server configuration without sites that names the module (for site_console to add sites to)."""
    with open(path, "w") as f:
        f.write(SERVER_CONFIG % quoteattr(module))
    return path


def register_wizard_drivers(directory, driver):
    """odbcinst.ini in directory: the stand-in's driver under the names site_console's connection
    strings give; unixODBC reads it in programs run with ODBCSYSINI=directory."""
    path = os.path.join(directory, "odbcinst.ini")
    with open(path, "w") as f:
        for name in WIZARD_DRIVERS:
            f.write("[%s]\nDescription=SQL Server stand-in\nDriver=%s\n\n" % (name, driver))
    return path


def wait_for_listening(process, timeout):
    """The port a starting tavrin_host names in its "listening" line, read from its stdout;
    None when it ends or stays silent for `timeout` seconds. Also returns what it printed."""
    deadline = time.monotonic() + timeout
    seen = b""
    while time.monotonic() < deadline:
        ready, _, _ = select.select([process.stdout], [], [], 0.5)
        if ready:
            line = process.stdout.readline()
            seen += line
            if line.startswith(b"listening "):
                return int(line.rsplit(b":", 1)[1].strip(b"/\n")), seen
            if not line and process.poll() is not None:
                break
    return None, seen


def holds_demo(directory):
    return os.path.exists(os.path.join(directory, "data", CONFIG_DB + ".sqlite"))


def provision(directory, standin, driver, module, port=0, support_mode=None, protocol="http",
              for_site_console=False):
    """Creates the demo under directory; returns a dict of what was made. for_site_console: the
    server configuration has no site (write_server_config), and odbcinst.ini names the driver."""
    directory, standin, driver, module = (os.path.abspath(p) for p in (directory, standin, driver, module))
    data_dir = os.path.join(directory, "data")
    if holds_demo(directory):
        raise ProvisionError("%s already holds a demo" % directory)
    os.makedirs(data_dir, exist_ok=True)
    cli(standin, "create-config", data_dir, CONFIG_DB)
    cli(standin, "register-dbfile", data_dir, CONFIG_DB, DBFILE, "--odbc", "qvsdb:" + DBFILE_DB)
    sql(standin, data_dir, DBFILE_DB, HOST_TABLES_SQL, directory)
    cli(standin, "create-dbfile", data_dir, DBFILE_DB, DBFILE)
    table_ids = {}
    for table in HOST_TABLES:
        table_ids[table] = cli(standin, "add-table", data_dir, DBFILE_DB, DBFILE, table).splitlines()[0].strip()
    scheme = canonical(SCHEME)
    for user, password in USERS.items():
        cli(standin, "add-user", data_dir, CONFIG_DB, user, password)
    # Anybody may pull and push; the named users too, under their scheme.
    cli(standin, "add-acl", data_dir, DBFILE_DB, DBFILE, "", "anyone", "*", "*", "allow")
    cli(standin, "add-acl", data_dir, DBFILE_DB, DBFILE, scheme, "any_authenticated_user", "*", "*", "allow")
    if for_site_console:
        config = write_server_config(os.path.join(directory, "applicationHost.config"), module)
        register_wizard_drivers(directory, driver)
        webroot = temp = None
    else:
        config, webroot, temp = write_site(directory, module, driver, data_dir, port, support_mode, protocol)
    return {"directory": directory, "data_dir": data_dir, "config_db": CONFIG_DB, "dbfile_db": DBFILE_DB,
            "dbfile": DBFILE, "table_ids": table_ids, "scheme": scheme, "users": dict(USERS),
            "host_config": config, "webroot": webroot, "temp_directory": temp, "app_path": APP_PATH,
            "module": module, "odbc_connection_string": connection_string(driver, data_dir)}


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("directory")
    parser.add_argument("--standin", required=True, help="the sqlserver-standin program")
    parser.add_argument("--driver", required=True, help="the stand-in's ODBC driver (.so)")
    parser.add_argument("--module", required=True, help="the sync module (libtavrin_server.so)")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--for-site-console", action="store_true",
                        help="a server configuration without sites, and odbcinst.ini")
    args = parser.parse_args(argv)
    directory = os.path.abspath(args.directory)
    if holds_demo(directory):
        print("demo kept in %s (data, host configuration %s)" % (
            directory, os.path.join(directory, "applicationHost.config")))
        if args.for_site_console:
            register_wizard_drivers(directory, os.path.abspath(args.driver))
        return 0
    try:
        made = provision(directory, args.standin, args.driver, args.module, args.port,
                         for_site_console=args.for_site_console)
    except (ProvisionError, OSError, subprocess.SubprocessError) as error:
        print("demo: %s" % error, file=sys.stderr)
        return 1
    print("demo provisioned in %s" % made["directory"])
    print("  SQL Server stand-in data:  %s (databases %s, %s)" % (made["data_dir"], made["config_db"],
                                                                 made["dbfile_db"]))
    print("  dbfile:                    %s, tables %s" % (made["dbfile"], ", ".join(
        "%s=%s" % kv for kv in made["table_ids"].items())))
    print("  users (scheme %s): %s" % (made["scheme"], ", ".join(made["users"])))
    print("  host configuration:        %s" % made["host_config"])
    if made["webroot"]:
        print("  web.config:                %s" % os.path.join(made["webroot"], "web.config"))
        print("  temp_directory:            %s" % made["temp_directory"])
        print("  sync path:                 %s/pull, %s/push" % (made["app_path"], made["app_path"]))
    else:
        print("  ODBC drivers:              %s (%s)" % (os.path.join(directory, "odbcinst.ini"),
                                                        ", ".join(WIZARD_DRIVERS)))
    print("  module:                    %s%s" % (made["module"], "" if os.path.exists(made["module"])
                                                 else " (not built yet)"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
