"""getJobStatus and updateStatus, and the job lookup they share, end to end:
exit status, standard error, every bus call with its wire types, the
journal's entries and the task list."""

import subprocess

import pytest

from bmc_simulator import MAPPER_PATH, MAPPER_SERVICE
from conftest import (ACTIVATION, ACTIVATIONS, BIOS_CONFIG, BIOS_UPDATER,
                      BUILD_ROOT, JOB_CONTROL, NO_BUS, PROGRESS, VERSION,
                      Typed,
                      call_failed, fail_line, with_faults)
from conftest import property_call as call
from task_lists import INFO_EXPORT, LIST, LIST_PATH, task_list, update_entry

JOBS = '/xyz/morvex_project/jobs'
SERVICE = 'xyz.morvex_project.Software.Host.Jobs'
ACTIVE, FAILED, STAGED = (ACTIVATIONS + s
                          for s in ('Active', 'Failed', 'Staged'))
MAPPER_CALL = {
    'service': MAPPER_SERVICE, 'path': MAPPER_PATH,
    'interface': MAPPER_SERVICE, 'member': 'GetSubTree', 'signature': 'sias',
    'args': [['s', '/xyz/morvex_project'], ['i', 0], ['as', [JOB_CONTROL]]]}
GONE = object()  # a candidate that the mapper names on no service


def no_property(interface, prop):
    return ('sd_bus_call: org.freedesktop.DBus.Error.UnknownProperty: '
            f'no such property {interface}.{prop}')


def not_found(command):
    return fail_line(command, 612 if command == 'getJobStatus' else 539,
                     'Job ID not found')


@pytest.mark.parametrize('candidates,job_id,visited', [
    ([('/a s.One', 'x'), ('/Z s.b', 'x'), (' s.Three', 'x'), ('/Z s.a', 'x'),
      ('/Z s.B', 'x')], 'JID_1', '24310'),
    ([('/b s.a', 'JID_1'), ('/a s.a', 'JID_1')], 'JID_1', '1!'),
    ([('/1 s.a', None), ('/2 s.Gone', GONE), ('/3 s.a', 'JID_1')], 'JID_1',
     '02!'),
    ([('/1 s.a', 'jid_1'), ('/2 s.a', 'JID_1 '), ('/3 s.a', Typed(
        's', 'JID_1x')), ('/4 s.a', 'JID_1')], 'JID_1', '0123!'),
    ([('/1 s.a', 'JID_1'), ('/2 s.a', Typed('u', 0)), ('/3 s.a', '')], '',
     '01!'),
    ([], 'JID_1', ''),
], ids=['byte-wise order, services of a path first', 'the first match wins',
        'candidates that cannot answer are skipped',
        'only the exact text matches',
        'an empty Job ID matches a JobID that is not text', 'no candidates'])
def test_lookup(sandbox, bmc, candidates, job_id, visited):
    """Candidates "<path below JOBS> <service>" are asked in byte-wise order,
    `visited`, until one's JobID is the Job ID ("!"): the job is that one."""
    objects = [(JOBS + n.split(' ')[0], n.split(' ')[1], job)
               for n, job in candidates]
    for path, service, candidate_id in objects:
        if candidate_id is GONE:
            bmc.mapper_extra.append([path, service, [JOB_CONTROL]])
        else:
            bmc.add_object(service, path, {
                JOB_CONTROL: {} if candidate_id is None else {
                    'JobID': candidate_id},
                PROGRESS: {'Progress': Typed('y', 0)}})
    result = sandbox.run('updateStatus', job_id, '33', '0')
    found = visited.endswith('!')
    assert (result.returncode, result.stdout, result.stderr) == (
        (0, b'', b'') if found else (1, b'', not_found('updateStatus')))
    asked = [objects[int(n)][:2] for n in visited.rstrip('!')]
    assert bmc.calls() == [MAPPER_CALL] + [
        call(s, p, JOB_CONTROL, 'JobID') for p, s in asked] + [
        call(s, p, PROGRESS, 'Progress', 'y', 33) for p, s in asked[-1:] *
        found]


