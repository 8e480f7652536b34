"""BIOS-configuration export and import jobs and the task list file they
change, checked byte for byte on the file, standard output, standard error
and the exit status."""

import functools
import os
import subprocess
import time

import pytest

from conftest import BUILD_ROOT, usage_text

HELPER = BUILD_ROOT / 'tests' / 'e2e' / 'task_list_helper'

LIST = 'BIOS_task_list.json'
EXPORT_QUEUED = b'::: Export BIOS Config Task queued for next host reboot\n'
IMPORT_QUEUED = b'::: Import BIOS Config Task queued for next host reboot\n'
FIELD_MISSING = b'Field missing, ignoring this entry\n'

KEYS = ('JobType', 'DisplayName', 'FQDD', 'JOBID', 'ResourceURI',
        'ResourceType', 'ResourceNamespace')

FILE_EXPORT = ('INVENTORY', 'BIOS Config', 'BIOS.Setup.1-1', '',
               '/var/lib/qorad/BIOS_Config.json', 'FILE', 'BASECONFIG')
INFO_EXPORT = ('INVENTORY', 'BIOS Config', 'BIOS.Setup.1-1', '', 'NA', 'INFO',
               'BASECONFIG')


def import_entry(job_id):
    return ('CONFIG', 'BIOS Config', 'BIOS.Setup.1-1', job_id,
            '/var/lib/qorad/pending/BIOS_Config.json', 'FILE', 'BASECONFIG')


def update_entry(job_id):
    return ('UPDATE', 'BIOS Update', 'BIOS.Setup.1-1', job_id,
            '/tmp/tmpBIOSPayload/capsule.bin', 'File', 'ConfigDb')


def helper_entry(job_id):
    return ('UPDATE', 'BIOS Update', 'BIOS.Setup.1-1', job_id,
            '/tmp/tmpBIOSPayload/helper.bin', 'File', 'ConfigDb')


def job(job_type, job_id='x'):
    return (job_type, 'BIOS Config', 'BIOS.Setup.1-1', job_id, 'NA', 'INFO',
            'BASECONFIG')


def quoted(text):
    """A JSON string as the tool writes it: quotation mark, backslash and
    control characters escaped, every other byte as it is."""
    short = {'"': '\\"', '\\': '\\\\', '\b': '\\b', '\f': '\\f', '\n': '\\n',
             '\r': '\\r', '\t': '\\t'}
    out = []
    for ch in text:
        if ch in short:
            out.append(short[ch])
        elif ord(ch) < 0x20:
            out.append(f'\\u{ord(ch):04X}')
        else:
            out.append(ch)
    return '"' + ''.join(out) + '"'


@functools.lru_cache(maxsize=None)
def _block(entry):
    """One entry's lines in the file (kept: large lists repeat them)."""
    members = ',\n'.join(f'            {quoted(k)}: {quoted(v)}'
                         for k, v in zip(KEYS, entry))
    return '        {\n' + members + '\n        }'


def task_list(*entries):
    """The exact bytes of a task list file holding `entries`."""
    if not entries:
        return b'{\n    "QORAJob": []\n}'
    return ('{\n    "QORAJob": [\n' + ',\n'.join(map(_block, entries)) +
            '\n    ]\n}').encode()


def element(entry, extra=''):
    """One compact JSON element for a hand-made list."""
    return ('{' + ', '.join(f'{quoted(k)}: {quoted(v)}'
                            for k, v in zip(KEYS, entry)) + extra + '}')


def run(sandbox, *words, **kwargs):
    result = sandbox.run(*words, bus='unreachable', **kwargs)
    return result.returncode, result.stdout, result.stderr


def list_file(sandbox):
    return sandbox.qorad / LIST


def put_list(sandbox, content):
    list_file(sandbox).write_bytes(content)


def files_in(sandbox):
    return sorted(p.name for p in sandbox.qorad.iterdir())


# ------------------------------------------------------------------ export

def test_export_with_nothing_present_queues_the_file_kind(sandbox):
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT)


