"""The stand-ins of the platform libraries where the tool's own runs do not
reach: an event whose message id the event-log library does not know. (A
manifest library built to trust another root key is test_token_signing's.)
"""

from conftest import BUILD_ROOT

EVENT_PROBE = BUILD_ROOT / 'tests' / 'e2e' / 'event_probe'


def test_unknown_message_id_still_gives_a_readable_event(sandbox, journal):
    result = sandbox.run('BIOS.TEST.1', 'RED999', 'one', 'two',
                         program=EVENT_PROBE)
    assert (result.returncode, result.stderr) == (0, b'')
    [entry] = journal.entries()
    assert (entry['MESSAGE'], entry['PRIORITY']) == (
        'Event BIOS.TEST.1: one, two', '5')
