"""Debian's systemd-journald, run standalone for the simulated BMC.

Journald runs in a private mount namespace of its own: a tmpfs over /run,
with two host directories mounted in it --

  sockets  over /run/systemd/journal   its sockets ("socket", "stdout",
                                       "dev-log", ...); a Sandbox mounts the
                                       same directory, so the tool inside
                                       reaches this journald
  files    over /run/log/journal       its volatile journal files, which
                                       journalctl reads from the host side
                                       with --directory

and its settings as a drop-in under /run/systemd/journald.conf.d, which
that tmpfs holds. Nothing outside these directories is written: no kernel
log, syslog, console or wall forwarding, no persistent storage, and
journald's own log lines go to its standard error (a file beside them).
"""

import itertools
import os
import signal
import socket
import subprocess
import time
from pathlib import Path

JOURNALD = '/lib/systemd/systemd-journald'
JOURNALCTL = '/usr/bin/journalctl'

SETTINGS = """[Journal]
Storage=volatile
ReadKMsg=no
Audit=no
ForwardToSyslog=no
ForwardToKMsg=no
ForwardToConsole=no
ForwardToWall=no
RateLimitIntervalSec=0
Compress=no
RuntimeMaxUse=16M
RuntimeMaxFileSize=4M
RuntimeKeepFree=0
"""

_TIMEOUT = 30
_counter = itertools.count()


class JournaldError(RuntimeError):
    """journald did not start, or did not answer."""


class Entry:
    """One journal entry as the sender wrote it: its fields (name, bytes) in
    the order journalctl gives them, without journald's own (trusted fields
    and addresses, whose names begin with "_")."""

    def __init__(self, fields):
        self.fields = [(k, v) for k, v in fields if not k.startswith('_')]

    def __getitem__(self, key):
        for name, value in self.fields:
            if name == key:
                return value.decode('utf-8')
        raise KeyError(key)

    def get(self, key, default=None):
        try:
            return self[key]
        except KeyError:
            return default

    def __repr__(self):
        return f'Entry({self.fields!r})'


def parse_export(data):
    """Entries of journalctl's export format, each a list of (name, bytes):
    NAME=text lines, or NAME, a newline, a 64-bit little-endian length and
    that many bytes, then a newline; an empty line ends an entry."""
    entries, fields, pos = [], [], 0
    while pos < len(data):
        newline = data.index(b'\n', pos)
        if newline == pos:
            entries.append(fields)
            fields, pos = [], pos + 1
            continue
        line = data[pos:newline]
        if b'=' in line:
            name, value = line.split(b'=', 1)
            fields.append((name.decode('ascii'), value))
            pos = newline + 1
            continue
        start = newline + 1 + 8
        length = int.from_bytes(data[newline + 1:start], 'little')
        fields.append((line.decode('ascii'), data[start:start + length]))
        pos = start + length + 1
    if fields:
        entries.append(fields)
    return entries


class Journald:
    """One journald instance with its sockets in `sockets` and its journal
    files in `files`; `workdir` takes its own log."""

    def __init__(self, sockets, files, workdir):
        self.sockets = Path(sockets)
        self.files = Path(files)
        self.workdir = Path(workdir)
        self.files.mkdir(exist_ok=True)
        self._process = None
        self.log_path = self.workdir / 'journald.log'

    @property
    def socket_path(self):
        return self.sockets / 'socket'

    def _script(self):
        return '\n'.join([
            'set -e',
            'mount -t tmpfs -o mode=0755 journald-run /run',
            'mkdir -p /run/systemd/journal /run/log/journal '
            '/run/systemd/journald.conf.d',
            f'mount --bind "{self.sockets}" /run/systemd/journal',
            f'mount --bind "{self.files}" /run/log/journal',
            f"cat > /run/systemd/journald.conf.d/zz-sandbox.conf <<'EOF'\n"
            f'{SETTINGS}EOF',
            # Persistent files stay out of reach whatever the host has.
            'if [ -d /var/log/journal ]; then '
            'mount -t tmpfs journald-var /var/log/journal; fi',
            f'exec {JOURNALD}',
        ])

    def start(self):
        """Starts journald and waits until it reports that it is ready."""
        if self._process is not None:
            return
        prefix = ['unshare', '--mount', '--propagation', 'private']
        if os.geteuid() != 0:
            prefix[1:1] = ['--user', '--map-root-user']
        notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        name = f'morvex-journald-{os.getpid()}-{next(_counter)}'
        notify.bind('\0' + name)
        try:
            with open(self.log_path, 'ab') as log:
                self._process = subprocess.Popen(
                    prefix + ['/bin/sh', '-c', self._script()],
                    env={'PATH': '/usr/sbin:/usr/bin:/sbin:/bin',
                         'NOTIFY_SOCKET': '@' + name,
                         'SYSTEMD_LOG_TARGET': 'console',
                         'SYSTEMD_LOG_LEVEL': 'warning'},
                    stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    start_new_session=True)
            self._wait_ready(notify)
        except BaseException:
            self.stop()
            raise
        finally:
            notify.close()

    def _wait_ready(self, notify):
        deadline = time.monotonic() + _TIMEOUT
        notify.settimeout(0.1)
        while time.monotonic() < deadline:
            if self._process.poll() is not None:
                raise JournaldError('journald exited: '
                                    + self.log_path.read_text())
            try:
                message = notify.recv(4096)
            except socket.timeout:
                continue
            if b'READY=1' in message.split(b'\n'):
                return
        raise JournaldError('journald did not become ready')

    def sync(self):
        """Returns once journald has stored everything sent to it before:
        it handles a sync request after the entries already queued."""
        synced = self.sockets / 'synced'
        synced.unlink(missing_ok=True)
        self._process.send_signal(signal.SIGRTMIN + 1)
        deadline = time.monotonic() + _TIMEOUT
        while not synced.exists():
            if self._process.poll() is not None:
                raise JournaldError('journald exited: '
                                    + self.log_path.read_text())
            if time.monotonic() > deadline:
                raise JournaldError('journald did not sync')
            time.sleep(0.002)

    def journalctl_command(self, *args):
        """journalctl reading this journal's files from the host side."""
        return [JOURNALCTL, '--directory', str(self.files), *args]

    def entries(self, *matches):
        """Every entry that a program sent (journald's own left out), in
        order; `matches` are journalctl's FIELD=VALUE matches."""
        if self._process is not None and self._process.poll() is None:
            self.sync()
        completed = subprocess.run(
            self.journalctl_command('--output', 'export', '_TRANSPORT=journal',
                                    *matches),
            capture_output=True, check=False)
        # "No entries" is not an error; anything on standard error is.
        if completed.returncode != 0 or completed.stderr.strip():
            raise JournaldError(f'journalctl failed: {completed.stderr!r}')
        return [Entry(fields) for fields in parse_export(completed.stdout)]

    def kill(self):
        """Ends journald at once; its sockets stay behind unanswered."""
        if self._process is not None:
            if self._process.poll() is None:
                self._process.kill()
            self._process.wait()
            self._process = None

    def stop(self):
        """Ends journald; its journal files stay for a look afterwards."""
        if self._process is not None and self._process.poll() is None:
            self._process.terminate()
            try:
                self._process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                pass
        self.kill()
