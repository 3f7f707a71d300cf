"""Throwaway PostgreSQL cluster for tests and demos.

Usage from the command line (run from the repository root)::

    python -m tools.pgserver start    # prints the TCP DSN, server keeps running
    python -m tools.pgserver dsn [--unix]
    python -m tools.pgserver status
    python -m tools.pgserver stop

Usage from Python::

    with PgServer() as srv:
        print(srv.dsn, srv.unix_dsn)

The cluster lives in a fresh temporary directory that ``stop()`` deletes.
When running as root, the server programs run as the ``postgres`` system
user because PostgreSQL refuses to run as root.
"""

from __future__ import annotations

import argparse
import atexit
import glob
import json
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Optional

REPO_ROOT = Path(__file__).resolve().parent.parent
DEFAULT_STATE = REPO_ROOT / ".pgserver" / "state.json"
PREFERRED_MAJOR = "15"
REQUIRED_PROGRAMS = ("initdb", "pg_ctl", "postgres", "psql")
INSTALL_HINT = (
    "install the PostgreSQL server packages (Debian/Ubuntu: "
    "'apt-get install postgresql-15 libpq-dev'), or set TOLVAR_PG_BINDIR "
    "to a directory containing initdb, pg_ctl, postgres and psql"
)

SERVER_SETTINGS = {
    "listen_addresses": "127.0.0.1",
    "max_connections": "100",
    "fsync": "off",
    "synchronous_commit": "off",
    "full_page_writes": "off",
    "wal_level": "logical",
    "max_wal_senders": "10",
    "max_replication_slots": "10",
    "max_prepared_transactions": "10",
    "logging_collector": "off",
}

# Unix socket paths are limited to ~107 bytes; stay well below.
_MAX_SOCKET_DIR = 80


class PgServerError(RuntimeError):
    """The throwaway server could not be found, started or stopped."""


def _conf_quote(value: str) -> str:
    return "'" + value.replace("\\", "\\\\").replace("'", "''") + "'"


def _dsn_quote(value: str) -> str:
    if value and not re.search(r"[\s'\\]", value):
        return value
    return "'" + value.replace("\\", "\\\\").replace("'", "\\'") + "'"


def _clean_env() -> dict:
    # Inherited PG* variables (PGHOST, PGPASSWORD, PGDATA...) would silently
    # redirect or authenticate our own psql/pg_ctl calls.
    env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
    env["LC_ALL"] = "C"
    return env


def _version_key(path: str):
    name = Path(path).parent.name
    return tuple(int(p) for p in re.findall(r"\d+", name)) or (0,)


def _has_programs(bindir: Path) -> bool:
    return all(os.access(bindir / p, os.X_OK) for p in REQUIRED_PROGRAMS)


def find_bindir(explicit: Optional[str] = None) -> Path:
    """Locate a directory holding initdb, pg_ctl, postgres and psql."""
    tried = []

    def candidates():
        if explicit:
            yield Path(explicit)
            return
        env = os.environ.get("TOLVAR_PG_BINDIR")
        if env:
            yield Path(env)
            return
        yield Path(f"/usr/lib/postgresql/{PREFERRED_MAJOR}/bin")
        versioned = glob.glob("/usr/lib/postgresql/*/bin")
        for d in sorted(versioned, key=_version_key, reverse=True):
            yield Path(d)
        pg_config = shutil.which("pg_config")
        if pg_config:
            try:
                out = subprocess.run(
                    [pg_config, "--bindir"], capture_output=True, text=True,
                    timeout=10, check=True,
                ).stdout.strip()
                if out:
                    yield Path(out)
            except (OSError, subprocess.SubprocessError):
                pass
        initdb = shutil.which("initdb")
        if initdb:
            yield Path(initdb).parent

    for cand in candidates():
        tried.append(str(cand))
        if _has_programs(cand):
            return cand
    raise PgServerError(
        "PostgreSQL server binaries not found (looked in: "
        + (", ".join(dict.fromkeys(tried)) or "nothing")
        + "); " + INSTALL_HINT
    )


def _free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _state_path(path=None) -> Path:
    if path:
        return Path(path)
    env = os.environ.get("TOLVAR_PGSERVER_STATE")
    return Path(env) if env else DEFAULT_STATE


