"""startUpdate end to end against the simulated BMC: from the software object
of a received image to a staged capsule with its tasks queued, or a refusal
that leaves behind only what an update stopped at that point may."""

import json
import os
import re
import shutil
import shlex
import signal
import socket
import stat
import time

import pytest

from capsules import SLOT, bomb, flip, image_of, rewrap
from conftest import (ACTIVATION, ACTIVATIONS, BIOS_UPDATER, BUILD_ROOT,
                      FILE_PATH, JOB_CONTROL, SOFTWARE_ROOT, SOURCE_ROOT,
                      NO_SECCOMP_UNDER_EMULATION, UPDATER, VERSION, WRAPPER,
                      XZ_STAND_IN, call_failed, fail_line,
                      info_line, platform_libs_rows, property_call, stand_in,
                      with_faults)
from task_lists import FILE_EXPORT, LIST, import_entry, task_list, update_entry

VERSION_ID = 'a3d2fe67'
STAGING = '/tmp/tmpBIOSPayload'
SCRATCH = '/mnt/scratchpad/biosscratchpad'
STARTING = b'::: Starting BIOS Update\n'
QUEUED = (STARTING
          + b'::: Export BIOS Config Task queued for next host reboot\n')
NO_CONFIG = b'Unable to remove BIOS Config File: No such file or directory\n'
OLD_TASK = update_entry('JID_0', capsule='old.cap')


def update_task(job_id='JID_1', name='bios.cap'):
    return update_entry(job_id, capsule=name)


def fail(number, message, function='startUpdate'):
    return fail_line(function, number, message)


def bus_failure(function, number, detail):
    return call_failed(function, number,
                       'sd_bus_call: org.freedesktop.DBus.Error.' + detail)


DECOMPRESSED = info_line('startUpdate', 301, 'Decompressed BIOS Cap file')
MANIFEST_OK = info_line('verifyBiosImage', 188,
                        'Manifest verified successfully.')
SIGNATURE_OK = info_line('verifyBiosImage', 200,
                         'Signature verified successfully.')
REFUSED = fail(307, 'Failed to verify BIOS FW with QRX')
RELEASE_SET = info_line('startUpdate', 340, 'Set release type of BIOS FW')


def verified(release_type=2):
    return (DECOMPRESSED + MANIFEST_OK + SIGNATURE_OK
            + info_line('startUpdate', 327, 'Verified BIOS FW with QRX')
            + info_line('startUpdate', 331,
                        f'Release Type = 0x{release_type:02x}'))


def unwrap_failed(number, message, before=b''):
    return (before + fail(number, message, 'uncompressBiosCapFile')
            + fail(297, 'Failed to decompress BIOS Cap file'))


def refused(number, message, before=DECOMPRESSED):
    """A refused image: the verification's line, then the update's."""
    return before + fail(number, message, 'verifyBiosImage') + REFUSED


def bad_signature(number, message):
    return refused(196, 'Failed in verifying signature of header file.',
                   DECOMPRESSED + MANIFEST_OK
                   + fail(number, message, 'signature_verify'))


class Update:
    """A received image: its capsule in the payload folder of its image
    directory, its software object, and how the tool is run on it."""

    def __init__(self, sandbox, bmc, pack, seed=0, version_id=VERSION_ID,
                 name='bios.cap', job_id='JID_1'):
        self.sandbox, self.bmc, self.pack = sandbox, bmc, pack
        self.version_id, self.name, self.job_id = version_id, name, job_id
        self.directory = sandbox.workdir / 'images' / version_id
        self.payload = self.directory / 'payload'
        self.payload.mkdir(parents=True)
        self.place(pack(seed=seed))
        self.properties = {'path': str(self.directory), 'version': '1,2 b,3'}
        self.faults, self.setup, self.xz = {}, None, None
        # Shell text run in the sandbox after the tool, before it ends.
        self.after = None

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

    def program(self):
        program = with_faults(self.sandbox, **self.faults)
        if self.after is None:
            return program
        wrapper = self.sandbox.workdir / 'updater-then'
        wrapper.write_text('#!/bin/sh\n' + shlex.join(
            self.sandbox.exec_words(program or UPDATER)) + ' "$@"\n'
            f'rc=$?\n{self.after}\nexit $rc\n')
        wrapper.chmod(0o755)
        return wrapper

    def run(self):
        self.publish()
        return self.sandbox.run('startUpdate', self.version_id,
                                program=self.program(), setup=self.setup,
                                xz=self.xz)


