"""Transactions, the with block and session characteristics."""

import threading
import time

import pytest

import tolvar2
from tolvar2 import errors, extensions


def _show(conn, name):
    cur = conn.cursor()
    cur.execute(f"SHOW {name}")
    return cur.fetchone()[0]




def test_with_block_commits_and_rolls_back(conn, svcconn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t_with (v int)")
    conn.commit()
    try:
        with conn:
            cur.execute("INSERT INTO t_with VALUES (1)")
        s = svcconn.cursor()
        s.execute("SELECT v FROM t_with")
        assert s.fetchall() == [(1,)]
        svcconn.commit()
        with pytest.raises(ZeroDivisionError):
            with conn:
                cur.execute("INSERT INTO t_with VALUES (2)")
                1 / 0
        s.execute("SELECT v FROM t_with")
        assert s.fetchall() == [(1,)]
        svcconn.commit()
        assert conn.closed == 0
        with conn:
            with pytest.raises(tolvar2.ProgrammingError, match="re-entered recursively"):
                with conn:
                    pass
    finally:
        cur.execute("DROP TABLE t_with")
        conn.commit()


def test_with_block_opens_transaction_in_autocommit(conn):
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("SELECT 1")
    assert conn.info.transaction_status == extensions.TRANSACTION_STATUS_IDLE
    with conn:
        cur.execute("SELECT 1")
        assert conn.info.transaction_status == extensions.TRANSACTION_STATUS_INTRANS
    assert conn.info.transaction_status == extensions.TRANSACTION_STATUS_IDLE


def test_autocommit(conn, svcconn):
    assert conn.autocommit is False
    conn.autocommit = 1
    assert conn.autocommit is True
    cur = conn.cursor()
    cur.execute("CREATE TEMP TABLE t_ac (v int)")
    assert conn.status == extensions.STATUS_READY
    assert conn.get_transaction_status() == extensions.TRANSACTION_STATUS_IDLE
    conn.autocommit = False
    cur.execute("SELECT 1")
    assert conn.get_transaction_status() == extensions.TRANSACTION_STATUS_INTRANS
    with pytest.raises(tolvar2.ProgrammingError, match="set_session cannot be used inside a transaction"):
        conn.autocommit = True
    conn.rollback()
    with pytest.raises(TypeError):
        del conn.autocommit
    for attr in ("isolation_level", "readonly", "deferrable"):
        with pytest.raises(TypeError):
            delattr(conn, attr)


@pytest.mark.parametrize("value, stored, shown", [
    ("serializable", 3, "serializable"),
    ("Repeatable Read", 2, "repeatable read"),
    (1, 1, "read committed"),
    (4, 4, "read uncommitted"),
    ("Default", None, "read committed"),
    (None, None, "read committed"),
])
def test_isolation_level(conn, value, stored, shown):
    conn.isolation_level = value
    assert conn.isolation_level == stored
    assert _show(conn, "transaction_isolation") == shown
    conn.rollback()


@pytest.mark.parametrize("value, exc, msg", [
    (0, ValueError, "isolation_level must be between 1 and 4"),
    (5, ValueError, "isolation_level must be between 1 and 4"),
    ("chaos", ValueError, "bad value for isolation_level: 'chaos'"),
    (1.5, TypeError, "Expected bytes or unicode string"),
    (2**70, OverflowError, None),
])
def test_isolation_level_errors(conn, value, exc, msg):
    with pytest.raises(exc, match=msg):
        conn.isolation_level = value
    assert conn.isolation_level is None


@pytest.mark.parametrize("attr", ["readonly", "deferrable"])
def test_tristates(conn, attr):
    assert getattr(conn, attr) is None
    setattr(conn, attr, 1)
    assert getattr(conn, attr) is True
    setattr(conn, attr, [])
    assert getattr(conn, attr) is False
    setattr(conn, attr, "DEFAULT")
    assert getattr(conn, attr) is None
    with pytest.raises(ValueError, match="the only string accepted is 'default'; got yes"):
        setattr(conn, attr, "yes")
    assert getattr(conn, attr) is None


def test_begin_carries_characteristics(conn):
    conn.readonly = True
    conn.deferrable = True
    conn.isolation_level = "serializable"
    cur = conn.cursor()
    assert _show(conn, "transaction_read_only") == "on"
    assert _show(conn, "transaction_deferrable") == "on"
    assert _show(conn, "transaction_isolation") == "serializable"
    with pytest.raises(errors.ReadOnlySqlTransaction):
        cur.execute("CREATE TEMP TABLE t_ro (v int)")
    conn.rollback()
    conn.set_session(readonly=None)  # None leaves it as it is
    assert conn.readonly is True
    conn.set_session(readonly="default", deferrable=False, isolation_level=2)
    assert (conn.readonly, conn.deferrable, conn.isolation_level) == (None, False, 2)
    assert _show(conn, "transaction_read_only") == "off"
    assert _show(conn, "transaction_deferrable") == "off"
    conn.rollback()


def test_autocommit_sets_session_defaults(conn):
    conn.autocommit = True
    conn.isolation_level = 3
    conn.readonly = True
    assert _show(conn, "default_transaction_isolation") == "serializable"
    assert _show(conn, "default_transaction_read_only") == "on"
    conn.autocommit = False
    # Leaving autocommit restores the server defaults; BEGIN carries the values.
    assert _show(conn, "default_transaction_isolation") == "read committed"
    assert _show(conn, "default_transaction_read_only") == "off"
    assert _show(conn, "transaction_isolation") == "serializable"
    conn.rollback()


def test_set_session_errors(conn):
    with pytest.raises(ValueError):
        conn.set_session(isolation_level="bogus", readonly=True)
    assert conn.readonly is None  # the first failure changes nothing
    conn.cursor().execute("SELECT 1")
    with pytest.raises(tolvar2.ProgrammingError, match="set_session cannot be used inside a transaction"):
        conn.set_session(readonly=True)
    conn.rollback()
    conn.set_session(autocommit=True)
    assert conn.autocommit is True


def test_set_isolation_level(conn):
    conn.cursor().execute("SELECT 1")
    conn.set_isolation_level(0)  # rolls back, then autocommit
    assert conn.autocommit is True and conn.status == extensions.STATUS_READY
    conn.set_isolation_level(3)
    assert (conn.autocommit, conn.isolation_level) == (False, 3)
    conn.set_isolation_level("x")  # anything else counts as level 1
    assert conn.isolation_level == 1
    conn.set_isolation_level(None)
    assert conn.isolation_level is None
    for bad in (5, -1):
        with pytest.raises(ValueError, match="isolation level must be between 0 and 4"):
            conn.set_isolation_level(bad)


def test_client_encoding(conn):
    conn.set_client_encoding("utf8")  # same: nothing changes
    assert conn.encoding == "UTF8"
    conn.set_client_encoding("Latin-1")
    assert conn.encoding == "LATIN1"
    assert conn.get_parameter_status("client_encoding") == "LATIN1"
    cur = conn.cursor()
    cur.execute("SELECT 'caf\u00e9'")
    assert cur.fetchone() == ("caf\u00e9",)
    conn.set_client_encoding("WIN1252")
    assert conn.encoding == "WIN1252"
    cur.execute("SELECT '\u20ac'")
    assert cur.fetchone() == ("\u20ac",)
    with pytest.raises(tolvar2.OperationalError,
                       match="no Python encoding for PostgreSQL encoding 'KLINGON'"):
        conn.set_client_encoding("klingon")
    assert conn.encoding == "WIN1252"
    # The server knows EUC_TW, the table does not: refused before switching.
    with pytest.raises(tolvar2.OperationalError, match="'EUCTW'"):
        conn.set_client_encoding("EUC_TW")
    assert conn.get_parameter_status("client_encoding") == "WIN1252"
    cur.execute("SELECT '\u20ac'")
    assert cur.fetchone() == ("\u20ac",)
    conn.set_client_encoding("utf-8")
    assert conn.encoding == "UTF8"


def test_session_queries(conn, dsn):
    assert conn.get_parameter_status("server_version").startswith("15")
    assert conn.get_parameter_status("no_such") is None
    params = conn.get_dsn_parameters()
    assert params["dbname"] == extensions.parse_dsn(dsn)["dbname"]
    assert "password" not in params
    assert conn.get_backend_pid() == conn.info.backend_pid
    conn.close()
    assert conn.get_transaction_status() == extensions.TRANSACTION_STATUS_UNKNOWN
    for call in (conn.get_dsn_parameters, conn.get_backend_pid, conn.reset, conn.cancel):
        with pytest.raises(tolvar2.InterfaceError, match="connection already closed"):
            call()


def test_reset(conn):
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("SET application_name TO 'before-reset'")
    conn.autocommit = False
    cur.execute("SELECT 1")
    conn.reset()
    assert conn.autocommit is False
    assert conn.status == extensions.STATUS_READY
    assert _show(conn, "application_name") == ""
    assert _show(conn, "DateStyle").startswith("ISO")


def test_cancel_from_another_thread(conn, svcconn):
    cur = conn.cursor()
    pid = conn.get_backend_pid()
    result = {}

    def run():
        try:
            cur.execute("SELECT pg_sleep(10)")
        except Exception as e:  # examined below
            result["exc"] = e
        result["ended"] = time.monotonic()

    t = threading.Thread(target=run)
    t.start()
    # Cancel only once the server is really running the sleep.
    watch = svcconn.cursor()
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        watch.execute("SELECT wait_event FROM pg_stat_activity WHERE pid = %s", (pid,))
        row = watch.fetchone()
        svcconn.rollback()
        if row and row[0] == "PgSleep":
            break
    cancelled = time.monotonic()
    conn.cancel()
    t.join(5)
    assert not t.is_alive()
    assert isinstance(result["exc"], extensions.QueryCanceledError)
    assert isinstance(result["exc"], errors.QueryCanceled)
    # Interrupted at once, not after the ten seconds of sleep.
    assert result["ended"] - cancelled < 1
    conn.rollback()
    cur.execute("SELECT 1")
    assert cur.fetchone() == (1,)


def test_failed_statement_keeps_committed_work(conn, svcconn):
    cur = conn.cursor()
    cur.execute("CREATE TABLE t_keep (v int)")
    cur.execute("INSERT INTO t_keep VALUES (1)")
    conn.commit()
    try:
        cur.execute("INSERT INTO t_keep VALUES (2)")
        with pytest.raises(errors.DivisionByZero):
            cur.execute("SELECT 1/0")
        assert conn.get_transaction_status() == extensions.TRANSACTION_STATUS_INERROR
        with pytest.raises(errors.InFailedSqlTransaction):
            cur.execute("INSERT INTO t_keep VALUES (3)")
        conn.rollback()
        s = svcconn.cursor()
        s.execute("SELECT v FROM t_keep")
        assert s.fetchall() == [(1,)]
        svcconn.commit()
    finally:
        cur.execute("DROP TABLE t_keep")
        conn.commit()


def test_isolation_constants_drive_the_connection(conn):
    conn.set_isolation_level(extensions.ISOLATION_LEVEL_SERIALIZABLE)
    assert _show(conn, "transaction_isolation") == "serializable"
    conn.rollback()
    conn.set_isolation_level(extensions.ISOLATION_LEVEL_AUTOCOMMIT)
    assert conn.autocommit is True
    conn.isolation_level = extensions.ISOLATION_LEVEL_DEFAULT
    assert conn.isolation_level is None


@pytest.mark.parametrize("spelling, normalised", [
    ("utf-8", "UTF8"), ("UTF_8", "UTF8"), ("Utf8", "UTF8"),
    ("latin-1", "LATIN1"), ("iso_8859_5", "ISO88595"), ("win 1251", "WIN1251"),
])
def test_encoding_names_are_normalised(conn, spelling, normalised):
    conn.set_client_encoding("SQL_ASCII")
    conn.set_client_encoding(spelling)
    assert conn.encoding == normalised
    assert conn.get_parameter_status("client_encoding").replace("_", "") == normalised
