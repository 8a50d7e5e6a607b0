"""The VR driver's settings file from Python: load, change and watch config.json as the driver
does, through the C interface (tarvik_config_c), with no build step.

    import tarvik_config

    settings = tarvik_config.load(path)                      # every key, defaults filled in
    tarvik_config.update(path, {"detection": {"sensitivity": 0.5}})
    tarvik_config.update(path, {"audio": {"deviceId": None}})  # None: back to the default
    for finding in tarvik_config.check(text):
        print(finding["line"], finding["message"])
    with tarvik_config.Watcher(path) as watcher:             # another program's changes
        news = watcher.wait_and_take(timeout=1.0)            # None when nothing came

An update is one read-modify-write under the saves' lock that keeps every other process's
changes and every key this version does not know; a refused patch writes nothing. Every
failure raises TarvikError with the library's status and message.

The library is found, in this order: the path given to use_library() (or Library(path)), the
environment variable TARVIK_CONFIG_C_LIBRARY (a file), the directory of this module, then the
system's library path. Works with Python 3.6 and later, on Linux and Windows.
"""

import ctypes
import ctypes.util
import json
import os
import sys
import threading

__all__ = [
    "TarvikError", "Library", "Watcher", "use_library", "library", "version", "load",
    "load_with_outcome", "update", "check",
    "OK", "E_ARGUMENT", "E_PATCH", "E_KEY", "E_VALUE", "E_UNREADABLE", "E_BUSY", "E_SAVE",
    "E_MEMORY", "E_NO_NEWS", "E_INTERNAL",
]

# The statuses of <tarvik/tvc.h>.
OK = 0
E_ARGUMENT = 1
E_PATCH = 2
E_KEY = 3
E_VALUE = 4
E_UNREADABLE = 5
E_BUSY = 6
E_SAVE = 7
E_MEMORY = 8
E_NO_NEWS = 9
E_INTERNAL = 10

ENVIRONMENT_VARIABLE = "TARVIK_CONFIG_C_LIBRARY"


class TarvikError(Exception):
    """A call the library refused or that failed: `status` (one of the E_ values) and the
    library's `message`. Nothing was written."""

    def __init__(self, status, message):
        super().__init__("{} (status {})".format(message, status))
        self.status = status
        self.message = message


def _library_names():
    if sys.platform == "win32":
        return ["tarvik_config_c.dll", "libtarvik_config_c.dll"]
    if sys.platform == "darwin":
        return ["libtarvik_config_c.0.dylib", "libtarvik_config_c.dylib"]
    return ["libtarvik_config_c.so.0", "libtarvik_config_c.so"]


def _find_library():
    given = os.environ.get(ENVIRONMENT_VARIABLE)
    if given:
        return given
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _library_names():
        candidate = os.path.join(here, name)
        if os.path.isfile(candidate):
            return candidate
    found = ctypes.util.find_library("tarvik_config_c")
    if found:
        return found
    raise TarvikError(E_ARGUMENT, "the library tarvik_config_c was not found: set {} to its "
                      "file, put it next to {}, or call use_library(path)".format(
                          ENVIRONMENT_VARIABLE, os.path.basename(__file__)))


def _encoded(text, what):
    if isinstance(text, os.PathLike):
        text = os.fspath(text)
    if isinstance(text, bytes):
        return text
    if not isinstance(text, str):
        raise TypeError("{} must be a str, bytes or path, not {}".format(
            what, type(text).__name__))
    return text.encode("utf-8", "surrogateescape")


