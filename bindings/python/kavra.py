"""kavra from Python: one framed, queued TCP client connection.

A thin ctypes layer over the library's C interface (kavra.h); no compiled
extension. The library is found where it is installed: KAVRA_LIBRARY names
it (libkavra.so.0.6, kavra.dll) or the folder that holds it (a prefix's lib/);
without it, the system's loader looks for it (the Debian package's /usr/lib,
LD_LIBRARY_PATH, the folders ldconfig knows).

    with kavra.Client("127.0.0.1", 7000) as client:
        client.send(b"hello")
        body = client.recv(timeout=3.0)      # bytes, or None on timeout
        print(client.stats()["frames_sent"])

Threads: send, recv and stats may be called from any threads at once; close
(or leaving the with block) stops the worker and releases the client, after
which nothing else may be called on it.

asyncio: await client.arecv() takes the next body without a thread of its
own: the event loop watches the client's receive handle (loop.add_reader on
fileno()), which is readable exactly while a received body waits. async for
body in client: ... takes bodies until the client is closed or stopped.

    async def main():
        with kavra.Client("127.0.0.1", 7000) as client:
            client.send(b"hello")
            print(await asyncio.wait_for(client.arecv(), 3.0))
"""

import asyncio
import ctypes
import ctypes.util
import os
import pathlib
import sys

__all__ = ["Client", "KavraError", "MAX_PDU_LENGTH", "library_version", "tls_available",
           "tls_strerror"]
__version__ = "0.6.3"

MAX_PDU_LENGTH = 8812
_WAIT_FOREVER = 0xFFFFFFFF

OK = 0
ERR_TIMEOUT = -6
ERR_TOO_SMALL = -7
ERR_CONNECT = -9
ERR_QUEUE_FULL = -5
ERR_STOPPED = -10

# Values of the receive_overflow option.
RECEIVE_OVERFLOW_DROP = 0
RECEIVE_OVERFLOW_BLOCK = 1


class KavraError(Exception):
    """A failed call: code is the library's result code (KAVRA_ERR_*)."""

    def __init__(self, code, what):
        super().__init__(f"{what}: {_lib().kavra_strerror(code).decode('ascii')} ({code})")
        self.code = code


_NUMBER_OPTIONS = (
    "size", "connect_timeout_ms", "reconnect", "backoff_initial_ms", "backoff_max_ms",
    "backoff_jitter", "give_up_attempts", "give_up_after_ms", "keepalive_idle_s",
    "keepalive_interval_s", "keepalive_count", "unacknowledged_limit_ms", "idle_limit_ms",
    "send_queue_limit", "linger_ms", "hold_while_disconnected", "max_age_ms",
    "receive_overflow", "tls", "tls_insecure_skip_verify")
# Paths and names: str, bytes or None (the default).
_TEXT_OPTIONS = ("tls_ca_file", "tls_ca_folder", "tls_server_name", "tls_cert_file",
                 "tls_key_file")


# Numbers the structure gained after the paths.
_LATER_OPTIONS = ("send_queue_byte_limit", "reserved")


class _Options(ctypes.Structure):
    _fields_ = ([(name, ctypes.c_uint32) for name in _NUMBER_OPTIONS]
                + [(name, ctypes.c_char_p) for name in _TEXT_OPTIONS]
                + [(name, ctypes.c_uint32) for name in _LATER_OPTIONS])


_FIELD_TYPES = {"u32": ctypes.c_uint32, "flag": ctypes.c_uint32, "u64": ctypes.c_uint64}


def _stats_structure(lib):
    """kavra_stats as the loaded library lays it out (kavra_stats_fields), and
    the names stats() reports: the flags as bools, the 64-bit fields as ints."""
    fields = [word.split(":") for word in lib.kavra_stats_fields().decode("ascii").split(" ")]
    structure = type("_Stats", (ctypes.Structure,),
                     {"_fields_": [(name, _FIELD_TYPES[kind]) for name, kind in fields]})
    flags = tuple(name for name, kind in fields if kind == "flag")
    counters = tuple(name for name, kind in fields if kind == "u64")
    return structure, flags, counters


