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

from conftest import ACTIVATION, BIOS_UPDATER, CONFINEMENT, SOURCE_ROOT
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


def command(*words, setup=None, job=None):
    def run(sandbox, bmc, _pack):
        if job:
            bmc.job('s.a', '/xyz/morvex_project/jobs/1', job)
        return sandbox.run(*words, setup=setup), None
    return run


def refused(cause, line, priority='5'):
    return {'OUTCOME': 'refused', 'CAUSE': cause, 'FAILURE': line,
            'PRIORITY': priority}


UPDATE = {'COMMAND': 'startUpdate', 'VERSION_ID': VERSION_ID,
          'JOB_ID': 'JID_1'}
CONFINED = {'DECOMPRESSOR_CONFINEMENT': CONFINEMENT}
VERIFIED = {**CONFINED, 'RELEASE_TYPE': '0x02', 'ROOT_KEY_SHA256': 'root key'}
STAGED = {**VERIFIED, 'CAPSULE_SHA512': 'capsule'}
UPDATE_ID = f'{VERSION_ID} JID_1'
NO_TASK_LIST = {'OUTCOME': 'failed', 'CAUSE': 'task list', 'PRIORITY': '4',
                'TASK_LIST': 'not written', 'TASK_LIST_ERRNO': '30'}
NOT_WRITTEN = '(task list); task list not written: Read-only file system'
STATUS = {'COMMAND': 'updateStatus', 'JOB_ID': 'JID_1'}

# run -> (exit status, the record's fields less the BIOS_AUDIT_ prefix,
# MESSAGE); PRIORITY 6 and TASK_LIST untouched unless said.
RUNS = {
    'staged update': (update_run(), 0, {
        **UPDATE, **STAGED, 'OUTCOME': 'staged', 'TASK_LIST': 'written'},
        f'startUpdate {UPDATE_ID}: staged'),
    'unwrap': (update_run(lambda u: u.place(u.capsule[:83])), 1, {
        **UPDATE, **refused('unwrap', 'uncompressBiosCapFile.63')},
        f'startUpdate {UPDATE_ID}: refused (unwrap at '
        'uncompressBiosCapFile.63)'),
    'manifest': (update_run(_pack(root_key=SOURCE_ROOT / 'keys' / (
        'development/image_signing_private.pem'))), 1, {
        **UPDATE, **CONFINED, **refused('manifest', 'verifyBiosImage.184')},
        f'startUpdate {UPDATE_ID}: refused (manifest at verifyBiosImage.184)'),
    'signature': (update_run(_image(lambda i: flip(i, len(i) - SLOT - 1))),
                  1, {**UPDATE, **CONFINED, **refused(
                      'signature', 'signature_verify.302')},
                  f'startUpdate {UPDATE_ID}: refused (signature at '
                  'signature_verify.302)'),
    'staging': (update_run(setup='mount -o remount,bind,ro /tmp'), 1, {
        **UPDATE, **VERIFIED, **refused('staging', 'startUpdate.360')},
        f'startUpdate {UPDATE_ID}: refused (staging at startUpdate.360)'),
    # The network namespace cannot be had (the third unshare).
    'decompressor confinement': (update_run(lambda u: u.faults.update(
        FAULT_SHIM_OWN_CALL_FAILS='unshare@3')), 1, {
        **UPDATE, **refused('unwrap', 'uncompressBiosCapFile.117'),
        'DECOMPRESSOR_CONFINEMENT': 'pid', 'DECOMPRESSOR_FAILED': 'network',
        'DECOMPRESSOR_ERRNO': '22'},
        f'startUpdate {UPDATE_ID}: refused (unwrap at uncompressBiosCapFile.'
        '117); xz not started (network: Invalid argument)'),
    'lock': (update_run(lambda u: u.faults.update(
        FAULT_SHIM_OWN_CALL_FAILS='flock@1')), 1,
             {**UPDATE, **refused('lock', 'startUpdate.920')},
             f'startUpdate {UPDATE_ID}: refused (lock at startUpdate.920)'),
    'bus': (update_run(lambda u: u.properties.update(path=None)), 1, {
        **UPDATE, **refused('bus', 'getCommonFilePath.65')},
        f'startUpdate {UPDATE_ID}: refused (bus at getCommonFilePath.65)'),
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
    'updateStatus': (command('updateStatus', 'JID_1', '100', '1',
                             job='JID_1'), 0, {
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
        command('exportBIOSConfig'), 0, {
            'COMMAND': 'exportBIOSConfig', 'OUTCOME': 'refused',
            'CAUSE': 'pending import', 'PRIORITY': '5'},
        'exportBIOSConfig: refused (pending import)'),
    'forceExportBIOSConfig read-only': (
        command('forceExportBIOSConfig', setup=READ_ONLY_QORAD), 0, {
            'COMMAND': 'forceExportBIOSConfig', **NO_TASK_LIST},
        f'forceExportBIOSConfig: failed {NOT_WRITTEN}'),
    'importBIOSConfig': (command('importBIOSConfig'), 1, {
        'COMMAND': 'importBIOSConfig', 'JOB_ID': 'import job',
        'OUTCOME': 'queued', 'TASK_LIST': 'written'},
        'importBIOSConfig import job: queued'),
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
def test_each_run_leaves_one_audit_record(sandbox, bmc, journal, pack, case):
    run, status, fields, message = RUNS[case]
    if case == 'exportBIOSConfig held back':
        (sandbox.qorad / LIST).write_bytes(task_list(import_entry('JobID_1')))
    if case == 'updateStatus':
        (sandbox.qorad / LIST).write_bytes(task_list(update_entry('JID_1')))
    result, capsule = run(sandbox, bmc, pack)
    assert result.returncode == status, result.stderr
    assert journal.audit_records() == [
        expected_record(fields, message, capsule, sandbox.qorad)]


def test_getjobstatus_leaves_no_audit_record(sandbox, bmc, journal):
    bmc.job('s.a', '/xyz/morvex_project/jobs/1', 'JID_1')
    assert sandbox.run('getJobStatus', 'JID_1').returncode == 0
    assert journal.audit_records() == []


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
