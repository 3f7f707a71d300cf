"""Module constants, initialisation order and tracing."""

import ast
import os
import subprocess
import sys

import pytest

import tolvar2
from tolvar2 import _tolvar


def test_dbapi_globals():
    assert (tolvar2.apilevel, tolvar2.threadsafety, tolvar2.paramstyle) == ("2.0", 2, "pyformat")
    assert _tolvar.REPLICATION_PHYSICAL == 12345678
    assert _tolvar.REPLICATION_LOGICAL == 87654321
    assert _tolvar.__version__ == "2.9.13 (dt dec pq3 ext lo64)"
    assert tolvar2.__version__ == _tolvar.__version__
    assert _tolvar.__doc__ == "tolvar2 PostgreSQL driver"


def test_libpq_versions():
    built = _tolvar.__libpq_version__
    loaded = _tolvar.libpq_version()
    assert isinstance(built, int) and isinstance(loaded, int)
    # Built against the system's libpq 15 headers, so a 15xxxx number.
    assert built // 10000 == 15
    # The library loaded at run time is at least as new as the headers' major.
    assert loaded // 10000 >= built // 10000


def _normalised(name):
    return "".join(c for c in name if c.isascii() and c.isalnum()).upper()


def test_encodings_table():
    # Read in a fresh interpreter: other tests may reorder the shared dict.
    proc = subprocess.run(
        [sys.executable, "-c", "import tolvar2; print(repr(list(tolvar2._tolvar.encodings.items())))"],
        capture_output=True, text=True, timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    enc = dict(ast.literal_eval(proc.stdout))
    # The core's 67 rows come first, in table order; the package then adds
    # the normalised spelling of the underscored and mixed-case names.
    core = list(enc)[:67]
    assert len(set(core)) == 67
    extra = list(enc)[67:]
    assert sorted(extra) == sorted({_normalised(k) for k in core} - set(core))
    assert enc["SQLASCII"] == "ascii" and enc["EUCJP"] == "euc_jp"
    assert enc["SHIFTJIS2004"] == "shift_jis_2004" and enc["ISO88591"] == "iso8859_1"
    assert enc["UNICODE"] == "utf_8"
    assert enc["UTF8"] == "utf_8"
    assert enc["LATIN1"] == "iso8859_1"
    assert enc["WIN1252"] == "cp1252"
    assert enc["SJIS"] == "cp932"
    assert enc["Windows950"] == "cp950"
    assert core[:3] == ["ABC", "ALT", "BIG5"] and core[-1] == "Windows950"
    # Every codec named in the table exists in this interpreter.
    import codecs

    for codec in enc.values():
        codecs.lookup(codec)


def _import_in_child(env_update, env_remove=()):
    env = dict(os.environ)
    env.update(env_update)
    for key in env_remove:
        env.pop(key, None)
    return subprocess.run(
        [sys.executable, "-c", "import tolvar2; print('ok')"],
        env=env, capture_output=True, text=True, timeout=60,
    )


@pytest.mark.parametrize("value", ["", "1", "yes"])
def test_trace_on_when_variable_present(value):
    proc = _import_in_child({"TOLVAR_DEBUG": value})
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
    lines = [ln for ln in proc.stderr.splitlines() if "tolvarmodule" in ln]
    assert lines, proc.stderr
    # Every trace line is "[pid] routine: message"
    pids = {ln.split("]", 1)[0] for ln in lines}
    assert len(pids) == 1
    pid = next(iter(pids))
    assert pid.startswith("[") and pid[1:].isdigit()
    assert "initializing tolvar 2.9.13 (dt dec pq3 ext lo64)" in proc.stderr


def test_trace_off_without_variable():
    proc = _import_in_child({}, env_remove=["TOLVAR_DEBUG"])
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"
    assert "tolvar" not in proc.stderr


def test_import_without_ssl_module():
    # A broken ssl module must not stop the driver from loading.
    code = (
        "import sys; sys.modules['ssl'] = None\n"
        "import tolvar2; print(tolvar2.apilevel)"
    )
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "2.0"


def test_module_published_types_and_dicts():
    assert isinstance(_tolvar.sqlstate_errors, dict)
    assert _tolvar.Diagnostics.__name__ == "Diagnostics"
    assert _tolvar.Diagnostics.__module__ == "tolvar2.extensions"
