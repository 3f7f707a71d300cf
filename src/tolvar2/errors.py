"""Exception classes of tolvar2, one per PostgreSQL SQLSTATE.

The native core publishes its classes into this module when it is first
imported: the DB-API classes (``Error``, ``DatabaseError``, ...) and one
class per SQLSTATE, named after the condition (``UniqueViolation`` for
23505, ``DeadlockDetected`` for 40P01, ...). Each SQLSTATE class derives from
the DB-API class that fits its SQLSTATE class, so code can catch either the
precise condition or the broad category::

    from tolvar2 import errors
    try:
        cur.execute("INSERT ...")
    except errors.UniqueViolation:
        ...
"""


def lookup(code):
    """Return the exception class for the SQLSTATE `code`.

    Raise KeyError if the code is not known.
    """
    from tolvar2._tolvar import sqlstate_errors

    return sqlstate_errors[code]
