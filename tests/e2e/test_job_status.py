"""Job lookup by Job ID, getJobStatus and updateStatus, end to end."""

import json
import subprocess
import time

import pytest

from conftest import (ACTIVATION, ACTIVATIONS, BIOS_CONFIG, BIOS_UPDATER,
                      BUILD_ROOT, JOB_CONTROL, PROGRESS, PROPERTIES, VERSION,
                      Typed, fail_line, usage_text, with_faults)

MAPPER = 'xyz.morvex_project.ObjectMapper'
MAPPER_PATH = '/xyz/morvex_project/object_mapper'
JOBS = '/xyz/morvex_project/jobs'
UPDATE_SERVICE = 'xyz.morvex_project.Software.Host.Jobs'
TASK_LIST = 'BIOS_task_list.json'
RAW_MAPPER = BUILD_ROOT / 'tests' / 'e2e' / 'raw_mapper'

ACTIVE = ACTIVATIONS + 'Active'
FAILED = ACTIVATIONS + 'Failed'
STAGED = ACTIVATIONS + 'Staged'

MAPPER_CALL = {
    'service': MAPPER, 'path': MAPPER_PATH, 'interface': MAPPER,
    'member': 'GetSubTree', 'signature': 'sias',
    'args': [['s', '/xyz/morvex_project'], ['i', 0], ['as', [JOB_CONTROL]]],
}


def get_call(service, path, interface, prop):
    return {'service': service, 'path': path, 'interface': PROPERTIES,
            'member': 'Get', 'signature': 'ss',
            'args': [['s', interface], ['s', prop]]}


def set_call(service, path, interface, prop, sig, value):
    return {'service': service, 'path': path, 'interface': PROPERTIES,
            'member': 'Set', 'signature': 'ssv',
            'args': [['s', interface], ['s', prop], ['v', [sig, value]]]}


def job_id_read(service, path):
    return get_call(service, path, JOB_CONTROL, 'JobID')


def bus_exception(function, number, detail):
    return fail_line(function, number, 'Exception making DBus call: ' + detail)


def unknown_property(interface, prop):
    return ('sd_bus_call: org.freedesktop.DBus.Error.UnknownProperty: '
            f'no such property {interface}.{prop}')


def task(job_id, job_type='UPDATE', name='BIOS Update'):
    return {'JobType': job_type, 'DisplayName': name,
            'FQDD': 'BIOS.Setup.1-1', 'JOBID': job_id,
            'ResourceURI': '/tmp/tmpBIOSPayload/capsule.bin',
            'ResourceType': 'File', 'ResourceNamespace': 'ConfigDb'}


def task_list_text(entries):
    """The task list file exactly as the tool writes it."""
    return json.dumps({'QORAJob': entries}, indent=4,
                      ensure_ascii=False).encode()


def write_tasks(sandbox, entries):
    (sandbox.qorad / TASK_LIST).write_bytes(task_list_text(entries))


def read_task_file(sandbox):
    return (sandbox.qorad / TASK_LIST).read_bytes()


# --------------------------------------------------------------------------
# Command line of the two sub-commands

@pytest.mark.parametrize('words', [
    ['getJobStatus'],
    ['getJobStatus', 'JID_1', 'extra'],
    ['updateStatus', 'JID_1', '20'],
    ['updateStatus', 'JID_1'],
    ['updateStatus'],
    ['updateStatus', 'JID_1', '20', '1', 'extra'],
], ids=repr)
def test_wrong_word_count_prints_usage(sandbox, bmc, updater, words):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1')
    result = sandbox.run(*words)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, usage_text(updater), b'')
    assert bmc.calls() == []


@pytest.mark.parametrize('words,code', [
    (['getjobstatus', 'JID_1'], 1),
    (['GETJOBSTATUS', 'JID_1'], 1),
    (['GetJobStatus', 'JID_1'], 1),
    (['updatestatus', 'JID_1', '5', '0'], 0),
    (['UPDATESTATUS', 'JID_1', '5', '0'], 0),
    (['UpdateStatus', 'JID_1', '5', '0'], 0),
], ids=repr)
def test_sub_command_names_ignore_case(sandbox, bmc, words, code):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1', activation=STAGED)
    result = sandbox.run(*words)
    assert (result.returncode, result.stdout, result.stderr) == (
        code, b'', b'')
    assert bmc.calls()[0] == MAPPER_CALL


def test_get_job_status_empty_job_id_is_refused_quietly(sandbox, bmc):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', '', activation=ACTIVE)
    result = sandbox.run('getJobStatus', '')
    assert (result.returncode, result.stdout, result.stderr) == (1, b'', b'')
    assert bmc.calls() == []


# --------------------------------------------------------------------------
# Job lookup

