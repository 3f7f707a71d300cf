"""The throwaway server manager itself, checked with the psql client."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

from tools.pgserver import PgServer, PgServerError, find_bindir

REPO_ROOT = Path(__file__).resolve().parent.parent


def psql(conninfo, sql, password=None):
    try:
        exe = find_bindir() / "psql"
    except PgServerError as e:
        pytest.skip(str(e))
    env = {k: v for k, v in os.environ.items() if not k.startswith("PG")}
    if password is not None:
        env["PGPASSWORD"] = password
    # -w: never prompt, so a missing password fails instead of hanging.
    return subprocess.run(
        [str(exe), "-X", "-A", "-t", "-w", "-v", "ON_ERROR_STOP=1", "-c", sql, conninfo],
        capture_output=True, text=True, env=env, timeout=60,
    )


def query(conninfo, sql, password=None):
    res = psql(conninfo, sql, password)
    assert res.returncode == 0, res.stderr
    return res.stdout.strip()


def alive(pid):
    # A zombie (exited, not yet reaped by pid 1 in a container) counts as dead.
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"


def test_dsn_reaches_a_server(dsn):
    assert query(dsn, "SELECT 6 * 7") == "42"


def test_tcp_and_unix_socket_reach_the_same_cluster(require_local_server):
    srv = require_local_server("unix socket")
    sql = "SELECT coalesce(host(inet_server_addr()), 'unix'), current_database(), current_user, " \
          "(SELECT system_identifier FROM pg_control_system())"
    tcp = query(srv.dsn, sql).split("|")
    unix = query(srv.unix_dsn, sql).split("|")
    assert tcp[:3] == ["127.0.0.1", "tolvar_test", "postgres"]
    assert unix[:3] == ["unix", "tolvar_test", "postgres"]
    assert tcp[3] == unix[3]
    assert (srv.socket_dir / f".s.PGSQL.{srv.port}").is_socket()


def test_settings_in_effect(require_local_server):
    srv = require_local_server("server settings")
    names = {
        "wal_level": "logical", "max_prepared_transactions": "10", "fsync": "off",
        "synchronous_commit": "off", "full_page_writes": "off", "max_wal_senders": "10",
        "max_replication_slots": "10", "max_connections": "100",
        "server_encoding": "UTF8", "lc_collate": "C",
    }
    in_list = ", ".join(f"'{n}'" for n in names)
    rows = query(srv.dsn, f"SELECT name, setting FROM pg_settings WHERE name IN ({in_list})")
    assert dict(line.split("|") for line in rows.splitlines()) == names


@pytest.mark.parametrize("method,hash_prefix", [("scram-sha-256", "SCRAM-SHA-256$"), ("md5", "md5")])
def test_password_roles(require_local_server, method, hash_prefix):
    srv = require_local_server("password roles")
    role, password = srv.password_roles[method]
    stored = query(srv.dsn, f"SELECT rolpassword FROM pg_authid WHERE rolname = '{role}'")
    assert stored.startswith(hash_prefix)
    for unix in (False, True):
        conninfo = srv.dsn_for(user=role, unix=unix)
        wrong = psql(conninfo, "SELECT 1", password="not-" + password)
        assert wrong.returncode != 0
        assert f'password authentication failed for user "{role}"' in wrong.stderr
        missing = psql(conninfo, "SELECT 1")
        assert missing.returncode != 0
        assert "no password supplied" in missing.stderr
        assert query(conninfo, "SELECT current_user", password=password) == role


def test_replication_connections_are_trusted(require_local_server):
    srv = require_local_server("replication")
    sysid = query(srv.dsn, "SELECT system_identifier FROM pg_control_system()")
    for mode in ("true", "database"):
        row = query(f"{srv.dsn} replication={mode}", "IDENTIFY_SYSTEM").split("|")
        assert row[0] == sysid


def test_second_server_is_independent_and_stop_removes_it(require_local_server):
    session_srv = require_local_server("starts a second server")
    with PgServer() as other:
        base, pid, port = other.base_dir, other.pid, other.port
        assert port != session_srv.port and base != session_srv.base_dir
        assert base.is_dir() and alive(pid)
        if os.geteuid() == 0:
            assert other.data_dir.stat().st_uid != 0
        assert query(other.dsn, "SELECT current_setting('port')") == str(port)
    assert other.base_dir is None
    assert not base.exists()
    assert not alive(pid)
    assert psql(f"host=127.0.0.1 port={port} dbname=postgres user=postgres connect_timeout=5", "SELECT 1").returncode != 0
    other.stop()  # repeated stop is harmless


def test_cli_server_outlives_the_cli(require_local_server, tmp_path):
    require_local_server("starts a server through the CLI")
    state = tmp_path / "state.json"
    env = dict(os.environ, TOLVAR_PGSERVER_STATE=str(state))

    def cli(*args):
        return subprocess.run([sys.executable, "-m", "tools.pgserver", *args], cwd=REPO_ROOT,
                              env=env, capture_output=True, text=True, timeout=120)

    started = cli("start")
    try:
        assert started.returncode == 0, started.stderr
        dsn = started.stdout.strip()
        base = Path(json.loads(state.read_text())["base_dir"])
        assert query(dsn, "SELECT current_database()") == "tolvar_test"
        assert cli("dsn").stdout.strip() == dsn
        assert cli("dsn", "--unix").stdout.strip() == f"host={base} port={dsn.split('port=')[1]}"
        assert cli("status").returncode == 0
    finally:
        stopped = cli("stop")
    assert stopped.returncode == 0, stopped.stderr
    assert not state.exists() and not base.exists()
    assert cli("status").returncode == 3
    assert cli("dsn").returncode == 1


def test_missing_binaries_give_a_clear_error(tmp_path):
    with pytest.raises(PgServerError, match=r"binaries not found.*postgresql-15"):
        PgServer(bindir=str(tmp_path))
