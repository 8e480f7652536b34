"""startUpdate end to end against the simulated BMC: from the software object
of a received image to a staged capsule with its tasks queued, or a refusal
that leaves behind only what an update stopped at that point may."""

import json
import os
import shutil

import pytest

from capsules import SLOT, bomb, flip, image_of, rewrap
from conftest import (ACTIVATION, ACTIVATIONS, BIOS_UPDATER, FILE_PATH,
                      JOB_CONTROL, PROPERTIES, VERSION, fail_line, info_line,
                      with_faults)

VERSION_ID = 'a3d2fe67'
STAGING = '/tmp/tmpBIOSPayload'
STARTING = b'::: Starting BIOS Update\n'
QUEUED = (STARTING
          + b'::: Export BIOS Config Task queued for next host reboot\n')
NO_CONFIG = b'Unable to remove BIOS Config File: No such file or directory\n'
OLD_TASK = {'JobType': 'UPDATE', 'DisplayName': 'BIOS Update',
            'FQDD': 'BIOS.Setup.1-1', 'JOBID': 'JID_0',
            'ResourceURI': STAGING + '/old.cap', 'ResourceType': 'File',
            'ResourceNamespace': 'ConfigDb'}
EXPORT_TASK = dict(OLD_TASK, JobType='INVENTORY', DisplayName='BIOS Config',
                   JOBID='', ResourceURI='/var/lib/qorad/BIOS_Config.json',
                   ResourceType='FILE', ResourceNamespace='BASECONFIG')


def update_task(job_id='JID_1', name='bios.cap'):
    return dict(OLD_TASK, JOBID=job_id, ResourceURI=f'{STAGING}/{name}')


def tasks_text(entries):
    return json.dumps({'QORAJob': entries}, indent=4).encode()


def fail(number, message, function='startUpdate'):
    return fail_line(function, number, message)


def bus_failure(function, number, detail):
    return fail_line(function, number,
                     'Exception making DBus call: sd_bus_call: '
                     'org.freedesktop.DBus.Error.' + detail)


def verified(release_type=2):
    return (info_line('startUpdate', 301, 'Decompressed BIOS Cap file')
            + info_line('verifyBiosImage', 188,
                        'Manifest verified successfully.')
            + info_line('verifyBiosImage', 200,
                        'Signature verified successfully.')
            + info_line('startUpdate', 327, 'Verified BIOS FW with QRX')
            + info_line('startUpdate', 331,
                        f'Release Type = 0x{release_type:02x}'))


RELEASE_SET = info_line('startUpdate', 340, 'Set release type of BIOS FW')


class Update:
    """A received image: its capsule in the payload folder of its image
    directory, its software object, and how the tool is run on it."""

    def __init__(self, sandbox, bmc, capsule, version_id=VERSION_ID,
                 name='bios.cap', job_id='JID_1'):
        self.sandbox, self.bmc = sandbox, bmc
        self.version_id, self.name, self.job_id = version_id, name, job_id
        self.directory = sandbox.workdir / 'images' / version_id
        self.payload = self.directory / 'payload'
        self.payload.mkdir(parents=True)
        self.place(capsule)
        self.properties = {'path': str(self.directory), 'version': '1.2.3'}
        self.faults, self.setup = {}, None

    def place(self, capsule):
        self.capsule = capsule
        (self.payload / self.name).write_bytes(capsule)

    @property
    def cap_file(self):
        return info_line('startUpdate', 292,
                         f'cap_file = {self.payload / self.name}')

    def publish(self):
        self.bmc.software(self.version_id, job_id=self.job_id,
                          **self.properties)

    def run(self):
        self.publish()
        program = with_faults(self.sandbox, **self.faults) \
            if self.faults else None
        return self.sandbox.run('startUpdate', self.version_id,
                                program=program, setup=self.setup)


@pytest.fixture
def update(sandbox, bmc, pack):
    return Update(sandbox, bmc, pack())


def staged(sandbox):
    folder = sandbox.tmp / 'tmpBIOSPayload'
    return ({p.name: p.read_bytes() for p in folder.iterdir()}
            if folder.is_dir() else None)


def task_file(sandbox):
    return (sandbox.qorad / 'BIOS_task_list.json').read_bytes()


def property_call(member, interface, prop, value=None):
    args = [['s', interface], ['s', prop]]
    return {'service': BIOS_UPDATER, 'interface': PROPERTIES,
            'path': '/xyz/morvex_project/software/' + VERSION_ID,
            'member': member, 'signature': 'ssv' if value else 'ss',
            'args': args + [['v', ['s', value]]] if value else args}


@pytest.mark.parametrize('release_type, kind, config', [
    (1, 'Prototype', False), (2, 'Production', True),
    (255, 'Prototype', False)])
