"""The audit record each run leaves in the journal beside its other
outputs: one table of runs, each with the record it must leave; and what an
operator sees with journalctl -p warning and -x once the catalog is
installed."""

import hashlib
import json
import os
import shlex
import shutil
import subprocess

import pytest

from conftest import (ACTIVATION, BIOS_UPDATER, CONFINEMENT, SOURCE_ROOT,
                      WRAPPER)
from journal_fixture import AUDIT_ID
from task_lists import LIST, import_entry, task_list, update_entry
from test_install import installed  # noqa: F401 pylint: disable=unused-import
from test_start_update import VERSION_ID, Update, _image, _pack
from capsules import SLOT, flip

pytestmark = pytest.mark.platform_libs

ROOT_KEY = SOURCE_ROOT / 'keys' / 'development' / 'manifest_root_public.pem'
READ_ONLY_QORAD = 'mount -o remount,bind,ro /var/lib/qorad'


def root_key_sha256():
    der = subprocess.run(['openssl', 'pkey', '-pubin', '-in', ROOT_KEY,
                          '-outform', 'DER'], capture_output=True,
                         check=True).stdout
    return hashlib.sha256(der).hexdigest()


def update_run(arrange=None, setup=None, **names):
    def run(sandbox, bmc, pack):
        update = Update(sandbox, bmc, pack, **names)
        if arrange:
            arrange(update)
        update.setup = setup
        return update.run(), update.capsule
    return run


def command(*words, setup=None, job=None, tasks=None):
    def run(sandbox, bmc, _pack):
        if job:
            bmc.job('s.a', '/xyz/morvex_project/jobs/1', job)
        if tasks:
            (sandbox.qorad / LIST).write_bytes(tasks)
        return sandbox.run(*words, setup=setup), None
    return run


def refused(cause, line, priority='5'):
    return {'OUTCOME': 'refused', 'CAUSE': cause, 'FAILURE': line,
            'PRIORITY': priority}


UPDATE = {'COMMAND': 'startUpdate', 'VERSION_ID': VERSION_ID,
          'JOB_ID': 'JID_1'}
UPDATE_ID = f'{VERSION_ID} JID_1'


def refused_update(run, cause, line, fields=None, note=''):
    return (run, 1, {**UPDATE, **(fields or {}), **refused(cause, line)},
            f'startUpdate {UPDATE_ID}: refused ({cause} at {line}){note}')


def xz_not_started(why, errno, layer='start', layers=CONFINEMENT):
    """The fields and the summary's ending of a run whose xz did not
    start: `layer` (or the start itself) failed with `errno`."""
    return ({'DECOMPRESSOR_CONFINEMENT': layers, 'DECOMPRESSOR_FAILED': layer,
             'DECOMPRESSOR_ERRNO': str(errno)},
            f'; xz not started ({layer}: {why})')


def superseded(update):
    (update.sandbox.tmp / 'tmpBIOSPayload').mkdir()
    (update.sandbox.tmp / 'tmpBIOSPayload' / 'old.cap').write_bytes(b'old')
    (update.sandbox.qorad / LIST).write_bytes(
        task_list(update_entry('JID_0', capsule='old.cap')))


SUPERSEDED = ('the capsule /tmp/tmpBIOSPayload/old.cap staged for Job ID '
              'JID_0 is removed but its UPDATE task stays queued: mark that '
              'job failed (morvex_bios_updater updateStatus JID_0 0 3)')
SET_ASIDE = ('the task list could not be read whole; its old text is kept '
             f'as /var/lib/qorad/{LIST}.unreadable.1 (it held 2 job(s)): '
             'queue again the jobs it held that the new list lacks')
SCRATCH = '/mnt/scratchpad'
XZ_FAILED = 'uncompressBiosCapFile.121'
XZ_NOT_STARTED = 'uncompressBiosCapFile.119'
CONFINED = {'DECOMPRESSOR_CONFINEMENT': CONFINEMENT}
VERIFIED = {**CONFINED, 'RELEASE_TYPE': '0x02', 'ROOT_KEY_SHA256': 'root key'}
STAGED = {**VERIFIED, 'CAPSULE_SHA512': 'capsule'}
NO_TASK_LIST = {'OUTCOME': 'failed', 'CAUSE': 'task list', 'PRIORITY': '4',
                'TASK_LIST': 'not written', 'TASK_LIST_ERRNO': '30'}
NOT_WRITTEN = '(task list); task list not written: Read-only file system'
STATUS = {'COMMAND': 'updateStatus', 'JOB_ID': 'JID_1'}

