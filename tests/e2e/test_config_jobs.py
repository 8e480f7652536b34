"""BIOS-configuration export and import jobs, and what they make of the task
list and the files beside it: exact output, exit status and every file."""

import os
import time

import pytest

from task_lists import (EXPORT_QUEUED, FIELD_MISSING, FILE_EXPORT,
                        IMPORT_QUEUED, INFO_EXPORT, LIST, compact, element,
                        import_entry, intent, job, members, plant, state,
                        task_list, update_entry)

OLD = 10 ** 9  # a time stamp that shows whether the list was rewritten
NOW = import_entry('<the run\'s time>')
E1, E2, E3 = (update_entry(f'JID_{n}') for n in (1, 2, 3))
INVENTORY = [*map(job, ('Inventory', 'iNVENTORY', 'inventoryX', '',
                        'INVENTORY '))]
ALMOST = [*map(job, ('CONFIGURE', 'configs', ' config', '', 'C\u00d6NFIG'))]


def run(sandbox, *words, **options):
    result = sandbox.run(*words, bus='unreachable', **options)
    return result.returncode, result.stdout, result.stderr


@pytest.mark.parametrize('command,exported,before,after', [
    ('exportBIOSConfig', None, None, [FILE_EXPORT]),
    ('exportbiosconfig', b'{}', None, [INFO_EXPORT]),
    ('ForceExportBiosConfig', b'{}', None, [FILE_EXPORT]),
    ('EXPORTBIOSCONFIG', 'link -> x', None, [FILE_EXPORT]),
    ('exportBIOSConfig', 'fifo', None, [INFO_EXPORT]),
    ('exportBIOSConfig', None, [INFO_EXPORT, E1, *INVENTORY],
     [FILE_EXPORT, E1, *INVENTORY[2:]]),
    ('forceExportBIOSConfig', None, [E1, job('cOnFiG'), INFO_EXPORT], None),
    ('exportBIOSConfig', None, ALMOST, [FILE_EXPORT, *ALMOST]),
    ('importBIOSConfig', None, None, [NOW]),
    ('IMPORTbiosCONFIG', None, [FILE_EXPORT, E1, import_entry('JobID_1'), E2,
                                job('Config'), job('other')],
     [NOW, E1, E2, job('other')]),
], ids=['export: the file kind', 'export beside an exported configuration: '
        'the information kind', 'forced export', 'an exported configuration '
        'that does not open', 'an exported configuration that is a FIFO',
        'export replaces inventory jobs, letter case aside',
        'a pending import blocks an export', 'job types merely like config',
        'import', 'import replaces pending jobs, updates keep their places'])
def test_configuration_jobs(sandbox, command, exported, before, after):
    files = {'BIOS_Config.json': exported} if exported else {}
    if before:
        files[''] = task_list(*before)
    plant(sandbox.qorad, files)
    if before:
        os.utime(sandbox.qorad / LIST, ns=(OLD, OLD))
    started = int(time.time())
    assert run(sandbox, command) == (
        (1, IMPORT_QUEUED, b'') if command.lower().startswith('import') else
        (0, EXPORT_QUEUED if after else b'', b''))
    assert state(sandbox.qorad) in [{**files, '.lock': b''} | ({'': task_list(
        *[import_entry(f'JobID_{t}') if e == NOW else e for e in after])}
        if after else {}) for t in range(started, int(time.time()) + 1)]
    if not after:  # not even rewritten
        assert (sandbox.qorad / LIST).stat().st_mtime_ns == OLD


PARSE = b'Document has parse error '
INVALID = PARSE + b'Invalid value.\n'
NO_LIST = b'NO QORAJob found\n'
SPECIAL = ('say "hi"', 'back\\slash', 'line\nnext\r', 'tab\t\b\f\x01\x1f',
           'caf\u00e9 \u2603 /\x7f', '\udcff\udcfe not UTF-8', '')
BROKEN = b'{"QORAJob": [ broken'
NEW = task_list(FILE_EXPORT)
TARGET = {'target': b'precious'}


def reads(name, content, printed, *kept):
    """The export prints `printed` for `content`, keeps `kept`, backs up."""
    backup = {'.unreadable.1': content} if printed and content else {}
    return pytest.param({'': content}, printed,
                        {'': task_list(FILE_EXPORT, *kept), **backup},
                        id=name)