def test_update_stages_the_capsule_and_queues_its_tasks(
        sandbox, bmc, journal, update, pack, release_type, kind, config):
    update.place(pack(release_type=release_type))
    (sandbox.qorad / 'BIOS_task_list.json').write_bytes(
        tasks_text([OLD_TASK]))
    if config:
        (sandbox.qorad / 'BIOS_Config.json').write_text('{}')
    result = update.run()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, QUEUED, update.cap_file + verified(release_type) + RELEASE_SET
        + (b'' if config else NO_CONFIG))
    assert bmc.calls() == [
        property_call('Get', JOB_CONTROL, 'JobID'),
        property_call('Get', FILE_PATH, 'Path'),
        property_call('Get', VERSION, 'Version'),
        property_call('Set', VERSION, 'releaseType',
                      'xyz.morvex_project.Software.Version.ReleaseType.'
                      + kind),
        property_call('Set', ACTIVATION, 'Activation',
                      ACTIVATIONS + 'Staged')]
    assert staged(sandbox) == {'bios.cap': update.capsule}
    assert task_file(sandbox) == tasks_text(
        [EXPORT_TASK, OLD_TASK, update_task()])
    assert not (sandbox.qorad / 'BIOS_Config.json').exists()
    assert list(sandbox.scratchpad.iterdir()) == []
    [event] = journal.entries()
    assert sorted(f for f in event.fields if f[0].startswith('NOTERRA')) == [
        ('NOTERRA_ARG1', b'BIOS'), ('NOTERRA_ARG_COUNT', b'1'),
        ('NOTERRA_EVENT', b'BIOS.UPDSTART.1'),
        ('NOTERRA_MESSAGE_ID', b'RED069'), ('NOTERRA_SEVERITY', b'1')]


def _tamper(u):
    image = image_of(u.capsule)
    u.place(rewrap(u.capsule, flip(image, len(image) - SLOT - 1)))


def _set(**changes):
    def arrange(u):
        for name, value in changes.items():
            getattr(u, name).update(value) if isinstance(value, dict) \
                else setattr(u, name, value)
    return arrange


def _reject(interface, prop):
    return lambda u: u.bmc.reject(BIOS_UPDATER, None, 'Set', interface, prop)


def _bomb(size):
    def arrange(u):
        u.place(bomb(size))
        u.setup = 'ulimit -f 2048'
    return arrange


def _then(*arrangements):
    return lambda u: [arrange(u) for arrange in arrangements]


TAMPERED = (info_line('startUpdate', 301, 'Decompressed BIOS Cap file')
            + info_line('verifyBiosImage', 188,
                        'Manifest verified successfully.')
            + fail(302, 'Failed in EVP_DigestVerifyFinal().',
                   'signature_verify')
            + fail(196, 'Failed in verifying signature of header file.',
                   'verifyBiosImage')
            + fail(307, 'Failed to verify BIOS FW with QRX'))
TOO_LARGE = (b'/usr/bin/xz: /mnt/scratchpad/biosscratchpad/bios: Write '
             b'error: File too large\n'
             + fail(121, 'Failure #1 in decompress bios.lzma.',
                    'uncompressBiosCapFile')
             + fail(297, 'Failed to decompress BIOS Cap file'))
NOT_STAGED = fail(388, 'Unable to set Image to Staged')
NO_RELEASE = fail(336, 'Failed to set release type of BIOS FW')

# What a run leaves behind, by where it stops: the lines before its own,
# the staging directory, the task list, and the software object's writes.
STOPPED_AT = {
    'lookup': (lambda u: b'', 'stale', False, []),
    'unwrap': (lambda u: u.cap_file, None, False, []),
    'release': (lambda u: u.cap_file + verified(), None, False,
                ['releaseType']),
    'stage': (lambda u: u.cap_file + verified() + RELEASE_SET, 'any', False,
              ['releaseType']),
    'queue': (lambda u: u.cap_file + verified() + RELEASE_SET, 'copy', False,
              ['releaseType']),
    'staged': (lambda u: u.cap_file + verified() + RELEASE_SET + NO_CONFIG,
               'copy', True, ['releaseType', 'Activation']),
}