class PgServer:
    """A disposable PostgreSQL cluster on 127.0.0.1 and a private Unix socket."""

    external = False
    host = "127.0.0.1"
    superuser = "postgres"
    dbname = "tolvar_test"
    scram_user, scram_password = "tolvar_scram", "scram-pass"
    md5_user, md5_password = "tolvar_md5", "md5-pass"
    # auth method -> (role, password)
    password_roles = {
        "scram-sha-256": (scram_user, scram_password),
        "md5": (md5_user, md5_password),
    }

    def __init__(self, bindir: Optional[str] = None, tmp_root: Optional[str] = None):
        self.bindir = find_bindir(bindir)
        self._tmp_root = tmp_root
        self.base_dir: Optional[Path] = None
        self.port: Optional[int] = None
        self._atexit_registered = False
        self._run_as = self._server_account()

    # ----------------------------------------------------------- properties
    @property
    def data_dir(self) -> Optional[Path]:
        return self.base_dir / "data" if self.base_dir else None

    @property
    def socket_dir(self) -> Optional[Path]:
        return self.base_dir

    @property
    def log_file(self) -> Optional[Path]:
        return self.base_dir / "postgres.log" if self.base_dir else None

    @property
    def psql_path(self) -> Path:
        return self.bindir / "psql"

    def dsn_for(self, user=None, password=None, dbname=None, unix=False, **extra) -> str:
        if self.port is None:
            raise PgServerError("server not started")
        parts = {
            "host": str(self.socket_dir) if unix else self.host,
            "port": str(self.port),
            "dbname": dbname or self.dbname,
            "user": user or self.superuser,
        }
        if password is not None:
            parts["password"] = password
        parts.update({k: str(v) for k, v in extra.items()})
        return " ".join(f"{k}={_dsn_quote(v)}" for k, v in parts.items())

    @property
    def dsn(self) -> str:
        return self.dsn_for()

    @property
    def unix_dsn(self) -> str:
        return self.dsn_for(unix=True)

    @property
    def pid(self) -> Optional[int]:
        try:
            first = (self.data_dir / "postmaster.pid").read_text().split("\n", 1)[0]
            return int(first)
        except (OSError, ValueError, TypeError):
            return None

    @property
    def running(self) -> bool:
        if not self.data_dir or not self.data_dir.is_dir():
            return False
        res = self._run([self.bindir / "pg_ctl", "-D", self.data_dir, "status"], check=False)
        return res.returncode == 0

    # ------------------------------------------------------------ lifecycle
    def start(self, register_atexit: bool = True) -> "PgServer":
        if self.base_dir is not None:
            raise PgServerError(f"already started in {self.base_dir}")
        self.base_dir = self._make_base_dir()
        if register_atexit and not self._atexit_registered:
            # Safety net for callers that forget stop() or die on an exception.
            atexit.register(self.stop)
            self._atexit_registered = True
        try:
            self._initdb()
            self._write_config()
            self._start_postmaster()
            self._create_objects()
        except BaseException:
            self.stop()
            raise
        return self

    def stop(self) -> None:
        """Stop immediately and delete the cluster directory; safe to repeat."""
        if self.base_dir is None:
            return
        try:
            if self.data_dir.is_dir() and (self.data_dir / "postmaster.pid").exists():
                pid = self.pid
                res = self._run(
                    [self.bindir / "pg_ctl", "-D", self.data_dir, "-m", "immediate",
                     "-w", "-t", "30", "stop"],
                    check=False,
                )
                if res.returncode != 0 and pid:
                    self._kill(pid)
        finally:
            shutil.rmtree(self.base_dir, ignore_errors=True)
            self.base_dir = None
            self.port = None

    def __enter__(self) -> "PgServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    # ---------------------------------------------------------- persistence
    def to_state(self) -> dict:
        return {
            "base_dir": str(self.base_dir),
            "port": self.port,
            "bindir": str(self.bindir),
            "dsn": self.dsn,
            "unix_dsn": self.unix_dsn,
        }

    @classmethod
    def from_state(cls, state: dict) -> "PgServer":
        srv = cls(bindir=state["bindir"])
        srv.base_dir = Path(state["base_dir"])
        srv.port = int(state["port"])
        return srv

    # ------------------------------------------------------------ internals
    def _server_account(self):
        if os.geteuid() != 0:
            return None
        try:
            return pwd.getpwnam("postgres")
        except KeyError:
            raise PgServerError(
                "running as root, but PostgreSQL refuses to run as root and no "
                "'postgres' system user exists; install postgresql-15 (creates it) "
                "or run as an unprivileged user"
            ) from None

    def _make_base_dir(self) -> Path:
        root = self._tmp_root or os.environ.get("TOLVAR_PGSERVER_TMPDIR") or tempfile.gettempdir()
        if len(str(root)) > _MAX_SOCKET_DIR - 20 or (
            self._run_as and not self._reachable_by_server(Path(root))
        ):
            root = "/tmp"
        base = Path(tempfile.mkdtemp(prefix="tolvar-pg-", dir=root))
        # World-traversable so clients other than the server account can reach the socket.
        base.chmod(0o755)
        if self._run_as:
            os.chown(base, self._run_as.pw_uid, self._run_as.pw_gid)
        return base

    @staticmethod
    def _reachable_by_server(path: Path) -> bool:
        # The server account needs search permission on every ancestor.
        for p in [path, *path.parents]:
            try:
                if not p.stat().st_mode & 0o001:
                    return False
            except OSError:
                return False
        return True

    def _run(self, argv, *, server: bool = True, input=None, check=True,
             timeout=120, extra_env=None, new_session=False):
        kwargs = {}
        env = _clean_env()
        if server and self._run_as:
            kwargs.update(user=self._run_as.pw_uid, group=self._run_as.pw_gid, extra_groups=[])
            env.update(HOME=self._run_as.pw_dir, USER="postgres", LOGNAME="postgres")
        if extra_env:
            env.update(extra_env)
        cwd = self.base_dir if self.base_dir and self.base_dir.is_dir() else "/"
        try:
            res = subprocess.run(
                [str(a) for a in argv], cwd=cwd, env=env, input=input,
                capture_output=True, text=True, timeout=timeout,
                start_new_session=new_session, **kwargs,
            )
        except subprocess.TimeoutExpired as e:
            raise PgServerError(f"{Path(str(argv[0])).name} timed out after {timeout}s") from e
        if check and res.returncode != 0:
            raise PgServerError(
                f"{Path(str(argv[0])).name} failed (exit {res.returncode}):\n"
                f"{res.stdout}{res.stderr}".rstrip()
            )
        return res

    def _initdb(self) -> None:
        self._run([
            self.bindir / "initdb", "-D", self.data_dir, "-E", "UTF8", "--locale=C",
            "-U", self.superuser, "--auth=trust", "--no-sync", "--no-instructions",
        ])

    def _write_config(self) -> None:
        settings = dict(SERVER_SETTINGS, unix_socket_directories=str(self.socket_dir))
        lines = ["", "# throwaway test cluster"]
        lines += [f"{k} = {_conf_quote(v)}" for k, v in settings.items()]
        # Appending/truncating keeps the files owned by the server account.
        with open(self.data_dir / "postgresql.conf", "a") as f:
            f.write("\n".join(lines) + "\n")
        hba = ["# TYPE  DATABASE     USER  ADDRESS  METHOD"]
        # Password roles come first: hba matching stops at the first hit.
        for method, (role, _pw) in self.password_roles.items():
            for db in ("all", "replication"):
                hba.append(f"local  {db}  {role}  {method}")
                for addr in ("127.0.0.1/32", "::1/128"):
                    hba.append(f"host  {db}  {role}  {addr}  {method}")
        for db in ("all", "replication"):
            hba.append(f"local  {db}  all  trust")
            for addr in ("127.0.0.1/32", "::1/128"):
                hba.append(f"host  {db}  all  {addr}  trust")
        with open(self.data_dir / "pg_hba.conf", "w") as f:
            f.write("\n".join(hba) + "\n")

    def _start_postmaster(self) -> None:
        last_error = None
        for _attempt in range(5):
            self.port = _free_port()
            res = self._run(
                [self.bindir / "pg_ctl", "-D", self.data_dir, "-l", self.log_file,
                 "-o", f"-p {self.port}", "-w", "-t", "60", "start"],
                check=False,
                # Own session: a Ctrl-C aimed at the CLI or make must not reach the server.
                new_session=True,
            )
            if res.returncode == 0:
                return
            log = self._log_tail()
            last_error = f"pg_ctl start failed (exit {res.returncode}):\n{res.stdout}{res.stderr}\n{log}"
            # Another process may have grabbed the port between probe and bind.
            if "already in use" not in log and "could not bind" not in log:
                break
        self.port = None
        raise PgServerError(last_error.rstrip())

    def _log_tail(self, lines: int = 30) -> str:
        try:
            text = self.log_file.read_text(errors="replace").splitlines()
        except OSError:
            return ""
        return "server log:\n" + "\n".join(text[-lines:])

    def _create_objects(self) -> None:
        # One statement per line: psql then runs each outside a transaction
        # block, which CREATE DATABASE requires.
        sql = "\n".join([
            "SET password_encryption = 'scram-sha-256';",
            f"CREATE ROLE {self.scram_user} LOGIN PASSWORD '{self.scram_password}';",
            "SET password_encryption = 'md5';",
            f"CREATE ROLE {self.md5_user} LOGIN PASSWORD '{self.md5_password}';",
            f"CREATE DATABASE {self.dbname} OWNER {self.superuser};",
            "SELECT pg_reload_conf();",
        ]) + "\n"
        self._run(
            [self.psql_path, "-X", "-q", "-v", "ON_ERROR_STOP=1", "-w", "-f", "-",
             self.dsn_for(dbname="postgres", unix=True)],
            server=False, input=sql,
        )

    def _kill(self, pid: int) -> None:
        # Only a postmaster of this cluster: the postmaster chdirs into its data
        # directory, and a stale pid file may name an unrelated, reused pid.
        try:
            if Path(os.readlink(f"/proc/{pid}/cwd")) != self.data_dir:
                return
        except OSError:
            return
        try:
            os.kill(pid, signal.SIGQUIT)
            for _ in range(100):
                os.kill(pid, 0)
                time.sleep(0.05)
            os.kill(pid, signal.SIGKILL)
        except ProcessLookupError:
            pass


