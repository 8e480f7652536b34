"""capsule-tool end to end: pack options, the choice of keys and of the
trusted root (curves, pass phrases, development keys, --root-pub), signing
elsewhere (digest and attach), inspect's text and JSON reports of good and
failing capsules, command-line errors, and the documented openssl and xz
recipe.

The tool touches no fixed path of the updater (it unwraps into a private
temporary directory), so these tests run it directly, without the sandbox.
"""

import hashlib
import json
import os
import re
import shutil
import subprocess

import pytest

from capsules import (CAPSULE_TOOL, KEYS, SLOT, capsule_rbu_length_0, flip,
                      payload, with_release_type)
from conftest import BUILD_ROOT, SOURCE_ROOT, WRAPPER, wrapped

GUID = '3B6686BD-0D76-4030-B70E-B5519E2FC5A0'
# SHA-256 of the development image key's DER.
IMAGE_KEY = '281763b660a5a3ccd21c26003b8859782c04a32cc426282743dfa88912ca8a0e'
# ... and of the development root key's.
DEV_ROOT = '158cb7cc5009eb012454d78ebcc849d3a49b0c89152711b168a7112c9f819dfd'
EXIT_OK, EXIT_NOT_VERIFIED, EXIT_USAGE, EXIT_ERROR = 0, 1, 2, 3
EXIT_BAD_SIGNATURE, EXIT_WOULD_NOT_VERIFY = 4, 5
PASSED = ['BIOSIMG_DBG_INFO: verifyBiosImage.188: Manifest verified '
          'successfully.', 'BIOSIMG_DBG_INFO: verifyBiosImage.200: Signature '
          'verified successfully.']
XZ_FAILED = ('BIOSIMG_DBG_FAIL: uncompressBiosCapFile.121: Failure #1 in '
             'decompress bios.lzma.')
MANIFEST_FAILED = ('BIOSIMG_DBG_FAIL: verifyBiosImage.184: Failed in '
                   'verifying manifest.')
NO_RELEASE_TYPE = ('BIOSIMG_DBG_FAIL: verifyBiosImage.206: Failed to get '
                   'release type from manifest.')


def run_tool(*args, env=None):
    return subprocess.run(wrapped(CAPSULE_TOOL, *args), capture_output=True,
                          timeout=300, check=False,
                          env=None if env is None else {**os.environ, **env})


def pack(tmp_path, *options, size=200_000):
    (tmp_path / 'raw.bin').write_bytes(payload(size))
    if not any(str(o).endswith('-key') for o in options):
        options += ('--development-keys',)
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
                            key_length=120, key_sha256=IMAGE_KEY, root_key={
                                'sha256': DEV_ROOT,
                                'development_root_key': True,
                                'trusted': True})


def test_inspect_reports_a_capsule_without_release_type(tmp_path):
    capsule = tmp_path / 'type0.bin'
    capsule.write_bytes(with_release_type(pack(tmp_path).read_bytes(), 0))
    assert inspect_json(capsule)['verification'] == {
        'verdict': 'fail', 'release_type': 0,
        'messages': PASSED + [NO_RELEASE_TYPE]}


@pytest.fixture(scope='module')
def keys(tmp_path_factory):
    """Key files beside the development keys: another P-384 root (private
    and public), a P-256 key and its public half, the development image key
    encrypted with the pass phrase 'secret', a wrong pass phrase in a file,
    and a manifest signed by the other root."""
    folder = tmp_path_factory.mktemp('keys')

    def openssl(*words):
        subprocess.run(['openssl', *map(str, words)], check=True,
                       capture_output=True)
    for name, curve in (('other', 'P-384'), ('p256', 'P-256')):
        openssl('genpkey', '-algorithm', 'EC', '-pkeyopt',
                f'ec_paramgen_curve:{curve}', '-out', folder / f'{name}.pem')
        openssl('pkey', '-in', folder / f'{name}.pem', '-pubout', '-out',
                folder / f'{name}_pub.pem')
    openssl('pkcs8', '-topk8', '-in', KEYS / 'image_signing_private.pem',
            '-out', folder / 'encrypted.pem', '-passout', 'pass:secret')
    (folder / 'wrong').write_text('guess\n')
    assert run_tool('manifest', '--root-key', folder / 'other.pem',
                    '--image-pub', KEYS / 'image_signing_public.pem',
                    '--root-pub', folder / 'other_pub.pem', '-o',
                    folder / 'other_manifest.bin').returncode == EXIT_OK
    return folder


