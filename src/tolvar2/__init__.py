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
)

from tolvar2 import errors, extensions  # noqa: F401,E402

__all__ = [
    "apilevel", "threadsafety", "paramstyle",
    "Error", "Warning", "InterfaceError", "DatabaseError", "InternalError",
    "OperationalError", "ProgrammingError", "IntegrityError", "DataError",
    "NotSupportedError",
]
