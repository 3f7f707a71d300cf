"""Connecting, the connection object, its session set-up and lifecycle."""

import gc
import os
import threading

import pytest

import tolvar2
from tolvar2 import _tolvar, errors, extensions
from tolvar2.extensions import parse_dsn


def test_connect_and_defaults(conn):
    assert conn.closed == 0
    assert conn.status == extensions.STATUS_READY
    assert conn.encoding == "UTF8"
    assert conn.protocol_version == 3
    assert conn.server_version >= 150000
    assert conn.async_ == 0 and getattr(conn, "async") == 0
    assert conn.notices == [] and conn.notifies == []
    assert conn.string_types == {} and conn.binary_types == {}
    assert conn.cursor_factory is None
    assert isinstance(conn.fileno(), int) and conn.fileno() > 2
    assert conn.isexecuting() is False
    assert "closed: 0" in repr(conn) and str(conn) == repr(conn)


def test_connect_keywords_and_alias(dsn):
    params = parse_dsn(dsn)
    dbname = params.pop("dbname")
    c = tolvar2.connect(database=dbname, **params)
    try:
        cur = c.cursor()
        cur.execute("SELECT current_database()")
        assert cur.fetchone() == (dbname,)
    finally:
        c.close()
    c = tolvar2.connect(dsn, application_name="tolvar-kw")
    try:
        cur = c.cursor()
        cur.execute("SHOW application_name")
        assert cur.fetchone() == ("tolvar-kw",)
    finally:
        c.close()


def test_connect_without_arguments_uses_libpq_environment(dsn, monkeypatch):
    params = parse_dsn(dsn)
    env = {"host": "PGHOST", "port": "PGPORT", "dbname": "PGDATABASE", "user": "PGUSER"}
    for key, var in env.items():
        if key in params:
            monkeypatch.setenv(var, params[key])
    c = tolvar2.connect()
    try:
        cur = c.cursor()
        cur.execute("SELECT current_database()")
        assert cur.fetchone() == (params["dbname"],)
    finally:
        c.close()


def test_dsn_password_masked(dsn):
    c = tolvar2.connect(dsn)
    try:
        assert c.dsn == dsn  # no password: stored as given, character for character
    finally:
        c.close()
    c = tolvar2.connect(dsn + " password=sekrit")
    try:
        assert "sekrit" not in c.dsn
        assert parse_dsn(c.dsn)["password"] == "xxx"
        assert c.info.password == "sekrit"
        assert "password" not in c.info.dsn_parameters
    finally:
        c.close()


def test_password_roles(require_local_server, dsn):
    srv = require_local_server("password roles")
    params = parse_dsn(dsn)
    for _method, (role, password) in srv.password_roles.items():
        kw = dict(params, user=role)
        with pytest.raises(tolvar2.OperationalError):
            tolvar2.connect(**dict(kw, password="wrong"))
        c = tolvar2.connect(**dict(kw, password=password))
        try:
            assert c.info.used_password is True
            assert c.info.user == role
            cur = c.cursor()
            cur.execute("SELECT current_user")
            assert cur.fetchone() == (role,)
        finally:
            c.close()


@pytest.mark.parametrize("bad", [
    "host=127.0.0.1 port=1 connect_timeout=2",
    "dbname=nosuchdb_tolvar",
])
def test_refused_connection(dsn, bad):
    target = bad if bad.startswith("host") else dsn + " " + bad
    with pytest.raises(tolvar2.OperationalError) as exc:
        tolvar2.connect(target)
    assert str(exc.value)


def test_failed_connection_object_state():
    c = _tolvar.connection.__new__(_tolvar.connection)
    assert "<unintialized>" in repr(c)
    with pytest.raises(tolvar2.OperationalError):
        c.__init__("host=127.0.0.1 port=1 connect_timeout=2")
    assert c.closed == 2
    c.close()
    assert c.closed == 1