def fingerprint(pem):
    der = subprocess.run(['openssl', 'pkey', '-pubin', '-in', pem,
                          '-outform', 'DER'], capture_output=True,
                         check=True).stdout
    return hashlib.sha256(der).hexdigest()


DEV = ['--root-key', KEYS / 'manifest_root_private.pem', '--image-key',
       KEYS / 'image_signing_private.pem']
NOT_P384 = 'is not an ECDSA P-384 key'
NOTHING = ': nothing written'


# The keys pack and manifest take, and the root a result must verify
# against; {k} is the folder of the `keys` fixture. Nothing is written
# unless the status is 0.
@pytest.mark.parametrize('args, status, text', [
    ([], EXIT_USAGE, 'pack needs keys: --image-key with --root-key or '
     '--manifest (or --development-keys for a development capsule)'),
    (DEV[2:], EXIT_USAGE, '--image-key goes with one of --root-key and'),
    (['--development-keys', *DEV[2:]], EXIT_USAGE,
     '--development-keys takes no other key or manifest'),
    (['--development-keys'], EXIT_OK, f'verifies against root key sha256 '
     f'{DEV_ROOT} (development root key); image key sha256 {IMAGE_KEY}'),
    (['--root-key', '{k}/p256.pem', *DEV[2:]], EXIT_ERROR, NOT_P384),
    ([*DEV[:2], '--image-key', '{k}/p256.pem'], EXIT_ERROR, NOT_P384),
    (['--development-keys', '--root-pub', '{k}/p256_pub.pem'], EXIT_ERROR,
     NOT_P384),
    ([*DEV[:2], '--image-key', '{k}/encrypted.pem'], EXIT_ERROR,
     'encrypted.pem is encrypted: give its pass phrase with --passin'),
    ([*DEV[:2], '--image-key', '{k}/encrypted.pem', '--passin',
      'file:{k}/wrong'], EXIT_ERROR, 'cannot decrypt'),
    ([*DEV[:2], '--image-key', '{k}/encrypted.pem', '--passin', 'env:PASS'],
     EXIT_OK, f'image key sha256 {IMAGE_KEY}'),
    ([*DEV[:2], '--image-key', '{k}/encrypted.pem', '--passin', 'env:NONE'],
     EXIT_ERROR, 'the environment variable NONE is not set'),
    # A production root on a development build: refused unless it is named.
    (['--root-key', '{k}/other.pem', *DEV[2:]], EXIT_WOULD_NOT_VERIFY,
     f'not verify against root key sha256 {DEV_ROOT} (development root '
     f'key){NOTHING}'),
    (['--root-key', '{k}/other.pem', *DEV[2:], '--root-pub',
      '{k}/other_pub.pem'], EXIT_OK, 'verifies against root key sha256 '),
    (['--development-keys', '--root-pub', '{k}/other_pub.pem'],
     EXIT_WOULD_NOT_VERIFY, NOTHING),
    # The finished capsule is verified: these would be refused.
    (['--development-keys', '--release-type', '0'], EXIT_WOULD_NOT_VERIFY,
     'the manifest carries no release type'),
    (['--development-keys', '--image-rbu-length', '0'],
     EXIT_WOULD_NOT_VERIFY, 'the manifest does not verify'),
    (['manifest', *DEV[:2], '--image-pub', '{k}/p256_pub.pem'], EXIT_ERROR,
     NOT_P384),
    (['manifest', *DEV[:2], '--image-pub', KEYS / 'image_signing_public.pem',
      '--release-type', '0'], EXIT_USAGE, 'release type 0 is none'),
    (['manifest', '--root-key', '{k}/other.pem', '--image-pub',
      KEYS / 'image_signing_public.pem'], EXIT_WOULD_NOT_VERIFY, NOTHING),
    (['digest', '--manifest', '{k}/other_manifest.bin'],
     EXIT_WOULD_NOT_VERIFY, 'does not verify against root key'),
    (['digest', '--manifest', '{k}/other_manifest.bin', '--root-pub',
      '{k}/other_pub.pem'], EXIT_OK, 'SHA-512 for the image key'),
], ids=['no-keys', 'image-key-alone', 'development-and-other', 'development',
        'root-p256', 'image-p256', 'root-pub-p256', 'encrypted-no-passin',
        'wrong-passin', 'passin', 'passin-unset', 'other-root',
        'other-root-named', 'development-other-root-named', 'type0',
        'imageL0', 'manifest-image-p256', 'manifest-type0',
        'manifest-other-root', 'digest-other-root',
        'digest-other-root-named'])