def lookup_scenario(bmc, candidates):
    """Hosts (path, service, JobID) candidates, inserted in the order given;
    the JobID None leaves the property out. The winner is told apart by its
    Activation, which names its path and service."""
    for path, service, job_id in candidates:
        bmc.add_object(service, path, {
            JOB_CONTROL: {} if job_id is None else {'JobID': job_id},
            ACTIVATION: {'Activation': f'{service}{path}'},
            PROGRESS: {'Progress': Typed('y', 0)},
        })


@pytest.mark.parametrize('candidates,job_id,visited,winner', [
    pytest.param(
        [(JOBS + '/b', 'xyz.s.One', 'JID_1'),
         (JOBS + '/a', 'xyz.s.Two', 'JID_1')],
        'JID_1',
        [(JOBS + '/a', 'xyz.s.Two')],
        (JOBS + '/a', 'xyz.s.Two'),
        id='two paths: the path sorting first wins'),
    pytest.param(
        [(JOBS + '/a', 'xyz.s.One', 'JID_0'),
         (JOBS + '/Z', 'xyz.s.Two', 'JID_0'),
         (JOBS, 'xyz.s.Three', 'other')],
        'JID_0',
        [(JOBS, 'xyz.s.Three'), (JOBS + '/Z', 'xyz.s.Two')],
        (JOBS + '/Z', 'xyz.s.Two'),
        id='byte-wise order: prefix first, capitals before small letters'),
    pytest.param(
        [(JOBS + '/1', 'xyz.s.b', 'JID_1'),
         (JOBS + '/1', 'xyz.s.a', 'JID_1'),
         (JOBS + '/1', 'xyz.s.B', 'JID_1')],
        'JID_1',
        [(JOBS + '/1', 'xyz.s.B')],
        (JOBS + '/1', 'xyz.s.B'),
        id='two services on one path: the service sorting first wins'),
    pytest.param(
        [(JOBS + '/1', 'xyz.s.a', 'JID_9'),
         (JOBS + '/1', 'xyz.s.b', 'JID_1'),
         (JOBS + '/2', 'xyz.s.a', 'JID_1')],
        'JID_1',
        [(JOBS + '/1', 'xyz.s.a'), (JOBS + '/1', 'xyz.s.b')],
        (JOBS + '/1', 'xyz.s.b'),
        id='services of a path before the next path'),
    pytest.param(
        [(JOBS + '/1', 'xyz.s.a', None),
         (JOBS + '/2', 'xyz.s.a', 'JID_1')],
        'JID_1',
        [(JOBS + '/1', 'xyz.s.a'), (JOBS + '/2', 'xyz.s.a')],
        (JOBS + '/2', 'xyz.s.a'),
        id='a candidate that fails its read is skipped'),
    pytest.param(
        [(JOBS + '/1', 'xyz.s.a', Typed('i', 5)),
         (JOBS + '/2', 'xyz.s.a', '5')],
        '5',
        [(JOBS + '/1', 'xyz.s.a'), (JOBS + '/2', 'xyz.s.a')],
        (JOBS + '/2', 'xyz.s.a'),
        id='a non-string JobID does not match its digits'),
    pytest.param(
        [(JOBS + '/1', 'xyz.s.a', 'jid_1'),
         (JOBS + '/2', 'xyz.s.a', 'JID_1 '),
         (JOBS + '/3', 'xyz.s.a', ' JID_1'),
         (JOBS + '/4', 'xyz.s.a', 'JID_1')],
        'JID_1',
        [(JOBS + f'/{n}', 'xyz.s.a') for n in range(1, 5)],
        (JOBS + '/4', 'xyz.s.a'),
        id='exact comparison: case and blanks count'),
])
def test_lookup_order(sandbox, bmc, candidates, job_id, visited, winner):
    lookup_scenario(bmc, candidates)
    result = sandbox.run('getJobStatus', job_id)
    assert (result.returncode, result.stderr) == (1, b'')
    path, service = winner
    assert bmc.calls() == [MAPPER_CALL] + [
        job_id_read(s, p) for p, s in visited] + [
        get_call(service, path, ACTIVATION, 'Activation')]


@pytest.mark.parametrize('candidates', [
    [],
    [(JOBS + '/1', 'xyz.s.a', 'JID_2')],
    [(JOBS + '/1', 'xyz.s.a', 'jid_1'), (JOBS + '/2', 'xyz.s.a', 'JID_10')],
    [(JOBS + '/1', 'xyz.s.a', Typed('s', 'JID_1x')),
     (JOBS + '/2', 'xyz.s.a', None)],
], ids=['no candidates', 'other id', 'near misses', 'unreadable'])
def test_lookup_without_match(sandbox, bmc, candidates):
    lookup_scenario(bmc, candidates)
    result = sandbox.run('getJobStatus', 'JID_1')
    assert (result.returncode, result.stdout, result.stderr) == (
        2, b'', fail_line('getJobStatus', 612, 'Job ID not found'))
    assert bmc.calls() == [MAPPER_CALL] + [
        job_id_read(s, p) for p, s, _ in sorted(candidates)]


