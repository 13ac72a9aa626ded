#!/usr/bin/python3
"""A PostgreSQL 15 server of the tests' own, in a scratch directory, reached by its Unix socket there.

    postgres.py start DIR    initdb (the first time) and start
    postgres.py stop DIR

As a module: Server(DIR).start(), .stop(), .address(name), .create_database(), .drop_database(name),
.sql(name, text). PostgreSQL refuses to run as root: as root the server runs as the "postgres" system
user that the package creates, in a directory it owns. The tests connect as its superuser "postgres",
trusted on the socket; nothing listens on TCP.
"""
import os
import secrets
import shutil
import subprocess
import sys
from pathlib import Path

BIN = Path("/usr/lib/postgresql/15/bin")


class Server:
    def __init__(self, directory):
        self.dir = Path(directory).resolve()
        self.data = self.dir / "data"

    def _as_owner(self, *command):
        runner = ["runuser", "-u", "postgres", "--"] if os.geteuid() == 0 else []
        return subprocess.run(runner + [str(c) for c in command], capture_output=True, text=True, timeout=120)

    def start(self):
        self.dir.mkdir(parents=True, exist_ok=True)
        if os.geteuid() == 0:
            shutil.chown(self.dir, "postgres", "postgres")
        if not (self.data / "PG_VERSION").exists():
            done = self._as_owner(BIN / "initdb", "-D", self.data, "-U", "postgres", "--auth=trust",
                                  "-E", "UTF8", "--locale=C")
            if done.returncode != 0:
                raise RuntimeError("initdb failed: " + done.stdout + done.stderr)
        done = self._as_owner(BIN / "pg_ctl", "-D", self.data, "-l", self.dir / "server.log", "-w", "-t", "60",
                              "-o", f"-k {self.dir} -c listen_addresses='' -c max_connections=200", "start")
        if done.returncode != 0:
            raise RuntimeError("PostgreSQL did not start: " + done.stdout + done.stderr + self.log())
        return self

    def stop(self, mode="fast"):
        done = self._as_owner(BIN / "pg_ctl", "-D", self.data, "-m", mode, "-w", "stop")
        return done.returncode == 0

    def log(self):
        path = self.dir / "server.log"
        return path.read_text(errors="replace") if path.exists() else ""

    def address(self, database):
        return f"postgresql://postgres@/{database}?host={self.dir}"

    def sql(self, database, text):
        """Runs SQL with psql and returns its output, rows as tab-separated lines."""
        done = subprocess.run([BIN / "psql", "-X", "-q", "-A", "-t", "-F", "\t", "-v", "ON_ERROR_STOP=1",
                               "-d", self.address(database), "-c", text], capture_output=True, text=True, timeout=60)
        if done.returncode != 0:
            raise RuntimeError(f"psql failed on {text!r}: {done.stderr}")
        return done.stdout

    def create_database(self):
        """A new, empty database of its own; its name."""
        name = "t_" + secrets.token_hex(6)
        self.sql("postgres", f"CREATE DATABASE {name}")
        return name

    def drop_database(self, name):
        self.sql("postgres", f"DROP DATABASE IF EXISTS {name} WITH (FORCE)")


if __name__ == "__main__":
    if len(sys.argv) != 3 or sys.argv[1] not in ("start", "stop"):
        sys.exit("usage: postgres.py start|stop DIR")
    server = Server(sys.argv[2])
    if sys.argv[1] == "start":
        server.stop("immediate")  # one left over from a run that was cut short
        shutil.rmtree(server.data, ignore_errors=True)  # every run starts from an empty server
        server.start()
        print("PostgreSQL at", server.dir)
    else:
        sys.exit(0 if server.stop() else 1)
