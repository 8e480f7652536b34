"""A stand-in for the systemd journal inside the sandbox.

The fixture `journal` binds a datagram socket at <sandbox.journal>/socket,
which the sandbox mounts over /run/systemd/journal, and records every entry
sent to it in the journal's native protocol:

  KEY=VALUE\\n                          a field whose value has no newline
  KEY\\n <64-bit LE length> VALUE \\n    a field of any bytes
  an empty datagram carrying a file descriptor (SCM_RIGHTS) whose contents
  are the entry, for entries too large for one datagram.

Without the fixture no socket exists, and the event-log library refuses to
write: that is how its failure paths are reached.
"""

import array
import os
import select
import socket
import struct
import threading
from pathlib import Path

import pytest

_MAX_DATAGRAM = 1 << 20
_MAX_FDS = 16


class JournalEntry:
    """One received entry: its fields in the order sent."""

    def __init__(self, fields):
        self.fields = fields

    def all(self, key):
        return [v for k, v in self.fields if k == key]

    def raw(self, key):
        values = self.all(key)
        if not values:
            raise KeyError(key)
        return values[0]

    def __getitem__(self, key):
        return self.raw(key).decode('utf-8')

    def get(self, key, default=None):
        try:
            return self[key]
        except KeyError:
            return default

    def __contains__(self, key):
        return bool(self.all(key))

    def keys(self):
        return [k for k, _ in self.fields]

    def __repr__(self):
        return f'JournalEntry({self.fields!r})'


def parse_entry(data):
    """Fields of one native-protocol entry, as (key, bytes) pairs."""
    fields = []
    pos = 0
    while pos < len(data):
        newline = data.find(b'\n', pos)
        if newline < 0:
            raise ValueError(f'unterminated field at {pos}: {data[pos:]!r}')
        equals = data.find(b'=', pos, newline)
        if equals >= 0:
            fields.append((data[pos:equals].decode('ascii'),
                           data[equals + 1:newline]))
            pos = newline + 1
            continue
        key = data[pos:newline].decode('ascii')
        start = newline + 1 + 8
        if start > len(data):
            raise ValueError(f'field {key}: length missing')
        (length,) = struct.unpack('<Q', data[newline + 1:start])
        end = start + length
        if end >= len(data) or data[end:end + 1] != b'\n':
            raise ValueError(f'field {key}: bad length {length}')
        fields.append((key, data[start:end]))
        pos = end + 1
    return fields


def _read_passed_fd(fd):
    try:
        chunks = []
        offset = 0
        while True:
            chunk = os.pread(fd, 1 << 16, offset)
            if not chunk:
                return b''.join(chunks)
            chunks.append(chunk)
            offset += len(chunk)
    finally:
        os.close(fd)


class JournalSink:
    """Receives entries on a socket at `path` and keeps them in order."""

    def __init__(self, path):
        self.path = Path(path)
        self._entries = []
        self._errors = []
        self._lock = threading.Lock()
        self._stop = threading.Event()
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 8 << 20)
        self._sock.setblocking(False)
        self._bind()
        os.chmod(self.path, 0o666)
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _bind(self):
        # A socket path must fit in sun_path; reach deep directories through
        # an open descriptor instead.
        if len(os.fsencode(self.path)) < 100:
            self._sock.bind(str(self.path))
            return
        dirfd = os.open(self.path.parent, os.O_RDONLY | os.O_DIRECTORY)
        try:
            self._sock.bind(f'/proc/self/fd/{dirfd}/{self.path.name}')
        finally:
            os.close(dirfd)

    def _run(self):
        while not self._stop.is_set():
            ready, _, _ = select.select([self._sock], [], [], 0.05)
            if ready:
                self.drain()

    def drain(self):
        """Takes every datagram already queued on the socket."""
        with self._lock:
            if self._sock.fileno() < 0:
                return
            while True:
                fds = array.array('i')
                try:
                    data, ancdata, _, _ = self._sock.recvmsg(
                        _MAX_DATAGRAM, socket.CMSG_LEN(_MAX_FDS * fds.itemsize))
                except BlockingIOError:
                    return
                for level, kind, payload in ancdata:
                    if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
                        usable = len(payload) - len(payload) % fds.itemsize
                        fds.frombytes(payload[:usable])
                try:
                    if fds:
                        contents = [_read_passed_fd(fd) for fd in fds]
                        data = b''.join(contents)
                    self._entries.append(JournalEntry(parse_entry(data)))
                except ValueError as e:
                    self._errors.append((data, str(e)))

    def entries(self):
        """Every entry received so far, in arrival order."""
        self.drain()
        if self._errors:
            raise AssertionError(f'malformed journal entries: {self._errors}')
        with self._lock:
            return list(self._entries)

    def find(self, **fields):
        """Entries whose given fields hold the given texts."""
        return [e for e in self.entries()
                if all(e.get(k) == v for k, v in fields.items())]

    def clear(self):
        self.drain()
        with self._lock:
            self._entries.clear()

    def refuse(self):
        """Stops listening but leaves the socket file: senders are refused."""
        self._stop.set()
        self._thread.join()
        with self._lock:
            self._sock.close()

    def close(self):
        self.refuse()
        self.path.unlink(missing_ok=True)


@pytest.fixture
def journal(sandbox):
    """A journal that records entries written inside the sandbox."""
    sink = JournalSink(sandbox.journal / 'socket')
    yield sink
    sink.close()
