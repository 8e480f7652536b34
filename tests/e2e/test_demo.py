"""scripts/demo, the README's first command, run as a newcomer runs it (on
this build): what it prints, in order, and what it leaves behind."""

import re
import subprocess

import pytest

from conftest import BUILD_ROOT, SOURCE_ROOT

TOOL = '$ morvex_bios_updater '
SOFTWARE = '  set| /xyz/morvex_project/software/a3d2fe67 '
ACTIVATION = 'Activation = xyz.morvex_project.Software.Activation.Activations.'
JOURNAL = '  stdout|     '

# Lines the output must hold, in this order; each is matched as the start
# of a line.
STAGED = [
    '$ capsule-tool pack --development-keys /tmp/bios.bin -o '
    '/tmp/images/a3d2fe67/payload/'
    'bios.cap', '  exit status 0',
    TOOL + 'startUpdate a3d2fe67', '  stdout| ::: Starting BIOS Update',
    '  exit status 0',
    SOFTWARE + 'releaseType = xyz.morvex_project.Software.Version.'
    'ReleaseType.Production', SOFTWARE + ACTIVATION + 'Staged',
    '    UPDATE    JID_1001         /tmp/tmpBIOSPayload/bios.cap (File)',
    '  staged| /tmp/tmpBIOSPayload/bios.cap (', JOURNAL + 'MESSAGE=The BIOS '
    'firmware update started.',
    TOOL + 'updateStatus JID_1001 40 0', SOFTWARE + 'Progress = 40',
    TOOL + 'getJobStatus JID_1001', '  exit status 1 (Update Progressing)',
    TOOL + 'updateStatus JID_1001 100 1', SOFTWARE + ACTIVATION + 'Active',
    '  task list: 1 entry', JOURNAL + 'NOTERRA_ARG2=2.4.1',
    TOOL + 'getJobStatus JID_1001', '  exit status 0 (Update Completed)',
]
REFUSED = [
    '  tampered: byte ', TOOL + 'startUpdate a3d2fe67',
    '  stderr| BIOSIMG_DBG_FAIL: signature_verify.302: Failed in '
    'EVP_DigestVerifyFinal().',
    '  stderr| BIOSIMG_DBG_FAIL: startUpdate.307: Failed to verify BIOS FW '
    'with QRX', '  exit status 1', '  nothing staged',
    JOURNAL + 'REDFISH_MESSAGE_ARGS=BIOS,2.4.1,Error: Unable to verify Varnel '
    'Manifest and Signature',
]
CONFIGURATION = [
    TOOL + 'importBIOSConfig', '  exit status 1',
    '    CONFIG    JobID_', '  set| /xyz/morvex_project/bios_config/job1 '
    + ACTIVATION + 'Failed', '  task list: 0 entries',
    # The usage text names the program as an operator types it.
    TOOL + 'updateStatus JID_1001', '  stdout| morvex_bios_updater Usage:',
]


@pytest.mark.parametrize('words, expected, summary', [
    ([], STAGED + CONFIGURATION,
     'demo: update staged, job completed, configuration jobs queued'),
    (['--tampered'], REFUSED + CONFIGURATION,
     'demo: tampered capsule refused, nothing staged or queued, '
     'configuration jobs queued'),
], ids=['update', 'tampered'])
def test_demo(words, expected, summary):
    result = subprocess.run(
        [SOURCE_ROOT / 'scripts' / 'demo', '--build', BUILD_ROOT, *words],
        stdin=subprocess.DEVNULL, capture_output=True, timeout=300,
        check=False)
    lines = result.stdout.decode().splitlines()
    assert (result.returncode, lines[-1], result.stderr) == (0, summary, b'')
    missing = list(expected)
    for line in lines:
        if missing and line.startswith(missing[0]):
            missing.pop(0)
    assert not missing, f'not printed in order: {missing[0]!r}'
    # A refused capsule writes no property.
    assert (SOFTWARE in result.stdout.decode()) == (words == [])

    kept = re.fullmatch(r'Demo files kept in (.*)', lines[-2])[1]
    tmp = BUILD_ROOT / kept / 'tmp'
    staged = tmp / 'tmpBIOSPayload' / 'bios.cap'
    assert (staged.read_bytes() if staged.exists() else None) == (
        (tmp / 'images/a3d2fe67/payload/bios.cap').read_bytes()
        if words == [] else None)
    assert list((BUILD_ROOT / kept / 'journal-files').glob('*/*.journal'))
