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

    def entries(self):
        """Every entry sent since the start, in the order journald stored
        them."""
        return self.journald.entries()

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