STOPS = {
    'no-file-path': (_set(properties={'path': None}), 'lookup', bus_failure(
        'getCommonFilePath', 65, 'UnknownProperty: no such property '
        f'{FILE_PATH}.Path') + fail(258, 'Unable to get Image location')),
    'no-version': (_set(properties={'version': None}), 'lookup', bus_failure(
        'getVersion', 124, f'UnknownProperty: no such property {VERSION}'
        '.Version') + fail(265, 'Unable to get Image version')),
    'no-payload-folder': (lambda u: shutil.rmtree(u.payload), 'lookup',
                          lambda u: fail(
        169, 'Exception getting payload: filesystem error: directory '
        'iterator cannot open directory: No such file or directory '
        f'[{u.payload}]', 'getPayload')
        + fail(272, 'Unable to get Image Path')),
    'dangling-link-only': (lambda u: (u.payload / u.name).unlink() or (
        u.payload / 'a.cap').symlink_to(u.directory / 'gone'), 'lookup',
        fail(272, 'Unable to get Image Path')),
    'not-a-capsule': (lambda u: u.place(b'\0' * 200), 'unwrap', fail(
        69, 'Invalid Cap file: no RBU after UEFI header.',
        'uncompressBiosCapFile')
        + fail(297, 'Failed to decompress BIOS Cap file')),
    'tampered': (_tamper, 'unwrap', TAMPERED),
    # With the tool's file-size limit at 1 MiB, xz may write no more: an
    # image beyond it (also one whose size wraps in 32 bits) is refused.
    **{f'image-of-{size}-bytes': (_bomb(size), 'unwrap', TOO_LARGE)
       for size in ((1 << 20) + 1, (4 << 20) + 4452)},
    'failure-entry-throws': (
        _then(_tamper, _set(faults={
            'FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE': 1})), 'unwrap',
        TAMPERED + fail(321, 'Exception writing event log: std::bad_alloc')),
    'manifest-library-throws': (_set(faults={
        'FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN':
            '/mnt/scratchpad/biosscratchpad/bios'}), 'unwrap',
        info_line('startUpdate', 301, 'Decompressed BIOS Cap file')
        + fail(345, 'Exception with QRX verifying FW manifest: '
               'std::bad_alloc')),
    'release-rejected': (_reject(VERSION, 'releaseType'), 'release',
                         bus_failure('setReleaseType', 98,
                                     'AccessDenied: rejected') + NO_RELEASE),
    'release-error-reply': (_set(faults={'FAULT_SHIM_ERROR_REPLY': 4}),
                            'release', fail(
        92, f'Unable to set releaseType for Version Id {VERSION_ID}',
        'setReleaseType') + NO_RELEASE),
    # The stale staging directory is a mount point: it cannot go.
    'staging-folder-busy': (_set(setup=f'mount -t tmpfs busy {STAGING}'),
                            'stage', fail(
        354, f'Failed creating directory {STAGING}')),
    'tmp-read-only': (_then(
        lambda u: shutil.rmtree(u.sandbox.tmp / 'tmpBIOSPayload'),
        _set(setup='mount -o remount,bind,ro /tmp')), 'stage', fail(
        360, 'Exception creating directory: filesystem error: cannot create '
        f'directories: Read-only file system [{STAGING}]')),
    'tmp-full': (_set(setup='mount -t tmpfs -o size=4k full /tmp'), 'stage',
                 lambda u: fail(
        372, 'Exception copying payload: filesystem error: cannot copy: '
        f'Input/output error [{u.payload / u.name}] [{STAGING}]')),
    'update-lock-unusable': (
        lambda u: (u.sandbox.qorad / 'BIOS_update.lock').mkdir(), 'lookup',
        fail(920, 'Update not started: /var/lib/qorad/BIOS_update.lock '
             'cannot be opened safely (not a regular file)')),
    'task-list-lock-unusable': (
        lambda u: (u.sandbox.qorad / 'BIOS_task_list.json.lock').mkdir(),
        'queue', fail(921, 'Task list left unchanged: /var/lib/qorad/'
                      'BIOS_task_list.json.lock cannot be opened safely (not '
                      'a regular file)')),
    'task-list-throws': (_set(faults={
        'FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN':
            '/var/lib/qorad/BIOS_task_list.json'}), 'queue', fail(
        382, 'Exception creating BIOS Update Task: std::bad_alloc')),
    'staging-rejected': (_reject(ACTIVATION, 'Activation'), 'staged',
                         bus_failure('setVersionIdStaged', 248,
                                     'AccessDenied: rejected') + NOT_STAGED),
    'staging-error-reply': (_set(faults={'FAULT_SHIM_ERROR_REPLY': 5}),
                            'staged', fail(
        242, f'Unable to set Version Id {VERSION_ID} to Staged',
        'setVersionIdStaged') + NOT_STAGED),
}


