"""Connection strings and password encryption without a connection."""

import re

import pytest
from hypothesis import given, settings, strategies as st

import tolvar2
from tolvar2 import _tolvar
from tolvar2.extensions import make_dsn, parse_dsn, encrypt_password


def test_parse_dsn_values():
    assert parse_dsn("host=a dbname=b") == {"host": "a", "dbname": "b"}
    d = parse_dsn("dbname=test user=tester password=secret port=5433")
    assert d == {"dbname": "test", "user": "tester", "password": "secret", "port": "5433"}
    assert parse_dsn(b"dbname='with space'") == {"dbname": "with space"}
    assert parse_dsn("postgresql://u:pw@h:5000/db?connect_timeout=3") == {
        "user": "u", "password": "pw", "host": "h", "port": "5000", "dbname": "db",
        "connect_timeout": "3",
    }
    assert parse_dsn(dsn="") == {}
    assert parse_dsn("dbname=caf\u00e9") == {"dbname": "caf\u00e9"}


@pytest.mark.parametrize("bad", ["host=a =b", "dbname='unterminated", "nosuchoption=1", "junk"])
def test_parse_dsn_invalid(bad):
    with pytest.raises(tolvar2.ProgrammingError) as exc:
        parse_dsn(bad)
    assert str(exc.value).startswith("invalid dsn: ")


@pytest.mark.parametrize("bad", [42, None, ["host=a"], 1.5])
def test_parse_dsn_wrong_type(bad):
    with pytest.raises(TypeError, match="Expected bytes or unicode string, got"):
        parse_dsn(bad)


def test_make_dsn_basics():
    assert make_dsn() == ""
    assert make_dsn("dbname=x") == "dbname=x"
    assert parse_dsn(make_dsn("host=a", dbname="b", port=5432)) == {
        "host": "a", "dbname": "b", "port": "5432",
    }
    # keywords override, None drops
    assert parse_dsn(make_dsn("host=a dbname=b", dbname="c", user=None)) == {
        "host": "a", "dbname": "c",
    }
    assert parse_dsn(make_dsn(database="d")) == {"dbname": "d"}
    assert parse_dsn(make_dsn("postgresql://h/db", user="u")) == {
        "host": "h", "dbname": "db", "user": "u",
    }


@pytest.mark.parametrize("value", [
    "with space", "it's", "back\\slash", "'", "\\", "\\'", "a b 'c' \\d",
    "", "tab\there", "new\nline", "caf\u00e9 \u2603", "=", "x=y",
])
def test_make_dsn_round_trips_awkward_values(value):
    dsn = make_dsn("host=localhost", password=value, application_name=value)
    assert parse_dsn(dsn) == {"host": "localhost", "password": value, "application_name": value}


@settings(max_examples=300, deadline=None)
@given(st.text(alphabet=st.characters(blacklist_characters="\x00", blacklist_categories=("Cs",))))
def test_make_dsn_round_trip_property(value):
    assert parse_dsn(make_dsn(password=value))["password"] == value


def test_make_dsn_errors():
    with pytest.raises(tolvar2.ProgrammingError):
        make_dsn("dbname='broken")
    with pytest.raises(tolvar2.ProgrammingError):
        make_dsn(nosuchoption="x")
    with pytest.raises(TypeError):
        make_dsn(42)
    with pytest.raises(TypeError):
        make_dsn(dbname="a", database="b")
    with pytest.raises(TypeError):
        make_dsn(password=b"bytes")


def test_encrypt_password_md5():
    enc = encrypt_password("secret", "alice", algorithm="md5")
    assert re.fullmatch(r"md5[0-9a-f]{32}", enc)
    import hashlib

    assert enc == "md5" + hashlib.md5(b"secretalice").hexdigest()
    assert encrypt_password(b"secret", b"alice", None, "md5") == enc
    assert _tolvar.encrypt_password(password="secret", user="alice", algorithm="md5") == enc


@pytest.mark.parametrize("algorithm", [None, "MD5", "scram-sha-256"])
def test_encrypt_password_needs_connection(algorithm):
    with pytest.raises(tolvar2.ProgrammingError,
                       match=re.escape("password encryption (other than 'md5' algorithm) "
                                       "requires a connection or cursor")):
        encrypt_password("secret", "alice", algorithm=algorithm)


def test_encrypt_password_bad_arguments():
    with pytest.raises(TypeError, match="the scope must be a connection or a cursor"):
        encrypt_password("secret", "alice", scope=42, algorithm="md5")
    with pytest.raises(TypeError, match="Expected bytes or unicode string"):
        encrypt_password(123, "alice", algorithm="md5")
    with pytest.raises(TypeError, match="Expected bytes or unicode string"):
        encrypt_password("secret", ["alice"], algorithm="md5")
    with pytest.raises(TypeError):
        encrypt_password("secret")
