"""Command dispatch, the usage text, the copies of the operands, failures
escaping a sub-command, and the JobID read that precedes an update."""

import pytest

from conftest import (BIOS_UPDATER, JOB_CONTROL, NO_BUS, SOFTWARE_ROOT, Typed,
                      call_failed, fail_line, property_call, usage_text,
                      with_faults)
from task_lists import LIST, LIST_PATH, state, task_list, update_entry


@pytest.mark.parametrize('words', [
    [], ['exportBIOSConfig', 'x'], ['forceExportBIOSConfig', 'x'],
    ['importBIOSConfig', 'x'], ['getJobStatus'], ['startUpdate', 'v1', 'v2'],
    ['updatestatus', 'JID_1', '20', '1', 'x'], ['exportBIOSConfigs'],
    ['getJobStatu', 'JID_1'], [' importBIOSConfig'], ['getJobStatus', '']],
    ids=repr)
def test_refused_command_line(sandbox, bmc, updater, words):
    """A word count or sub-command that does not fit prints the usage text;
    an empty Job ID is refused quietly. Nothing is asked or written."""
    bmc.job('s.a', '/xyz/morvex_project/jobs/1', '')
    result = sandbox.run(*words)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'' if words[1:] == [''] else usage_text(updater), b'')
    assert bmc.calls() == []
    assert state(sandbox.qorad) == {}


def job_id_read_failed(detail):
    return call_failed('getJobID', 147, detail)


@pytest.mark.parametrize('version_id,job_id,path,stderr', [
    ('a3d2fe67', '', '/a3d2fe67', b''),
    ('', '', '', b''),
    ('/abs', '', '/abs', b''),
    ('v1', Typed('i', 42), '/v1', b''),
    ('v1', None, '/v1', job_id_read_failed(
        'sd_bus_call: org.freedesktop.DBus.Error.UnknownProperty: no such '
        f'property {JOB_CONTROL}.JobID')),
    ('a-b', None, None, job_id_read_failed(
        'sd_bus_message_new_method_call: '
        'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument')),
    ('v1', 'unreachable', None, job_id_read_failed(NO_BUS)),
], ids=repr)
def test_update_needs_the_job_id_of_its_software_object(
        sandbox, bmc, version_id, job_id, path, stderr):
    """The software object's path is the Version Id joined to the software
    root; without a JobID that is text and not empty the update ends."""
    if path is not None:
        bmc.software(version_id, job_id=job_id)
    result = sandbox.run('startUpdate', version_id, bus=(
        'unreachable' if job_id == 'unreachable' else None))
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'', stderr)
    assert bmc.calls() == ([] if path is None else [property_call(
        BIOS_UPDATER, SOFTWARE_ROOT + path, JOB_CONTROL, 'JobID')])


@pytest.mark.parametrize('words,number,message', [
    (['getJobStatus', 'x' * 5000], 777, 'parsing arguments'),
    (['startUpdate', 'x' * 5000], 801, 'parsing arguments'),
    (['updateStatus', 'J', '1', 'x' * 5000], 830, 'parsing arguments'),
    (['exportBIOSConfig'], 716, 'calling Export BIOS Config'),
    (['forceExportBIOSConfig'], 735, 'calling Export BIOS Config'),
    (['importBIOSConfig'], 757, 'calling Import BIOS Config')], ids=repr)
def test_memory_running_out(sandbox, bmc, words, number, message):
    """For a long operand, or once the task list is open: the run stops
    before anything is asked or written, and says so."""
    (sandbox.qorad / LIST).write_bytes(task_list(update_entry('JID_1')))
    wrapper = with_faults(sandbox, FAULT_SHIM_BAD_ALLOC_FROM_SIZE=4096,
                          FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=LIST_PATH)
    result = sandbox.run(*words, program=wrapper)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'', fail_line('main', number, f'Exception {message}: '
                          'std::bad_alloc'))
    assert bmc.calls() == []
    assert (sandbox.qorad / LIST).read_bytes() == task_list(
        update_entry('JID_1'))
