"""capsule-tool end to end: pack, inspect, verify offline.

The tool touches no fixed path of the updater (it unwraps into a private
temporary directory), so these tests run it directly, without the sandbox.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess
from pathlib import Path

import pytest

from conftest import wrapped

BUILD_ROOT = Path(os.environ.get('BUILD_ROOT', 'build'))
SOURCE_ROOT = Path(os.environ.get('SOURCE_ROOT',
                                  Path(__file__).resolve().parents[2]))
TOOL = BUILD_ROOT / 'tools' / 'capsule-tool'
KEYS = SOURCE_ROOT / 'keys' / 'development'
DOC = SOURCE_ROOT / 'docs' / 'image-format.md'

UEFI_HEADER = 84
SLOT = 104
EXIT_OK, EXIT_NOT_VERIFIED, EXIT_USAGE, EXIT_ERROR = 0, 1, 2, 3

MANIFEST_OK = ('BIOSIMG_DBG_INFO: verifyBiosImage.188: '
               'Manifest verified successfully.')
SIGNATURE_OK = ('BIOSIMG_DBG_INFO: verifyBiosImage.200: '
                'Signature verified successfully.')
NO_RBU = ('BIOSIMG_DBG_FAIL: uncompressBiosCapFile.69: '
          'Invalid Cap file: no RBU after UEFI header.')
XZ_FAILED = ('BIOSIMG_DBG_FAIL: uncompressBiosCapFile.121: '
             'Failure #1 in decompress bios.lzma.')
MANIFEST_FAILED = ('BIOSIMG_DBG_FAIL: verifyBiosImage.184: '
                   'Failed in verifying manifest.')
FINAL_FAILED = ('BIOSIMG_DBG_FAIL: signature_verify.302: '
                'Failed in EVP_DigestVerifyFinal().')
SIGNATURE_FAILED = ('BIOSIMG_DBG_FAIL: verifyBiosImage.196: '
                    'Failed in verifying signature of header file.')
NO_RELEASE_TYPE = ('BIOSIMG_DBG_FAIL: verifyBiosImage.206: '
                   'Failed to get release type from manifest.')


def development_root_embedded():
    """True when the built libvardex trusts the development root key."""
    header = BUILD_ROOT / 'libs' / 'vardex' / 'manifest_root_key.hpp'
    if not header.exists():
        return True  # not built yet: let the tests report that
    embedded = bytes(int(h, 16) for h in
                     re.findall(r'0x([0-9a-f]{2})', header.read_text()))
    der = subprocess.run(
        ['openssl', 'pkey', '-pubin', '-in',
         str(KEYS / 'manifest_root_public.pem'), '-outform', 'DER'],
        capture_output=True, check=True).stdout
    return embedded == der


pytestmark = pytest.mark.skipif(
    not development_root_embedded(),
    reason='libvardex was built with a root key other than the development '
    'key; these capsules are signed with the development key')


def run_tool(*args):
    if not TOOL.exists():
        pytest.fail(f'capsule-tool missing: {TOOL} (build the project first)')
    return subprocess.run(wrapped(TOOL, *args), capture_output=True,
                          timeout=300, check=False)


def pack(tmp_path, *options, payload=None, name='capsule.bin'):
    raw = tmp_path / 'raw.bin'
    if payload is None:
        payload = os.urandom(200_000)
    raw.write_bytes(payload)
    out = tmp_path / name
    result = run_tool('pack', raw, '-o', out, *options)
    assert result.returncode == EXIT_OK, result.stderr.decode()
    return out


def inspect_json(capsule):
    result = run_tool('inspect', '--json', capsule)
    report = json.loads(result.stdout)
    assert result.returncode == (
        EXIT_OK if report['verification']['verdict'] == 'pass'
        else EXIT_NOT_VERIFIED)
    return report, result


def der_sha256(pem, private=True):
    args = ['openssl', 'pkey', '-in', str(pem), '-pubout', '-outform', 'DER']
    if not private:
        args.insert(2, '-pubin')
    der = subprocess.run(args, capture_output=True, check=True).stdout
    return hashlib.sha256(der).hexdigest()


def new_p384_key(path):
    subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                    'ec_paramgen_curve:P-384', '-out', str(path)],
                   check=True, capture_output=True)
    return path


def test_packed_capsule_verifies_and_reports_its_fields(tmp_path):
    payload = os.urandom(300_001)
    capsule = pack(tmp_path, payload=payload)
    report, result = inspect_json(capsule)

    assert report['verification'] == {
        'verdict': 'pass', 'release_type': 2,
        'messages': [MANIFEST_OK, SIGNATURE_OK]}
    # The updater's lines are also repeated on standard error.
    assert MANIFEST_OK.encode() in result.stderr
    size = capsule.stat().st_size
    assert report['capsule_size'] == size
    assert report['uefi_header'] == {
        'guid': '3B6686BD-0D76-4030-B70E-B5519E2FC5A0', 'header_size': 84,
        'flags': 0x10000, 'capsule_image_size': size}
    assert report['capsule_rbu'] == {'present': True, 'length': 16}
    assert report['image_rbu'] == {'present': True, 'length': 16}
    assert report['payload_size'] == len(payload)
    manifest = report['manifest']
    assert manifest['release_type'] == 2
    assert manifest['format_version'] == 1
    assert manifest['key_sha256'] == der_sha256(
        KEYS / 'image_signing_public.pem', private=False)
    assert report['image_size'] == (16 + manifest['length'] + len(payload)
                                    + SLOT)


def test_body_is_what_xz_decompresses(tmp_path):
    payload = os.urandom(50_000)
    capsule = pack(tmp_path, '--image-rbu-length', '40', payload=payload)
    data = capsule.read_bytes()
    assert data[84:88] == b'$RBU' and data[88] == 16
    body = tmp_path / 'bios.lzma'
    body.write_bytes(data[UEFI_HEADER + 16:])
    subprocess.run(['/usr/bin/xz', '-d', str(body)], check=True)
    image = (tmp_path / 'bios').read_bytes()
    assert image[:5] == b'$RBU\x28'
    assert image[5:40] == bytes(35)
    assert image[40:44] == b'VDXM'
    assert image[-SLOT - len(payload):-SLOT] == payload
    assert image[-SLOT] == 0x30


def test_text_output(tmp_path):
    result = run_tool('inspect', pack(tmp_path, '--release-type', '5'))
    assert result.returncode == EXIT_OK
    text = result.stdout.decode()
    assert 'verification: PASS (release type 0x05, prototype)' in text
    assert 'guid:               3B6686BD-0D76-4030-B70E-B5519E2FC5A0' in text


@pytest.mark.parametrize('options, verdict, release_type, messages', [
    (['--release-type', '1'], 'pass', 1, [MANIFEST_OK, SIGNATURE_OK]),
    (['--release-type', '255'], 'pass', 255, [MANIFEST_OK, SIGNATURE_OK]),
    (['--release-type', '0'], 'fail', 0,
     [MANIFEST_OK, SIGNATURE_OK, NO_RELEASE_TYPE]),
    (['--capsule-rbu-length', '255'], 'pass', 2, [MANIFEST_OK, SIGNATURE_OK]),
    (['--capsule-rbu-length', '8', '--image-rbu-length', '8'], 'pass', 2,
     [MANIFEST_OK, SIGNATURE_OK]),
    # L = 0: the updater copies the RBU header into the body; xz refuses it.
    (['--capsule-rbu-length', '0'], 'fail', 0, [XZ_FAILED]),
    # Image L = 0: the manifest would start at the RBU header itself.
    (['--image-rbu-length', '0'], 'fail', 0, [MANIFEST_FAILED]),
    (['--preset', '0'], 'pass', 2, [MANIFEST_OK, SIGNATURE_OK]),
], ids=['type1', 'type255', 'type0', 'capsuleL255', 'L8', 'capsuleL0',
        'imageL0', 'preset0'])
def test_pack_options(tmp_path, options, verdict, release_type, messages):
    report, _ = inspect_json(pack(tmp_path, *options))
    assert report['verification'] == {
        'verdict': verdict, 'release_type': release_type,
        'messages': messages}


def test_other_keys(tmp_path):
    root = new_p384_key(tmp_path / 'root.pem')
    image = new_p384_key(tmp_path / 'image.pem')
    # A new image key bound by the trusted root verifies.
    report, _ = inspect_json(pack(tmp_path, '--image-key', image,
                                  name='new_image_key.bin'))
    assert report['verification']['verdict'] == 'pass'
    assert report['manifest']['key_sha256'] == der_sha256(image)
    # A manifest signed by any other root does not.
    report, _ = inspect_json(pack(tmp_path, '--root-key', root,
                                  name='other_root.bin'))
    assert report['verification']['messages'] == [MANIFEST_FAILED]


def flip(data, offset):
    data = bytearray(data)
    data[offset] ^= 0xFF
    return bytes(data)


@pytest.mark.parametrize('where, verdict', [
    (0, 'pass'),                         # UEFI GUID: not interpreted
    (24, 'pass'),                        # CapsuleImageSize: not interpreted
    (83, 'pass'),                        # end of the UEFI header
    (90, 'pass'),                        # capsule RBU header padding
    (99, 'pass'),
    (84, NO_RBU),                        # "$RBU"
    (87, NO_RBU),
    (88, 'fail'),                        # length byte: body starts elsewhere
    (100, 'fail'),                       # first byte of the LZMA body
    (-1, 'fail'),                        # last byte of the LZMA body
    ('middle', 'fail'),
])
def test_capsule_tamper(tmp_path, where, verdict):
    capsule = pack(tmp_path)
    data = capsule.read_bytes()
    offset = len(data) // 2 if where == 'middle' else where
    capsule.write_bytes(flip(data, offset))
    report, _ = inspect_json(capsule)
    if verdict == 'pass':
        assert report['verification']['verdict'] == 'pass'
        return
    assert report['verification']['verdict'] == 'fail'
    fails = [m for m in report['verification']['messages'] if '_FAIL' in m]
    assert fails
    if verdict != 'fail':
        assert fails == [verdict]


def rebuild_with_image(capsule, change):
    """Unpacks the image with xz, changes it, packs it again with xz."""
    data = capsule.read_bytes()
    body = capsule.with_name('img.lzma')
    body.write_bytes(data[UEFI_HEADER + 16:])
    subprocess.run(['/usr/bin/xz', '-d', '-f', str(body)], check=True)
    image = change(capsule.with_name('img').read_bytes())
    packed = subprocess.run(['/usr/bin/xz', '--format=lzma', '-c'],
                            input=image, capture_output=True,
                            check=True).stdout
    capsule.write_bytes(data[:UEFI_HEADER + 16] + packed)
    return image


@pytest.mark.parametrize('region, messages', [
    ('payload_start', [MANIFEST_OK, FINAL_FAILED, SIGNATURE_FAILED]),
    ('payload_end', [MANIFEST_OK, FINAL_FAILED, SIGNATURE_FAILED]),
    ('release_type', [MANIFEST_FAILED]),
    ('key', [MANIFEST_FAILED]),
    ('signature_byte', [MANIFEST_OK, FINAL_FAILED, SIGNATURE_FAILED]),
    ('slot_padding', [MANIFEST_OK, SIGNATURE_OK]),
])
def test_image_tamper(tmp_path, region, messages):
    capsule = pack(tmp_path)
    manifest_at = 16
    offsets = {
        'payload_start': lambda image, manifest_len: 16 + manifest_len,
        'payload_end': lambda image, manifest_len: len(image) - SLOT - 1,
        'release_type': lambda image, manifest_len: manifest_at + 5,
        'key': lambda image, manifest_len: manifest_at + 40,
        'signature_byte': lambda image, manifest_len: len(image) - SLOT + 10,
        'slot_padding': lambda image, manifest_len: len(image) - 1,
    }
    report, _ = inspect_json(capsule)
    if region == 'slot_padding':
        # ECDSA signatures vary in length; a quarter of them fill the slot
        # and leave no padding to flip. Sign again until one does not.
        for _ in range(40):
            if report['signature_der_length'] < SLOT:
                break
            capsule = pack(tmp_path)
            report, _ = inspect_json(capsule)
        assert report['signature_der_length'] < SLOT
    manifest_len = report['manifest']['length']
    rebuild_with_image(
        capsule, lambda image: flip(image, offsets[region](image,
                                                           manifest_len)))
    report, _ = inspect_json(capsule)
    assert report['verification']['messages'] == messages


@pytest.mark.parametrize('args, status, stream, text', [
    (['--help'], EXIT_OK, 'stdout', 'Exit statuses'),
    (['help'], EXIT_OK, 'stdout', 'Verbs:'),
    (['pack', '--help'], EXIT_OK, 'stdout', '--release-type'),
    (['inspect', '--help'], EXIT_OK, 'stdout', '--json'),
    ([], EXIT_USAGE, 'stderr', 'Usage'),
    (['frobnicate'], EXIT_USAGE, 'stderr', "unknown verb 'frobnicate'"),
    (['pack', 'raw.bin'], EXIT_USAGE, 'stderr', '-o <capsule>'),
    (['pack', 'raw.bin', '-o', 'x', '--release-type', '256'], EXIT_USAGE,
     'stderr', 'bad value'),
    (['pack', 'raw.bin', '-o', 'x', '--preset', '10'], EXIT_USAGE, 'stderr',
     'bad value'),
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


def test_inspect_leaves_no_scratch_directory(tmp_path):
    capsule = pack(tmp_path)
    scratch_root = tmp_path / 'tmp'
    scratch_root.mkdir()
    for data in (capsule.read_bytes(), flip(capsule.read_bytes(), 100)):
        capsule.write_bytes(data)
        subprocess.run(wrapped(TOOL, 'inspect', capsule),
                       env={**os.environ, 'TMPDIR': str(scratch_root)},
                       capture_output=True, check=False)
        assert list(scratch_root.iterdir()) == []


def documented_recipe():
    text = DOC.read_text()
    match = re.search(r'<!-- recipe -->\s*```sh\n(.*?)```', text, re.S)
    assert match, 'docs/image-format.md lost its recipe block'
    return match.group(1)


@pytest.mark.skipif(shutil.which('openssl') is None, reason='needs openssl')
def test_documented_openssl_and_xz_recipe_builds_a_valid_capsule(tmp_path):
    (tmp_path / 'bios.raw').write_bytes(os.urandom(70_000))
    shutil.copy(KEYS / 'manifest_root_private.pem', tmp_path / 'root.pem')
    shutil.copy(KEYS / 'image_signing_private.pem', tmp_path / 'image.pem')
    subprocess.run(['bash', '-euo', 'pipefail', '-c', documented_recipe()],
                   cwd=tmp_path, check=True, capture_output=True)
    report, result = inspect_json(tmp_path / 'capsule.bin')
    assert report['verification']['verdict'] == 'pass', result.stderr
    assert report['payload_size'] == 70_000