@pytest.fixture
def update(sandbox, bmc, pack):
    return Update(sandbox, bmc, pack)


def staged(sandbox):
    folder = sandbox.tmp / 'tmpBIOSPayload'
    return ({p.name: p.read_bytes() for p in folder.iterdir()}
            if folder.is_dir() else None)


def task_file(sandbox):
    return (sandbox.qorad / LIST).read_bytes()


def scratch_left(sandbox):
    return sorted(str(p.relative_to(sandbox.scratchpad))
                  for p in sandbox.scratchpad.rglob('*'))


def software_call(interface, prop, *value):
    return property_call(BIOS_UPDATER, f'{SOFTWARE_ROOT}/{VERSION_ID}',
                         interface, prop, *value)


def _set(**changes):
    def arrange(u):
        for name, value in changes.items():
            getattr(u, name).update(value) if isinstance(value, dict) \
                else setattr(u, name, value)
    return arrange


def _then(*arrangements):
    return lambda u: [arrange(u) for arrange in arrangements]


def _image(change):
    return lambda u: u.place(rewrap(u.capsule, change(image_of(u.capsule))))


def _pack(**options):
    return lambda u: u.place(u.pack(**options))


def _first_existing_entry_of_many(u):
    (u.payload / 'b.cap').write_bytes(u.capsule)
    for name in ('x.cap', 'y.cap', 'z.cap'):
        (u.payload / name).symlink_to(u.directory / 'gone')
    u.name = next(n for n in os.listdir(u.payload) if (u.payload / n).exists())


# Puts {tampered} at the payload's name {payload} once the body has been
# copied, while the (slow) decompressor runs.
SWAP = ('(for i in $(seq 500); do [ -e /mnt/scratchpad/biosscratchpad/'
        'bios.lzma ] && break; sleep 0.01; done; {how}) >/dev/null 2>&1 &')
SWAPS = {'write': 'cat {tampered} > {payload}',
         'rename': 'cp {tampered} {payload}.new && mv {payload}.new {payload}'}


def _swapping_xz(u, how):
    """Between the capsule's copy and its staging, a tampered capsule is
    put at the payload's name."""
    image = image_of(u.capsule)
    tampered = u.sandbox.workdir / 'tampered.cap'
    tampered.write_bytes(rewrap(u.capsule, flip(image, len(image) - SLOT - 1)))
    _xz('slow', SWAP.format(how=SWAPS[how].format(
        tampered=tampered, payload=u.payload / u.name)))(u)


def _payload_entry(make):
    """The payload entry replaced by what make(update, path) puts there."""
    def arrange(u):
        (u.payload / u.name).unlink()
        make(u, u.payload / u.name)
    return arrange


def _link_to_capsule(u, path):
    (u.directory / 'elsewhere.cap').write_bytes(u.capsule)
    path.symlink_to(u.directory / 'elsewhere.cap')


SUCCEEDS = {
    'release-type-1': (_pack(release_type=1), 1),
    'release-type-2-config-file-present': (lambda u: (
        u.sandbox.qorad / 'BIOS_Config.json').write_text('{}'), 2),
    'release-type-255': (_pack(release_type=255), 255),
    'first-existing-payload-entry': (_first_existing_entry_of_many, 2),
    'payload-entry-a-link-to-the-capsule': (_payload_entry(_link_to_capsule),
                                            2),
    'payload-mode-0666': (lambda u: (u.payload / u.name).chmod(0o666), 2),
    'payload-mode-0600-umask-000': (_then(
        lambda u: (u.payload / u.name).chmod(0o600), _set(setup='umask 0')),
        2),
    # What is staged is what was verified, whatever the payload becomes.
    'payload-rewritten-after-its-copy': (lambda u: _swapping_xz(u, 'write'),
                                         2),
    'payload-replaced-after-its-copy': (lambda u: _swapping_xz(u, 'rename'),
                                        2),
    # ... with the private directory of a run killed while it held one.
    'no-unnamed-files': (_then(_set(faults={'FAULT_SHIM_NO_TMPFILE': 1}),
                               lambda u: (u.sandbox.tmp / '.bios-capsule.'
                                          'Xy12Zw').mkdir(mode=0o700)), 2),
}


