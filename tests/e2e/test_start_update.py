"""startUpdate end to end against the simulated BMC: from the software object
of a received image to a staged capsule with its tasks queued, or a refusal
that leaves behind only what an update stopped at that point may."""

import json
import os
import shutil
from types import SimpleNamespace

import pytest

from capsules import SLOT, flip, image_of, rewrap
from conftest import (ACTIVATION, ACTIVATIONS, BIOS_UPDATER, FILE_PATH,
                      JOB_CONTROL, PROPERTIES, VERSION, fail_line, info_line,
                      with_faults)

VERSION_ID = 'a3d2fe67'
STAGED = ACTIVATIONS + 'Staged'
RELEASE = 'xyz.morvex_project.Software.Version.ReleaseType.'
STARTING = b'::: Starting BIOS Update\n'
EXPORT_QUEUED = b'::: Export BIOS Config Task queued for next host reboot\n'
NO_CONFIG = b'Unable to remove BIOS Config File: No such file or directory\n'
OLD_TASK = {'JobType': 'UPDATE', 'DisplayName': 'BIOS Update',
            'FQDD': 'BIOS.Setup.1-1', 'JOBID': 'JID_0',
            'ResourceURI': '/tmp/tmpBIOSPayload/old.cap',
            'ResourceType': 'File', 'ResourceNamespace': 'ConfigDb'}
EXPORT_TASK = {'JobType': 'INVENTORY', 'DisplayName': 'BIOS Config',
               'FQDD': 'BIOS.Setup.1-1', 'JOBID': '',
               'ResourceURI': '/var/lib/qorad/BIOS_Config.json',
               'ResourceType': 'FILE', 'ResourceNamespace': 'BASECONFIG'}


def update_task(job_id='JID_1', name='bios.cap'):
    return dict(OLD_TASK, JOBID=job_id,
                ResourceURI='/tmp/tmpBIOSPayload/' + name)


def tasks_text(entries):
    return json.dumps({'QORAJob': entries}, indent=4).encode()


def info(number, message, function='startUpdate'):
    return info_line(function, number, message)


def fail(number, message, function='startUpdate'):
    return fail_line(function, number, message)


def bus_failure(function, number, detail):
    return fail_line(function, number,
                     'Exception making DBus call: sd_bus_call: ' + detail)


def verified(release_type=2):
    return (info(301, 'Decompressed BIOS Cap file')
            + info(188, 'Manifest verified successfully.', 'verifyBiosImage')
            + info(200, 'Signature verified successfully.', 'verifyBiosImage')
            + info(327, 'Verified BIOS FW with QRX')
            + info(331, f'Release Type = 0x{release_type:02x}'))


RELEASE_SET = info(340, 'Set release type of BIOS FW')


class Update:
    """One received image: its capsule in an image directory's payload
    folder and its software object, plus what a test changes of them."""

    def __init__(self, sandbox, bmc, capsule, version_id=VERSION_ID,
                 name='bios.cap', job_id='JID_1'):
        self.sandbox, self.bmc = sandbox, bmc
        self.version_id, self.name, self.job_id = version_id, name, job_id
        self.directory = sandbox.workdir / 'images' / version_id
        self.payload = self.directory / 'payload'
        self.payload.mkdir(parents=True)
        self.place(capsule)
        self.properties = {'path': str(self.directory), 'version': '1.2.3'}
        self.faults = {}
        self.setup = None

    def place(self, capsule):
        self.capsule = capsule
        (self.payload / self.name).write_bytes(capsule)

    @property
    def cap_file(self):
        return info(292, f'cap_file = {self.payload / self.name}')

    def publish(self):
        self.bmc.software(self.version_id, job_id=self.job_id,
                          **self.properties)

    def command(self):
        program = with_faults(self.sandbox, **self.faults) if self.faults \
            else None
        return dict(program=program, setup=self.setup)

    def run(self):
        self.publish()
        return self.sandbox.run('startUpdate', self.version_id,
                                **self.command())


@pytest.fixture
def update(sandbox, bmc, pack):
    return Update(sandbox, bmc, pack())


def staged(sandbox):
    folder = sandbox.tmp / 'tmpBIOSPayload'
    return ({p.name: p.read_bytes() for p in folder.iterdir()}
            if folder.is_dir() else None)


def task_file(sandbox):
    path = sandbox.qorad / 'BIOS_task_list.json'
    return path.read_bytes() if path.exists() else None


def scratch_left(sandbox):
    return sorted(str(p) for p in sandbox.scratchpad.rglob('*'))


