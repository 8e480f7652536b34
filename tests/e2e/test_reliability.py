"""What the tool keeps whole when things go wrong around it: the task list
under kills, failing writes, contention and planted files; the job lookup
under a peer that never answers."""

import os
import random
import signal
import subprocess
import time

import pytest

from conftest import BUILD_ROOT, JOB_CONTROL, fail_line, with_faults
from test_config_jobs import (EXPORT_QUEUED, FILE_EXPORT, HELPER,
                              INFO_EXPORT, LIST, files_in, helper_entry,
                              list_file, put_list, run, task_list,
                              update_entry)

LIST_PATH = '/var/lib/qorad/' + LIST
BUS_PROBE = BUILD_ROOT / 'tests' / 'e2e' / 'bus_probe'
OLD = [update_entry(f'JID_{n}') for n in range(50)]
# What an export makes of OLD when no configuration file is there.
NEW = [FILE_EXPORT, *OLD]
ENTRIES = {'old': OLD, 'new': NEW}


def pending_list(sandbox):
    """The list the next run takes: the intent copy an interrupted write
    left behind, else the list itself."""
    intent = sandbox.qorad / (LIST + '.intent')
    return (intent if intent.exists() else list_file(sandbox)).read_bytes()


def next_run_keeps(sandbox, entries):
    """The next run reads the list whole, keeps every entry and leaves no
    copy behind."""
    result = sandbox.run('append', 'NEXT', program=HELPER, bus='unreachable')
    assert (result.returncode, result.stdout, result.stderr) == (0, b'', b'')
    assert list_file(sandbox).read_bytes() == task_list(
        *entries, helper_entry('NEXT'))
    assert [n for n in files_in(sandbox)
            if n.startswith(LIST + '.') and n != LIST + '.lock'] == []


def export_with_faults(sandbox, suffix, faults, **options):
    wrapper = with_faults(sandbox, FAULT_SHIM_FILE=LIST_PATH + suffix,
                          FAULT_SHIM_FAULTS=faults)
    return sandbox.run('exportBIOSConfig', program=wrapper, bus='unreachable',
                       **options)


# ------------------------------------------------------------ kills

@pytest.mark.parametrize('suffix,faults,survivor', [
    ('.intent.new', 'pwrite:1:kill', 'old'),
    ('.intent.new', 'fsync:1:kill', 'old'),
    ('', 'fallocate:1:kill', 'new'),
    ('', 'pwrite:1:kill', 'new'),
    ('', 'pwrite:1:short,pwrite:2:kill', 'new'),
    ('', 'ftruncate:1:kill', 'new'),
    ('', 'fsync:1:kill', 'new'),
])
def test_kill_at_each_step_of_a_write(sandbox, suffix, faults, survivor):
    put_list(sandbox, task_list(*OLD))
    result = export_with_faults(sandbox, suffix, faults)
    assert result.returncode == -signal.SIGKILL
    assert pending_list(sandbox) == task_list(*ENTRIES[survivor])
    next_run_keeps(sandbox, ENTRIES[survivor])


def test_kills_at_random_instants_never_tear_a_large_list(sandbox):
    rng = random.Random(10)
    model = [update_entry(f'JID_{n}') for n in range(20000)]
    put_list(sandbox, task_list(*model))
    config = sandbox.qorad / 'BIOS_Config.json'

    def change(step):
        """Runs step's command, returning its process and the list it
        writes."""
        kind = step % 3
        if kind == 2:
            return (sandbox.popen('append', f'K{step}', program=HELPER,
                                  bus='unreachable'),
                    model + [helper_entry(f'K{step}')])
        if kind == 0:
            config.write_bytes(b'{}')
        else:
            config.unlink(missing_ok=True)
        rest = [e for e in model if e[0] != 'INVENTORY']
        return (sandbox.popen('exportBIOSConfig', bus='unreachable'),
                [INFO_EXPORT if kind == 0 else FILE_EXPORT, *rest])

    # The instants are drawn over the time a whole run takes here.
    started = time.monotonic()
    process, model = change(0)
    assert process.wait(timeout=120) == 0
    span = time.monotonic() - started
    for step in range(1, 31):
        process, changed = change(step)
        time.sleep(rng.uniform(0, span))
        process.kill()
        process.communicate(timeout=120)
        found = pending_list(sandbox)
        assert found in (task_list(*model), task_list(*changed)), step
        if found == task_list(*changed):
            model = changed
        result = sandbox.run('append', f'N{step}', program=HELPER,
                             bus='unreachable')
        assert (result.returncode, result.stdout, result.stderr) == (
            0, b'', b''), step
        model = model + [helper_entry(f'N{step}')]
        assert list_file(sandbox).read_bytes() == task_list(*model), step
    next_run_keeps(sandbox, model)