@pytest.mark.parametrize('case', STOPS)
def test_where_an_update_stops_decides_what_it_leaves(sandbox, bmc, journal,
                                                      update, case):
    arrange, stop, lines = STOPS[case]
    before, staging, queued, writes = STOPPED_AT[stop]
    (sandbox.tmp / 'tmpBIOSPayload').mkdir()
    (sandbox.tmp / 'tmpBIOSPayload' / 'bios.cap').write_bytes(b'stale')
    (sandbox.qorad / 'BIOS_task_list.json').write_bytes(
        tasks_text([OLD_TASK]))
    arrange(update)
    result = update.run()
    assert (result.returncode, result.stdout, result.stderr) == (
        1, QUEUED if queued else b'',
        before(update) + (lines(update) if callable(lines) else lines))
    assert list(sandbox.scratchpad.iterdir()) == []
    assert [c['args'][1][1] for c in bmc.calls()
            if c['member'] == 'Set'] == writes
    if staging != 'any':
        assert staged(sandbox) == {'stale': {'bios.cap': b'stale'},
                                   'copy': {'bios.cap': update.capsule},
                                   None: None}[staging]
    assert task_file(sandbox) == tasks_text(
        [EXPORT_TASK, OLD_TASK, update_task()] if queued else [OLD_TASK])
    # Only a refused image is journaled; no failure writes the event log.
    assert [e.get('REDFISH_MESSAGE_ID') for e in journal.entries()] == (
        ['Morvex.0.1.FirmwareUpdateFailed'] if case == 'tampered' else [])


def test_lost_event_log_does_not_fail_the_update(sandbox, update):
    result = update.run()
    assert (result.returncode, result.stdout) == (0, QUEUED)
    assert result.stderr.endswith(NO_CONFIG + fail(
        402, 'Exception writing an event log: journal socket '
        '/run/systemd/journal/socket: No such file or directory'))


def test_refused_image_is_journaled_with_its_version_as_read(journal,
                                                             update):
    _tamper(update)
    update.properties['version'] = '1,2 beta,3'
    assert update.run().returncode == 1
    [entry] = journal.entries()
    # The journal keeps an entry's fields, not their order.
    assert sorted(entry.fields) == sorted([
        ('CODE_FILE', b'src/morvex_bios_updater.cpp'), ('CODE_LINE', b'313'),
        ('CODE_FUNC', b'startUpdate'), ('MESSAGE', b'FW Update Failed'),
        ('PRIORITY', b'3'),
        ('REDFISH_MESSAGE_ID', b'Morvex.0.1.FirmwareUpdateFailed'),
        ('REDFISH_MESSAGE_ARGS', b'BIOS,1,2 beta,3,Error: Unable to verify '
         b'Varnel Manifest and Signature'),
        # sd-journal names the sender itself.
        ('SYSLOG_IDENTIFIER', b'morvex_bios_updater')])


def test_first_existing_payload_entry_is_the_capsule(sandbox, journal,
                                                     update):
    (update.payload / 'b.cap').write_bytes(update.capsule)
    for name in ('x.cap', 'y.cap', 'z.cap'):
        (update.payload / name).symlink_to(update.directory / 'gone')
    update.name = next(n for n in os.listdir(update.payload)
                       if (update.payload / n).exists())
    result = update.run()
    assert (result.returncode, result.stderr) == (
        0, update.cap_file + verified() + RELEASE_SET + NO_CONFIG)
    assert list(staged(sandbox)) == [update.name]


def test_pending_configuration_job_skips_the_export(sandbox, journal, update):
    config_job = dict(EXPORT_TASK, JobType='CONFIG', JOBID='JobID_1')
    (sandbox.qorad / 'BIOS_task_list.json').write_bytes(
        tasks_text([config_job]))
    result = update.run()
    assert (result.returncode, result.stdout) == (0, STARTING)
    assert task_file(sandbox) == tasks_text([config_job, update_task()])


def test_concurrent_updates_end_as_if_run_one_after_the_other(
        sandbox, bmc, journal, pack):
    updates = [Update(sandbox, bmc, pack(seed=n), version_id=f'v{n}',
                      name=f'{n}.cap', job_id=f'JID_{n}') for n in (1, 2)]
    for u in updates:
        u.publish()
    runs = [sandbox.popen('startUpdate', u.version_id) for u in updates]
    for u, run in zip(updates, runs):
        assert run.communicate(timeout=120) + (run.returncode,) == (
            QUEUED, u.cap_file + verified() + RELEASE_SET + NO_CONFIG, 0)
    tasks = json.loads(task_file(sandbox))['QORAJob']
    first, last = sorted(updates, key=lambda u: tasks.index(
        update_task(u.job_id, u.name)))
    assert tasks == [EXPORT_TASK, update_task(first.job_id, first.name),
                     update_task(last.job_id, last.name)]
    assert staged(sandbox) == {last.name: last.capsule}
    assert list(sandbox.scratchpad.iterdir()) == []