# The release of the library this module is written for: before 1.0 the
# same MAJOR.MINOR (the library's soname carries both), from 1.0 on the same
# MAJOR.
_MAJOR, _MINOR = (int(part) for part in __version__.split(".")[:2])
_RELEASE = f"{_MAJOR}.{_MINOR}" if _MAJOR == 0 else f"{_MAJOR}"

# The file names the library has when installed, the versioned one first:
# the runtime package (libkavra0.6) has no unversioned libkavra.so.
if os.name == "nt":
    _NAMES = ("kavra.dll",)
elif sys.platform == "darwin":
    _NAMES = (f"libkavra.{_RELEASE}.dylib", "libkavra.dylib")
else:
    _NAMES = (f"libkavra.so.{_RELEASE}", "libkavra.so")


def _candidates():
    explicit = os.environ.get("KAVRA_LIBRARY")
    if explicit:
        folder = pathlib.Path(explicit)
        if folder.is_dir():
            yield from (str(folder / name) for name in _NAMES)
        else:
            yield explicit
        return
    # A bare name goes to the loader's own search.
    yield from _NAMES
    found = ctypes.util.find_library("kavra")
    if found:
        yield found


_library = None


def _lib():
    global _library
    if _library is None:
        errors = []
        for path in _candidates():
            try:
                loaded = ctypes.CDLL(path)
            except OSError as error:
                errors.append(f"{path}: {error}")
                continue
            _check_release(loaded, path)
            _library = _declare(loaded)
            break
        else:
            raise OSError(f"kavra library not found; install the libkavra{_RELEASE} package, or set "
                          "KAVRA_LIBRARY to the library or the folder that holds it: "
                          + "; ".join(errors))
    return _library


def _check_release(lib, path):
    """Refuses a library of another release before any other call: its
    functions and structures may not be the ones this module declares."""
    lib.kavra_version.restype = ctypes.c_uint32
    lib.kavra_version.argtypes = []
    number = lib.kavra_version()
    found = (number // 10000, number // 100 % 100, number % 100)
    wanted = (_MAJOR, _MINOR) if _MAJOR == 0 else (_MAJOR,)
    if found[:len(wanted)] != wanted:
        raise OSError(f"kavra {__version__} (Python) needs the library's release {_RELEASE}, "
                          f"but {path} is {'.'.join(map(str, found))}")


def _declare(lib):
    handle = ctypes.c_void_p
    signatures = {
        "kavra_version": (ctypes.c_uint32, []),
        "kavra_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "kavra_tls_strerror": (ctypes.c_char_p, [ctypes.c_int]),
        "kavra_tls_available": (ctypes.c_int, []),
        "kavra_options_init": (None, [ctypes.POINTER(_Options)]),
        "kavra_client_create": (ctypes.c_int, [ctypes.c_char_p, ctypes.c_uint16,
                                               ctypes.POINTER(_Options),
                                               ctypes.POINTER(handle)]),
        "kavra_client_start": (ctypes.c_int, [handle]),
        "kavra_client_stop": (ctypes.c_int, [handle]),
        "kavra_client_destroy": (None, [handle]),
        "kavra_client_send": (ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_uint32]),
        "kavra_client_send_wait": (ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_uint32,
                                                  ctypes.c_uint32]),
        "kavra_client_receive_handle": (ctypes.c_ssize_t, [handle]),
        "kavra_client_receive": (ctypes.c_int, [handle, ctypes.c_void_p, ctypes.c_uint32,
                                                ctypes.POINTER(ctypes.c_uint32),
                                                ctypes.c_uint32]),
        "kavra_stats_size": (ctypes.c_uint32, []),
        "kavra_stats_fields": (ctypes.c_char_p, []),
        "kavra_client_set_proxy": (ctypes.c_int, [handle, ctypes.c_char_p, ctypes.c_char_p,
                                                  ctypes.c_size_t]),
        "kavra_client_is_connected": (ctypes.c_int, [handle]),
        "kavra_client_has_given_up": (ctypes.c_int, [handle]),
    }
    for name, (result, arguments) in signatures.items():
        function = getattr(lib, name)
        function.restype = result
        function.argtypes = arguments
    lib.stats_structure, lib.stats_flags, lib.stats_counters = _stats_structure(lib)
    lib.kavra_client_stats.restype = ctypes.c_int
    lib.kavra_client_stats.argtypes = [handle, ctypes.POINTER(lib.stats_structure)]
    return lib


