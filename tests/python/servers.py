"""Throwaway database servers for the Python tests: a plain redis-server, a
redis-server over TLS with certificates made here, and a PostgreSQL cluster
made with initdb (as the `postgres` user when run as root). Each listens on
127.0.0.1 on a free port and is removed with its folder when stopped."""
import os
import pwd
import shutil
import signal
import socket
import subprocess
import tempfile
import time

PG_BIN = "/usr/lib/postgresql/15/bin"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _accepts(port):
    try:
        with socket.create_connection(("127.0.0.1", port), timeout=0.2):
            return True
    except OSError:
        return False


def make_certificates(folder):
    """A test CA, a server certificate for 127.0.0.1/localhost signed by it,
    a client certificate, and a second CA that signed nothing."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]

    def run(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True, timeout=30)

    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
        "-subj", "/CN=nivora-test-ca")
    run("req", "-x509", *key, "-keyout", "other_ca.key", "-out", "other_ca.crt", "-days", "2",
        "-subj", "/CN=nivora-other-ca")
    with open(os.path.join(folder, "server.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n")
    run("req", *key, "-keyout", "server.key", "-out", "server.csr", "-subj", "/CN=localhost")
    run("x509", "-req", "-in", "server.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-extfile", "server.ext", "-out", "server.crt")
    run("req", *key, "-keyout", "client.key", "-out", "client.csr", "-subj", "/CN=nivora-client")
    run("x509", "-req", "-in", "client.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
        "-CAcreateserial", "-days", "2", "-out", "client.crt")
    return {name: os.path.join(folder, name + ".crt") for name in ("ca", "other_ca", "server", "client")} | {
        "server_key": os.path.join(folder, "server.key"),
        "client_key": os.path.join(folder, "client.key"),
    }


class RedisServer:
    """redis-server on a free port; `tls=True` serves TLS only, with
    certificates from `make_certificates` (clients need not present one).
    `extra` arguments come last, so they may override these."""

    def __init__(self, tls=False, extra=()):
        self.folder = tempfile.mkdtemp(prefix="nivora_redis_")
        self.tls = tls
        self.certs = make_certificates(self.folder) if tls else None
        self.extra = list(extra)
        self.proc = None
        self.port = None
        self.start()

    def start(self, port=None):
        """Starts the server (again, on the same port when `port` is given)."""
        for _ in range(5):
            self.port = port or free_port()
            args = ["redis-server", "--bind", "127.0.0.1", "--daemonize", "no", "--save", "",
                    "--dir", self.folder, "--logfile", os.path.join(self.folder, "redis.log")]
            if self.tls:
                args += ["--port", "0", "--tls-port", str(self.port),
                         "--tls-cert-file", self.certs["server"],
                         "--tls-key-file", self.certs["server_key"],
                         "--tls-ca-cert-file", self.certs["ca"], "--tls-auth-clients", "no"]
            else:
                args += ["--port", str(self.port)]
            args += self.extra
            self.proc = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            deadline = time.monotonic() + 10
            while time.monotonic() < deadline:
                if self.proc.poll() is not None:
                    break  # the port was taken meanwhile
                if _accepts(self.port):
                    return
                time.sleep(0.02)
            self.stop_process()
        raise RuntimeError("redis-server did not start; see " + self.folder)

    def connection_string(self, db=0, **extra):
        parts = [f"host:127.0.0.1", f"port:{self.port}", f"db:{db}"]
        if self.tls:
            parts += ["ssl:true", f"ca_cert:{self.certs['ca']}"]
        parts += [f"{k}:{v}" for k, v in extra.items()]
        return ",".join(parts)

    def stop_process(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self.proc = None

    def stop(self):
        self.stop_process()
        shutil.rmtree(self.folder, ignore_errors=True)


class PostgresServer:
    """A PostgreSQL cluster in a fresh folder under /tmp, on a free port,
    trusting local connections as user `postgres`."""

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="nivora_pg_", dir="/tmp")
        self.port = None
        self._as_postgres = os.geteuid() == 0
        if self._as_postgres:
            pw = pwd.getpwnam("postgres")
            os.chown(self.folder, pw.pw_uid, pw.pw_gid)
        self.data = os.path.join(self.folder, "data")
        self._tool(["initdb", "-D", self.data, "-U", "postgres", "--auth=trust", "-E", "UTF8",
                    "--no-sync", "--no-instructions"])
        self.start()

    def _tool(self, args, check=True):
        def demote():
            pw = pwd.getpwnam("postgres")
            os.setgid(pw.pw_gid)
            os.setuid(pw.pw_uid)
        cmd = [os.path.join(PG_BIN, args[0]), *args[1:]]
        return subprocess.run(cmd, capture_output=True, text=True, timeout=120, check=check,
                              preexec_fn=demote if self._as_postgres else None, cwd=self.folder)

    def start(self, port=None):
        for _ in range(5):
            self.port = port or free_port()
            options = (f"-p {self.port} -c listen_addresses=127.0.0.1 -k {self.folder} "
                       "-c fsync=off -c synchronous_commit=off -c full_page_writes=off")
            done = self._tool(["pg_ctl", "-D", self.data, "-l", os.path.join(self.folder, "server.log"),
                               "-w", "-t", "60", "-o", options, "start"], check=False)
            if done.returncode == 0:
                return
        raise RuntimeError("pg_ctl start failed: " + done.stdout + done.stderr)

    @property
    def pid(self):
        with open(os.path.join(self.data, "postmaster.pid")) as f:
            return int(f.readline())

    def connection_string(self, database="postgres", **extra):
        text = f"host=127.0.0.1 port={self.port} user=postgres dbname={database}"
        return " ".join([text] + [f"{k}={v}" for k, v in extra.items()])

    def sql(self, statement):
        """Runs one statement with psql; returns its output."""
        return subprocess.run(["psql", "-h", "127.0.0.1", "-p", str(self.port), "-U", "postgres",
                               "-d", "postgres", "-Atc", statement], capture_output=True,
                              text=True, timeout=60, check=True).stdout

    def stop_process(self):
        """Shuts the server down (sessions are ended); start() brings it back."""
        self._tool(["pg_ctl", "-D", self.data, "-m", "fast", "-w", "-t", "60", "stop"])

    def stop(self):
        try:
            os.kill(self.pid, signal.SIGINT)  # fast shutdown: sessions are ended
            deadline = time.monotonic() + 30
            while time.monotonic() < deadline and os.path.exists(os.path.join(self.data, "postmaster.pid")):
                time.sleep(0.05)
        except (OSError, ValueError):
            pass
        shutil.rmtree(self.folder, ignore_errors=True)
