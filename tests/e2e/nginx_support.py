"""nginx and lighttpd from Debian's packages as a publisher would run them: a folder served as
static files on 127.0.0.1, started and stopped by the test."""
import shutil
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
LIGHTTPD = shutil.which("lighttpd") or "/usr/sbin/lighttpd"


class _StaticServer:
    """Runs a server on 127.0.0.1:port with a configuration of its own in `workdir`; subclasses
    write the configuration and name the command. With `tls` = (certificate chain file, key file)
    it serves https, and readiness is a plain connect (the test CA is trusted only in Wine)."""

    def __init__(self, docroot, workdir, port, tls=None):
        self.docroot = Path(docroot)
        self.workdir = Path(workdir)
        self.port = port
        self.tls = tls
        self.proc = None

    def __enter__(self):
        self.workdir.mkdir(parents=True, exist_ok=True)
        (self.workdir / "logs").mkdir(exist_ok=True)
        self.proc = subprocess.Popen(self.command(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError(f"{self.command()[0]} did not start: "
                                   + self.proc.stderr.read().decode(errors="replace"))
            try:
                if self.tls:
                    socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                    return self
                urllib.request.urlopen(f"http://127.0.0.1:{self.port}/dedivur/update/pim", timeout=1).read()
                return self
            except urllib.error.HTTPError:
                return self
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("the server did not answer")

    def access_log(self):
        p = self.workdir / "logs" / "access.log"
        return p.read_text(errors="replace").splitlines() if p.exists() else []

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()


class Nginx(_StaticServer):
    """Serves `docroot` as a plain static root, or with `server_block` (an nginx server { }
    block, its root and listen lines already set) when one is given."""

    def __init__(self, docroot, workdir, port, server_block=None, tls=None):
        super().__init__(docroot, workdir, port, tls)
        listen = f"listen 127.0.0.1:{port};"
        if tls:
            listen = (f"listen 127.0.0.1:{port} ssl; ssl_certificate {tls[0]}; "
                      f"ssl_certificate_key {tls[1]};")
        self.server_block = server_block or f"""
    server {{
        {listen}
        root {docroot};
        location = /dedivur/update/pim {{ default_type application/octet-stream; }}
    }}"""

    def command(self):
        conf = self.workdir / "nginx.conf"
        conf.write_text(f"""
worker_processes 1;
user root;
daemon off;
pid {self.workdir}/nginx.pid;
error_log {self.workdir}/logs/error.log warn;
events {{ worker_connections 64; }}
http {{
    access_log {self.workdir}/logs/access.log;
    client_body_temp_path {self.workdir}/body;
    proxy_temp_path {self.workdir}/proxy;
    fastcgi_temp_path {self.workdir}/fastcgi;
    uwsgi_temp_path {self.workdir}/uwsgi;
    scgi_temp_path {self.workdir}/scgi;
    default_type application/octet-stream;
    sendfile on;
{self.server_block}
}}
""")
        return [NGINX, "-c", str(conf), "-p", str(self.workdir)]


class Lighttpd(_StaticServer):
    """Runs a lighttpd configuration (its document root and port already set), adding a
    127.0.0.1 address, logs and a pid file of its own."""

    def __init__(self, docroot, workdir, port, config):
        super().__init__(docroot, workdir, port)
        self.config = config

    def command(self):
        conf = self.workdir / "lighttpd.conf"
        conf.write_text(self.config + f"""
server.bind = "127.0.0.1"
server.errorlog = "{self.workdir}/logs/error.log"
server.pid-file = "{self.workdir}/lighttpd.pid"
server.modules += ( "mod_accesslog" )
accesslog.filename = "{self.workdir}/logs/access.log"
""")
        return [LIGHTTPD, "-D", "-f", str(conf)]