# ---------------------------------------------------- failing writes

@pytest.mark.parametrize('suffix,faults,survivor', [
    ('', 'pwrite:1:short', 'new'),
    ('', 'pwrite:*:EIO', 'new'),
    ('', 'pwrite:1:short,pwrite:*:EIO', 'new'),
    ('', 'ftruncate:*:EIO', 'new'),
    ('', 'fsync:*:EIO', 'new'),
    ('', 'fallocate:*:ENOSPC', 'old'),
    ('.intent.new', 'pwrite:*:ENOSPC', 'old'),
    ('.intent.new', 'pwrite:*:EIO', 'old'),
    ('.intent.new', 'fsync:*:EIO', 'old'),
])
def test_failed_write_never_damages_the_list(sandbox, suffix, faults,
                                             survivor):
    put_list(sandbox, task_list(*OLD))
    result = export_with_faults(sandbox, suffix, faults)
    # As the job has always done, it carries on as if the write succeeded.
    assert (result.returncode, result.stdout, result.stderr) == (
        0, EXPORT_QUEUED, b'')
    assert pending_list(sandbox) == task_list(*ENTRIES[survivor])
    next_run_keeps(sandbox, ENTRIES[survivor])


@pytest.mark.parametrize('faults', ['', 'fallocate:*:EOPNOTSUPP'])
def test_full_file_system_keeps_a_list_that_would_grow(sandbox, faults):
    """Room for the intent copy but not for the list's growth, with and
    without a file system that can reserve space."""
    page = 4096
    entries = []
    while len(task_list(*entries, update_entry('next'))) <= page:
        entries.append(update_entry(f'JID_{len(entries)}'))
    put_list(sandbox, task_list(*entries))
    assert len(task_list(FILE_EXPORT, *entries)) <= 2 * page
    (sandbox.qorad / 'filler').write_bytes(b'\xa5' * (13 * page))
    result = export_with_faults(sandbox, '', faults, qorad_size='64k')
    assert (result.returncode, result.stdout, result.stderr) == (
        0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(*entries)
    (sandbox.qorad / 'filler').unlink()
    next_run_keeps(sandbox, entries)


# ---------------------------------------------------- lock and names

def plant(path, kind, target):
    if kind == 'directory':
        path.mkdir()
    elif kind == 'fifo':
        os.mkfifo(path)
    else:
        path.symlink_to(target)


@pytest.mark.parametrize('kind,reason', [
    ('directory', 'not a regular file'),
    ('fifo', 'not a regular file'),
    ('symlink', 'Too many levels of symbolic links'),
])
@pytest.mark.parametrize('command,number,status', [
    ('exportBIOSConfig', 901, 1),
    ('importBIOSConfig', 902, 1),
    ('updateStatus', 903, 0),
])
def test_unusable_lock_changes_nothing_and_says_so(
        sandbox, bmc, request, kind, reason, command, number, status):
    words = [command]
    if command == 'updateStatus':
        request.getfixturevalue('journal')
        bmc.job('xyz.morvex_project.Software.Host.Jobs',
                '/xyz/morvex_project/jobs/1', 'JID_1')
        words += ['JID_1', '100', '1']
    put_list(sandbox, task_list(update_entry('JID_1')))
    target = sandbox.workdir / 'target'
    plant(sandbox.qorad / (LIST + '.lock'), kind, target)
    result = sandbox.run(*words,
                         bus=None if command == 'updateStatus'
                         else 'unreachable')
    assert (result.returncode, result.stdout, result.stderr) == (
        status, b'', fail_line(
            command, number,
            f'Task list left unchanged: {LIST_PATH}.lock cannot be opened '
            f'safely ({reason})'))
    assert list_file(sandbox).read_bytes() == task_list(update_entry('JID_1'))
    assert not target.exists()


SUFFIXES = ['.lock', '.intent', '.intent.new', '.unreadable.new',
            '.unreadable.1', '.unreadable.3', '']


@pytest.mark.parametrize('existing', [True, False], ids=['target',
                                                         'dangling'])
@pytest.mark.parametrize('suffix', SUFFIXES)
def test_no_write_through_a_link_at_any_name(sandbox, suffix, existing):
    target = sandbox.workdir / 'target'
    if existing:
        target.write_bytes(b'precious')
    if suffix:
        put_list(sandbox, b'broken')
    (sandbox.qorad / (LIST + suffix)).symlink_to(target)
    result = run(sandbox, 'exportBIOSConfig')
    assert target.read_bytes() == b'precious' if existing else \
        not target.exists()
    if suffix == '.lock':
        assert result[:2] == (1, b'')
        assert list_file(sandbox).read_bytes() == b'broken'
    elif not suffix:
        # Nothing can be written; as ever, the job carries on.
        assert result == (0, EXPORT_QUEUED, b'')
        assert list_file(sandbox).is_symlink()
    else:
        assert result == (0, b'Document has parse error Invalid value.\n' +
                          EXPORT_QUEUED, b'')
        assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT)
        assert (sandbox.qorad / (LIST + '.unreadable.1')).read_bytes() == \
            b'broken'