def property_writes(bmc):
    return [(c['args'][1][1], c['args'][2][1][1]) for c in bmc.calls()
            if c['member'] == 'Set']


def journal_record(journal):
    """The update's own entries: its event log and its failure entry."""
    return [e.get('NOTERRA_EVENT') or e.get('REDFISH_MESSAGE_ID')
            for e in journal.entries()]


def get(interface, prop):
    return {'service': BIOS_UPDATER,
            'path': '/xyz/morvex_project/software/' + VERSION_ID,
            'interface': PROPERTIES, 'member': 'Get', 'signature': 'ss',
            'args': [['s', interface], ['s', prop]]}


def put(interface, prop, value):
    return dict(get(interface, prop), member='Set', signature='ssv',
                args=[['s', interface], ['s', prop], ['v', ['s', value]]])


@pytest.mark.parametrize('release_type, kind, config_present', [
    (1, 'Prototype', False), (2, 'Production', True),
    (255, 'Prototype', False)])
def test_update_stages_the_capsule_and_queues_its_tasks(
        sandbox, bmc, journal, update, pack, release_type, kind,
        config_present):
    update.place(pack(release_type=release_type))
    (sandbox.qorad / 'BIOS_task_list.json').write_bytes(
        tasks_text([OLD_TASK]))
    config = sandbox.qorad / 'BIOS_Config.json'
    if config_present:
        config.write_text('{}')
    result = update.run()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, STARTING + EXPORT_QUEUED,
        update.cap_file + verified(release_type) + RELEASE_SET
        + (b'' if config_present else NO_CONFIG))
    assert bmc.calls() == [
        get(JOB_CONTROL, 'JobID'), get(FILE_PATH, 'Path'),
        get(VERSION, 'Version'), put(VERSION, 'releaseType', RELEASE + kind),
        put(ACTIVATION, 'Activation', STAGED)]
    assert staged(sandbox) == {'bios.cap': update.capsule}
    assert task_file(sandbox) == tasks_text(
        [EXPORT_TASK, OLD_TASK, update_task()])
    assert not config.exists()
    assert scratch_left(sandbox) == []
    [event] = journal.entries()
    assert [(k, v.decode()) for k, v in event.fields if k.startswith(
        'NOTERRA')] == [
        ('NOTERRA_EVENT', 'BIOS.UPDSTART.1'), ('NOTERRA_MESSAGE_ID', 'RED069'),
        ('NOTERRA_SEVERITY', '1'), ('NOTERRA_ARG_COUNT', '1'),
        ('NOTERRA_ARG1', 'BIOS')]


def _no_path(u):
    u.properties['path'] = None


def _no_version(u):
    u.properties['version'] = None


def _no_payload(u):
    shutil.rmtree(u.payload)


def _dangling_link_only(u):
    (u.payload / u.name).unlink()
    (u.payload / 'link.cap').symlink_to(u.directory / 'gone.cap')


def _not_a_capsule(u):
    u.place(b'\0' * 200)


def _tampered(u):
    image = image_of(u.capsule)
    u.place(rewrap(u.capsule, flip(image, len(image) - SLOT - 1)))


def _release_rejected(u):
    u.bmc.reject(BIOS_UPDATER, None, 'Set',
                 VERSION, 'releaseType')


def _staging_rejected(u):
    u.bmc.reject(BIOS_UPDATER, None, 'Set',
                 ACTIVATION, 'Activation')


def _faults(**variables):
    def arrange(u):
        u.faults = variables
    return arrange


def _setup(text, keep_stale=True):
    def arrange(u):
        if not keep_stale:
            shutil.rmtree(u.sandbox.tmp / 'tmpBIOSPayload')
        u.setup = text
    return arrange


def _tampered_and(arrange):
    def both(u):
        _tampered(u)
        arrange(u)
    return both


def _no_journal(u):
    u.journal.close()


CHECKED = verified() + RELEASE_SET
TAMPERED = (info(301, 'Decompressed BIOS Cap file')
            + info(188, 'Manifest verified successfully.', 'verifyBiosImage')
            + fail(302, 'Failed in EVP_DigestVerifyFinal().',
                   'signature_verify')
            + fail(196, 'Failed in verifying signature of header file.',
                   'verifyBiosImage')
            + fail(307, 'Failed to verify BIOS FW with QRX'))
STAGING = '/tmp/tmpBIOSPayload'