def test_lookup_skips_a_service_that_is_not_on_the_bus(sandbox, bmc):
    bmc.mapper_extra.append([JOBS + '/1', 'xyz.s.Gone', [JOB_CONTROL]])
    lookup_scenario(bmc, [(JOBS + '/2', 'xyz.s.a', 'JID_1')])
    result = sandbox.run('updateStatus', 'JID_1', '10', '0')
    assert (result.returncode, result.stderr) == (0, b'')
    assert bmc.calls()[1:] == [
        job_id_read('xyz.s.a', JOBS + '/2'),
        set_call('xyz.s.a', JOBS + '/2', PROGRESS, 'Progress', 'y', 10)]


def test_lookup_skips_a_rejected_read(sandbox, bmc):
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1'),
                          (JOBS + '/2', 'xyz.s.a', 'JID_1')])
    bmc.reject('xyz.s.a', JOBS + '/1', 'Get', JOB_CONTROL, 'JobID')
    result = sandbox.run('getJobStatus', 'JID_1')
    assert (result.returncode, result.stderr) == (1, b'')
    assert bmc.calls()[-1] == get_call('xyz.s.a', JOBS + '/2', ACTIVATION,
                                       'Activation')


def test_lookup_skips_an_unreadable_reply(sandbox, bmc):
    # The first candidate answers with an error reply that the lookup
    # cannot read as a variant: it is dropped without a word.
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1'),
                          (JOBS + '/2', 'xyz.s.a', 'JID_1')])
    result = sandbox.run('getJobStatus', 'JID_1',
                         program=with_faults(sandbox,
                                             FAULT_SHIM_ERROR_REPLY='2'))
    assert (result.returncode, result.stderr) == (1, b'')
    assert bmc.calls()[-1] == get_call('xyz.s.a', JOBS + '/2', ACTIVATION,
                                       'Activation')


def test_updatestatus_empty_job_id_matches_empty_or_non_string(sandbox, bmc):
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1'),
                          (JOBS + '/2', 'xyz.s.a', Typed('u', 0)),
                          (JOBS + '/3', 'xyz.s.a', '')])
    result = sandbox.run('updateStatus', '', '33', '0')
    assert (result.returncode, result.stderr) == (0, b'')
    assert bmc.calls()[1:] == [
        job_id_read('xyz.s.a', JOBS + '/1'),
        job_id_read('xyz.s.a', JOBS + '/2'),
        set_call('xyz.s.a', JOBS + '/2', PROGRESS, 'Progress', 'y', 33)]


def test_updatestatus_empty_job_id_without_empty_candidate(sandbox, bmc):
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1')])
    result = sandbox.run('updateStatus', '', '33', '0')
    assert (result.returncode, result.stderr) == (
        1, fail_line('updateStatus', 539, 'Job ID not found'))


LOOKUP_FAILURES = {
    'mapper absent': (
        lambda bmc: setattr(bmc, 'mapper', False), None,
        'sd_bus_call: org.freedesktop.DBus.Error.ServiceUnknown: '
        f'The name {MAPPER} was not provided by any .service files'),
    'mapper rejects': (
        lambda bmc: bmc.reject(MAPPER, MAPPER_PATH, 'GetSubTree',
                               error='org.freedesktop.DBus.Error.Failed',
                               message='mapper is busy'), None,
        'sd_bus_call: org.freedesktop.DBus.Error.Failed: mapper is busy'),
    'bad object path in answer': (
        lambda bmc: bmc.mapper_extra.append(
            ['/xyz/morvex_project//bad', 'xyz.s.a', [JOB_CONTROL]]), None,
        'sd_bus_message_new_method_call: '
        'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument'),
    'bad service name in answer': (
        lambda bmc: bmc.mapper_extra.append(
            [JOBS + '/0', 'no service', [JOB_CONTROL]]), None,
        'sd_bus_message_new_method_call: '
        'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument'),
    'bus unreachable': (lambda bmc: None, 'unreachable', None),
}