@pytest.mark.parametrize('name,entry', [
    ('BIOS_Config.json', INFO_EXPORT),
    (LIST, None),
])
def test_fifo_neither_blocks_nor_is_written(sandbox, name, entry):
    os.mkfifo(sandbox.qorad / name)
    assert run(sandbox, 'exportBIOSConfig', timeout=60) == (
        0, EXPORT_QUEUED, b'')
    if entry:
        assert list_file(sandbox).read_bytes() == task_list(entry)
    else:
        assert list_file(sandbox).is_fifo()


# --------------------------------------------------------- job lookup

SILENT = ('import dbus, sys, time\n'
          'bus = dbus.bus.BusConnection(sys.argv[1])\n'
          'bus.request_name(sys.argv[2])\n'
          'print("ready", flush=True)\n'
          'time.sleep(600)\n')


@pytest.mark.parametrize('silent', ['mapper', 'candidate'])
def test_job_lookup_ends_at_its_deadline(sandbox, bmc, silent):
    """A peer that never answers ends the whole lookup at its deadline, as a
    failed mapper call does; a job behind it is not looked for."""
    bmc.job('xyz.s.a', '/xyz/morvex_project/jobs/1', 'JID_1')
    if silent == 'mapper':
        bmc.mapper = False
        name = 'xyz.morvex_project.ObjectMapper'
    else:
        name = 'xyz.s.silent'
        bmc.mapper_extra = [['/xyz/morvex_project/jobs/0', name,
                             [JOB_CONTROL]]]
    bmc.start()
    peer = subprocess.Popen(['/usr/bin/python3', '-c', SILENT, bmc.address,
                             name], stdout=subprocess.PIPE)
    try:
        assert peer.stdout.readline() == b'ready\n'
        result = sandbox.run('lookup', 'JID_1', '2000', program=BUS_PROBE)
    finally:
        peer.kill()
        peer.wait()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, b'[][]\n', fail_line(
            'getObjPathServNameFromJobId', 221,
            'Exception making DBus call: sd_bus_call: '
            'org.freedesktop.DBus.Error.Timeout: Connection timed out'))
    assert [c['member'] for c in bmc.calls()] == (
        ['GetSubTree'] if silent == 'candidate' else [])