@pytest.mark.platform_libs
@pytest.mark.parametrize('case', SUCCEEDS)
def test_update_stages_the_capsule_and_queues_its_tasks(
        sandbox, bmc, journal, update, case):
    arrange, release_type = SUCCEEDS[case]
    arrange(update)
    config = (sandbox.qorad / 'BIOS_Config.json').exists()
    (sandbox.qorad / LIST).write_bytes(task_list(  # the job's interrupted run
        OLD_TASK, update_task(name='interrupted.cap')))
    result = update.run()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, QUEUED, update.cap_file + verified(release_type) + RELEASE_SET
        + (b'' if config else NO_CONFIG))
    kind = 'Production' if release_type == 2 else 'Prototype'
    assert bmc.calls() == [
        software_call(JOB_CONTROL, 'JobID'),
        software_call(FILE_PATH, 'Path'), software_call(VERSION, 'Version'),
        software_call(VERSION, 'releaseType', 's',
                      'xyz.morvex_project.Software.Version.ReleaseType.'
                      + kind),
        software_call(ACTIVATION, 'Activation', 's', ACTIVATIONS + 'Staged')]
    assert staged(sandbox) == {update.name: update.capsule}
    assert list(sandbox.tmp.glob('.bios-capsule.*')) == []
    folder = sandbox.tmp / 'tmpBIOSPayload'
    assert [stat.S_IMODE(p.stat().st_mode) for p in (
        folder, folder / update.name)] == [0o755, 0o644]
    assert task_file(sandbox) == task_list(
        FILE_EXPORT, OLD_TASK, update_task(name=update.name))
    assert not (sandbox.qorad / 'BIOS_Config.json').exists()
    assert scratch_left(sandbox) == []
    assert list(sandbox.tmp.glob('.bios-capsule.*')) == []
    [event] = journal.entries()
    # Where the event-log library was built is no business of the reader.
    assert sorted(f for f in event.fields if f[0][:5] != 'CODE_') == sorted([
        ('MESSAGE', b'The BIOS firmware update started.'),
        ('PRIORITY', b'6'), ('SYSLOG_IDENTIFIER', b'morvex_bios_updater'),
        ('NOTERRA_ARG1', b'BIOS'), ('NOTERRA_ARG_COUNT', b'1'),
        ('NOTERRA_EVENT', b'BIOS.UPDSTART.1'),
        ('NOTERRA_MESSAGE_ID', b'RED069'), ('NOTERRA_SEVERITY', b'1')])


def _reject(interface, prop):
    return lambda u: u.bmc.reject(BIOS_UPDATER, None, 'Set', interface, prop)


def _bomb(size):
    # With the tool's file-size limit at 1 MiB, xz may write no more.
    return _then(lambda u: u.place(bomb(size)), _set(setup='ulimit -f 2048'))


def _xz(mode, setup=None):
    return _set(xz=XZ_STAND_IN, setup=stand_in(mode, setup))


def _beyond_a_capsule(growing):
    """The payload past what the copy takes (1 MiB under the run's
    file-size limit): sparse to 3 GiB, or 2 MiB and still growing by 16 MiB
    while it is read."""
    def arrange(u):
        path = u.payload / u.name
        os.truncate(path, (2 << 20) if growing else (3 << 30))
        u.setup = (f'for i in $(seq 256); do head -c 65536 /dev/zero; done '
                   f'>> "{path}" & ' if growing else '') + 'ulimit -f 2048'
    return arrange


def _socket_as_capsule(u):
    (u.payload / u.name).unlink()
    u.name, cwd = 'bios.sock', os.getcwd()
    os.chdir(u.payload)  # a socket's path may be only so long
    try:
        socket.socket(socket.AF_UNIX).bind(u.name)
    finally:
        os.chdir(cwd)


def _limits_seen_by_xz():
    text = (BUILD_ROOT / 'src' / 'build_limits.hpp').read_text()
    size = int(re.search(r'maxImageSize =\s*std::uint64_t\{(\d+)\}',
                         text).group(1)) << 20
    cpu = int(re.search(r'decompressCpuTime\{(\d+)\}', text).group(1))
    memory = int(re.search(r'decompressMemory =\s*std::uint64_t\{(\d+)\}',
                           text).group(1)) << 20
    # qemu-user keeps its guest's address-space limit to itself.
    memory = -1 if WRAPPER else memory
    return (f'({size}, {size}) ({cpu}, {cpu + 5}) ({memory}, {memory}) True '
            '766\n').encode()