def test_keys_and_trusted_root(tmp_path, keys, args, status, text):
    (tmp_path / 'raw.bin').write_bytes(payload(5000))
    words = [str(a).replace('{k}', str(keys)) for a in args]
    verb = words.pop(0) if words[:1] in (['manifest'], ['digest']) else 'pack'
    operands = [] if verb == 'manifest' else [tmp_path / 'raw.bin']
    result = run_tool(verb, *operands, '-o', tmp_path / 'out', *words,
                      env={'PASS': 'secret'})
    output = (result.stdout + result.stderr).decode()
    assert (result.returncode, text in output) == (status, True), output
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(
        ['raw.bin'] + (['out'] if status == EXIT_OK else []))


# inspect names the root that verifies the manifest, the trusted one
# (--root-pub or the build's) or else the development one.
@pytest.mark.parametrize('packed_with, inspect_with, status, root, text', [
    (['--root-key', 'other.pem'], [], EXIT_NOT_VERIFIED, None,
     'verified by neither the trusted nor the development root key'),
    (['--root-key', 'other.pem'], ['--root-pub', 'other_pub.pem'], EXIT_OK,
     ('other_pub.pem', False, True), ''),
    (['--development-keys'], ['--root-pub', 'other_pub.pem'],
     EXIT_NOT_VERIFIED, (KEYS / 'manifest_root_public.pem', True, False),
     ' (development root key), not the trusted root key'),
], ids=['other-root', 'other-root-named', 'development-other-named'])
def test_inspect_names_the_root(tmp_path, keys, packed_with, inspect_with,
                                status, root, text):
    options = [keys / w if w.endswith('.pem') else w for w in packed_with]
    if options[0] != '--development-keys':
        options += ['--image-key', KEYS / 'image_signing_private.pem',
                    '--root-pub', keys / 'other_pub.pem']
    capsule = pack(tmp_path, *options)
    named = [keys / w if w.endswith('.pem') else w for w in inspect_with]
    result = run_tool('inspect', '--json', *named, capsule)
    report = json.loads(result.stdout)
    assert result.returncode == status
    assert report['manifest']['root_key'] == (root and {
        'sha256': fingerprint(keys / root[0]),
        'development_root_key': root[1], 'trusted': root[2]})
    lines = run_tool('inspect', *named, capsule).stdout.decode().splitlines()
    [line] = [line for line in lines if line.startswith('  root key:')]
    assert line.endswith(text)


def test_signing_elsewhere(tmp_path, keys):
    """digest, a signature made by 'openssl pkeyutl' as an HSM would make
    it, attach: a good signature completes the manifest and the capsule, a
    signature with one byte flipped is refused and nothing is written."""
    (tmp_path / 'raw.bin').write_bytes(payload(70_000))
    manifest = ['--image-pub', KEYS / 'image_signing_public.pem']
    image = ['--manifest', tmp_path / 'manifest.bin', tmp_path / 'raw.bin']
    for what, key, output in (
            (manifest, 'manifest_root_private.pem', 'manifest.bin'),
            (image, 'image_signing_private.pem', 'capsule.bin')):
        assert run_tool('digest', *what, '-o',
                        tmp_path / 'digest').returncode == EXIT_OK
        subprocess.run(['openssl', 'pkeyutl', '-sign', '-inkey', KEYS / key,
                        '-in', tmp_path / 'digest', '-out',
                        tmp_path / 'good.der'], check=True)
        good = (tmp_path / 'good.der').read_bytes()
        (tmp_path / 'bad.der').write_bytes(flip(good, len(good) - 1))
        bad = run_tool('attach', *what, '--signature', tmp_path / 'bad.der',
                       '-o', tmp_path / output)
        assert (bad.returncode, (tmp_path / output).exists()) == (
            EXIT_BAD_SIGNATURE, False)
        assert b'signature does not verify' in bad.stderr
        assert run_tool('attach', *what, '--signature', tmp_path / 'good.der',
                        '-o', tmp_path / output).returncode == EXIT_OK
    report = inspect_json(tmp_path / 'capsule.bin')
    assert (report['verification']['verdict'], report['payload_size'],
            report['manifest']['root_key']['sha256']) == (
        'pass', 70_000, DEV_ROOT)