# run -> (exit status, the record's fields less the BIOS_AUDIT_ prefix,
# MESSAGE), fields None for no record; PRIORITY 6 and TASK_LIST untouched
# unless said.
RUNS = {
    'staged update': (update_run(), 0, {
        **UPDATE, **STAGED, 'OUTCOME': 'staged', 'TASK_LIST': 'written'},
        f'startUpdate {UPDATE_ID}: staged'),
    'unwrap': refused_update(update_run(lambda u: u.place(u.capsule[:83])),
                             'unwrap', 'uncompressBiosCapFile.63'),
    # The decompressed image does not fit beside the compressed one.
    'scratch area full': refused_update(update_run(_pack(size=40000), setup=(
        f'mount -t tmpfs -o size=64k full {SCRATCH}')), 'BMC state',
        XZ_FAILED, CONFINED),
    # ... but a body that does not decode is the capsule's fault all the same.
    'damaged body, little room': refused_update(update_run(
        lambda u: u.place(u.pack(size=40000)[:-64]), setup=(
            f'mount -t tmpfs -o size=64k full {SCRATCH}')), 'unwrap',
        XZ_FAILED, CONFINED),
    'scratch area missing': refused_update(update_run(
        setup='mount -t tmpfs none /mnt'), 'BMC state',
        'uncompressBiosCapFile.47'),
    'xz not executable': refused_update(update_run(
        lambda u: setattr(u, 'xz', 'missing')), 'BMC state', XZ_NOT_STARTED,
        *xz_not_started('Permission denied', 13)),
    'xz missing': refused_update(update_run(
        setup='mount -t tmpfs none /usr/bin'), 'BMC state', XZ_NOT_STARTED,
        *xz_not_started('No such file or directory', 2, layers='pid')),
    'manifest': refused_update(update_run(_pack(root_key=SOURCE_ROOT / (
        'keys/development/image_signing_private.pem'))), 'manifest',
        'verifyBiosImage.184', CONFINED),
    'signature': refused_update(update_run(_image(
        lambda i: flip(i, len(i) - SLOT - 1))), 'signature',
        'signature_verify.302', CONFINED),
    'staging': refused_update(update_run(
        setup='mount -o remount,bind,ro /tmp'), 'staging', 'startUpdate.360',
        VERIFIED),
    'lock': refused_update(update_run(lambda u: u.faults.update(
        FAULT_SHIM_OWN_CALL_FAILS='flock@1')), 'lock', 'startUpdate.920'),
    'bus': refused_update(update_run(
        lambda u: u.properties.update(path=None)), 'bus',
        'getCommonFilePath.65'),
    # The network namespace cannot be had (the third unshare).
    'decompressor confinement': refused_update(update_run(
        lambda u: u.faults.update(FAULT_SHIM_OWN_CALL_FAILS='unshare@3')),
        'BMC state', 'uncompressBiosCapFile.117',
        *xz_not_started('Invalid argument', 22, 'network', 'pid')),
    'superseded update': (update_run(superseded), 0, {
        **UPDATE, **STAGED, 'OUTCOME': 'staged', 'TASK_LIST': 'written',
        'PRIORITY': '4', 'WARNING': SUPERSEDED},
        f'startUpdate {UPDATE_ID}: staged; {SUPERSEDED}'),
    'queueing with /var/lib/qorad read-only': (
        update_run(setup=READ_ONLY_QORAD), 0,
        {**UPDATE, **STAGED, **NO_TASK_LIST},
        f'startUpdate {UPDATE_ID}: failed {NOT_WRITTEN}; the capsule is '
        'staged but its update is not queued'),
    'Staged rejected once queued': (update_run(lambda u: u.bmc.reject(
        BIOS_UPDATER, None, 'Set', ACTIVATION, 'Activation')), 1, {
        **UPDATE, **STAGED, 'OUTCOME': 'failed', 'CAUSE': 'bus',
        'FAILURE': 'setVersionIdStaged.248', 'PRIORITY': '4',
        'TASK_LIST': 'written'},
        f'startUpdate {UPDATE_ID}: failed (bus at setVersionIdStaged.248)'),
    'updateStatus': (command('updateStatus', 'JID_1', '100', '1', job='JID_1',
                             tasks=task_list(update_entry('JID_1'))), 0, {
        **STATUS, 'PERCENTAGE': '100', 'STATUS': '1', 'OUTCOME': 'recorded',
        'TASK_LIST': 'written'}, 'updateStatus JID_1 100 1: recorded'),
    'updateStatus of an unknown job': (
        command('updateStatus', 'JID_1', '5', '0'), 1, {
            **STATUS, 'PERCENTAGE': '5', 'STATUS': '0',
            **refused('operands', 'updateStatus.539')},
        'updateStatus JID_1 5 0: refused (operands at updateStatus.539)'),
    'exportBIOSConfig': (command('exportBIOSConfig'), 0, {
        'COMMAND': 'exportBIOSConfig', 'OUTCOME': 'queued',
        'TASK_LIST': 'written'}, 'exportBIOSConfig: queued'),
    'exportBIOSConfig held back': (
        command('exportBIOSConfig',
                tasks=task_list(import_entry('JobID_1'))), 0, {
            'COMMAND': 'exportBIOSConfig', 'OUTCOME': 'refused',
            'CAUSE': 'pending import', 'PRIORITY': '5'},
        'exportBIOSConfig: refused (pending import)'),
    'exportBIOSConfig over an unreadable list': (
        command('exportBIOSConfig', tasks=b'{"QORAJob": [{}, {}]}'), 0, {
            'COMMAND': 'exportBIOSConfig', 'OUTCOME': 'queued',
            'TASK_LIST': 'written', 'PRIORITY': '4', 'WARNING': SET_ASIDE},
        f'exportBIOSConfig: queued; {SET_ASIDE}'),
    'forceExportBIOSConfig read-only': (
        command('forceExportBIOSConfig', setup=READ_ONLY_QORAD), 0, {
            'COMMAND': 'forceExportBIOSConfig', **NO_TASK_LIST},
        f'forceExportBIOSConfig: failed {NOT_WRITTEN}'),
    'importBIOSConfig': (command('importBIOSConfig'), 1, {
        'COMMAND': 'importBIOSConfig', 'JOB_ID': 'import job',
        'OUTCOME': 'queued', 'TASK_LIST': 'written'},
        'importBIOSConfig import job: queued'),
    'getJobStatus': (command('getJobStatus', 'JID_1', job='JID_1'), 0, None,
                     None),
    'usage error': (command('startUpdate'), 1, None, None),
}