@pytest.mark.parametrize('command,entry', [
    ('exportBIOSConfig', INFO_EXPORT),
    ('forceExportBIOSConfig', FILE_EXPORT),
])
def test_export_kind_follows_the_configuration_file(sandbox, command, entry):
    (sandbox.qorad / 'BIOS_Config.json').write_bytes(b'{}')
    assert run(sandbox, command) == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(entry)
    assert (sandbox.qorad / 'BIOS_Config.json').read_bytes() == b'{}'


def test_configuration_file_that_cannot_be_opened_gives_the_file_kind(
        sandbox):
    (sandbox.qorad / 'BIOS_Config.json').symlink_to('nowhere')
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT)


def test_two_exports_leave_one_export_entry(sandbox):
    for _ in range(2):
        assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT)


def test_export_removes_only_whole_word_inventory_in_any_case(sandbox):
    put_list(sandbox, task_list(
        update_entry('JID_1'), job('Inventory'), job('inventoryX'),
        job('iNVENTORY'), job(''), job('INVENTORY ')))
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(
        FILE_EXPORT, update_entry('JID_1'), job('inventoryX'), job(''),
        job('INVENTORY '))


@pytest.mark.parametrize('command', ['exportBIOSConfig',
                                     'forceExportBIOSConfig'])
@pytest.mark.parametrize('job_type', ['CONFIG', 'config', 'Config',
                                      'cOnFiG'])
def test_pending_import_blocks_export_and_leaves_the_file(sandbox, command,
                                                          job_type):
    content = task_list(update_entry('JID_1'), job(job_type, 'JobID_7'),
                        job('INVENTORY', ''))
    put_list(sandbox, content)
    # An old time stamp makes any rewrite visible, even within one tick.
    os.utime(list_file(sandbox), ns=(1_000_000_000, 1_000_000_000))
    before = os.stat(list_file(sandbox))
    assert run(sandbox, command) == (0, b'', b'')
    after = os.stat(list_file(sandbox))
    assert list_file(sandbox).read_bytes() == content
    assert (after.st_ino, after.st_mtime_ns, after.st_size) == (
        before.st_ino, before.st_mtime_ns, before.st_size)
    assert LIST + '.unreadable.1' not in files_in(sandbox)


@pytest.mark.parametrize('job_type', ['CONFIGURE', 'configs', ' config',
                                      'CONFIG ', 'CONF', '',
                                      'C\u00d6NFIG'])
def test_job_type_merely_like_config_does_not_block(sandbox, job_type):
    put_list(sandbox, task_list(job(job_type)))
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT,
                                                        job(job_type))


# ------------------------------------------------------------------ import

def import_job_id(sandbox):
    """Runs an import and returns the job id it queued, checking that it
    names the clock's seconds at the run."""
    before = int(time.time())
    assert run(sandbox, 'importBIOSConfig') == (1, IMPORT_QUEUED, b'')
    after = int(time.time())
    text = list_file(sandbox).read_bytes()
    start = text.index(b'"JOBID": "JobID_') + len(b'"JOBID": "JobID_')
    digits = text[start:text.index(b'"', start)].decode()
    assert digits == str(int(digits))
    assert before <= int(digits) <= after
    return 'JobID_' + digits


def test_import_with_nothing_present(sandbox):
    job_id = import_job_id(sandbox)
    assert list_file(sandbox).read_bytes() == task_list(import_entry(job_id))
    assert not (sandbox.qorad / 'pending').exists()


def test_import_replaces_pending_jobs_and_keeps_updates_in_place(sandbox):
    put_list(sandbox, task_list(
        FILE_EXPORT, update_entry('JID_1'), import_entry('JobID_1'),
        update_entry('JID_2'), job('Inventory'), job('other')))
    job_id = import_job_id(sandbox)
    assert list_file(sandbox).read_bytes() == task_list(
        import_entry(job_id), update_entry('JID_1'), update_entry('JID_2'),
        job('other'))