XZ_FAILED = (121, 'Failure #1 in decompress bios.lzma.')
EINVAL = 'Invalid argument (errno 22)'
TOO_LARGE = unwrap_failed(*XZ_FAILED, f'/usr/bin/xz: {SCRATCH}/bios: Write '
                          'error: File too large\n'.encode())
NO_IMAGE = unwrap_failed(135, 'Failed to open uncompressed header file.')
NO_CAP_FILE = unwrap_failed(53, 'Could not find cap file.')
NOT_STAGED = fail(388, 'Unable to set Image to Staged')
NO_RELEASE = fail(336, 'Failed to set release type of BIOS FW')
DATA_CHANGED = bad_signature(302, 'Failed in EVP_DigestVerifyFinal().')
BAD_MANIFEST = refused(184, 'Failed in verifying manifest.')
FAILED_ENTRY = sorted([
    ('CODE_FILE', b'src/morvex_bios_updater.cpp'), ('CODE_LINE', b'313'),
    ('CODE_FUNC', b'startUpdate'), ('MESSAGE', b'FW Update Failed'),
    ('PRIORITY', b'3'),
    ('REDFISH_MESSAGE_ID', b'Morvex.0.1.FirmwareUpdateFailed'),
    # The version goes into the arguments as read; sd-journal names the
    # sender itself.
    ('REDFISH_MESSAGE_ARGS', b'BIOS,1,2 b,3,Error: Unable to verify Varnel '
     b'Manifest and Signature'),
    ('SYSLOG_IDENTIFIER', b'morvex_bios_updater')])