# Where a run stops decides what it leaves behind: (staging directory,
# task list, software object's writes).
LEFT_BEHIND = {
    'lookup': ('stale', 'old', []),
    'verify': (None, 'old', []),
    'release': (None, 'old', ['releaseType']),
    'stage': ('any', 'old', ['releaseType']),
    'queue': ('copy', 'old', ['releaseType']),
    'staged': ('copy', 'new', ['releaseType', 'Activation']),
    'done': ('copy', 'new', ['releaseType', 'Activation']),
}

STOPS = {
    'no-file-path': (_no_path, 'lookup', lambda u: bus_failure(
        'getCommonFilePath', 65, 'org.freedesktop.DBus.Error.'
        'UnknownProperty: no such property ' + FILE_PATH + '.Path')
        + fail(258, 'Unable to get Image location')),
    'no-version': (_no_version, 'lookup', lambda u: bus_failure(
        'getVersion', 124, 'org.freedesktop.DBus.Error.UnknownProperty: '
        'no such property ' + VERSION + '.Version')
        + fail(265, 'Unable to get Image version')),
    'no-payload-directory': (_no_payload, 'lookup', lambda u: fail(
        169, 'Exception getting payload: filesystem error: directory '
        'iterator cannot open directory: No such file or directory '
        f'[{u.payload}]', 'getPayload')
        + fail(272, 'Unable to get Image Path')),
    'dangling-link-only': (_dangling_link_only, 'lookup',
                           lambda u: fail(272, 'Unable to get Image Path')),
    'not-a-capsule': (_not_a_capsule, 'verify', lambda u: u.cap_file + fail(
        69, 'Invalid Cap file: no RBU after UEFI header.',
        'uncompressBiosCapFile')
        + fail(297, 'Failed to decompress BIOS Cap file')),
    'tampered': (_tampered, 'verify', lambda u: u.cap_file + TAMPERED),
    'failure-entry-throws': (
        _tampered_and(_faults(FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE=1)),
        'verify', lambda u: u.cap_file + TAMPERED
        + fail(321, 'Exception writing event log: std::bad_alloc')),
    'manifest-library-throws': (
        _faults(FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=(
            '/mnt/scratchpad/biosscratchpad/bios')),
        'verify', lambda u: u.cap_file
        + info(301, 'Decompressed BIOS Cap file')
        + fail(345, 'Exception with QRX verifying FW manifest: '
               'std::bad_alloc')),
    'release-type-rejected': (_release_rejected, 'release', lambda u:
                              u.cap_file + verified() + bus_failure(
        'setReleaseType', 98, 'org.freedesktop.DBus.Error.AccessDenied: '
        'rejected') + fail(336, 'Failed to set release type of BIOS FW')),
    'release-type-error-reply': (
        _faults(FAULT_SHIM_ERROR_REPLY=4), 'release', lambda u: u.cap_file
        + verified() + fail(92, f'Unable to set releaseType for Version Id '
                            f'{VERSION_ID}', 'setReleaseType')
        + fail(336, 'Failed to set release type of BIOS FW')),
    'staging-directory-busy': (
        _setup(f'mount -t tmpfs busy {STAGING}'), 'stage',
        lambda u: u.cap_file + CHECKED
        + fail(354, f'Failed creating directory {STAGING}')),
    'tmp-read-only': (
        _setup('mount -o remount,bind,ro /tmp', keep_stale=False), 'stage',
        lambda u: u.cap_file + CHECKED + fail(
            360, 'Exception creating directory: filesystem error: cannot '
            f'create directories: Read-only file system [{STAGING}]')),
    'tmp-full': (
        _setup('mount -t tmpfs -o size=4k full /tmp'), 'stage',
        lambda u: u.cap_file + CHECKED + fail(
            372, 'Exception copying payload: filesystem error: cannot copy: '
            f'Input/output error [{u.payload / u.name}] [{STAGING}]')),
    'task-list-throws': (
        _faults(FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN=(
            '/var/lib/qorad/BIOS_task_list.json')),
        'queue', lambda u: u.cap_file + CHECKED
        + fail(382, 'Exception creating BIOS Update Task: std::bad_alloc')),
    'staging-rejected': (_staging_rejected, 'staged', lambda u: u.cap_file
                         + CHECKED + NO_CONFIG + bus_failure(
        'setVersionIdStaged', 248, 'org.freedesktop.DBus.Error.AccessDenied: '
        'rejected') + fail(388, 'Unable to set Image to Staged')),
    'staging-error-reply': (
        _faults(FAULT_SHIM_ERROR_REPLY=5), 'staged', lambda u: u.cap_file
        + CHECKED + NO_CONFIG + fail(242, f'Unable to set Version Id '
                                     f'{VERSION_ID} to Staged',
                                     'setVersionIdStaged')
        + fail(388, 'Unable to set Image to Staged')),
    'no-journal': (_no_journal, 'done', lambda u: u.cap_file + CHECKED
                   + NO_CONFIG + fail(
        402, 'Exception writing an event log: journal socket '
        '/run/systemd/journal/socket: No such file or directory')),
}


