"""What keeps the task list whole: runs killed or failing at every step of a
write, a full file system, and the lock that serialises runs."""

import fcntl
import signal
import subprocess

import pytest

from conftest import fail_line, with_faults
from task_lists import (EXPORT_QUEUED, FILE_EXPORT, LIST, LIST_PATH, job,
                        plant, state, task_list, update_entry)

UPDATES = [update_entry(f'JID_{n}') for n in range(50)]
OLD, NEW = task_list(*UPDATES), task_list(FILE_EXPORT, *UPDATES)
PAGE = 4096


def export(sandbox, **options):
    result = sandbox.run('exportBIOSConfig', bus='unreachable', **options)
    return result.returncode, result.stdout, result.stderr


def pending_list(sandbox):
    """The list the next run takes: an intent copy's text (behind its first
    line), else the list."""
    intent = sandbox.qorad / (LIST + '.intent')
    if intent.exists():
        return intent.read_bytes().split(b'\n', 1)[1]
    return (sandbox.qorad / LIST).read_bytes()


@pytest.mark.parametrize('suffix,faults,survivor', [
    ('.intent.new', 'pwrite:1:kill', OLD),
    ('.intent.new', 'fsync:1:kill', OLD),
    ('', 'fallocate:1:kill', NEW),
    ('', 'pwrite:1:kill', NEW),
    ('', 'pwrite:1:short,pwrite:2:kill', NEW),
    ('', 'ftruncate:1:kill', NEW),
    ('', 'fsync:1:kill', NEW),
    ('', 'pwrite:1:short', NEW),
    ('', 'pwrite:*:EIO', NEW),
    ('', 'pwrite:1:short,pwrite:*:EIO', NEW),
    ('', 'ftruncate:*:EIO', NEW),
    ('', 'fsync:*:EIO', NEW),
    ('', 'fallocate:*:EOPNOTSUPP', NEW),
    ('', 'fallocate:*:ENOSPC', OLD),
    ('.intent.new', 'pwrite:*:ENOSPC', OLD),
    ('.intent.new', 'pwrite:*:EIO', OLD),
    ('.intent.new', 'fsync:*:EIO', OLD),
])
def test_killed_or_failed_write_leaves_a_whole_list(sandbox, suffix, faults,
                                                    survivor):
    """A kill or a failed write (reported to no one, as ever) leaves the old
    list or the new one's intent copy, which the next run takes whole."""
    (sandbox.qorad / LIST).write_bytes(OLD)
    wrapper = with_faults(sandbox, FAULT_SHIM_FILE=LIST_PATH + suffix,
                          FAULT_SHIM_FAULTS=faults)
    result = export(sandbox, program=wrapper)
    assert result == ((-signal.SIGKILL, b'', b'') if 'kill' in faults
                      else (0, EXPORT_QUEUED, b''))
    assert pending_list(sandbox) == survivor
    assert export(sandbox) == (0, EXPORT_QUEUED, b'')
    assert state(sandbox.qorad) == {'': NEW, '.lock': b''}


NEAR = task_list(*UPDATES[:13])  # one page; with an export entry, two
UNREADABLE = b'{"QORAJob": [ broken' + b' ' * 3000


@pytest.mark.parametrize('before,free,faults,after', [
    (NEAR, 0, '', NEAR),
    (NEAR, 2, '', NEAR),
    (NEAR, 2, 'fallocate:*:EOPNOTSUPP', NEAR),
    (task_list(*[job('inventory')] * 13), 0, '', task_list(FILE_EXPORT)),
    (UNREADABLE, 0, '', UNREADABLE),
], ids=['no room for the intent copy of a longer list',
        'room for the intent copy, not for a longer list',
        'no room for a longer list where none can be reserved',
        'no room for the intent copy of a shorter list',
        'no room for a backup'])
def test_full_file_system_leaves_a_whole_list(sandbox, before, free, faults,
                                              after):
    """A file system of 16 pages, the list in one and `free` left."""
    filler = b'\xa5' * ((15 - free) * PAGE)
    plant(sandbox.qorad, {'': before, 'filler': filler})
    wrapper = with_faults(sandbox, FAULT_SHIM_FILE=LIST_PATH,
                          FAULT_SHIM_FAULTS=faults)
    assert export(sandbox, program=wrapper, qorad_size='64k') == (
        0, b'Document has parse error Invalid value.\n' * (
            before == UNREADABLE) + EXPORT_QUEUED, b'')
    assert state(sandbox.qorad) == {'': after, '.lock': b'', 'filler': filler}


@pytest.mark.parametrize('kind,words,line,status', [
    ('dir', ['exportBIOSConfig'], 'exportBIOSConfig.901', 1),
    ('fifo', ['importBIOSConfig'], 'importBIOSConfig.902', 1),
    ('link -> target', ['updateStatus', 'JID_1', '100', '1'],
     'updateStatus.903', 0),
    ('link -> absent', ['forceExportBIOSConfig'], 'exportBIOSConfig.901', 1),
])
def test_unusable_lock_changes_nothing_and_says_so(
        sandbox, bmc, journal, kind, words, line, status):
    bmc.job('s.a', '/xyz/morvex_project/jobs/1', 'JID_1')
    files = {'': task_list(update_entry('JID_1')), '.lock': kind,
             'target': b''}
    plant(sandbox.qorad, files)
    result = sandbox.run(*words)
    reason = 'not a regular file' if kind in ('dir', 'fifo') else \
        'Too many levels of symbolic links'
    assert (result.returncode, result.stdout, result.stderr) == (
        status, b'', fail_line(*line.split('.'), 'Task list left unchanged: '
                               f'{LIST_PATH}.lock cannot be opened safely '
                               f'({reason})'))
    assert state(sandbox.qorad) == files


def test_a_run_waits_for_the_holder_of_the_lock(sandbox):
    with open(sandbox.qorad / (LIST + '.lock'), 'wb') as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        waiting = sandbox.popen('exportBIOSConfig', bus='unreachable')
        # A run that did not wait would be done by now; one that waits
        # reads only what the holder leaves.
        try:
            waiting.wait(timeout=2)
        except subprocess.TimeoutExpired:
            pass
        (sandbox.qorad / LIST).write_bytes(task_list(update_entry('HELD')))
    assert waiting.communicate(timeout=60) == (EXPORT_QUEUED, b'')
    assert state(sandbox.qorad) == {
        '': task_list(FILE_EXPORT, update_entry('HELD')), '.lock': b''}
