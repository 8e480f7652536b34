"""The systemd journal inside the sandbox: Debian's systemd-journald, one
instance per test that asks for the fixture `journal` (sim/journald.py).

The instance's sockets live in <sandbox.journal>, which the sandbox mounts
over /run/systemd/journal, so the tool run inside reaches it; its journal
files live in <workdir>/journal-files and are read back with journalctl.
An entry comes back as the sender wrote it, less what journald rejected or
rewrote; journald's own fields (names beginning with "_") are left out.

Without the fixture no socket exists, and the event-log library refuses to
write: that is how its failure paths are reached.
"""

import pytest

from journald import Journald


class Journal:
    """The tool's entries in one journald instance."""

    def __init__(self, sandbox):
        self.journald = Journald(sandbox.journal,
                                 sandbox.workdir / 'journal-files',
                                 sandbox.workdir)
        self.journald.start()
        self._skipped = 0

    def entries(self):
        """Every entry sent since the start (or the last clear), in the
        order journald stored them."""
        return self.journald.entries()[self._skipped:]

    def find(self, **fields):
        """Entries whose given fields hold the given texts."""
        return [e for e in self.entries()
                if all(e.get(k) == v for k, v in fields.items())]

    def clear(self):
        self._skipped += len(self.entries())

    def refuse(self):
        """Ends journald but leaves its sockets: senders are refused."""
        self.journald.kill()

    def close(self):
        """Ends journald and removes its socket: senders find none."""
        self.journald.stop()
        self.journald.socket_path.unlink(missing_ok=True)


@pytest.fixture
def journal(sandbox):
    """A journal that records entries written inside the sandbox."""
    instance = Journal(sandbox)
    yield instance
    instance.close()