@pytest.mark.parametrize('case', STOPS)
def test_where_an_update_stops_decides_what_it_leaves(sandbox, bmc, journal,
                                                      update, case):
    arrange, stop, stderr = STOPS[case]
    stale = sandbox.tmp / 'tmpBIOSPayload'
    stale.mkdir()
    (stale / 'bios.cap').write_bytes(b'stale')
    (sandbox.qorad / 'BIOS_task_list.json').write_bytes(
        tasks_text([OLD_TASK]))
    update.journal = journal
    arrange(update)
    result = update.run()
    staging, tasks, writes = LEFT_BEHIND[stop]
    queued = stop in ('staged', 'done')
    assert (result.returncode, result.stdout, result.stderr) == (
        0 if stop == 'done' else 1,
        STARTING + EXPORT_QUEUED if queued else b'', stderr(update))
    assert scratch_left(sandbox) == []
    assert [name for name, _ in property_writes(bmc)] == writes
    if staging != 'any':
        assert staged(sandbox) == {'stale': {'bios.cap': b'stale'},
                                   'copy': {'bios.cap': update.capsule},
                                   None: None}[staging]
    assert task_file(sandbox) == tasks_text(
        [EXPORT_TASK, OLD_TASK, update_task()] if tasks == 'new'
        else [OLD_TASK])
    if case != 'no-journal':
        assert journal_record(journal) == (
            ['BIOS.UPDSTART.1'] if stop == 'done' else
            ['Morvex.0.1.FirmwareUpdateFailed'] if case == 'tampered' else [])


def test_failed_verification_is_journaled_with_the_version_as_read(
        sandbox, journal, update):
    _tampered(update)
    update.properties['version'] = '1,2 beta,3'
    assert update.run().returncode == 1
    [entry] = journal.entries()
    assert [(k, v.decode()) for k, v in entry.fields] == [
        ('CODE_FILE', 'src/morvex_bios_updater.cpp'), ('CODE_LINE', '313'),
        ('CODE_FUNC', 'startUpdate'), ('MESSAGE', 'FW Update Failed'),
        ('PRIORITY', '3'),
        ('REDFISH_MESSAGE_ID', 'Morvex.0.1.FirmwareUpdateFailed'),
        ('REDFISH_MESSAGE_ARGS', 'BIOS,1,2 beta,3,Error: Unable to verify '
         'Varnel Manifest and Signature'),
        # sd-journal names the sender itself.
        ('SYSLOG_IDENTIFIER', 'morvex_bios_updater')]


def test_first_existing_payload_entry_is_the_capsule(sandbox, journal,
                                                     update):
    (update.payload / update.name).rename(update.payload / 'b.cap')
    (update.payload / 'a.cap').write_bytes(update.capsule)
    for name in ('x.cap', 'y.cap', 'z.cap'):
        (update.payload / name).symlink_to(update.directory / 'gone')
    chosen = next(n for n in os.listdir(update.payload)
                  if (update.payload / n).exists())
    update.name = chosen
    result = update.run()
    assert (result.returncode, result.stderr) == (
        0, update.cap_file + CHECKED + NO_CONFIG)
    assert list(staged(sandbox)) == [chosen]


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
    results = [run.communicate(timeout=120) + (run.returncode,)
               for run in runs]
    for u, (stdout, stderr, returncode) in zip(updates, results):
        assert (returncode, stdout, stderr) == (
            0, STARTING + EXPORT_QUEUED,
            u.cap_file + CHECKED + NO_CONFIG)
    tasks = json.loads(task_file(sandbox))['QORAJob']
    assert tasks[0] == EXPORT_TASK
    first, last = sorted(updates, key=lambda u: tasks.index(
        update_task(u.job_id, u.name)))
    assert tasks[1:] == [update_task(first.job_id, first.name),
                         update_task(last.job_id, last.name)]
    assert staged(sandbox) == {last.name: last.capsule}
    assert scratch_left(sandbox) == []