@pytest.mark.parametrize('case', LOOKUP_FAILURES)
@pytest.mark.parametrize('command,code,function,number', [
    (['getJobStatus', 'JID_1'], 2, 'getJobStatus', 612),
    (['updateStatus', 'JID_1', '101', 'x'], 1, 'updateStatus', 539),
])
def test_lookup_failure(sandbox, bmc, case, command, code, function,
                        number):
    configure, bus, detail = LOOKUP_FAILURES[case]
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1')])
    configure(bmc)
    result = sandbox.run(*command, bus=bus)
    assert result.returncode == code
    assert result.stdout == b''
    lines = result.stderr.splitlines(keepends=True)
    assert len(lines) == 2
    prefix = b'BIOSIMG_DBG_FAIL: getObjPathServNameFromJobId.221: ' \
        b'Exception making DBus call: '
    assert lines[0].startswith(prefix)
    if detail is not None:
        assert lines[0] == prefix + detail.encode() + b'\n'
    else:
        assert lines[0].startswith(
            prefix + b'sd_bus_message_new_method_call: ')
    assert lines[1] == fail_line(function, number, 'Job ID not found')
    # Nothing after the failed step: no candidate is asked.
    assert [c for c in bmc.calls() if c['member'] != 'GetSubTree'] == []


def test_lookup_unreadable_mapper_answer(sandbox, bmc):
    lookup_scenario(bmc, [(JOBS + '/1', 'xyz.s.a', 'JID_1')])
    result = sandbox.run('getJobStatus', 'JID_1',
                         program=with_faults(sandbox,
                                             FAULT_SHIM_ERROR_REPLY='1'))
    assert result.returncode == 2
    assert result.stderr == bus_exception(
        'getObjPathServNameFromJobId', 221,
        'sd_bus_message_enter_container emplace_container: '
        'System.Error.ENXIO: No such device or address') + fail_line(
        'getJobStatus', 612, 'Job ID not found')
    assert bmc.calls() == [MAPPER_CALL]


def test_lookup_keeps_the_first_entry_of_a_repeated_path(sandbox, bmc):
    # Both services carry the job at one path. The mapper names the path
    # twice, the service that sorts later first: only that first entry
    # counts, so the other service is never asked.
    path = JOBS + '/1'
    bmc.job('xyz.s.b', path, 'JID_1', activation=ACTIVE)
    bmc.job('xyz.s.a', path, 'JID_1', activation=ACTIVATIONS + 'Staged')
    bmc.mapper = False
    bmc.start()
    ready = sandbox.workdir / 'raw_mapper.ready'
    mapper = subprocess.Popen(
        [RAW_MAPPER, ready, path, 'xyz.s.b', path, 'xyz.s.a'],
        env={'DBUS_SYSTEM_BUS_ADDRESS': bmc.address})
    try:
        deadline = time.monotonic() + 30
        while not ready.exists():
            assert mapper.poll() is None, 'raw_mapper exited'
            assert time.monotonic() < deadline, 'raw_mapper not ready'
            time.sleep(0.02)
        result = sandbox.run('getJobStatus', 'JID_1')
    finally:
        mapper.terminate()
        mapper.wait(timeout=10)
    assert (result.returncode, result.stdout, result.stderr) == (0, b'', b'')
    assert [(c['service'], c['args'][1]) for c in bmc.calls()] == [
        ('xyz.s.b', ['s', 'JobID']), ('xyz.s.b', ['s', 'Activation'])]


# --------------------------------------------------------------------------
# getJobStatus

@pytest.mark.parametrize('activation,code', [
    (ACTIVE, 0),
    (FAILED, 0),
    (STAGED, 1),
    (ACTIVATIONS + 'Activating', 1),
    (ACTIVATIONS + 'active', 1),
    (ACTIVE + ' ', 1),
    ('', 1),
    (Typed('i', 0), 1),
    (Typed('as', [ACTIVE]), 1),
])
def test_get_job_status(sandbox, bmc, activation, code):
    bmc.job(UPDATE_SERVICE, JOBS + '/7', 'JID_7', activation=activation)
    result = sandbox.run('getJobStatus', 'JID_7')
    assert (result.returncode, result.stdout, result.stderr) == (
        code, b'', b'')
    assert bmc.calls() == [
        MAPPER_CALL, job_id_read(UPDATE_SERVICE, JOBS + '/7'),
        get_call(UPDATE_SERVICE, JOBS + '/7', ACTIVATION, 'Activation')]


def test_get_job_status_without_activation(sandbox, bmc):
    bmc.job(UPDATE_SERVICE, JOBS + '/7', 'JID_7', activation=None)
    result = sandbox.run('getJobStatus', 'JID_7')
    assert (result.returncode, result.stdout, result.stderr) == (
        3, b'', bus_exception('getJobStatus', 636,
                              unknown_property(ACTIVATION, 'Activation')))


def test_get_job_status_rejected_read(sandbox, bmc):
    bmc.job(UPDATE_SERVICE, JOBS + '/7', 'JID_7')
    bmc.reject(UPDATE_SERVICE, JOBS + '/7', 'Get', ACTIVATION)
    result = sandbox.run('getJobStatus', 'JID_7')
    assert (result.returncode, result.stderr) == (3, bus_exception(
        'getJobStatus', 636,
        'sd_bus_call: org.freedesktop.DBus.Error.AccessDenied: rejected'))