class Library:
    """One loaded copy of the C library. The module's functions use the one use_library()
    set, or the one found as described above."""

    def __init__(self, path=None):
        self.path = path or _find_library()
        lib = ctypes.CDLL(self.path)
        text = ctypes.POINTER(ctypes.c_char)
        out = ctypes.POINTER(text)
        # Texts the library hands out come back as raw pointers (not c_char_p, which would copy
        # and drop the pointer), so that they can be given back to tvc_free.
        signatures = {
            "tvc_version": (ctypes.c_char_p, []),
            "tvc_free": (None, [text]),
            "tvc_load": (ctypes.c_int, [ctypes.c_char_p, out, out, out]),
            "tvc_update": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_char_p, out, out]),
            "tvc_check": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_size_t, out]),
            "tvc_watch_open": (ctypes.c_int, [ctypes.c_char_p, ctypes.POINTER(ctypes.c_void_p),
                                              out]),
            "tvc_watch_wait": (ctypes.c_int, [ctypes.c_void_p, ctypes.c_int]),
            "tvc_watch_take": (ctypes.c_int, [ctypes.c_void_p, out]),
            "tvc_watch_close": (None, [ctypes.c_void_p]),
        }
        for name, (restype, argtypes) in signatures.items():
            function = getattr(lib, name)
            function.restype = restype
            function.argtypes = argtypes
        self._lib = lib
        self._text = text

    def _new_out(self):
        return self._text()

    def _take(self, pointer):
        """The text at `pointer` as str, freed; None for NULL."""
        if not pointer:
            return None
        try:
            return ctypes.string_at(pointer).decode("utf-8", "replace")
        finally:
            self._lib.tvc_free(pointer)

    def _raise(self, status, message):
        raise TarvikError(status, message if message is not None else "out of memory")

    def version(self):
        return self._lib.tvc_version().decode("ascii")

    def load_with_outcome(self, path):
        """(settings, outcome): outcome is "read" or "missing". Nothing is written or moved;
        a file that is not a usable document, locked or unreadable raises TarvikError
        (E_UNREADABLE)."""
        settings, outcome, message = self._new_out(), self._new_out(), self._new_out()
        status = self._lib.tvc_load(_encoded(path, "path"), ctypes.byref(settings),
                                    ctypes.byref(outcome), ctypes.byref(message))
        settings_text, outcome_text = self._take(settings), self._take(outcome)
        message_text = self._take(message)
        if status != OK:
            self._raise(status, message_text)
        return json.loads(settings_text), outcome_text

    def load(self, path):
        return self.load_with_outcome(path)[0]

    def update(self, path, patch):
        """Applies `patch` (a dict, as a JSON merge patch: None puts a key back to its default)
        and returns the settings as written."""
        if isinstance(patch, (str, bytes)):
            patch_text = _encoded(patch, "patch")
        else:
            patch_text = json.dumps(patch, ensure_ascii=False, allow_nan=False).encode("utf-8")
        settings, message = self._new_out(), self._new_out()
        status = self._lib.tvc_update(_encoded(path, "path"), patch_text,
                                      ctypes.byref(settings), ctypes.byref(message))
        settings_text, message_text = self._take(settings), self._take(message)
        if status != OK:
            self._raise(status, message_text)
        return json.loads(settings_text)

    def check(self, text):
        """The findings about a document's text (str or bytes), as tarvik-config check gives
        them: a list of dicts with line, column, severity, kind, key, message, hint."""
        data = _encoded(text, "text")
        findings = self._new_out()
        status = self._lib.tvc_check(data, len(data), ctypes.byref(findings))
        findings_text = self._take(findings)
        if status != OK:
            self._raise(status, "the text could not be checked")
        return json.loads(findings_text)

    def watch(self, path):
        return Watcher(path, library=self)


class Watcher:
    """Reports each new state of the file that another program or a person makes (never this
    process's own updates). The first news is the state as the watch began. Use it from one
    thread at a time; close() (or the end of a with block) stops the library's thread.

    A news is a dict: outcome ("read", "missing", "unusable", "unreadable"), settings, changed
    (dotted keys), problem, initial, polling, sequence."""

    def __init__(self, path, library=None):
        self._library = library or _default_library()
        self._handle = ctypes.c_void_p()
        self._lock = threading.Lock()
        message = self._library._new_out()
        status = self._library._lib.tvc_watch_open(_encoded(path, "path"),
                                                   ctypes.byref(self._handle),
                                                   ctypes.byref(message))
        message_text = self._library._take(message)
        if status != OK:
            self._handle = None
            self._library._raise(status, message_text)

    def _live_handle(self):
        if not self._handle:
            raise TarvikError(E_ARGUMENT, "the watcher is closed")
        return self._handle

    def wait(self, timeout=None):
        """Whether news is waiting, after waiting up to `timeout` seconds (None: until there
        is). Other Python threads run meanwhile."""
        while True:
            step = 1000 if timeout is None else max(0, min(int(timeout * 1000), 2**31 - 1))
            result = self._library._lib.tvc_watch_wait(self._live_handle(), step)
            if result < 0:
                self._library._raise(-result, "the watcher could not wait")
            if result == 1 or timeout is not None:
                return result == 1

    def take(self):
        """The news waiting, or None."""
        news = self._library._new_out()
        status = self._library._lib.tvc_watch_take(self._live_handle(), ctypes.byref(news))
        news_text = self._library._take(news)
        if status == E_NO_NEWS:
            return None
        if status != OK:
            self._library._raise(status, "the news could not be taken")
        return json.loads(news_text)

    def wait_and_take(self, timeout=None):
        return self.take() if self.wait(timeout) else None

    def close(self):
        with self._lock:
            handle, self._handle = self._handle, None
        if handle:
            self._library._lib.tvc_watch_close(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exception):
        self.close()

    def __del__(self):
        try:
            self.close()
        except Exception:  # interpreter shutting down
            pass


_default = None
_default_lock = threading.Lock()


def use_library(path):
    """Loads the library from `path` for the module's functions; returns it."""
    global _default
    with _default_lock:
        _default = Library(path)
        return _default


def _default_library():
    global _default
    with _default_lock:
        if _default is None:
            _default = Library()
        return _default


def library():
    return _default_library()


def version():
    return _default_library().version()


def load(path):
    return _default_library().load(path)


def load_with_outcome(path):
    return _default_library().load_with_outcome(path)


def update(path, patch):
    return _default_library().update(path, patch)


def check(text):
    return _default_library().check(text)