@pytest.mark.parametrize('words,arrange,detail', [
    (['getJobStatus', 'JID_1'], 'no mapper',
     'sd_bus_call: org.freedesktop.DBus.Error.ServiceUnknown: The name '
     f'{MAPPER_SERVICE} was not provided by any .service files'),
    (['updateStatus', 'JID_1', '101', 'x'], 'bad service',
     'sd_bus_message_new_method_call: '
     'org.freedesktop.DBus.Error.InvalidArgs: Invalid argument'),
    (['getJobStatus', 'JID_1'], 'error reply',
     'sd_bus_message_enter_container emplace_container: '
     'System.Error.ENXIO: No such device or address'),
    (['updateStatus', 'JID_1', '101', 'x'], 'unreachable',
     NO_BUS),
], ids=['no mapper', 'a service name that cannot be called',
        'an answer that cannot be read', 'no bus'])
def test_lookup_failure(sandbox, bmc, words, arrange, detail):
    """Reported, then the job is not found: before any operand is looked
    at, and no candidate is asked."""
    bmc.job('s.a', JOBS + '/1', 'JID_1')
    bmc.mapper = arrange != 'no mapper'
    if arrange == 'bad service':
        bmc.mapper_extra.append([JOBS + '/0', 'no service', [JOB_CONTROL]])
    faults = {'FAULT_SHIM_ERROR_REPLY': 1} if arrange == 'error reply' else {}
    result = sandbox.run(*words, program=with_faults(sandbox, **faults), bus=(
        'unreachable' if arrange == 'unreachable' else None))
    assert (result.returncode, result.stdout, result.stderr) == (
        2 if words[0] == 'getJobStatus' else 1, b'',
        call_failed('getObjPathServNameFromJobId', 221, detail) +
        not_found(words[0]))
    assert [c for c in bmc.calls() if c != MAPPER_CALL] == []


SILENT = ('import dbus, sys, time; bus = dbus.bus.BusConnection(sys.argv[1])'
          '; bus.request_name(sys.argv[2]); print("ready", flush=True); '
          'time.sleep(600)')  # a service that never answers


@pytest.mark.parametrize('silent,words,found', [
    ('s.silent', ['JID_1', '2000'], b'[/xyz/morvex_project/jobs/1][s.a]\n'),
    ('s.silent', ['updateStatus', 'JID_1', '33', '0'], b''),
    (MAPPER_SERVICE, ['JID_1', '2000'], b'[][]\n'),
], ids=['a job after a silent candidate is found',
        'within the built-in deadline too', 'a silent mapper ends the lookup'])
def test_a_service_that_never_answers(sandbox, bmc, silent, words, found):
    """Nine candidates of a service that never answers cost one share of
    the lookup's time (the probe gives the whole lookup 2 s); a mapper that
    never answers ends the lookup at its deadline."""
    bmc.job('s.a', JOBS + '/1', 'JID_1')
    bmc.mapper_extra = [[f'{JOBS}/0{n}', 's.silent', [JOB_CONTROL]]
                        for n in range(9)]
    bmc.mapper = silent != MAPPER_SERVICE
    bmc.start()
    peer = subprocess.Popen(['/usr/bin/python3', '-c', SILENT, bmc.address,
                             silent], stdout=subprocess.PIPE)
    probe = words[0] != 'updateStatus'
    try:
        assert peer.stdout.readline() == b'ready\n'
        result = sandbox.run(*words, program=(
            BUILD_ROOT / 'tests/e2e/bus_probe') if probe else None)
    finally:
        peer.kill()
        peer.wait()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, found, b'' if found.strip(b'[]\n') or not probe else call_failed(
            'getObjPathServNameFromJobId', 221, 'sd_bus_call: '
            'org.freedesktop.DBus.Error.Timeout: Connection timed out'))
    assert [c['member'] for c in bmc.calls()] == (
        ['GetSubTree', 'Get'] + ['Set'] * (not probe)
        if bmc.mapper else [])


@pytest.mark.parametrize('command,activation,status,stderr', [
    ('getJobStatus', ACTIVE, 0, b''),
    ('getjobstatus', FAILED, 0, b''),
    ('GETJOBSTATUS', STAGED, 1, b''),
    ('GetJobStatus', ACTIVE + ' ', 1, b''),
    ('getJobStatus', '', 1, b''),
    ('getJobStatus', Typed('as', [ACTIVE]), 1, b''),
    ('getJobStatus', None, 3, call_failed(
        'getJobStatus', 636, no_property(ACTIVATION, 'Activation'))),
    ('error reply', ACTIVE, 3, call_failed(
        'getJobStatus', 636, 'sd_bus_message_skip variant: '
        'System.Error.ENXIO: No such device or address')),
], ids=repr)
def test_get_job_status(sandbox, bmc, command, activation, status, stderr):
    bmc.job(SERVICE, JOBS + '/7', 'JID_7', activation=activation)
    faults = {'FAULT_SHIM_ERROR_REPLY': 3} if command == 'error reply' else {}
    result = sandbox.run(command.replace('error reply', 'getJobStatus'),
                         'JID_7', program=with_faults(sandbox, **faults))
    assert (result.returncode, result.stdout, result.stderr) == (
        status, b'', stderr)
    assert bmc.calls() == [MAPPER_CALL] + [
        call(SERVICE, JOBS + '/7', i, p) for i, p in (
            (JOB_CONTROL, 'JobID'), (ACTIVATION, 'Activation'))]