def test_get_job_status_unreadable_reply(sandbox, bmc):
    bmc.job(UPDATE_SERVICE, JOBS + '/7', 'JID_7')
    result = sandbox.run('getJobStatus', 'JID_7',
                         program=with_faults(sandbox,
                                             FAULT_SHIM_ERROR_REPLY='3'))
    assert result.returncode == 3
    assert result.stderr.startswith(
        b'BIOSIMG_DBG_FAIL: getJobStatus.636: Exception making DBus call: '
        b'sd_bus_message_skip variant: ')


def test_get_job_status_only_reads(sandbox, bmc):
    write_tasks(sandbox, [task('JID_7')])
    before = read_task_file(sandbox)
    bmc.job(UPDATE_SERVICE, JOBS + '/7', 'JID_7')
    result = sandbox.run('getJobStatus', 'JID_7')
    assert result.returncode == 0
    assert all(c['member'] != 'Set' for c in bmc.calls())
    assert read_task_file(sandbox) == before


# --------------------------------------------------------------------------
# updateStatus: outcomes by status and job kind

EVENTS = {
    # (status, config job): (event name, message id, job-kind word)
    (1, False): ('BIOS.UPDFIN.1', 'RED025', 'BIOS'),
    (1, True): ('BIOS.CONFIGFIN.1', 'RED025', 'BIOSCONFIG'),
    (2, False): ('BIOS.UPDFAIL.1', 'RED150', 'BIOS'),
    (2, True): ('BIOS.CONFIGFAIL.1', 'RED150', 'BIOSCONFIG'),
    (3, False): ('BIOS.UPDFAIL.1', 'RED150', 'BIOS'),
    (3, True): ('BIOS.CONFIGFAIL.1', 'RED150', 'BIOSCONFIG'),
}

MESSAGES = {
    'RED025': 'The {0} job completed successfully (version {1}).',
    'RED150': 'The {0} job failed (version {1}).',
}

JOB_KINDS = {
    'update (BIOS updater)': BIOS_UPDATER,
    'update (other service)': UPDATE_SERVICE,
    'update (config service spelt differently)': BIOS_CONFIG.lower(),
    'configuration': BIOS_CONFIG,
}


def status_writes(service, path, percentage, status, version_read=True):
    writes = [set_call(service, path, PROGRESS, 'Progress', 'y', percentage)]
    if status == 0:
        return writes
    writes.append(get_call(service, path, VERSION, 'Version'))
    if version_read:
        writes.append(set_call(service, path, ACTIVATION, 'Activation', 's',
                               ACTIVE if status == 1 else FAILED))
    return writes


def assert_event(journal, status, service, version):
    event, message_id, word = EVENTS[(status, service == BIOS_CONFIG)]
    entries = journal.entries()
    assert len(entries) == 1
    entry = entries[0]
    assert entry['NOTERRA_EVENT'] == event
    assert entry['NOTERRA_MESSAGE_ID'] == message_id
    assert entry['NOTERRA_SEVERITY'] == '1'
    assert entry['NOTERRA_ARG_COUNT'] == '2'
    assert (entry['NOTERRA_ARG1'], entry['NOTERRA_ARG2']) == (word, version)
    assert entry['MESSAGE'] == MESSAGES[message_id].format(word, version)
    assert entry['PRIORITY'] == ('6' if status == 1 else '3')
    assert entry['SYSLOG_IDENTIFIER'] == 'morvex_bios_updater'


@pytest.mark.parametrize('kind', JOB_KINDS)
@pytest.mark.parametrize('status', [0, 1, 2, 3])
def test_update_status(sandbox, bmc, journal, kind, status):
    service = JOB_KINDS[kind]
    path = JOBS + '/42'
    bmc.job(service, path, 'JID_42', version='7.1.0', activation=STAGED)
    others = [task('JID_41'), task('', 'INVENTORY', 'BIOS Config'),
              task('JID_43')]
    write_tasks(sandbox, [others[0], task('JID_42'), *others[1:]])
    before = read_task_file(sandbox)

    result = sandbox.run('updateStatus', 'JID_42', '64', str(status))

    assert (result.returncode, result.stdout, result.stderr) == (0, b'', b'')
    assert bmc.calls() == [MAPPER_CALL, job_id_read(service, path)] + \
        status_writes(service, path, 64, status)
    if status == 0:
        assert journal.entries() == []
        assert read_task_file(sandbox) == before
    else:
        assert_event(journal, status, service, '7.1.0')
        assert read_task_file(sandbox) == task_list_text(others)


