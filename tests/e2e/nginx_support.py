"""nginx from Debian's packages as a publisher would run it: a release folder and a catalogue
served as static files on 127.0.0.1, started and stopped by the test."""
import shutil
import socket
import subprocess
import time
import urllib.request
from pathlib import Path

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"


class Nginx:
    """Serves `docroot` on 127.0.0.1:port with a configuration of its own in `workdir`; over TLS
    with `tls` = (certificate chain file, key file)."""

    def __init__(self, docroot, workdir, port, tls=None):
        self.docroot = Path(docroot)
        self.workdir = Path(workdir)
        self.port = port
        self.tls = tls
        self.proc = None

    def __enter__(self):
        self.workdir.mkdir(parents=True, exist_ok=True)
        (self.workdir / "logs").mkdir(exist_ok=True)
        conf = self.workdir / "nginx.conf"
        listen = f"listen 127.0.0.1:{self.port};"
        if self.tls:
            listen = (f"listen 127.0.0.1:{self.port} ssl; ssl_certificate {self.tls[0]}; "
                      f"ssl_certificate_key {self.tls[1]};")
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
    server {{
        {listen}
        root {self.docroot};
        location = /dedivur/update/pim {{ default_type application/octet-stream; }}
    }}
}}
""")
        self.proc = subprocess.Popen([NGINX, "-c", str(conf), "-p", str(self.workdir)],
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        deadline = time.time() + 15
        while time.time() < deadline:
            if self.proc.poll() is not None:
                raise RuntimeError("nginx did not start: " + self.proc.stderr.read().decode(errors="replace"))
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
        raise RuntimeError("nginx did not answer")

    def access_log(self):
        p = self.workdir / "logs" / "access.log"
        return p.read_text().splitlines() if p.exists() else []

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