def assert_event(journal, status, service, version):
    word = 'BIOSCONFIG' if service == BIOS_CONFIG else 'BIOS'
    done = status == 1
    fields = ('NOTERRA_EVENT', 'NOTERRA_MESSAGE_ID', 'NOTERRA_SEVERITY',
              'NOTERRA_ARG_COUNT', 'NOTERRA_ARG1', 'NOTERRA_ARG2', 'PRIORITY',
              'MESSAGE')
    assert [tuple(e.get(f) for f in fields) for e in journal.entries()] == [(
        f'BIOS.{word[4:] or "UPD"}{"FIN" if done else "FAIL"}.1',
        'RED025' if done else 'RED150', '1', '2', word, version,
        '6' if done else '3', f'The {word} job ' + (
            'completed successfully' if done else 'failed') +
        f' (version {version}).')]


TASKS = [update_entry('JID_10'), update_entry('JID_1', 'first'), INFO_EXPORT,
         update_entry('jid_1'), update_entry('JID_1 '),
         update_entry('JID_1', 'second')]
LEFT = TASKS[:1] + TASKS[2:]
VERSION_TEXT = '7.1.0\nbeta \u00fc'


def case(name, status='1', percentage='40', stderr=b'', written=40,
         event=VERSION_TEXT, before=TASKS, after=None, **arrangement):
    """updateStatus JID_1 <percentage> <status>: by default the progress,
    for a finished job its activation, event and first task's removal."""
    finished = written is not None and status in ('1', '2', '3')
    if after is None:
        after = LEFT if finished else before
    return pytest.param(status, percentage, stderr, written,
                        event if finished else None, before, after,
                        arrangement, id=name)


def fail(function, number, message):
    return fail_line(function, number, message.replace(
        '<job>', 'Job ID JID_1').replace('<path>', f'object path {JOBS}/1'))


def reply(number):
    return {'FAULT_SHIM_ERROR_REPLY': number}


CONVERSION = 'Exception converting string to integer: stoi'
NO_PROGRESS = fail('updateStatus', 576,
                   'Unable to set update progress for <job>')
NO_STATUS = fail('updateStatus', 586, 'Unable to set update status for <job>')
DENIED = 'sd_bus_call: org.freedesktop.DBus.Error.AccessDenied: rejected'


def no_version(bmc):
    bmc.services[SERVICE][JOBS + '/1'][VERSION].clear()


