"""Session-wide PostgreSQL server for the test suite.

By default a throwaway cluster (tools/pgserver.py) is started once per
session and deleted at the end. Set TOLVAR_TEST_DSN to run against an
existing server instead; tests that need server-side control (replication,
prepared transactions, password roles, settings) then skip via
``require_local_server``.
"""

import os
import sys
from pathlib import Path

import pytest

REPO_ROOT = Path(__file__).resolve().parent.parent
if str(REPO_ROOT) not in sys.path:
    sys.path.insert(0, str(REPO_ROOT))

from tools.pgserver import PgServer  # noqa: E402


class ExternalServer:
    """A server we did not start and must not assume anything about."""

    external = True
    unix_dsn = None

    def __init__(self, dsn):
        self.dsn = dsn

    def stop(self):
        pass


@pytest.fixture(scope="session")
def pg_server(request):
    external = os.environ.get("TOLVAR_TEST_DSN")
    if external:
        yield ExternalServer(external)
        return
    server = PgServer()
    # Finalizer first, so a failing start still cleans up; PgServer also
    # registers atexit as a last resort.
    request.addfinalizer(server.stop)
    # A start failure errors every test using the server (cached per session).
    server.start()
    yield server


@pytest.fixture(scope="session")
def dsn(pg_server):
    return pg_server.dsn


@pytest.fixture(scope="session")
def require_local_server(pg_server):
    """Call as ``srv = require_local_server("what needs it")``: skips on an external server."""

    def require(reason="server-side setup"):
        if pg_server.external:
            pytest.skip(f"needs the throwaway server (TOLVAR_TEST_DSN points elsewhere): {reason}")
        return pg_server

    return require


@pytest.fixture
def conn(dsn):
    """A fresh connection to the test database, closed afterwards."""
    import tolvar2

    c = tolvar2.connect(dsn)
    yield c
    c.close()


@pytest.fixture
def svcconn(dsn):
    """A second, autocommitting connection for observing or disturbing `conn`."""
    import tolvar2

    c = tolvar2.connect(dsn)
    c.cursor().execute("SET application_name TO 'tolvar-test-service'")
    c.commit()
    yield c
    c.close()


@pytest.fixture
def econn(dsn):
    """A connection with standard_conforming_strings off: literals need E''."""
    import tolvar2

    c = tolvar2.connect(dsn, options="-c standard_conforming_strings=off")
    yield c
    c.close()


@pytest.fixture
def registry():
    """The adapters dict, restored after the test whatever it registered."""
    from tolvar2 import _tolvar

    saved = dict(_tolvar.adapters)
    yield _tolvar.adapters
    _tolvar.adapters.clear()
    _tolvar.adapters.update(saved)