@pytest.mark.parametrize('before,stdout,after', [
    reads('empty list', b'{"QORAJob":[]}', b''),
    reads('extra members and a final newline', compact(
        element(E1, ', "x": [1, {"a": null}]'), before='"a": 1, ',
        after=', "z": {}') + b'\n', b'', E1),
    reads('duplicates in any member order', compact(*[
        '{' + ', '.join(members(E1)[::-1]) + '}'] * 2), b'', E1, E1),
    reads('the first list counts', compact(element(E1),
                                           after=', "QORAJob": 5'), b'', E1),
    reads('every escape, and bytes that are not UTF-8', task_list(SPECIAL),
          b'', SPECIAL),
    reads('an escaped NUL ends a text', compact(element(E1).replace(
        'JID_1', 'JID\\u0000tail')), b'', update_entry('JID')),
    reads('nested deep', compact(element(E1), after=', "x": ' + '[' * 500 +
                                 ']' * 500), b'', E1),
    reads('nested too deep', b'{"QORAJob": [], "x": ' + b'[' * 100000,
          PARSE + b'Terminate parsing due to Handler error.\n'),
    reads('empty file', b'', PARSE + b'The document is empty.\n'),
    reads('cut short', b'{"QORAJob": [', INVALID),
    reads('another letter case', b'{"qorajob": [], "QORAJOB": []}', NO_LIST),
    reads('root not an object', b'["QORAJob"]', NO_LIST),
    reads('list not an array', b'{"QORAJob": null}',
          b'NO Arrays found in QORAJob\n'),
    reads('an element lacking a member', compact(
        element(E1), element(E2).replace('"JOBID": "JID_2", ', ''),
        element(E3)), FIELD_MISSING, E1, E3),
    reads('elements and members of other types', compact(
        '7', '-1', '18446744073709551615', '-9223372036854775808', '1.5',
        '"x"', 'null', 'false', '[]', element(E1).replace(
            '"BIOS.Setup.1-1"', '{}'), '{"JOBID": 1, ' + element(E2)[1:],
        element(E3, ', "JOBID": 5')), FIELD_MISSING * 11, E3),
    pytest.param({'': BROKEN, '.unreadable.1': b'1', '.unreadable.2': b'2',
                  '.unreadable.3': b'3'}, INVALID,
                 {'': NEW, '.unreadable.1': BROKEN, '.unreadable.2': b'1',
                  '.unreadable.3': b'2'}, id='the newest three backups stay'),
    pytest.param({'': BROKEN, '.unreadable.new': 'dir with a file'}, INVALID,
                 {'': BROKEN, '.unreadable.new': 'dir'},
                 id='a list that cannot be backed up stays'),
    pytest.param({'': BROKEN, '.intent.new': 'link -> target',
                  '.unreadable.new': 'link -> target',
                  '.unreadable.1': 'link -> target', **TARGET}, INVALID,
                 {'': NEW, '.unreadable.1': BROKEN,
                  '.unreadable.2': 'link -> target', **TARGET},
                 id='links at the copies are replaced, not followed'),
    *(pytest.param({'': BROKEN, '.intent': kind, **TARGET}, INVALID,
                   {'': NEW, '.unreadable.1': BROKEN, **TARGET},
                   id=f'{kind} at the intent copy goes')
      for kind in ('link -> target', 'dir', 'fifo', b'', b'x}',
                   task_list(E1))),
    *(pytest.param({'': kind, **TARGET}, b'', {'': kind, **TARGET},
                   id=f'{kind} at the list stays')
      for kind in ('link -> target', 'link -> absent', 'fifo', 'dir')),
    pytest.param({'': BROKEN[:9], '.intent': intent(task_list(E1)),
                  '.intent.new': b'half', '.unreadable.new': b'half',
                  '.unreadable.1x': b'other'}, b'',
                 {'': task_list(FILE_EXPORT, E1), '.unreadable.1x': b'other'},
                 id='an interrupted write is completed first'),
    # An intent copy is completed only onto the list it was made for.
    *(pytest.param({**({'': list_now} if list_now else {}),
                    '.intent': intent(task_list(E1), prior)},
                   b'', {'': task_list(FILE_EXPORT, *kept)}, id=name)
      for name, list_now, prior, kept in [
          ('onto the list it was made for', task_list(E2), task_list(E2),
           [E1]),
          ('onto no list, as it was made', None, 'absent', [E1]),
          ('not onto a list changed since', task_list(E3), task_list(E2),
           [E3]),
          ('not onto a list removed since', None, task_list(E2), [])]),
    pytest.param({'': 'dir', '.intent': intent(b'{"QORAJob": [{}]}')},
                 FIELD_MISSING,
                 {'': 'dir', '.intent': intent(b'{"QORAJob": [{}]}')},
                 id='an intent copy that cannot be written in is read'),
])
def test_export_reads_and_keeps_the_files(sandbox, before, stdout, after):
    plant(sandbox.qorad, before)
    assert run(sandbox, 'exportBIOSConfig') == (0, stdout + EXPORT_QUEUED,
                                                b'')
    assert state(sandbox.qorad) == {**after, '.lock': b''}


def test_rewrite_keeps_the_list_file_and_cuts_its_tail(sandbox):
    list_file = sandbox.qorad / LIST
    list_file.write_bytes(task_list(*[job('inventory')] * 20))
    list_file.chmod(0o640)
    inode = list_file.stat().st_ino
    assert run(sandbox, 'exportBIOSConfig') == (0, EXPORT_QUEUED, b'')
    assert (list_file.stat().st_ino, list_file.stat().st_mode & 0o777) == (
        inode, 0o640)
    assert list_file.read_bytes() == NEW


@pytest.mark.parametrize('setup,before,stdout', [
    pytest.param('mount -t tmpfs none /var/lib', {}, EXPORT_QUEUED,
                 id='no directory'),
    pytest.param('mount -o remount,bind,ro /var/lib/qorad',
                 {'': task_list(job('CONFIG'))}, b'',
                 id='read-only directory'),
])
def test_where_no_file_can_be_nothing_is_locked_or_written(
        sandbox, setup, before, stdout):
    plant(sandbox.qorad, before)
    assert run(sandbox, 'exportBIOSConfig', setup=setup) == (0, stdout, b'')
    assert state(sandbox.qorad) == before