@pytest.mark.parametrize('options, status, lines', [
    (['--release-type', '5'], EXIT_OK, [
        '  release type:       0x05 (prototype)',
        'verification: PASS (release type 0x05, prototype)']),
    (['--capsule-rbu-length', '8'], EXIT_NOT_VERIFIED, [
        'capsule RBU header:   $RBU, length 0', 'verification: FAIL',
        f'  {XZ_FAILED}']),
], ids=['good', 'failing'])
def test_text_report(tmp_path, options, status, lines):
    capsule = pack(tmp_path, *options, size=5000)
    if status == EXIT_NOT_VERIFIED:
        capsule.write_bytes(capsule_rbu_length_0(capsule.read_bytes()))
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
    (['manifest', '--help'], EXIT_OK, 'stdout', 'release type byte 1..255'),
    ([], EXIT_USAGE, 'stderr', 'Usage'),
    (['frobnicate'], EXIT_USAGE, 'stderr', "unknown verb 'frobnicate'"),
    (['pack', 'raw.bin'], EXIT_USAGE, 'stderr', '-o <capsule>'),
    (['pack', 'raw.bin', '-o', 'x', '--release-type', '256'], EXIT_USAGE,
     'stderr', 'bad value'),
    (['inspect'], EXIT_USAGE, 'stderr', 'a capsule is required'),
    (['inspect', '/nonexistent/capsule'], EXIT_ERROR, 'stderr',
     'cannot read'),
    (['pack', '/nonexistent/raw', '-o', 'x', '--development-keys'],
     EXIT_ERROR, 'stderr', 'cannot pack'),
    (['pack', 'raw.bin', '-o', 'x', *DEV[:2], '--image-key',
      '/nonexistent.pem'], EXIT_ERROR, 'stderr',
     'cannot load key /nonexistent.pem'),
    (['attach', '--manifest', 'm', 'raw.bin', '-o', 'x'], EXIT_USAGE,
     'stderr', '--signature and -o are required'),
    (['digest', '--manifest', 'm', '--image-pub', 'p', '-o', 'x'],
     EXIT_USAGE, 'stderr', 'give either --manifest'),
])
def test_command_line(tmp_path, monkeypatch, args, status, stream, text):
    monkeypatch.chdir(tmp_path)
    result = run_tool(*args)
    assert result.returncode == status
    assert text in getattr(result, stream).decode()


def _coverage_build():
    options = json.loads((BUILD_ROOT / 'meson-info' /
                          'intro-buildoptions.json').read_text())
    return any(o['name'] == 'b_coverage' and o['value'] for o in options)


@pytest.mark.skipif(bool(WRAPPER), reason="the host's objcopy reads the "
                    'native build')
@pytest.mark.skipif(_coverage_build(), reason='a coverage build names the '
                    'build directory its counters go to')
def test_tool_names_no_path_of_the_build_host(tmp_path):
    # What an installed tool would carry: its data, not its debug
    # information.
    subprocess.run(['objcopy', '-O', 'binary', '--only-section=.rodata',
                    CAPSULE_TOOL, tmp_path / 'rodata'], check=True)
    assert str(SOURCE_ROOT.resolve()).encode() not in (
        tmp_path / 'rodata').read_bytes()


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
