"""capsule-tool end to end: pack options, inspect's text and JSON reports of
good and failing capsules, command-line errors, and the documented openssl
and xz recipe.

The tool touches no fixed path of the updater (it unwraps into a private
temporary directory), so these tests run it directly, without the sandbox.
"""

import json
import os
import re
import shutil
import subprocess

import pytest

from capsules import CAPSULE_TOOL, SLOT, payload
from conftest import SOURCE_ROOT, wrapped

KEYS = SOURCE_ROOT / 'keys' / 'development'
GUID = '3B6686BD-0D76-4030-B70E-B5519E2FC5A0'
# SHA-256 of the development image key's DER.
IMAGE_KEY = '281763b660a5a3ccd21c26003b8859782c04a32cc426282743dfa88912ca8a0e'
EXIT_OK, EXIT_NOT_VERIFIED, EXIT_USAGE, EXIT_ERROR = 0, 1, 2, 3
PASSED = ['BIOSIMG_DBG_INFO: verifyBiosImage.188: Manifest verified '
          'successfully.', 'BIOSIMG_DBG_INFO: verifyBiosImage.200: Signature '
          'verified successfully.']
XZ_FAILED = ('BIOSIMG_DBG_FAIL: uncompressBiosCapFile.121: Failure #1 in '
             'decompress bios.lzma.')
MANIFEST_FAILED = ('BIOSIMG_DBG_FAIL: verifyBiosImage.184: Failed in '
                   'verifying manifest.')
NO_RELEASE_TYPE = ('BIOSIMG_DBG_FAIL: verifyBiosImage.206: Failed to get '
                   'release type from manifest.')


def run_tool(*args):
    return subprocess.run(wrapped(CAPSULE_TOOL, *args), capture_output=True,
                          timeout=300, check=False)


def pack(tmp_path, *options, size=200_000):
    (tmp_path / 'raw.bin').write_bytes(payload(size))
    result = run_tool('pack', tmp_path / 'raw.bin', '-o',
                      tmp_path / 'capsule.bin', *options)
    assert result.returncode == EXIT_OK, result.stderr.decode()
    return tmp_path / 'capsule.bin'


def inspect_json(capsule):
    result = run_tool('inspect', '--json', capsule)
    report = json.loads(result.stdout)
    assert result.returncode == (
        EXIT_OK if report['verification']['verdict'] == 'pass'
        else EXIT_NOT_VERIFIED)
    return report


def test_packed_capsule_reports_its_fields(tmp_path):
    # Streamed in several chunks, and not a multiple of one.
    size = 3 * 2**20 + 5
    report = inspect_json(pack(tmp_path, '--preset', '0', size=size))
    length = (tmp_path / 'capsule.bin').stat().st_size
    manifest = report.pop('manifest')
    assert report == {
        'capsule': str(tmp_path / 'capsule.bin'), 'capsule_size': length,
        'uefi_header': {'guid': GUID, 'header_size': 84, 'flags': 0x10000,
                        'capsule_image_size': length},
        'capsule_rbu': {'present': True, 'length': 16},
        'image_size': 16 + manifest['length'] + size + SLOT,
        'image_rbu': {'present': True, 'length': 16},
        'payload_size': size,
        'signature_der_length': report['signature_der_length'],
        'verification': {'verdict': 'pass', 'release_type': 2,
                         'messages': PASSED}}
    assert report['signature_der_length'] <= SLOT
    assert manifest == dict(manifest, format_version=1, release_type=2,
                            key_length=120, key_sha256=IMAGE_KEY)


# What only the capsule tool packs: its other options reach every update
# test through the capsules they pack.
@pytest.mark.parametrize('options, verdict, release_type, messages', [
    (['--release-type', '0'], 'fail', 0, PASSED + [NO_RELEASE_TYPE]),
    # Image L = 0: the manifest would start at the RBU header itself.
    (['--image-rbu-length', '0'], 'fail', 0, [MANIFEST_FAILED]),
    # Any P-384 image key that the trusted root binds.
    (['--image-key', KEYS / 'manifest_root_private.pem'], 'pass', 2, PASSED),
], ids=['type0', 'imageL0', 'image-key'])
def test_pack_options(tmp_path, options, verdict, release_type, messages):
    assert inspect_json(pack(tmp_path, *options))['verification'] == {
        'verdict': verdict, 'release_type': release_type,
        'messages': messages}


