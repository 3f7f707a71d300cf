"""Composing SQL statements from parts, safely.

Objects of this module represent pieces of a query: fixed SQL text, names
to be quoted as identifiers, values to be quoted as literals. They can be
joined and combined, and passed to ``cursor.execute()`` in place of a
string; the driver renders them through :meth:`Composable.as_string` with
the connection (or cursor) the query runs on.
"""

__all__ = ["Composable", "Composed", "SQL"]


class Composable:
    """Abstract base class for the objects that make up a query.

    Subclasses implement :meth:`as_string`, returning the query text the
    object represents in the `context` given (a connection or a cursor, from
    which quoting rules and the client encoding are taken).

    Composables can be added together (``a + b`` gives a :class:`Composed`)
    and repeated (``a * 3``).
    """

    def __init__(self, wrapped):
        self._wrapped = wrapped

    def __repr__(self):
        return f"{self.__class__.__name__}({self._wrapped!r})"

    def as_string(self, context):
        """Return the string value of the object in `context`."""
        raise NotImplementedError

    def __add__(self, other):
        if isinstance(other, Composed):
            return Composed([self]) + other
        if isinstance(other, Composable):
            return Composed([self]) + Composed([other])
        return NotImplemented

    def __mul__(self, n):
        return Composed([self] * n)

    def __eq__(self, other):
        return type(self) is type(other) and self._wrapped == other._wrapped

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = None


class Composed(Composable):
    """A sequence of :class:`Composable` objects, rendered one after another."""

    def __init__(self, seq):
        wrapped = []
        for item in seq:
            if not isinstance(item, Composable):
                raise TypeError(f"Composed elements must be Composable, got {item!r} instead")
            wrapped.append(item)
        super().__init__(wrapped)

    @property
    def seq(self):
        """The list of the content of the object."""
        return list(self._wrapped)

    def as_string(self, context):
        return "".join(item.as_string(context) for item in self._wrapped)

    def __iter__(self):
        return iter(self._wrapped)

    def __add__(self, other):
        if isinstance(other, Composed):
            return Composed(self._wrapped + other._wrapped)
        if isinstance(other, Composable):
            return Composed(self._wrapped + [other])
        return NotImplemented

    def join(self, joiner):
        """Return a new object with `joiner` put between the elements.

        `joiner` is a str or an :class:`SQL`.
        """
        if isinstance(joiner, str):
            joiner = SQL(joiner)
        elif not isinstance(joiner, SQL):
            raise TypeError("Composed.join() argument must be a string or an SQL")
        return joiner.join(self._wrapped)


class SQL(Composable):
    """A piece of SQL text taken as it is, without quoting.

    Only use it with trusted text: it is how the fixed parts of a query are
    written. ``SQL.join()`` joins a sequence of composables with it.
    """

    def __init__(self, string):
        if not isinstance(string, str):
            raise TypeError("SQL values must be strings")
        super().__init__(string)

    @property
    def string(self):
        """The string wrapped by the object."""
        return self._wrapped

    def as_string(self, context):
        return self._wrapped

    def join(self, seq):
        """Join the composables of `seq`, with this object between them."""
        parts = []
        for i, item in enumerate(seq):
            if i:
                parts.append(self)
            parts.append(item)
        return Composed(parts)
