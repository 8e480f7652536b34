"""Command dispatch, usage text and the JobID read of a software object."""

import pytest

from conftest import Typed, fail_line, usage_text, with_faults


@pytest.mark.parametrize('words', [
    [],
    ['nosuchcommand'],
    [''],
    # A prefix or an extension of a name selects nothing.
    ['export'],
    ['exportBIOSConfigs'],
    ['getJobStatu'],
    ['updateStatusX', 'J', '1', '0'],
    ['importBIOS'],
    [' exportBIOSConfig'],
], ids=repr)
def test_unknown_command_prints_usage(sandbox, updater, words):
    result = sandbox.run(*words)
    assert result.returncode == 1
    assert result.stdout == usage_text(updater)
    assert result.stderr == b''


def test_usage_names_the_program_as_invoked(sandbox, updater):
    # The usage text uses word 0 as the program's name.
    result = sandbox.run('help')
    assert result.stdout.startswith(f'\n{updater} Usage:\n'.encode())
    assert result.stdout.count(str(updater).encode()) == 10


def job_id_read_failed(detail):
    return fail_line('getJobID', 147, 'Exception making DBus call: ' + detail)


@pytest.mark.parametrize('version_id, arrange, stderr, calls', [
    # An empty or non-string JobID ends the run quietly.
    ('v1', lambda bmc: bmc.software('v1', job_id=''), b'', 1),
    ('v1', lambda bmc: bmc.software('v1', job_id=Typed('i', 42)), b'', 1),
    ('v1', lambda bmc: bmc.software('v1', job_id=None), job_id_read_failed(
        'sd_bus_call: org.freedesktop.DBus.Error.UnknownProperty: no such '
        'property xyz.morvex_project.Software.JobControl.JobID'), 1),
    # The simulator answers for an unknown path as for an unknown method,
    # with a newline of its own.
    ('v1', lambda bmc: bmc.software('other'), job_id_read_failed(
        'sd_bus_call: org.freedesktop.DBus.Error.UnknownMethod: Method "Get" '
        'with signature "ss" on interface "org.freedesktop.DBus.Properties" '
        "doesn't exist\n"), 0),
    ('v1', lambda bmc: None, job_id_read_failed(
        'sd_bus_call: org.freedesktop.DBus.Error.ServiceUnknown: The name '
        'xyz.morvex_project.Software.BIOS.Updater was not provided by any '
        '.service files'), 0),
    # A Version Id that makes no valid object path fails while building the
    # call.
    ('a-b', lambda bmc: None, job_id_read_failed(
        'sd_bus_message_new_method_call: '
        'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument'), 0),
    ('v1', 'unreachable', job_id_read_failed(
        'sd_bus_message_new_method_call: System.Error.ENOTCONN: Transport '
        'endpoint is not connected'), 0),
], ids=['empty', 'not-a-string', 'no-property', 'no-object', 'no-service',
        'invalid-path', 'no-bus'])
def test_update_needs_the_job_id_of_its_software_object(
        sandbox, bmc, version_id, arrange, stderr, calls):
    if arrange != 'unreachable':
        arrange(bmc)
    result = sandbox.run('startUpdate', version_id,
                         bus='unreachable' if arrange == 'unreachable'
                         else None)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'', stderr)
    assert len(bmc.calls()) == calls


@pytest.mark.parametrize('words', [
    ['startUpdate'], ['startUpdate', 'v1', 'v2']], ids=repr)
def test_update_with_a_wrong_word_count_prints_usage(sandbox, bmc, updater,
                                                     words):
    result = sandbox.run(*words)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, usage_text(updater), b'')
    assert bmc.calls() == []


@pytest.mark.parametrize('command, operands, number', [
    ('getJobStatus', 1, 777), ('startUpdate', 1, 801),
    ('updateStatus', 3, 830)])
def test_operand_that_cannot_be_copied(sandbox, bmc, command, operands,
                                       number):
    # Memory runs out for a long operand: the run stops before any bus call.
    wrapper = with_faults(sandbox, FAULT_SHIM_BAD_ALLOC_FROM_SIZE=4096)
    result = sandbox.run(command, *['x' * 5000] * operands, program=wrapper)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'', fail_line('main', number,
                          'Exception parsing arguments: std::bad_alloc'))
    assert bmc.calls() == []


ONE_TASK = ('{"QORAJob": [{"JobType": "UPDATE", "DisplayName": "BIOS Update", '
            '"FQDD": "BIOS.Setup.1-1", "JOBID": "JID_1", '
            '"ResourceURI": "/tmp/tmpBIOSPayload/a.cap", "ResourceType": '
            '"File", "ResourceNamespace": "ConfigDb"}]}')


@pytest.mark.parametrize('command,number,message', [
    ('exportBIOSConfig', 716, 'Exception calling Export BIOS Config'),
    ('forceExportBIOSConfig', 735, 'Exception calling Export BIOS Config'),
    ('importBIOSConfig', 757, 'Exception calling Import BIOS Config'),
])
def test_exception_escaping_a_configuration_job(sandbox, command, number,
                                                message):
    # Memory runs out once the task list is open: the job gives up before
    # writing anything and the front end reports it.
    task_list = sandbox.qorad / 'BIOS_task_list.json'
    task_list.write_text(ONE_TASK)
    wrapper = with_faults(
        sandbox,
        FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN='/var/lib/qorad/BIOS_task_list.json')
    result = sandbox.run(command, program=wrapper)
    assert (result.returncode, result.stdout) == (1, b'')
    assert result.stderr == fail_line('main', number,
                                      f'{message}: std::bad_alloc')
    assert task_list.read_text() == ONE_TASK