def test_update_status_repeated_call_changes_nothing_more(sandbox, bmc,
                                                          journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/42', 'JID_42')
    write_tasks(sandbox, [task('JID_42'), task('JID_1')])
    for _ in range(2):
        result = sandbox.run('updateStatus', 'JID_42', '100', '1')
        assert (result.returncode, result.stderr) == (0, b'')
    assert [e['NOTERRA_EVENT'] for e in journal.entries()] == [
        'BIOS.UPDFIN.1'] * 2
    assert read_task_file(sandbox) == task_list_text([task('JID_1')])


# --------------------------------------------------------------------------
# updateStatus: operands

def job_with_task(sandbox, bmc):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1', version='2.0')
    write_tasks(sandbox, [task('JID_1')])
    return read_task_file(sandbox)


def conversion(number):
    return fail_line('updateStatus', number,
                     'Exception converting string to integer: stoi')


@pytest.mark.parametrize('percentage,status,lines,written', [
    ('101', '1',
     [fail_line('updateStatus', 554,
                'Invalid Percentage completion 101 for Job ID JID_1')], None),
    ('-1', '1',
     [fail_line('updateStatus', 554,
                'Invalid Percentage completion -1 for Job ID JID_1')], None),
    ('101', 'x',
     [fail_line('updateStatus', 554,
                'Invalid Percentage completion 101 for Job ID JID_1')], None),
    ('2147483648', '1', [conversion(550)], 0),
    ('99999999999', '0', [conversion(550)], 0),
    ('abc', '1', [conversion(550)], 0),
    ('', '0', [conversion(550)], 0),
    ('-', '0', [conversion(550)], 0),
    ('20a', '0', [], 20),
    (' \t\n20', '0', [], 20),
    ('+20', '0', [], 20),
    ('0x10', '0', [], 0),
    ('1e2', '0', [], 1),
    ('100', '0', [], 100),
    ('0', '0', [], 0),
    ('-0', '0', [], 0),
    ('abc', 'x', [conversion(550), conversion(565)], None),
    ('50', '4',
     [fail_line('updateStatus', 570,
                'Invalid Update Status 4 for Job ID JID_1')], None),
    ('50', '-1',
     [fail_line('updateStatus', 570,
                'Invalid Update Status -1 for Job ID JID_1')], None),
    ('50', 'letters', [conversion(565)], None),
    ('50', '', [conversion(565)], None),
    ('50', '99999999999', [conversion(565)], None),
    ('50', ' 0junk', [], 50),
    ('50', '+0', [], 50),
], ids=repr)
def test_update_status_operands(sandbox, bmc, journal, percentage, status,
                                lines, written):
    before = job_with_task(sandbox, bmc)
    result = sandbox.run('updateStatus', 'JID_1', percentage, status)
    assert result.stdout == b''
    assert result.stderr == b''.join(lines)
    writes = [c for c in bmc.calls() if c['member'] == 'Set']
    if written is None:
        # Rejected: only the lookup happened.
        assert result.returncode == 1
        assert bmc.calls() == [MAPPER_CALL,
                               job_id_read(UPDATE_SERVICE, JOBS + '/1')]
        assert journal.entries() == []
        assert read_task_file(sandbox) == before
    else:
        assert result.returncode == 0
        assert writes[0] == set_call(UPDATE_SERVICE, JOBS + '/1', PROGRESS,
                                     'Progress', 'y', written)


def test_update_status_invalid_percentage_then_status(sandbox, bmc, journal):
    # The percentage falls back to 0 and the status is still processed.
    job_with_task(sandbox, bmc)
    result = sandbox.run('updateStatus', 'JID_1', 'abc', '1')
    assert (result.returncode, result.stderr) == (0, conversion(550))
    assert bmc.calls()[2:] == status_writes(UPDATE_SERVICE, JOBS + '/1', 0, 1)
    assert_event(journal, 1, UPDATE_SERVICE, '2.0')
    assert read_task_file(sandbox) == task_list_text([])


@pytest.mark.parametrize('percentage,status', [
    ('101', '1'), ('abc', 'x'), ('50', '9'), ('50', '1')])
def test_not_found_comes_before_operands(sandbox, bmc, journal, percentage,
                                         status):
    before = job_with_task(sandbox, bmc)
    result = sandbox.run('updateStatus', 'JID_2', percentage, status)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, b'', fail_line('updateStatus', 539, 'Job ID not found'))
    assert bmc.calls() == [MAPPER_CALL,
                           job_id_read(UPDATE_SERVICE, JOBS + '/1')]
    assert journal.entries() == []
    assert read_task_file(sandbox) == before


# --------------------------------------------------------------------------
# updateStatus: failures on the way