def test_export_after_import_is_blocked(sandbox):
    job_id = import_job_id(sandbox)
    assert run(sandbox, 'exportBIOSConfig') == (0, b'', b'')
    assert list_file(sandbox).read_bytes() == task_list(import_entry(job_id))


# ------------------------------------------------------------ command line

@pytest.mark.parametrize('command', ['exportBIOSConfig',
                                     'forceExportBIOSConfig',
                                     'importBIOSConfig'])
def test_extra_argument_prints_usage_and_queues_nothing(sandbox, updater,
                                                        command):
    assert run(sandbox, command, 'extra') == (1, usage_text(updater), b'')
    assert files_in(sandbox) == []


@pytest.mark.parametrize('command,status,stdout,entry', [
    ('EXPORTBIOSCONFIG', 0, EXPORT_QUEUED, INFO_EXPORT),
    ('exportbiosconfig', 0, EXPORT_QUEUED, INFO_EXPORT),
    ('ForceExportBiosConfig', 0, EXPORT_QUEUED, FILE_EXPORT),
])
def test_mixed_case_names_select_export(sandbox, command, status, stdout,
                                        entry):
    (sandbox.qorad / 'BIOS_Config.json').write_bytes(b'')
    assert run(sandbox, command) == (status, stdout, b'')
    assert list_file(sandbox).read_bytes() == task_list(entry)


def test_mixed_case_name_selects_import(sandbox):
    assert run(sandbox, 'IMPORTbiosCONFIG') == (1, IMPORT_QUEUED, b'')
    assert b'"JobType": "CONFIG"' in list_file(sandbox).read_bytes()


# --------------------------------------------------------------- the reader

FULL = element(update_entry('JID_1'))
WITH_EXTRA = element(update_entry('J'), ', "x": [1]')


@pytest.mark.parametrize('content,stdout,kept', [
    (b'{"QORAJob": []}', b'', []),
    (b'{"QORAJob":[]}\n', b'', []),
    (f'{{"QORAJob": [{FULL}]}}\n'.encode(), b'', [update_entry('JID_1')]),
    # Extra members, in an element and at the top, are not written back.
    (f'{{"a": 1, "QORAJob": [{WITH_EXTRA}], "z": {{}}}}'.encode(), b'',
     [update_entry('J')]),
    # Duplicates are kept.
    (f'{{"QORAJob": [{FULL}, {FULL}]}}'.encode(), b'',
     [update_entry('JID_1')] * 2),
    # A member in another order or spelled as another case.
    (('{"QORAJob": [{"JOBID": "A", "ResourceNamespace": "N", "FQDD": "F",'
      ' "DisplayName": "D", "ResourceType": "T", "ResourceURI": "U",'
      ' "JobType": "J"}]}').encode(), b'', [('J', 'D', 'F', 'A', 'U', 'T',
                                            'N')]),
    # An element lacking JOBID is dropped; those after it stay in order.
    (('{"QORAJob": [' + element(update_entry('1')) + ', ' +
      element(update_entry('2')).replace('"JOBID": "2", ', '') + ', ' +
      element(update_entry('3')) + ']}').encode(), FIELD_MISSING,
     [update_entry('1'), update_entry('3')]),
    # Elements that are not objects, or hold a member that is not a string.
    (('{"QORAJob": [7, "x", ' +
      element(update_entry('1')).replace('"FQDD": "BIOS.Setup.1-1"',
                                         '"FQDD": 5') + ', ' +
      element(update_entry('2')) + ']}').encode(), FIELD_MISSING * 3,
     [update_entry('2')]),
], ids=['empty-array', 'compact-newline', 'one-entry', 'extra-members',
        'duplicates', 'member-order', 'missing-member', 'odd-types'])
def test_export_rewrites_what_the_reader_took(sandbox, content, stdout,
                                              kept):
    put_list(sandbox, content)
    assert run(sandbox, 'exportBIOSConfig') == (0, stdout + EXPORT_QUEUED,
                                                b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT, *kept)