def library_version():
    """The loaded library's version as (major, minor, patch)."""
    version = _lib().kavra_version()
    return version // 10000, version // 100 % 100, version % 100


def tls_available():
    """Whether the loaded library was built with TLS."""
    return bool(_lib().kavra_tls_available())


def tls_strerror(code):
    """The text of a TLS or proxy failure code (KAVRA_TLS_*, KAVRA_PROXY_*), as
    stats()["last_connect_error"] holds one."""
    return _lib().kavra_tls_strerror(code).decode("ascii")


def _connect_reason(code):
    """The text of a last_connect_error value: a TLS or proxy code, or an errno code."""
    text = tls_strerror(code)
    return text if text != tls_strerror(0) else os.strerror(code)


class Client:
    """One client connection; a context manager that starts it on entry and
    stops and releases it on exit.

    Keyword options are the fields of kavra_options (connect_timeout_ms,
    reconnect, backoff_initial_ms, send_queue_limit, linger_ms,
    hold_while_disconnected, receive_overflow, ..., tls, tls_ca_file,
    tls_server_name, ...), and proxy: "http://[user:password@]host:port" or
    "socks5://[user:password@]host:port", through which every connection
    goes (the proxy resolves host). With require_connection (the default) entering
    fails when the first connection attempt does, and the error names the
    reason; otherwise the worker keeps trying in the background.
    """

    def __init__(self, host, port, require_connection=True, **options):
        lib = _lib()
        self._options = _Options()
        lib.kavra_options_init(ctypes.byref(self._options))
        proxy = options.pop("proxy", None)
        self._proxy = None if proxy is None else os.fsencode(proxy)
        for name, value in options.items():
            if name in ("size", "reserved") or name not in dict(_Options._fields_):
                raise TypeError(f"unknown option {name!r}")
            if name in _TEXT_OPTIONS:
                value = None if value is None else os.fsencode(value)
            else:
                value = int(value)
            setattr(self._options, name, value)
        self._host = host.encode()
        self._port = port
        self._require_connection = require_connection
        self._handle = None
        # asyncio: the futures waiting for the receive handle, and the loop
        # that watches it for them.
        self._waiters = []
        self._reader_loop = None

    def open(self):
        """Creates and starts the client (what entering the with block does)."""
        lib = _lib()
        handle = ctypes.c_void_p()
        code = lib.kavra_client_create(self._host, self._port, ctypes.byref(self._options),
                                       ctypes.byref(handle))
        if code != OK:
            raise KavraError(code, "create")
        self._handle = handle
        if self._proxy:
            why = ctypes.create_string_buffer(512)
            code = lib.kavra_client_set_proxy(handle, self._proxy, why, len(why))
            if code != OK:
                self.close()
                raise KavraError(code, "proxy: " + why.value.decode("utf-8", "replace"))
        code = lib.kavra_client_start(handle)
        if code != OK and (code != ERR_CONNECT or self._require_connection):
            what = f"start {self._host.decode()}:{self._port}"
            reason = self.stats().get("last_connect_error", 0) if code == ERR_CONNECT else 0
            if reason:
                what += f" ({_connect_reason(reason)})"
            self.close()
            raise KavraError(code, what)
        return self

    def close(self):
        """Stops the worker (queued PDUs get the linger) and releases the client."""
        self._stop_watching()
        for waiter in self._waiters:
            if not waiter.done():
                waiter.set_exception(ValueError("the client was closed"))
        self._waiters = []
        if self._handle is not None:
            _lib().kavra_client_destroy(self._handle)
            self._handle = None

    def __enter__(self):
        return self.open()

    def __exit__(self, *exc):
        self.close()

    def _live(self):
        if self._handle is None:
            raise ValueError("the client is not open")
        return self._handle

    def send(self, data):
        """Queues data (bytes-like, at most MAX_PDU_LENGTH) as one PDU."""
        data = bytes(data)
        code = _lib().kavra_client_send(self._live(), data, len(data))
        if code != OK:
            raise KavraError(code, "send")

    def send_wait(self, data, timeout=None):
        """Queues data as one PDU like send, but at a send-queue limit waits up
        to timeout seconds (None: without limit) for room. True when queued,
        False when the time ran out with no room."""
        data = bytes(data)
        wait = _WAIT_FOREVER if timeout is None else min(int(timeout * 1000), _WAIT_FOREVER - 1)
        code = _lib().kavra_client_send_wait(self._live(), data, len(data), wait)
        if code == ERR_QUEUE_FULL:
            return False
        if code != OK:
            raise KavraError(code, "send_wait")
        return True

    def fileno(self):
        """The receive handle: on Linux a descriptor that is readable exactly
        while a received body waits (on Windows an event HANDLE). Only wait
        on it; never read, write or close it."""
        return _lib().kavra_client_receive_handle(self._live())

    async def arecv(self):
        """The next received body as bytes, awaited in the running event loop
        without a thread: the loop wakes the coroutine when the receive
        handle turns readable. Raises KavraError (ERR_STOPPED) once the
        client is stopped, ValueError once it is closed. Several coroutines
        may wait at once; each body goes to one of them."""
        loop = asyncio.get_running_loop()
        while True:
            body = self.recv(timeout=0)
            if body is not None:
                return body
            await self._readable(loop)

    def __aiter__(self):
        return self

    async def __anext__(self):
        try:
            return await self.arecv()
        except KavraError as error:
            if error.code == ERR_STOPPED:
                raise StopAsyncIteration from None
            raise

    async def _readable(self, loop):
        """Waits until the receive handle is readable (or the client closes)."""
        if not hasattr(loop, "add_reader") or os.name == "nt":
            # Windows' proactor loop watches no handles: a worker thread of
            # the loop's executor waits instead.
            await loop.run_in_executor(None, self._wait_readable_blocking)
            return
        future = loop.create_future()
        self._waiters.append(future)
        if self._reader_loop is None:
            loop.add_reader(self.fileno(), self._wake)
            self._reader_loop = loop
        try:
            await future
        finally:
            if future in self._waiters:
                self._waiters.remove(future)
            if not self._waiters:
                self._stop_watching()

    def _wake(self):
        # The handle is level-triggered: each waiter looks once, and the loop
        # stops watching until somebody waits again.
        waiters, self._waiters = self._waiters, []
        self._stop_watching()
        for waiter in waiters:
            if not waiter.done():
                waiter.set_result(None)

    def _stop_watching(self):
        if self._reader_loop is not None and self._handle is not None:
            self._reader_loop.remove_reader(self.fileno())
        self._reader_loop = None

    def _wait_readable_blocking(self):
        body_waits = ctypes.c_uint32()
        # A receive into a zero-byte buffer reports a waiting body as too
        # small and leaves it queued.
        _lib().kavra_client_receive(self._live(), None, 0, ctypes.byref(body_waits), 100)

    def recv(self, timeout=None):
        """The next received body as bytes; None when nothing arrives within
        timeout seconds (None: wait without limit)."""
        wait = _WAIT_FOREVER if timeout is None else min(int(timeout * 1000), _WAIT_FOREVER - 1)
        buffer = ctypes.create_string_buffer(MAX_PDU_LENGTH)
        size = ctypes.c_uint32()
        code = _lib().kavra_client_receive(self._live(), buffer, len(buffer), ctypes.byref(size),
                                           wait)
        if code == ERR_TIMEOUT:
            return None
        if code != OK:
            raise KavraError(code, "recv")
        return buffer.raw[:size.value]

    def stats(self):
        """The connection's counters as a dict (see kavra_stats)."""
        lib = _lib()
        stats = lib.stats_structure(size=ctypes.sizeof(lib.stats_structure))
        code = lib.kavra_client_stats(self._live(), ctypes.byref(stats))
        if code != OK:
            raise KavraError(code, "stats")
        result = {name: getattr(stats, name) for name in lib.stats_counters}
        result.update((name, bool(getattr(stats, name))) for name in lib.stats_flags)
        return result

    @property
    def connected(self):
        """Whether the connection is up."""
        return bool(_lib().kavra_client_is_connected(self._live()))

    @property
    def given_up(self):
        """Whether the give-up limit ended the reconnection attempts."""
        return bool(_lib().kavra_client_has_given_up(self._live()))