@pytest.mark.parametrize("bad, exc", [
    (42, TypeError),
    ("dbname='unterminated", tolvar2.ProgrammingError),
    ("nosuchoption=1", tolvar2.ProgrammingError),
])
def test_bad_connection_strings(bad, exc):
    with pytest.raises(exc):
        tolvar2.connect(bad)


def test_bad_argument_types_to_core(dsn):
    with pytest.raises(TypeError):
        _tolvar._connect(42)
    with pytest.raises(TypeError):
        _tolvar.connection(b"x", async_="x")
    with pytest.raises(tolvar2.InternalError, match="the connection string is not valid"):
        _tolvar._connect("dbname='x")


def test_connect_factory_arguments(dsn):
    seen = []

    def factory(*args):
        seen.append(args)
        return "anything"

    assert _tolvar._connect(dsn, connection_factory=factory) == "anything"
    assert _tolvar._connect(dsn, factory, async_=1) == "anything"
    assert seen == [(dsn,), (dsn, 1)]

    class MyConn(_tolvar.connection):
        pass

    c = tolvar2.connect(dsn, connection_factory=MyConn)
    try:
        assert type(c) is MyConn
    finally:
        c.close()


def test_close_twice_and_closed_errors(conn):
    assert conn.close() is None
    assert conn.close() is None
    assert conn.closed == 1
    assert conn.pgconn_ptr is None
    for call in (conn.cursor, conn.fileno, conn.get_native_connection, conn.commit, conn.rollback):
        with pytest.raises(tolvar2.InterfaceError, match="connection already closed"):
            call()
    with pytest.raises(tolvar2.InterfaceError, match="connection already closed"):
        conn.info.dsn_parameters


def test_exception_accessors(conn):
    for name in ("Error", "Warning", "InterfaceError", "DatabaseError", "InternalError",
                 "OperationalError", "ProgrammingError", "IntegrityError", "DataError",
                 "NotSupportedError"):
        assert getattr(conn, name) is getattr(_tolvar, name)


def test_native_connection_and_pointer(conn):
    cap = conn.get_native_connection()
    assert type(cap).__name__ == "PyCapsule"
    assert "tolvar2.connection.native_connection" in repr(cap)
    assert isinstance(conn.pgconn_ptr, int) and conn.pgconn_ptr != 0


def test_cursor_factories(conn):
    class MyCursor(_tolvar.cursor):
        pass

    assert type(conn.cursor()) is _tolvar.cursor
    assert type(conn.cursor(cursor_factory=MyCursor)) is MyCursor
    conn.cursor_factory = MyCursor
    assert type(conn.cursor(cursor_factory=None)) is MyCursor
    with pytest.raises(TypeError, match="cursor factory must be subclass"):
        conn.cursor(cursor_factory=lambda c, n: object())


def test_datestyle_forced_to_iso(dsn):
    c = tolvar2.connect(dsn, options="-c DateStyle=SQL,DMY")
    try:
        cur = c.cursor()
        cur.execute("SHOW DateStyle")
        assert cur.fetchone()[0].startswith("ISO")
    finally:
        c.close()
    # Already ISO: nothing is sent, the server's ordering stays.
    c = tolvar2.connect(dsn, options="-c DateStyle=ISO,DMY")
    try:
        cur = c.cursor()
        cur.execute("SHOW DateStyle")
        assert cur.fetchone()[0] == "ISO, DMY"
    finally:
        c.close()


def test_encoding_from_server(dsn):
    c = tolvar2.connect(dsn, client_encoding="LATIN1")
    try:
        assert c.encoding == "LATIN1"
        cur = c.cursor()
        cur.execute("SELECT 'caf\u00e9'")
        assert cur.fetchone() == ("caf\u00e9",)
    finally:
        c.close()
    c = tolvar2.connect(dsn, client_encoding="WIN1252")
    try:
        assert c.encoding == "WIN1252"
        cur = c.cursor()
        cur.execute("SELECT '\u20ac'")
        assert cur.fetchone() == ("\u20ac",)
    finally:
        c.close()