@pytest.mark.parametrize('options, status, lines', [
    (['--release-type', '5'], EXIT_OK, [
        '  release type:       0x05 (prototype)',
        'verification: PASS (release type 0x05, prototype)']),
    (['--capsule-rbu-length', '0'], EXIT_NOT_VERIFIED, [
        'capsule RBU header:   $RBU, length 0', 'verification: FAIL',
        f'  {XZ_FAILED}']),
], ids=['good', 'failing'])
def test_text_report(tmp_path, options, status, lines):
    capsule = pack(tmp_path, *options, size=5000)
    size = capsule.stat().st_size
    scratch = tmp_path / 'tmp'
    scratch.mkdir()
    result = subprocess.run(wrapped(CAPSULE_TOOL, 'inspect', capsule),
                            env={**os.environ, 'TMPDIR': str(scratch)},
                            capture_output=True, check=False)
    text = result.stdout.decode().splitlines()
    assert result.returncode == status
    assert text[:6] == [
        f'capsule: {capsule} ({size} bytes)',
        'UEFI capsule header (84 bytes, not read by the updater):',
        f'  guid:               {GUID}', '  header size:        84',
        '  flags:              0x00010000', f'  capsule image size: {size}']
    assert [line for line in text if line in lines] == lines
    assert text[-1] == lines[-1]
    # Its scratch directory goes, whatever the verdict.
    assert list(scratch.iterdir()) == []


@pytest.mark.parametrize('args, status, stream, text', [
    (['--help'], EXIT_OK, 'stdout', 'Exit statuses'),
    (['pack', '--help'], EXIT_OK, 'stdout', '--release-type'),
    ([], EXIT_USAGE, 'stderr', 'Usage'),
    (['frobnicate'], EXIT_USAGE, 'stderr', "unknown verb 'frobnicate'"),
    (['pack', 'raw.bin'], EXIT_USAGE, 'stderr', '-o <capsule>'),
    (['pack', 'raw.bin', '-o', 'x', '--release-type', '256'], EXIT_USAGE,
     'stderr', 'bad value'),
    (['inspect'], EXIT_USAGE, 'stderr', 'a capsule is required'),
    (['inspect', '/nonexistent/capsule'], EXIT_ERROR, 'stderr',
     'cannot read'),
    (['pack', '/nonexistent/raw', '-o', 'x'], EXIT_ERROR, 'stderr',
     'cannot pack'),
    (['pack', 'raw.bin', '-o', 'x', '--image-key', '/nonexistent.pem'],
     EXIT_ERROR, 'stderr', 'cannot load key /nonexistent.pem'),
])
def test_command_line(tmp_path, monkeypatch, args, status, stream, text):
    monkeypatch.chdir(tmp_path)
    result = run_tool(*args)
    assert result.returncode == status
    assert text in getattr(result, stream).decode()


@pytest.mark.skipif(shutil.which('openssl') is None, reason='needs openssl')
def test_documented_openssl_and_xz_recipe_builds_a_valid_capsule(tmp_path):
    text = (SOURCE_ROOT / 'docs' / 'image-format.md').read_text()
    recipe = re.search(r'<!-- recipe -->\s*```sh\n(.*?)```', text, re.S)
    assert recipe, 'docs/image-format.md lost its recipe block'
    (tmp_path / 'bios.raw').write_bytes(payload(70_000))
    shutil.copy(KEYS / 'manifest_root_private.pem', tmp_path / 'root.pem')
    shutil.copy(KEYS / 'image_signing_private.pem', tmp_path / 'image.pem')
    subprocess.run(['bash', '-euo', 'pipefail', '-c', recipe.group(1)],
                   cwd=tmp_path, check=True, capture_output=True)
    report = inspect_json(tmp_path / 'capsule.bin')
    assert (report['verification']['verdict'], report['payload_size']) == (
        'pass', 70_000)