@pytest.mark.parametrize('content,stdout', [
    (b'', b'Document has parse error The document is empty.\n'),
    (b'{"QORAJob": [', b'Document has parse error Invalid value.\n'),
    (b'{"QORAJob": [],}',
     b'Document has parse error Missing a name for object member.\n'),
    (b'{"qorajob": []}', b'NO QORAJob found\n'),
    (b'["QORAJob"]', b'NO QORAJob found\n'),
    (b'{"QORAJob": "[]"}', b'NO Arrays found in QORAJob\n'),
    (b'{"QORAJob": []} {}',
     b'Document has parse error The document root must not be followed by '
     b'other values.\n'),
], ids=['empty', 'cut-short', 'trailing-comma', 'other-case', 'root-array',
        'not-an-array', 'two-roots'])
def test_unusable_list_is_reported_and_kept_aside(sandbox, content, stdout):
    put_list(sandbox, content)
    assert run(sandbox, 'exportBIOSConfig') == (0, stdout + EXPORT_QUEUED,
                                                b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT)
    backups = [LIST + '.unreadable.1'] if content else []
    assert files_in(sandbox) == sorted([LIST, LIST + '.lock', *backups])
    if content:
        assert (sandbox.qorad / backups[0]).read_bytes() == content


def test_backups_keep_the_newest_three(sandbox):
    for n in range(1, 6):
        put_list(sandbox, f'broken {n}'.encode())
        result = run(sandbox, 'importBIOSConfig')
        assert result[0] == 1
    for n, expected in ((1, b'broken 5'), (2, b'broken 4'), (3, b'broken 3')):
        assert (sandbox.qorad / f'{LIST}.unreadable.{n}').read_bytes() == \
            expected
    assert len(files_in(sandbox)) == 5


@pytest.mark.parametrize('text', [
    'say "hi"', 'line\nnext', 'back\\slash', 'tab\tand\x01control',
    'caf\u00e9 \u2603 /slash'])
def test_escaping_round_trip(sandbox, text):
    entry = update_entry(text)
    put_list(sandbox, task_list(entry))
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT, entry)


def test_escaped_nul_cuts_the_field(sandbox):
    put_list(sandbox, ('{"QORAJob": [' +
                       element(update_entry('X')).replace(
                           '"JOBID": "X"', '"JOBID": "JID\\u0000tail"') +
                       ']}').encode())
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert list_file(sandbox).read_bytes() == task_list(FILE_EXPORT,
                                                        update_entry('JID'))


def test_rewrite_keeps_the_file_in_place(sandbox):
    put_list(sandbox, task_list(*[update_entry(str(n)) for n in range(20)]))
    os.chmod(list_file(sandbox), 0o640)
    inode = os.stat(list_file(sandbox)).st_ino
    assert run(sandbox, 'importBIOSConfig')[0] == 1
    status = os.stat(list_file(sandbox))
    assert (status.st_ino, status.st_mode & 0o777) == (inode, 0o640)
    assert list_file(sandbox).read_bytes().endswith(
        task_list(update_entry('19'))[-120:])


# ------------------------------------------------------------------- lock

def test_export_waits_for_the_lock_holder(sandbox):
    holder = sandbox.popen('hold', 'HELD', program=HELPER, bus='unreachable',
                           stdin=subprocess.PIPE)
    try:
        assert holder.stdout.readline() == b'locked\n'
        export = sandbox.popen('exportBIOSConfig', bus='unreachable')
        # Give an export that ignored the lock the chance to finish first;
        # one that waits finishes only after the holder's write.
        try:
            export.wait(timeout=2)
        except subprocess.TimeoutExpired:
            pass
        holder.stdin.write(b'go\n')
        holder.stdin.close()
        assert holder.wait(timeout=60) == 0
        out, err = export.communicate(timeout=60)
        assert (export.returncode, out, err) == (0, EXPORT_QUEUED, b'')
    finally:
        holder.kill()
        holder.wait()
    assert list_file(sandbox).read_bytes() == task_list(
        FILE_EXPORT, helper_entry('HELD'))