def test_missing_encoding_fails_setup(dsn, monkeypatch):
    monkeypatch.delitem(_tolvar.encodings, "UTF8")
    with pytest.raises(tolvar2.OperationalError,
                       match="no Python encoding for PostgreSQL encoding 'UTF8'"):
        tolvar2.connect(dsn)


@pytest.mark.parametrize("server_encoding", ["SQL_ASCII", "EUC_JP", "SJIS"])
def test_underscored_encodings_work(dsn, server_encoding):
    c = tolvar2.connect(dsn, client_encoding=server_encoding)
    try:
        assert c.encoding == server_encoding.replace("_", "")
        cur = c.cursor()
        cur.execute("SELECT 'plain ascii'")
        assert cur.fetchone() == ("plain ascii",)
    finally:
        c.close()


def test_sql_ascii_needs_normalised_key(dsn, monkeypatch):
    # SQL_ASCII normalises to SQLASCII: without that key the set-up fails.
    monkeypatch.delitem(_tolvar.encodings, "SQLASCII", raising=False)
    with pytest.raises(tolvar2.OperationalError, match="'SQLASCII'"):
        tolvar2.connect(dsn, client_encoding="SQL_ASCII")
    monkeypatch.setitem(_tolvar.encodings, "SQLASCII", "ascii")
    c = tolvar2.connect(dsn, client_encoding="SQL_ASCII")
    try:
        assert c.encoding == "SQLASCII"
    finally:
        c.close()


def test_connection_info(conn, dsn):
    info = conn.info
    params = parse_dsn(dsn)
    assert isinstance(info, extensions.ConnectionInfo)
    assert info.dbname == params["dbname"]
    assert info.user == params["user"]
    assert info.port == int(params["port"])
    assert info.host == params["host"]
    assert info.status == 0
    assert info.transaction_status == extensions.TRANSACTION_STATUS_IDLE
    assert info.protocol_version == 3
    assert info.server_version == conn.server_version
    assert info.error_message is None
    assert info.socket == conn.fileno()
    assert isinstance(info.backend_pid, int) and info.backend_pid > 0
    assert info.used_password is False and info.needs_password is False
    assert info.ssl_in_use is False
    assert isinstance(info.ssl_attribute_names, list)
    assert info.parameter_status("server_version").startswith("15")
    assert info.parameter_status("no_such_parameter") is None
    assert info.ssl_attribute("library") in (None, "OpenSSL")
    dp = info.dsn_parameters
    assert dp["dbname"] == params["dbname"] and "password" not in dp
    with pytest.raises(TypeError, match="The argument must be a tolvar2 connection"):
        extensions.ConnectionInfo(42)


def test_quote_ident(conn):
    cur = conn.cursor()
    assert _tolvar.quote_ident("my cursor", conn) == '"my cursor"'
    assert _tolvar.quote_ident('a"b', cur) == '"a""b"'
    assert _tolvar.quote_ident(b"x", conn) == '"x"'
    with pytest.raises(TypeError, match="argument 2 must be a connection or a cursor"):
        _tolvar.quote_ident("x", 42)
    with pytest.raises(TypeError, match="argument 2 must be a connection or a cursor"):
        _tolvar.quote_ident("x", None)
    conn.close()
    with pytest.raises(tolvar2.InterfaceError, match="connection not valid"):
        _tolvar.quote_ident("x", conn)


def test_encrypt_password_with_connection(conn):
    enc = extensions.encrypt_password("secret", "alice", conn)
    assert enc.startswith("SCRAM-SHA-256$")
    enc = extensions.encrypt_password("secret", "alice", conn.cursor(), "scram-sha-256")
    assert enc.startswith("SCRAM-SHA-256$")
    with pytest.raises(tolvar2.ProgrammingError, match="password encryption failed: "):
        extensions.encrypt_password("secret", "alice", conn, "rot13")