# What a run leaves behind, by where it stops: the lines before its own,
# the staging directory, the task list, and the software object's writes.
STOPPED_AT = {
    'lookup': (lambda u: b'', 'stale', False, []),
    'unwrap': (lambda u: u.cap_file, None, False, []),
    'release': (lambda u: u.cap_file + verified(), None, False,
                ['releaseType']),
    'stage': (lambda u: u.cap_file + verified() + RELEASE_SET, 'inside',
              False, ['releaseType']),
    'queue': (lambda u: u.cap_file + verified() + RELEASE_SET, 'copy', False,
              ['releaseType']),
    'staged': (lambda u: u.cap_file + verified() + RELEASE_SET + NO_CONFIG,
               'copy', True, ['releaseType', 'Activation']),
    'snapshot': (lambda u: b'', None, False, []),
    'snapshot-under-its-own-tmp': (lambda u: b'', 'stale', False, []),
}
NO_ROOM = 'No space left on device'

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
    'capsule-is-a-socket': (_socket_as_capsule, 'unwrap', NO_CAP_FILE),
    # Only a regular file is taken, never waited on.
    'capsule-is-a-fifo': (_payload_entry(lambda u, p: os.mkfifo(p)),
                          'unwrap', NO_CAP_FILE),
    'capsule-is-a-device': (_payload_entry(lambda u, p: os.mknod(
        p, stat.S_IFCHR | 0o600, os.makedev(1, 3))), 'unwrap', NO_CAP_FILE),
    'capsule-is-a-directory': (_payload_entry(lambda u, p: p.mkdir()),
                               'unwrap', NO_CAP_FILE),
    'capsule-copy-buffer-not-allocated': (
        _set(faults={'FAULT_SHIM_NOTHROW_NEW_FAILS': 1}), 'snapshot',
        fail(922, 'Capsule not copied: Cannot allocate memory')),
    'no-room-for-the-copy-nor-unnamed-files': (_set(faults={
        'FAULT_SHIM_NO_TMPFILE': 1}, setup='mount -t tmpfs -o size=4k f /tmp'
        ' && mount -t tmpfs -o size=4k f /mnt/scratchpad'),
        'snapshot-under-its-own-tmp', fail(922, 'Capsule not copied: /tmp: '
                                           + NO_ROOM + '; /mnt/scratchpad: '
                                           + NO_ROOM)),
    # Only a capsule's worth (1 MiB here) is copied, to fail in unwrapping.
    **{name: (_beyond_a_capsule(growing), 'unwrap', unwrap_failed(
        *XZ_FAILED, f'/usr/bin/xz: {SCRATCH}/bios.lzma: Compressed data is '
        'corrupt\n'.encode())) for name, growing in (
            ('sparse-payload-of-3-GiB', False),
            ('payload-growing-while-read', True))},
    'capsule-digest-fails': (
        _set(faults={'FAULT_SHIM_OWN_CALL_FAILS': 'EVP_MD_CTX_new@1'}),
        'unwrap', NO_CAP_FILE),
    # Without unnamed files the body is copied out of the capsule's copy.
    'copy-buffer-not-allocated': (_set(faults={
        'FAULT_SHIM_NOTHROW_NEW_FAILS': 2, 'FAULT_SHIM_NO_TMPFILE': 1}),
        'unwrap',
        unwrap_failed(83, 'Failed to allocate buffer to copy Cap file into '
                      'compressed header file.')),
    'scratch-area-full': (
        _set(setup='mount -t tmpfs -o nr_inodes=2 full /mnt/scratchpad'),
        'unwrap', unwrap_failed(89, 'Failed to open bios.lzma.')),
    'no-xz': (_set(xz='missing'), 'unwrap', unwrap_failed(
        *XZ_FAILED, fail(119, 'Could not start /usr/bin/xz: Permission '
                         'denied (errno 13)', 'uncompressBiosCapFile'))),
    'xz-fails': (_xz('fail'), 'unwrap', unwrap_failed(
        *XZ_FAILED, b'xz: simulated failure\n')),
    'xz-runs-within-the-limits': (
        _xz('limits', setup='umask 0'), 'unwrap',
        lambda u: unwrap_failed(*XZ_FAILED, _limits_seen_by_xz())),
    'fork-fails': (_set(faults={'FAULT_SHIM_FORK_FAILS': 1}), 'unwrap',
                   unwrap_failed(127, 'Failure #2 in decompress bios.lzma.')),
    # A layer of the decompressor's confinement that the kernel lacks.
    **{f'no-{layer}-layer': (_set(faults={'FAULT_SHIM_OWN_CALL_FAILS': call}),
                             'unwrap', unwrap_failed(*XZ_FAILED, fail(
                                 117, f'Decompressor confinement {layer} '
                                 f'could not be set up: {why}',
                                 'uncompressBiosCapFile')))
       for layer, call, why in (
           ('pid', 'unshare@1', EINVAL), ('mount', 'unshare@2', EINVAL),
           ('network', 'unshare@3', EINVAL), ('ipc', 'unshare@4', EINVAL),
           ('capabilities', 'prctl24', EINVAL),
           ('user', 'setresuid', 'Resource temporarily unavailable (errno '
            '11)'), ('no-new-privs', 'prctl38', EINVAL),
           ('seccomp', 'seccomp_load', EINVAL))},
    'xz-writes-nothing': (_xz('nothing'), 'unwrap', NO_IMAGE),
    # The exit-code byte of a killed child is 0: only the image is missing.
    'xz-killed': (_xz('kill'), 'unwrap', NO_IMAGE),
    'xz-beyond-its-cpu-time': (_xz('spin', 'ulimit -t 2'), 'unwrap', NO_IMAGE),
    # An image beyond the limit (also one whose size wraps in 32 bits) is
    # refused; one at the limit is decompressed whole (and has no RBU).
    **{f'image-of-{size}-bytes': (_bomb(size), 'unwrap', TOO_LARGE)
       for size in ((1 << 20) + 1, (4 << 20) + 4452)},
    'image-of-1048576-bytes': (_bomb(1 << 20), 'unwrap', refused(
        169, 'No RBU at BOF of header files.')),
    # The platform's manifest library refuses a manifest its root did not
    # sign (the run against installed libraries takes this row).
    'manifest-signed-by-another-root': (_pack(root_key=SOURCE_ROOT / 'keys' / (
        'development/image_signing_private.pem')), 'unwrap', BAD_MANIFEST),
    # The signature is checked against the digest taken while xz wrote the
    # image; without that digest (its context, the 2nd, or its buffer, the
    # 2nd, not had), against the image read again.
    **{name: (_set(faults={'FAULT_SHIM_OWN_CALL_FAILS': calls}), 'unwrap',
              bad_signature(*line)) for name, calls, line in (
        ('digest-init-fails', 'EVP_PKEY_verify_init',
         (249, 'Failed in EVP_DigestVerifyInit().')),
        ('digest-init-fails-reading-the-image',
         'EVP_MD_CTX_new@2,EVP_DigestVerifyInit',
         (249, 'Failed in EVP_DigestVerifyInit().')),
        ('digest-context-not-created', 'EVP_PKEY_CTX_new',
         (243, 'Failed to create signature verifying context.')),
        ('digest-context-not-created-reading-the-image',
         'EVP_MD_CTX_new@2,EVP_MD_CTX_new@3',
         (243, 'Failed to create signature verifying context.')))},
    'verify-buffer-not-allocated': (
        _set(faults={'FAULT_SHIM_NOTHROW_NEW_FAILS': '2,3'}), 'unwrap',
        bad_signature(262, 'Failed to allocate buffer for signature '
                      'verification.')),
    'key-not-decoded': (
        _set(faults={'FAULT_SHIM_OWN_CALL_FAILS': 'd2i_PUBKEY'}), 'unwrap',
        bad_signature(236, 'Failed to load pub key for BIOS image.')),
    # The manifest library fails closed on every OpenSSL failure.
    **{f'manifest-library-{call}-fails': (_set(faults={
        'FAULT_SHIM_MANIFEST_CALL_FAILS': call}), 'unwrap', BAD_MANIFEST)
       for call in ('d2i_PUBKEY', 'EVP_PKEY_is_a', 'EVP_PKEY_is_a@1',
                    'EVP_PKEY_get_utf8_string_param',
                    'EVP_PKEY_get_utf8_string_param@1', 'EVP_MD_CTX_new',
                    'EVP_DigestVerifyInit', 'EVP_DigestVerify')},
    'digest-update-fails': (
        _set(faults={'FAULT_SHIM_OWN_CALL_FAILS':
                     'EVP_MD_CTX_new@2,EVP_DigestVerifyUpdate'}),
        'unwrap', bad_signature(286, 'Failed in EVP_DigestVerifyUpdate().')),
    'failure-entry-throws': (_then(
        _image(lambda i: flip(i, len(i) - SLOT - 1)), _set(faults={
            'FAULT_SHIM_BAD_ALLOC_AFTER_REJECTED_SIGNATURE': 1})), 'unwrap',
        DATA_CHANGED + fail(321, 'Exception writing event log: '
                            'std::bad_alloc')),
    'manifest-library-throws': (_set(faults={
        'FAULT_SHIM_BAD_ALLOC_AFTER_FOPEN': SCRATCH + '/bios@2'}), 'unwrap',
        DECOMPRESSED + fail(345, 'Exception with QRX verifying FW manifest: '
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
    # The real cause, and nothing at the staged capsule's name; also when
    # the copy's write-back, started while xz ran, failed.
    **{name: (_set(**changes), 'stage', lambda u, why=why: fail(
        372, f'Exception copying payload: filesystem error: cannot copy: '
        f'{why} [{u.payload / u.name}] [{STAGING}]'))
       for name, changes, why in (
            ('tmp-full', {'setup': 'mount -t tmpfs -o size=4k full /tmp'},
             'No space left on device'),
            ('copy-write-back-fails',
             {'faults': {'FAULT_SHIM_OWN_CALL_FAILS': 'fdatasync'}},
             'Input/output error'))},
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


@pytest.mark.parametrize('case', platform_libs_rows(
    STOPS, 'manifest-signed-by-another-root', 'failure-entry-throws',
    'manifest-library-throws', 'manifest-library-EVP_DigestVerify-fails'))
def test_where_an_update_stops_decides_what_it_leaves(sandbox, bmc, journal,
                                                      update, case):
    if case == 'no-seccomp-layer' and WRAPPER:
        pytest.skip(NO_SECCOMP_UNDER_EMULATION)
    arrange, stop, lines = STOPS[case]
    before, staging, queued, writes = STOPPED_AT[stop]
    (sandbox.tmp / 'tmpBIOSPayload').mkdir()
    (sandbox.tmp / 'tmpBIOSPayload' / 'bios.cap').write_bytes(b'stale')
    (sandbox.qorad / LIST).write_bytes(task_list(OLD_TASK))
    arrange(update)
    lines = lines(update) if callable(lines) else lines
    left = sandbox.workdir / 'left-in-staging'
    if staging == 'inside':
        # What the failed staging left, as the tool saw it.
        update.after = (f'ls -A {STAGING} > {left} 2>/dev/null '
                        f'|| echo absent > {left}')
    result = update.run()
    assert (result.returncode, result.stdout, result.stderr) == (
        1, QUEUED if queued else b'', before(update) + lines)
    assert scratch_left(sandbox) == []
    assert [c['args'][1][1] for c in bmc.calls()
            if c['member'] == 'Set'] == writes
    if staging == 'inside':
        assert left.read_text() in ('', 'absent\n')
    else:
        assert staged(sandbox) == {'stale': {'bios.cap': b'stale'},
                                   'copy': {'bios.cap': update.capsule},
                                   None: None}[staging]
    assert task_file(sandbox) == task_list(
        *([FILE_EXPORT, OLD_TASK, update_task()] if queued else [OLD_TASK]))
    # Only a refused image is journaled (unless the entry itself fails); no
    # failure writes the event log.
    assert [sorted(e.fields) for e in journal.entries()] == (
        [FAILED_ENTRY] if lines.endswith(REFUSED) else [])


@pytest.mark.platform_libs
def test_lost_event_log_does_not_fail_the_update(sandbox, update):
    result = update.run()
    assert (result.returncode, result.stdout) == (0, QUEUED)
    assert result.stderr.endswith(NO_CONFIG + fail(
        402, 'Exception writing an event log: journal socket '
        '/run/systemd/journal/socket: No such file or directory'))


def test_pending_configuration_job_skips_the_export(sandbox, journal, update):
    config_job = import_entry('JobID_1')
    (sandbox.qorad / LIST).write_bytes(task_list(config_job))
    result = update.run()
    assert (result.returncode, result.stdout) == (0, STARTING)
    assert task_file(sandbox) == task_list(config_job, update_task())


@pytest.mark.parametrize('qorad', ['writable', 'read-only'])
def test_concurrent_updates_end_as_if_run_one_after_the_other(
        sandbox, bmc, journal, pack, qorad):
    updates = [Update(sandbox, bmc, pack, seed=n, version_id=f'v{n}',
                      name=f'{n}.cap', job_id=f'JID_{n}') for n in (1, 2)]
    for u in updates:
        u.publish()
    read_only = qorad == 'read-only'
    # A slow decompressor: an update that overlapped it would remove its
    # scratch files under it.
    setup = stand_in('slow', 'mount -o remount,bind,ro /var/lib/qorad'
                     if read_only else None)
    runs = [sandbox.popen('startUpdate', u.version_id, xz=XZ_STAND_IN,
                          setup=setup) for u in updates]
    no_config = NO_CONFIG.replace(b'No such file or directory',
                                  b'Read-only file system') \
        if read_only else NO_CONFIG
    for u, run in zip(updates, runs):
        assert run.communicate(timeout=120) + (run.returncode,) == (
            QUEUED, u.cap_file + verified() + RELEASE_SET + no_config, 0)
    assert scratch_left(sandbox) == []
    if read_only:
        assert not (sandbox.qorad / LIST).exists()
        assert list(staged(sandbox).values()) in (
            [u.capsule] for u in updates)
        return
    tasks = [tuple(t.values())
             for t in json.loads(task_file(sandbox))['QORAJob']]
    first, last = sorted(updates, key=lambda u: tasks.index(
        update_task(u.job_id, u.name)))
    assert tasks == [FILE_EXPORT, update_task(first.job_id, first.name),
                     update_task(last.job_id, last.name)]
    assert staged(sandbox) == {last.name: last.capsule}


def test_a_kill_at_any_step_leaves_the_staged_capsule_whole_or_absent(
        sandbox, update):
    """Killed before each step that changes a file, from the first to the
    last, an update leaves at the staged capsule's name, which an earlier
    UPDATE task names, either nothing or the whole verified capsule; the
    next update completes."""
    final = sandbox.tmp / 'tmpBIOSPayload' / update.name
    step, result = 0, None
    while result != 0:
        step += 1
        final.parent.mkdir(exist_ok=True)
        final.write_bytes(update.capsule)
        update.faults = {'FAULT_SHIM_KILL_AT': step}
        result = update.run().returncode
        assert (step, result) in ((step, -signal.SIGKILL), (step, 0))
        assert (step, final.read_bytes() if final.exists() else None) in (
            (step, update.capsule), (step, None))
    assert staged(sandbox) == {update.name: update.capsule}


def _alive(pid):
    try:
        return open(f'/proc/{pid}/stat').read().split()[2] != 'Z'
    except FileNotFoundError:
        return False


def _within_a_minute(condition):
    end = time.monotonic() + 60
    while not condition() and time.monotonic() < end:
        time.sleep(0.05)
    return condition()


def stand_ins(mode):
    """The live processes of the xz stand-in doing `mode`."""
    found = []
    for pid in filter(str.isdigit, os.listdir('/proc')):
        try:
            with open(f'/proc/{pid}/environ', 'rb') as environ:
                names = environ.read().split(b'\0')
        except OSError:
            continue
        if f'XZ_STAND_IN={mode}'.encode() in names and _alive(pid):
            found.append(pid)
    return found


def test_the_decompressor_dies_with_the_updater(sandbox, update):
    mode = f'sleep:{sandbox.workdir.name}'
    update.publish()
    run = sandbox.popen('startUpdate', update.version_id, xz=XZ_STAND_IN,
                        setup=stand_in(mode))
    assert _within_a_minute(lambda: stand_ins(mode))
    run.kill()
    run.communicate()
    assert _within_a_minute(lambda: not stand_ins(mode))


# One escape per row, tried by a decompressor taken over ("$$": the
# updater's process id), and the sandbox's setup before the run.
ESCAPES = {
    'file-in-qorad': ('create:/var/lib/qorad/escaped', None),
    'append-to-task-list': ('append:/var/lib/qorad/BIOS_task_list.json',
                            None),
    'file-in-staging': ('create:/tmp/tmpBIOSPayload/escaped', None),
    'file-in-tmp': ('create:/tmp/escaped', None),
    'file-in-scratchpad': ('create:/mnt/scratchpad/escaped', None),
    'updater-files-through-proc': ('procfd:$$', None),
    'signal-to-updater': ('signal:$$', None),
    'ptrace-of-updater': ('ptrace:$$', None),
    'system-bus': ('bus', None),
    'loopback-listener': ('tcp:{port}', None),
    'capabilities-left': ('caps', None),
    'new-privileges': ('nnp', None),
    'secrets': ('read:/etc/shadow', None),
    'inherited-descriptor': ('fds', 'exec 7</etc/hostname'),
    'process-left-behind': ('child:{token}', None),
}


@pytest.mark.parametrize('escape', ESCAPES)
def test_a_decompressor_taken_over_reaches_nothing(
        sandbox, journal, update, escape):
    """The stand-in decompresses as xz does after one escape attempt, and
    says so if it worked; the update is as if xz had only decompressed."""
    mode, setup = ESCAPES[escape]
    (sandbox.qorad / LIST).write_bytes(task_list(OLD_TASK))
    (sandbox.tmp / 'tmpBIOSPayload').mkdir()
    with socket.socket() as listener:
        listener.bind(('127.0.0.1', 0))
        listener.listen()
        listener.setblocking(False)
        mode = mode.format(port=listener.getsockname()[1],
                           token=sandbox.workdir.name)
        _xz(mode, setup)(update)
        result = update.run()
        with pytest.raises(BlockingIOError):
            listener.accept()
    assert (result.returncode, result.stdout, result.stderr) == (
        0, QUEUED, update.cap_file + verified() + RELEASE_SET + NO_CONFIG)
    assert staged(sandbox) == {update.name: update.capsule}
    assert task_file(sandbox) == task_list(FILE_EXPORT, OLD_TASK,
                                           update_task())
    assert [p for p in (sandbox.qorad, sandbox.tmp, sandbox.scratchpad)
            if (p / 'escaped').exists()] == []
    assert scratch_left(sandbox) == []
    assert stand_ins(mode) == []


@pytest.mark.parametrize('words', [
    ['startUpdate', VERSION_ID], ['updateStatus', 'JID_1', '100', '1'],
    ['getJobStatus', 'JID_1'], ['exportBIOSConfig'],
    ['forceExportBIOSConfig'], ['importBIOSConfig']])
def test_memory_running_out_never_aborts(sandbox, update, words):
    """The K-th allocation fails (K sampled): never ended by a signal."""
    update.publish()
    for k in (1, 2, 3, 5, 8, 13, 21, 34, 55, 89, 144, 233, 377, 610, 987):
        result = sandbox.run(*words, program=with_faults(
            sandbox, FAULT_SHIM_BAD_ALLOC_AT=k))
        assert 0 <= result.returncode <= 3, (k, result.stderr)