def test_concurrent_runs_lose_no_entry(sandbox):
    runs = []
    appended = []
    for n in range(64):
        if n % 2 == 0:
            job_id = f'A{n:02d}'
            appended.append(job_id)
            words, program = ('append', job_id), HELPER
        else:
            words = ('importBIOSConfig' if n % 4 == 1 else 'exportBIOSConfig',)
            program = None
        runs.append((words[0], sandbox.popen(*words, program=program,
                                             bus='unreachable')))
    for command, process in runs:
        out, err = process.communicate(timeout=300)
        assert err == b''
        if command == 'importBIOSConfig':
            assert (process.returncode, out) == (1, IMPORT_QUEUED)
        elif command == 'exportBIOSConfig':
            assert process.returncode == 0
            assert out in (b'', EXPORT_QUEUED)
        else:
            assert (process.returncode, out) == (0, b'')

    # The list is whole: the next run reads it without complaint.
    result = sandbox.run('append', 'LAST', program=HELPER, bus='unreachable')
    assert (result.returncode, result.stdout, result.stderr) == (0, b'', b'')
    text = list_file(sandbox).read_bytes().decode()
    for job_id in appended + ['LAST']:
        assert text.count(f'"JOBID": "{job_id}"') == 1, job_id
    # Every import replaced the pending import, and blocked later exports.
    assert text.count('"JobType": "CONFIG"') == 1
    assert text.count('"JobType": "INVENTORY"') == 0
    assert text.count('"JobType": ') == len(appended) + 2
    assert LIST + '.unreadable.1' not in files_in(sandbox)


# ------------------------------------------------------------- full disk

PAGE = 4096


def fill_qorad(sandbox, used):
    """Fills a 64 KiB file system, of which the list takes `used` pages, up
    to its last page."""
    (sandbox.qorad / 'filler').write_bytes(b'\xa5' * ((16 - used) * PAGE))


def list_near_a_page():
    """The longest list of updates that still fits in one page."""
    entries = []
    while len(task_list(*entries, update_entry('next'))) <= PAGE:
        entries.append(update_entry(f'JID_{len(entries)}'))
    return entries


@pytest.mark.parametrize('command', ['exportBIOSConfig', 'importBIOSConfig'])
def test_full_file_system_leaves_the_list_whole(sandbox, command):
    content = task_list(*list_near_a_page())
    assert len(content) + len(task_list(FILE_EXPORT)) > PAGE
    put_list(sandbox, content)
    fill_qorad(sandbox, used=1)
    status, out, err = run(sandbox, command, qorad_size='64k')
    expected = EXPORT_QUEUED if command == 'exportBIOSConfig' else \
        IMPORT_QUEUED
    assert (out, err) == (expected, b'')
    assert status == (0 if command == 'exportBIOSConfig' else 1)
    assert list_file(sandbox).read_bytes() == content


def test_full_file_system_still_takes_a_shorter_list(sandbox):
    entries = [FILE_EXPORT, import_entry('JobID_1'), job('Config', 'JobID_2')]
    entries += [job('inventory', str(n)) for n in range(10)]
    put_list(sandbox, task_list(*entries))
    fill_qorad(sandbox, used=1)
    status, out, _ = run(sandbox, 'importBIOSConfig', qorad_size='64k')
    assert (status, out) == (1, IMPORT_QUEUED)
    text = list_file(sandbox).read_bytes()
    assert text.count(b'"JobType": ') == 1
    assert b'"JobType": "CONFIG"' in text


def test_full_file_system_keeps_an_unreadable_list(sandbox):
    content = b'{"QORAJob": [ this is not json' + b' ' * 3000
    put_list(sandbox, content)
    fill_qorad(sandbox, used=1)
    status, out, err = run(sandbox, 'exportBIOSConfig', qorad_size='64k')
    assert (status, err) == (0, b'')
    assert out == b'Document has parse error Invalid value.\n' + EXPORT_QUEUED
    assert list_file(sandbox).read_bytes() == content
    assert files_in(sandbox) == sorted([LIST, LIST + '.lock', 'filler'])