def expected_record(fields, message, capsule, qorad):
    values = {'root key': root_key_sha256(),
              'capsule': capsule and hashlib.sha512(capsule).hexdigest()}
    if 'import job' in fields.values():
        values['import job'] = json.loads(
            (qorad / LIST).read_bytes())['QORAJob'][0]['JOBID']
    message = message.replace('import job', values.get('import job', ''))
    record = {'MESSAGE_ID': AUDIT_ID, 'MESSAGE': message, 'PRIORITY': '6',
              'SYSLOG_IDENTIFIER': 'morvex_bios_updater',
              'BIOS_AUDIT_TASK_LIST': 'untouched'}
    for name, value in fields.items():
        key = name if name in ('PRIORITY',) else 'BIOS_AUDIT_' + name
        record[key] = values.get(value, value)
    return record


@pytest.mark.parametrize('case', RUNS)
def test_each_run_leaves_its_audit_record(sandbox, bmc, journal, pack, case):
    if case == 'xz missing' and WRAPPER:
        pytest.skip('the wrapper is in /usr/bin too')
    run, status, fields, message = RUNS[case]
    result, capsule = run(sandbox, bmc, pack)
    assert result.returncode == status, result.stderr
    assert journal.audit_records() == ([] if fields is None else [
        expected_record(fields, message, capsule, sandbox.qorad)])


def test_operator_sees_an_unqueued_update_and_its_explanation(
        sandbox, bmc, journal, pack, installed):  # noqa: F811
    """journalctl -p warning shows the update that was staged but not
    queued; -x adds the explanation of the catalog as installed, taken in
    by journalctl --update-catalog."""
    destdir, _options, _tool = installed
    update_run(setup=READ_ONLY_QORAD)(sandbox, bmc, pack)
    update_run(_image(lambda i: flip(i, len(i) - SLOT - 1)),
               version_id='v2', job_id='JID_2')(sandbox, bmc, pack)
    journal.audit_records()  # everything stored
    image = sandbox.workdir / 'image'
    shutil.copytree(destdir, image, symlinks=True)
    subprocess.run(['journalctl', f'--root={image}', '--update-catalog'],
                   check=True, capture_output=True)
    # journalctl reads the catalog database at its fixed place only: the
    # image's is mounted there in a namespace of its own.
    database = image / 'var' / 'lib' / 'systemd' / 'catalog'
    prefix = ['unshare', '--mount', '--propagation', 'private']
    if os.geteuid() != 0:
        prefix[1:1] = ['--user', '--map-root-user']
    reader = shlex.join(journal.journald.journalctl_command(
        '-p', 'notice', f'MESSAGE_ID={AUDIT_ID}'))

    def journalctl(*words):
        return subprocess.run(prefix + ['sh', '-c', (
            f'mount --bind {shlex.quote(str(database))} '
            f'/var/lib/systemd/catalog && {reader} "$@"'), 'sh', *words],
            check=True, capture_output=True, text=True).stdout

    assert journalctl('-o', 'cat', '-p', 'warning') == (
        f'startUpdate {UPDATE_ID}: failed {NOT_WRITTEN}; the capsule is '
        'staged but its update is not queued\n')
    explained = journalctl('-x')
    assert [line for line in explained.splitlines()
            if 'Subject:' in line] == [
        '\u2591\u2591 Subject: BIOS updater: startUpdate failed',
        '\u2591\u2591 Subject: BIOS updater: startUpdate refused']
    assert 'morvex_bios_updater updateStatus <Job ID> 0 3' in explained
