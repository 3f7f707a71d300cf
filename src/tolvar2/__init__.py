"""tolvar2: a PostgreSQL driver for Python.

tolvar2 implements the DB-API 2.0 interface (PEP 249) over libpq, with a
native core written in C++. Parameters are bound on the client side using
the ``pyformat`` style::

    import tolvar2
    conn = tolvar2.connect("dbname=test")
    cur = conn.cursor()
    cur.execute("SELECT %s + %s", (1, 2))
    cur.fetchone()
"""

from tolvar2._tolvar import (  # noqa: F401
    __version__,
    __libpq_version__,
    apilevel,
    threadsafety,
    paramstyle,
    Error,
    Warning,
    InterfaceError,
    DatabaseError,
    InternalError,
    OperationalError,
    ProgrammingError,
    IntegrityError,
    DataError,
    NotSupportedError,
    Binary,
    Date,
    Time,
    Timestamp,
    DateFromTicks,
    TimeFromTicks,
    TimestampFromTicks,
)

from tolvar2 import errors, extensions  # noqa: F401,E402
from tolvar2 import _tolvar as _core  # noqa: E402

# DB-API type objects: compare equal to the type_code of matching columns.
STRING = _core.STRING
BINARY = getattr(_core, "BINARY", None)
NUMBER = _core.NUMBER
DATETIME = getattr(_core, "DATETIME", None)
ROWID = _core.ROWID


def _add_normalised_encodings(table):
    # Lookups normalise the server's name (SQL_ASCII -> SQLASCII) but some
    # keys are spelt with underscores or lower case: add the spelling that
    # lookups actually use, so that such servers work.
    for name, codec in list(table.items()):
        key = "".join(c for c in name if c.isascii() and c.isalnum()).upper()
        table.setdefault(key, codec)


_add_normalised_encodings(_core.encodings)
from tolvar2._tolvar import _connect  # noqa: E402


def connect(dsn=None, connection_factory=None, cursor_factory=None, **kwargs):
    """Create a new database connection.

    The connection parameters can be given as a libpq connection string
    (``"dbname=test user=postgres password=secret"``), as a URI, or as
    keyword arguments (``dbname="test", user="postgres"``); keywords
    override the parameters of `dsn` with the same name, and ``database``
    is accepted as an alias of ``dbname``. With no argument at all the
    libpq defaults and ``PG*`` environment variables apply.

    `connection_factory` builds the connection (a subclass of
    :class:`extensions.connection`); `cursor_factory` becomes the default
    factory of :meth:`connection.cursor`. ``async=True`` (or ``async_``)
    starts an asynchronous connection.
    """
    kwasync = {}
    if "async" in kwargs:
        kwasync["async"] = kwargs.pop("async")
    if "async_" in kwargs:
        kwasync["async_"] = kwargs.pop("async_")

    dsn = extensions.make_dsn(dsn, **kwargs)
    conn = _connect(dsn, connection_factory=connection_factory, **kwasync)
    if cursor_factory is not None:
        conn.cursor_factory = cursor_factory
    return conn

__all__ = [
    "connect", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID", "apilevel", "threadsafety", "paramstyle",
    "Error", "Warning", "InterfaceError", "DatabaseError", "InternalError",
    "OperationalError", "ProgrammingError", "IntegrityError", "DataError",
    "NotSupportedError",
    "Binary", "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks",
    "TimestampFromTicks",
]