def test_job_without_version(sandbox, bmc, journal):
    bmc.job(BIOS_CONFIG, JOBS + '/1', 'JID_1', version=None)
    write_tasks(sandbox, [task('JID_1')])
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert result.returncode == 0
    assert result.stderr == bus_exception(
        'updateStatusStatus', 473,
        unknown_property(VERSION, 'Version')) + fail_line(
        'updateStatus', 586, 'Unable to set update status for Job ID JID_1')
    # The Activation write is skipped; the event goes out without version.
    assert bmc.calls()[2:] == status_writes(BIOS_CONFIG, JOBS + '/1', 100, 1,
                                            version_read=False)
    assert_event(journal, 1, BIOS_CONFIG, '')
    assert read_task_file(sandbox) == task_list_text([])


@pytest.mark.parametrize('version', [
    '1.0\nbeta', '\u00fc-2', 'v' * (256 << 10)],
    ids=['newline', 'non-ASCII', '256 KiB'])
def test_version_reaches_the_journal_as_read(sandbox, bmc, journal, version):
    # The largest entry exceeds a datagram and travels in a memory file.
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1', version=version)
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert (result.returncode, result.stderr) == (0, b'')
    assert_event(journal, 1, UPDATE_SERVICE, version)


def test_non_string_version_reads_empty(sandbox, bmc, journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1', version=Typed('i', 3))
    result = sandbox.run('updateStatus', 'JID_1', '100', '3')
    assert (result.returncode, result.stderr) == (0, b'')
    assert_event(journal, 3, UPDATE_SERVICE, '')


def test_rejected_progress_write(sandbox, bmc, journal):
    job_with_task(sandbox, bmc)
    bmc.reject(UPDATE_SERVICE, JOBS + '/1', 'Set', PROGRESS, 'Progress')
    result = sandbox.run('updateStatus', 'JID_1', '30', '2')
    assert result.returncode == 0
    assert result.stderr == bus_exception(
        'updateStatusProgress', 427,
        'sd_bus_call: org.freedesktop.DBus.Error.AccessDenied: rejected'
    ) + fail_line('updateStatus', 576,
                  'Unable to set update progress for Job ID JID_1')
    # Nothing is rolled back or skipped after it.
    assert bmc.calls()[2:] == status_writes(UPDATE_SERVICE, JOBS + '/1', 30, 2)
    assert_event(journal, 2, UPDATE_SERVICE, '2.0')
    assert read_task_file(sandbox) == task_list_text([])


def test_rejected_activation_write(sandbox, bmc, journal):
    job_with_task(sandbox, bmc)
    bmc.reject(UPDATE_SERVICE, JOBS + '/1', 'Set', ACTIVATION, 'Activation',
               error='org.freedesktop.DBus.Error.PropertyReadOnly',
               message='read only')
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert result.returncode == 0
    assert result.stderr == bus_exception(
        'updateStatusStatus', 473,
        'sd_bus_call: org.freedesktop.DBus.Error.PropertyReadOnly: read only'
    ) + fail_line('updateStatus', 586,
                  'Unable to set update status for Job ID JID_1')
    assert_event(journal, 1, UPDATE_SERVICE, '2.0')
    assert read_task_file(sandbox) == task_list_text([])


@pytest.mark.parametrize('call,status,lines,version', [
    pytest.param(
        '3', '0',
        [fail_line('updateStatusProgress', 421,
                   f'Unable to set update progress for object path {JOBS}/1'),
         fail_line('updateStatus', 576,
                   'Unable to set update progress for Job ID JID_1')],
        None, id='progress'),
    pytest.param(
        '4', '2',
        [fail_line('updateStatusStatus', 448,
                   f'Unable to get version for object path {JOBS}/1')],
        '', id='version'),
    pytest.param(
        '5', '1',
        [fail_line('updateStatusStatus', 466,
                   f'Unable to set update status for object path {JOBS}/1'),
         fail_line('updateStatus', 586,
                   'Unable to set update status for Job ID JID_1')],
        '2.0', id='activation'),
])
def test_error_reply_checks(sandbox, bmc, journal, call, status, lines,
                            version):
    # An error reply that reaches the caller (rather than the call raising)
    # is reported with the caller's own message, and the run goes on.
    job_with_task(sandbox, bmc)
    result = sandbox.run('updateStatus', 'JID_1', '40', status,
                         program=with_faults(sandbox,
                                             FAULT_SHIM_ERROR_REPLY=call))
    assert (result.returncode, result.stdout) == (0, b'')
    assert result.stderr == b''.join(lines)
    assert bmc.calls()[2:] == status_writes(UPDATE_SERVICE, JOBS + '/1', 40,
                                            int(status))
    if version is None:
        assert journal.entries() == []
        assert read_task_file(sandbox) == task_list_text([task('JID_1')])
    else:
        assert_event(journal, int(status), UPDATE_SERVICE, version)
        assert read_task_file(sandbox) == task_list_text([])


@pytest.mark.parametrize('status,number', [(1, 506), (2, 528), (3, 528)])
def test_event_log_without_journal(sandbox, bmc, status, number):
    job_with_task(sandbox, bmc)
    result = sandbox.run('updateStatus', 'JID_1', '100', str(status))
    assert result.returncode == 0
    assert result.stderr == fail_line(
        'updateStatusStatus', number,
        'Exception writing an event log: journal socket '
        '/run/systemd/journal/socket: No such file or directory')
    # The status was written and the task removed all the same.
    assert bmc.calls()[2:] == status_writes(UPDATE_SERVICE, JOBS + '/1', 100,
                                            status)
    assert read_task_file(sandbox) == task_list_text([])


@pytest.mark.parametrize('status,number', [(1, 506), (3, 528)])
def test_event_log_refused_by_journal(sandbox, bmc, journal, status, number):
    job_with_task(sandbox, bmc)
    journal.refuse()
    result = sandbox.run('updateStatus', 'JID_1', '100', str(status))
    assert result.returncode == 0
    assert result.stderr == fail_line(
        'updateStatusStatus', number,
        'Exception writing an event log: sd_journal_sendv: '
        'Connection refused')


def test_task_removal_failure(sandbox, bmc, journal):
    job_with_task(sandbox, bmc)
    before = read_task_file(sandbox)
    wrapper = with_faults(
        sandbox,
        FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN='/var/lib/qorad/' + TASK_LIST)
    result = sandbox.run('updateStatus', 'JID_1', '100', '1', program=wrapper)
    assert (result.returncode, result.stdout) == (0, b'')
    assert result.stderr == fail_line(
        'updateStatus', 595, 'Exception removing task: std::bad_alloc')
    assert_event(journal, 1, UPDATE_SERVICE, '2.0')
    assert read_task_file(sandbox) == before


# --------------------------------------------------------------------------
# updateStatus: the task list

def test_absent_task_list_is_created_empty(sandbox, bmc, journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1')
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert (result.returncode, result.stdout, result.stderr) == (0, b'', b'')
    assert read_task_file(sandbox) == b'{\n    "QORAJob": []\n}'


def test_absent_task_is_written_back_unchanged(sandbox, bmc, journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1')
    entries = [task('JID_10'), task('jid_1'), task('JID_1 '), task('')]
    write_tasks(sandbox, entries)
    result = sandbox.run('updateStatus', 'JID_1', '100', '3')
    assert (result.returncode, result.stderr) == (0, b'')
    assert read_task_file(sandbox) == task_list_text(entries)


def test_only_first_duplicate_task_is_removed(sandbox, bmc, journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1')
    first = task('JID_1', name='first')
    second = task('JID_1', name='second')
    write_tasks(sandbox, [task('JID_0'), first, task('JID_2'), second])
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert (result.returncode, result.stderr) == (0, b'')
    assert read_task_file(sandbox) == task_list_text(
        [task('JID_0'), task('JID_2'), second])


def test_unparsable_task_list(sandbox, bmc, journal):
    bmc.job(UPDATE_SERVICE, JOBS + '/1', 'JID_1')
    (sandbox.qorad / TASK_LIST).write_bytes(b'')
    result = sandbox.run('updateStatus', 'JID_1', '100', '1')
    assert result.returncode == 0
    assert result.stdout == (b'Document has parse error The document is '
                             b'empty.\n')
    assert read_task_file(sandbox) == b'{\n    "QORAJob": []\n}'


def test_concurrent_runs_remove_their_own_tasks(sandbox, bmc, journal):
    count = 8
    for n in range(count):
        bmc.job(UPDATE_SERVICE, f'{JOBS}/{n}', f'JID_{n}')
    keep = [task('JID_keep_a'), task('', 'INVENTORY', 'BIOS Config'),
            task('JID_keep_b')]
    entries = [task(f'JID_{n}') for n in range(count)]
    write_tasks(sandbox, [keep[0], *entries[:4], keep[1], *entries[4:],
                          keep[2]])
    for _ in range(3):
        runs = [sandbox.popen('updateStatus', f'JID_{n}', '100', '1')
                for n in range(count)]
        outputs = [run.communicate(timeout=120) for run in runs]
        assert [run.returncode for run in runs] == [0] * count
        assert all(out == (b'', b'') for out in outputs)
        assert read_task_file(sandbox) == task_list_text(keep)
        # Every job closed with its own event.
        events = journal.entries()
        assert sorted(e['NOTERRA_ARG1'] for e in events) == ['BIOS'] * count
        journal.clear()
        write_tasks(sandbox, [*entries[::-1], *keep])