def test_commit_rollback(conn, svcconn):
    cur = conn.cursor()
    cur.execute("CREATE TEMP TABLE t_cr (v int)")
    conn.commit()
    cur.execute("INSERT INTO t_cr VALUES (1)")
    assert conn.status == extensions.STATUS_BEGIN
    conn.rollback()
    assert conn.status == extensions.STATUS_READY
    cur.execute("SELECT count(*) FROM t_cr")
    assert cur.fetchone() == (0,)
    cur.execute("INSERT INTO t_cr VALUES (2)")
    conn.commit()
    cur.execute("SELECT v FROM t_cr")
    assert cur.fetchall() == [(2,)]
    # nothing open: commit and rollback send nothing and succeed
    conn.rollback()
    conn.commit()
    conn.commit()


def test_failed_transaction_and_recovery(conn):
    cur = conn.cursor()
    cur.execute("CREATE TEMP TABLE t_ft (v int primary key)")
    cur.execute("INSERT INTO t_ft VALUES (1)")
    conn.commit()
    with pytest.raises(errors.UniqueViolation) as exc:
        cur.execute("INSERT INTO t_ft VALUES (1)")
    assert exc.value.pgcode == "23505"
    assert exc.value.cursor is cur
    assert exc.value.pgerror.startswith("ERROR:  ")
    assert not str(exc.value).startswith("ERROR:")
    assert exc.value.diag.sqlstate == "23505"
    assert exc.value.diag.constraint_name == "t_ft_pkey"
    assert exc.value.diag.message_primary in str(exc.value)
    with pytest.raises(errors.InFailedSqlTransaction):
        cur.execute("SELECT 1")
    conn.rollback()
    cur.execute("SELECT v FROM t_ft")
    assert cur.fetchall() == [(1,)]


def test_error_diag_positions_and_pickle(conn):
    import pickle

    cur = conn.cursor()
    with pytest.raises(errors.UndefinedTable) as exc:
        cur.execute("SELECT * FROM nosuchtable_tolvar")
    e = exc.value
    assert e.diag.statement_position == "15"
    assert e.diag.severity == "ERROR"
    d1, d2 = e.diag, e.diag
    assert d1 is not d2 and d1.message_primary == d2.message_primary
    e2 = pickle.loads(pickle.dumps(e))
    assert (e2.pgcode, e2.pgerror, e2.cursor) == ("42P01", e.pgerror, None)
    assert e2.diag.sqlstate is None
    conn.rollback()


def test_notices_are_collected_and_trimmed(conn):
    cur = conn.cursor()
    cur.execute("SET client_min_messages TO notice")
    cur.execute(
        "CREATE FUNCTION pg_temp.chatty(n int) RETURNS void LANGUAGE plpgsql AS "
        "$$ BEGIN FOR i IN 1..n LOOP RAISE NOTICE 'msg %', i; END LOOP; END $$"
    )
    cur.execute("SELECT pg_temp.chatty(60)")
    assert len(conn.notices) == 50
    assert conn.notices[0].startswith("NOTICE:  msg 11")
    assert conn.notices[-1].startswith("NOTICE:  msg 60")

    class Bad:
        def append(self, x):
            raise RuntimeError("no")

    conn.notices = Bad()
    cur.execute("SELECT pg_temp.chatty(3)")  # still succeeds
    assert cur.fetchone() == ("",)


def test_notifications(conn, svcconn):
    cur = conn.cursor()
    cur.execute("LISTEN tolvar_chan")
    conn.commit()
    s = svcconn.cursor()
    s.execute("NOTIFY tolvar_chan, 'hello'")
    s.execute("NOTIFY tolvar_chan")
    svcconn.commit()
    cur.execute("SELECT 1")
    assert len(conn.notifies) == 2
    n1, n2 = conn.notifies
    assert isinstance(n1, extensions.Notify)
    assert (n1.channel, n1.payload) == ("tolvar_chan", "hello")
    assert n2.payload == ""
    assert n1.pid == svcconn.info.backend_pid
    assert n2 == (n2.pid, "tolvar_chan")


