"""The systemd journal inside the sandbox: Debian's systemd-journald, one
instance per test that asks for the fixture `journal` (sim/journald.py).

The instance's sockets live in <sandbox.journal>, which the sandbox mounts
over /run/systemd/journal, so the tool run inside reaches it; its journal
files live in <workdir>/journal-files and are read back with journalctl.
An entry comes back as the sender wrote it, less what journald rejected or
rewrote; journald's own fields (names beginning with "_") are left out.

Every run but getJobStatus also leaves its audit record (MESSAGE_ID
AUDIT_ID); entries() leaves those out, audit_records() gives only them.

Without the fixture no socket exists, and the event-log library refuses to
write: that is how its failure paths are reached.
"""

import pytest

from journald import Journald

# The audit record's MESSAGE_ID (src/audit/audit_record.hpp).
AUDIT_ID = '359a8a23db3c401da869a6c242d4df69'


class Journal:
    """The tool's entries in one journald instance."""

    def __init__(self, sandbox):
        self.journald = Journald(sandbox.journal,
                                 sandbox.workdir / 'journal-files',
                                 sandbox.workdir)
        self.journald.start()

    def entries(self):
        """Every entry sent since the start but the audit records, in the
        order journald stored them."""
        return [e for e in self.journald.entries()
                if e.get('MESSAGE_ID') != AUDIT_ID]

    def audit_records(self):
        """The audit records, in order, as {field: text} without
        journald's own fields."""
        return [dict((k, v.decode()) for k, v in e.fields)
                for e in self.journald.entries('MESSAGE_ID=' + AUDIT_ID)]

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
