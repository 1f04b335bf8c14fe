"""A pymongo collection or database as the code under test sees it, whose
writes go through a hook: a reply lost after the write was applied, or a
record of what each delete removes. Every collection or database reached
from it (``database``, ``db[name]``, ``with_options``) is wrapped the same
way, so the hook sees the writes to the lease collection too."""

from __future__ import annotations

from pymongo.collection import Collection
from pymongo.database import Database
from pymongo.errors import AutoReconnect, PyMongoError

WRITES = frozenset(
    {"insert_one", "insert_many", "update_one", "update_many", "replace_one", "bulk_write", "delete_one", "delete_many"}
)


class Wrapped:
    """`target` with each write method called as ``hook(target, name, *args, **kw)``."""

    def __init__(self, target, hook):
        self._target, self._hook = target, hook

    def _wrap(self, value):
        return Wrapped(value, self._hook) if isinstance(value, (Collection, Database)) else value

    def __getattr__(self, name):
        if name in WRITES:
            method = getattr(self._target, name)
            return lambda *args, **kw: self._hook(self._target, name, method, *args, **kw)
        return self._wrap(getattr(self._target, name))

    def __getitem__(self, name):
        return self._wrap(self._target[name])

    def get_collection(self, name, *args, **kw):
        return self._wrap(self._target.get_collection(name, *args, **kw))

    def with_options(self, *args, **kw):
        return self._wrap(self._target.with_options(*args, **kw))

    @property
    def database(self):
        return self._wrap(self._target.database)


class LostReply:
    """Applies the `nth` write of a call and then fails as a connection does
    that breaks before the server's answer arrives: the write is stored, the
    caller gets ``AutoReconnect`` (whatever the answer would have said)."""

    def __init__(self, nth: int):
        self.nth, self.seen, self.fired = nth, 0, False

    def __call__(self, target, name, method, *args, **kw):
        self.seen += 1
        if self.seen != self.nth:
            return method(*args, **kw)
        self.fired = True
        try:
            method(*args, **kw)
        except PyMongoError:
            pass
        raise AutoReconnect(f"connection closed before the reply to {name} on {target.name} (the write was applied)")


class DeletionsRecorded:
    """Keeps, in order, the documents each ``delete_one`` / ``delete_many``
    removes (read just before the delete, with its filter). A delete sent
    another way (``bulk_write``) is not seen."""

    def __init__(self):
        self.docs: list = []

    def __call__(self, target, name, method, *args, **kw):
        if name in ("delete_one", "delete_many"):
            found = list(target.find(args[0] if args else kw["filter"]))
            self.docs.extend(found[:1] if name == "delete_one" else found)
        return method(*args, **kw)
