"""Command dispatch, usage text and the JobID read of a software object."""

import pytest

from conftest import (BIOS_UPDATER, BUILD_ROOT, JOB_CONTROL, PROPERTIES,
                      Typed, fail_line, usage_text, with_faults)

BUS_PROBE = BUILD_ROOT / 'tests' / 'e2e' / 'bus_probe'


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


def probe_get_job_id(sandbox, version_id, bus=None):
    return sandbox.run('getJobID', version_id, program=BUS_PROBE, bus=bus)


def test_get_job_id_reads_the_software_object(sandbox, bmc):
    bmc.software('a3d2fe67', job_id='JID_777')
    result = probe_get_job_id(sandbox, 'a3d2fe67')
    assert (result.returncode, result.stdout, result.stderr) == (
        0, b'[JID_777]\n', b'')
    assert bmc.calls() == [{
        'service': BIOS_UPDATER,
        'path': '/xyz/morvex_project/software/a3d2fe67',
        'interface': PROPERTIES,
        'member': 'Get',
        'signature': 'ss',
        'args': [['s', JOB_CONTROL], ['s', 'JobID']],
    }]


@pytest.mark.parametrize('version_id,path', [
    ('/abs', '/xyz/morvex_project/software/abs'),
    ('', '/xyz/morvex_project/software'),
])
def test_get_job_id_path_join(sandbox, bmc, version_id, path):
    bmc.add_object(BIOS_UPDATER, path, {JOB_CONTROL: {'JobID': 'J'}})
    result = probe_get_job_id(sandbox, version_id)
    assert result.stdout == b'[J]\n'
    assert [c['path'] for c in bmc.calls()] == [path]


def test_get_job_id_non_string_reads_empty(sandbox, bmc):
    bmc.software('v1', job_id=Typed('i', 42))
    result = probe_get_job_id(sandbox, 'v1')
    assert (result.stdout, result.stderr) == (b'[]\n', b'')


def test_get_job_id_missing_object(sandbox, bmc):
    bmc.software('other')
    result = probe_get_job_id(sandbox, 'v1')
    assert result.stdout == b'[]\n'
    # The simulator answers for an unknown path as for an unknown method.
    assert result.stderr.startswith(fail_line(
        'getJobID', 147,
        'Exception making DBus call: sd_bus_call: '
        'org.freedesktop.DBus.Error.UnknownMethod: ')[:-1])


def test_get_job_id_service_not_on_bus(sandbox, bmc):
    bmc.start()
    result = probe_get_job_id(sandbox, 'v1')
    assert result.stdout == b'[]\n'
    assert result.stderr.startswith(fail_line(
        'getJobID', 147, 'Exception making DBus call: sd_bus_call: '
        'org.freedesktop.DBus.Error.ServiceUnknown: ')[:-1])


def test_get_job_id_missing_property(sandbox, bmc):
    bmc.software('v1', job_id=None)
    result = probe_get_job_id(sandbox, 'v1')
    assert result.stdout == b'[]\n'
    assert result.stderr == fail_line(
        'getJobID', 147,
        'Exception making DBus call: sd_bus_call: '
        'org.freedesktop.DBus.Error.UnknownProperty: '
        'no such property xyz.morvex_project.Software.JobControl.JobID')


def test_get_job_id_invalid_object_path(sandbox, bmc):
    # A Version Id that makes no valid object path fails while building
    # the call.
    bmc.start()
    result = probe_get_job_id(sandbox, 'a-b')
    assert result.stdout == b'[]\n'
    assert result.stderr == fail_line(
        'getJobID', 147,
        'Exception making DBus call: sd_bus_message_new_method_call: '
        'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument')
    assert bmc.calls() == []


def test_get_job_id_unreachable_bus(sandbox):
    result = probe_get_job_id(sandbox, 'v1', bus='unreachable')
    assert result.stdout == b'[]\n'
    assert result.stderr.startswith(
        b'BIOSIMG_DBG_FAIL: getJobID.147: Exception making DBus call: '
        b'sd_bus_message_new_method_call: ')
    assert result.stderr.endswith(b'\n')


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
