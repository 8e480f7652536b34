"""BIOS-configuration export and import from the command line: the verbs in
any letter case, exit status, output and the task list at the BMC's own
paths; and a list's directory that is mounted read-only. What the jobs make
of any task list and the files beside it is tested in-process
(tests/unit/tasks/config_jobs_test.cpp)."""

import time

import pytest

from task_lists import (EXPORT_QUEUED, FILE_EXPORT, IMPORT_QUEUED, INFO_EXPORT,
                        import_entry, job, plant, state, task_list)

EXPORTED = {'BIOS_Config.json': b'{}'}


def run(sandbox, *words, **options):
    result = sandbox.run(*words, bus='unreachable', **options)
    return result.returncode, result.stdout, result.stderr


@pytest.mark.parametrize('command,status,stdout,entry', [
    ('exportbiosconfig', 0, EXPORT_QUEUED, INFO_EXPORT),
    ('ForceExportBiosConfig', 0, EXPORT_QUEUED, FILE_EXPORT),
    ('IMPORTbiosCONFIG', 1, IMPORT_QUEUED, import_entry('JobID_{}')),
], ids=['export beside the exported configuration', 'forced export',
        'import'])
def test_configuration_jobs(sandbox, command, status, stdout, entry):
    """The entry queued, its "{}" standing for the second of the run."""
    plant(sandbox.qorad, EXPORTED)
    started = int(time.time())
    assert run(sandbox, command) == (status, stdout, b'')
    assert state(sandbox.qorad) in [{**EXPORTED, '.lock': b'', '': task_list(
        tuple(field.format(t) for field in entry))}
        for t in range(started, int(time.time()) + 1)]


def test_a_read_only_directory_is_neither_locked_nor_written(sandbox):
    before = {'': task_list(job('CONFIG'))}
    plant(sandbox.qorad, before)
    assert run(sandbox, 'exportBIOSConfig', setup='mount -o remount,bind,ro '
               '/var/lib/qorad') == (0, b'', b'')
    assert state(sandbox.qorad) == before