def test_notify_object():
    N = extensions.Notify
    assert N(1, "a") == (1, "a")
    assert N(1, "a", "x") == (1, "a")
    assert N(1, "a", "x") != N(1, "a", "y")
    assert (N(1, "a") != 5) is False
    assert hash(N(1, "a")) == hash((1, "a"))
    assert hash(N(1, "a", "x")) == hash((1, "a", "x"))
    assert len(N(1, "a")) == 2 and N(1, "a")[-1] == "a" and N(1, "a")[0] == 1
    with pytest.raises(IndexError, match="index out of range"):
        N(1, "a")[2]
    assert repr(N(1, "a")) == "Notify(1, 'a', '')"
    with pytest.raises(TypeError):
        N(1)


def test_blocking_call_releases_interpreter(conn, svcconn):
    cur = conn.cursor()
    pid = conn.get_backend_pid()
    done = []

    def sleeper():
        cur.execute("SELECT pg_sleep(0.5)")
        done.append("query")

    t = threading.Thread(target=sleeper)
    t.start()
    # This thread keeps running Python (and another connection) while the
    # query sleeps: it sees the server sleeping before the query ends.
    watch = svcconn.cursor()
    seen = False
    while t.is_alive() and not seen:
        watch.execute("SELECT wait_event FROM pg_stat_activity WHERE pid = %s", (pid,))
        seen = watch.fetchone() == ("PgSleep",)
        svcconn.rollback()
    done.append("python")
    t.join()
    assert seen
    assert done == ["python", "query"]


def test_threads_share_a_connection(conn):
    errors_seen = []

    def worker(k):
        try:
            cur = conn.cursor()
            for i in range(100):
                cur.execute(f"SELECT {k} * 1000 + {i}, repeat('x', {i % 7})")
                row = cur.fetchone()
                assert row == (k * 1000 + i, "x" * (i % 7)), row
        except Exception as e:  # reported below
            errors_seen.append(e)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors_seen == []


def test_server_going_away(conn, svcconn):
    cur = conn.cursor()
    cur.execute("SELECT pg_backend_pid()")
    pid = cur.fetchone()[0]
    conn.commit()
    s = svcconn.cursor()
    # With a timeout the call returns only once the backend has gone.
    s.execute("SELECT pg_terminate_backend(%s, 10000)", (pid,))
    assert s.fetchone() == (True,)
    svcconn.commit()
    with pytest.raises(tolvar2.OperationalError):
        cur.execute("SELECT 1")
    assert conn.closed == 2
    conn.close()
    assert conn.closed == 1


def test_dealloc_in_forked_child_keeps_parent_session(dsn):
    c = tolvar2.connect(dsn)
    cur = c.cursor()
    cur.execute("SELECT 1")
    pid = os.fork()
    if pid == 0:  # child: drop the inherited object, then leave at once
        try:
            del cur
            del c
            gc.collect()
        finally:
            os._exit(0)
    _, status = os.waitpid(pid, 0)
    assert status == 0
    cur.execute("SELECT 42")
    assert cur.fetchone() == (42,)
    c.close()


def test_garbage_collection(dsn):
    import weakref

    c = tolvar2.connect(dsn)
    r = weakref.ref(c)
    cur = c.cursor()
    del c, cur
    gc.collect()
    assert r() is None


@pytest.mark.parametrize("statement", [
    "COPY (SELECT g FROM generate_series(1, 1000) g) TO STDOUT",
    "COPY t_copy FROM STDIN",
])
def test_copy_statements_refused_cleanly(conn, statement):
    cur = conn.cursor()
    cur.execute("CREATE TEMP TABLE t_copy (v int)")
    with pytest.raises(tolvar2.ProgrammingError, match="COPY"):
        cur.execute(statement)
    # The connection is still in a sane state and usable.
    assert conn.closed == 0
    conn.rollback()
    cur.execute("SELECT 42")
    assert cur.fetchone() == (42,)