UPDATES = [
    case('progress only', '0', command='updatestatus'),
    case('completion of a configuration job', service=BIOS_CONFIG),
    case('completion of an update', service=BIOS_UPDATER,
         command='UPDATESTATUS'),
    case('completion with errors', '2', service=BIOS_CONFIG),
    case('failure of a job of a service like the configuration\'s, with no '
         'task list', '3', service=BIOS_CONFIG.lower(), before=None,
         after=[]),
    case('percentage 101', '1', '101', fail(
        'updateStatus', 554, 'Invalid Percentage completion 101 for <job>'),
        None),
    case('percentage -1', '1', '-1', fail(
        'updateStatus', 554, 'Invalid Percentage completion -1 for <job>'),
        None),
    case('status 4', '4', '50', fail(
        'updateStatus', 570, 'Invalid Update Status 4 for <job>'), None),
    case('status -1', '-1', '50', fail(
        'updateStatus', 570, 'Invalid Update Status -1 for <job>'), None),
    case('no digits', 'x', 'abc', fail('updateStatus', 550, CONVERSION) +
         fail('updateStatus', 565, CONVERSION), None),
    case('a percentage without digits counts as 0', '1', 'abc',
         fail('updateStatus', 550, CONVERSION), 0),
    case('letters after the digits', '0', '20a', written=20),
    case('the highest percentage', '0', '100', written=100),
    case('a job without a version: no activation written',
         stderr=call_failed('updateStatusStatus', 473, no_property(
             VERSION, 'Version')) + NO_STATUS, event='', arrange=no_version),
    case('rejected writes', '2', stderr=call_failed(
        'updateStatusProgress', 427, DENIED) + NO_PROGRESS + call_failed(
        'updateStatusStatus', 473, DENIED) + NO_STATUS,
        arrange=lambda bmc: bmc.reject(SERVICE, JOBS + '/1', 'Set')),
    case('an error reply to the progress write', '0', stderr=fail(
        'updateStatusProgress', 421,
        'Unable to set update progress for <path>') + NO_PROGRESS,
        faults=reply(3)),
    case('an error reply to the version read', '2', stderr=fail(
        'updateStatusStatus', 448, 'Unable to get version for <path>'),
        event='', faults=reply(4)),
    case('an error reply to the activation write', stderr=fail(
        'updateStatusStatus', 466, 'Unable to set update status for <path>')
        + NO_STATUS, faults=reply(5)),
    case('no journal for a completion', stderr=fail(
        'updateStatusStatus', 506, 'Exception writing an event log: journal '
        'socket /run/systemd/journal/socket: No such file or directory'),
        event=None, journal='absent'),
    case('a journal refusing a failure', '3', stderr=fail(
        'updateStatusStatus', 528, 'Exception writing an event log: '
        'sd_journal_sendv: Connection refused'), event=None,
        journal='refusing'),
    case('no memory to read the task list', stderr=fail(
        'updateStatus', 595, 'Exception removing task: std::bad_alloc'),
        after=TASKS, faults={'FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN': LIST_PATH}),
]


@pytest.mark.platform_libs
@pytest.mark.parametrize('status,percentage,stderr,written,event,before,'
                         'after,arrangement', UPDATES)
def test_update_status(sandbox, bmc, request, status, percentage, stderr,
                       written, event, before, after, arrangement):
    """Nothing is rolled back or skipped but what depends on a failure;
    rejected operands (looked at after the lookup) stop the run."""
    service, path = arrangement.get('service', SERVICE), JOBS + '/1'
    bmc.job(service, path, 'JID_1', version=VERSION_TEXT, activation=STAGED)
    if before:
        (sandbox.qorad / LIST).write_bytes(task_list(*before))
    arrangement.get('arrange', bool)(bmc)
    journal = arrangement.get('journal') != 'absent' and \
        request.getfixturevalue('journal')
    if arrangement.get('journal') == 'refusing':
        journal.refuse()
    result = sandbox.run(arrangement.get('command', 'updateStatus'), 'JID_1',
                         percentage, status,
                         program=with_faults(
                             sandbox, **arrangement.get('faults', {})))
    assert (result.returncode, result.stdout, result.stderr) == (
        int(written is None), b'', stderr)
    done = int(status) if written is not None and status in '123' else 0
    assert bmc.calls()[2:] == [
        call(service, path, PROGRESS, 'Progress', 'y', written)] * (
        written is not None) + [call(service, path, VERSION, 'Version')] * (
        done > 0) + [call(service, path, ACTIVATION, 'Activation', 's',
                          ACTIVE if done == 1 else FAILED)] * (
        done > 0 and arrangement.get('arrange') is not no_version)
    if event is not None:
        assert_event(journal, done, service, event)
    elif 'journal' not in arrangement:
        assert journal.entries() == []
    assert (sandbox.qorad / LIST).read_bytes() == task_list(*after)


def test_concurrent_runs_remove_their_own_tasks(sandbox, bmc, journal):
    """The task list's lock keeps runs from undoing each other's removals."""
    jobs = [update_entry(f'JID_{n}') for n in range(8)]
    keep = [update_entry('JID_keep_a'), INFO_EXPORT,
            update_entry('JID_keep_b')]
    for n in range(8):
        bmc.job(SERVICE, f'{JOBS}/{n}', f'JID_{n}')
    for entries in ([keep[0], *jobs[:4], keep[1], *jobs[4:], keep[2]],
                    [*jobs[::-1], *keep]):
        (sandbox.qorad / LIST).write_bytes(task_list(*entries))
        runs = [sandbox.popen('updateStatus', f'JID_{n}', '100', '1')
                for n in range(8)]
        assert [(r.communicate(timeout=120), r.returncode) for r in runs] == [
            ((b'', b''), 0)] * 8
        assert (sandbox.qorad / LIST).read_bytes() == task_list(*keep)