# ------------------------------------------------------------------ CLI
def _load(state_file: Path) -> Optional[PgServer]:
    try:
        state = json.loads(state_file.read_text())
        return PgServer.from_state(state)
    except FileNotFoundError:
        return None
    except (ValueError, KeyError, TypeError) as e:
        raise PgServerError(f"unreadable state file {state_file}: {e}") from None


def _forget(state_file: Path) -> None:
    try:
        state_file.unlink()
    except FileNotFoundError:
        pass


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(prog="python -m tools.pgserver", description=__doc__.split("\n\n")[0])
    parser.add_argument("--state", help="state file (default: $TOLVAR_PGSERVER_STATE or .pgserver/state.json)")
    sub = parser.add_subparsers(dest="cmd", required=True)
    sub.add_parser("start", help="start a server (or report the running one) and print its DSN")
    sub.add_parser("stop", help="stop the server and delete its directory")
    p_dsn = sub.add_parser("dsn", help="print the DSN of the running server")
    p_dsn.add_argument("--unix", action="store_true", help="print the Unix-socket DSN")
    sub.add_parser("status", help="exit 0 if running, 3 if not")
    args = parser.parse_args(argv)
    state_file = _state_path(args.state)

    try:
        srv = _load(state_file)
        if args.cmd == "start":
            if srv is not None and srv.running:
                print(f"pgserver: already running ({srv.base_dir})", file=sys.stderr)
                print(srv.dsn)
                return 0
            if srv is not None:
                srv.stop()  # stale: clean whatever is left of it
                _forget(state_file)
            srv = PgServer().start(register_atexit=False)
            state_file.parent.mkdir(parents=True, exist_ok=True)
            state_file.write_text(json.dumps(srv.to_state(), indent=2) + "\n")
            print(f"pgserver: started in {srv.base_dir}", file=sys.stderr)
            print(srv.dsn)
            return 0
        if args.cmd == "stop":
            if srv is None:
                print("pgserver: nothing to stop", file=sys.stderr)
                return 0
            srv.stop()
            _forget(state_file)
            print("pgserver: stopped", file=sys.stderr)
            return 0
        if args.cmd == "dsn":
            if srv is None or not srv.running:
                print("pgserver: no running server (use 'start')", file=sys.stderr)
                return 1
            print(srv.unix_dsn if args.unix else srv.dsn)
            return 0
        if args.cmd == "status":
            if srv is not None and srv.running:
                print(f"running: {srv.dsn}")
                return 0
            print("stale state: server is gone" if srv else "not running")
            return 3
    except PgServerError as e:
        print(f"pgserver: error: {e}", file=sys.stderr)
        return 1
    return 2


if __name__ == "__main__":
    sys.exit(main())
