"""Release signing with keys in a PKCS#11 token (SoftHSM2), as docs/signing.md
tells a release engineer: both keys made inside the token, the offline
root's manifest, a capsule packed with the image key in the token, and no
private key in a file anywhere; a release engineer's token mistakes end
with status 3 and the token's cause, never with a PIN on screen. The
capsule is staged by an updater whose
manifest library was built with that root (-Dmanifest-root-key) and
refused by the development build; a root key that is not P-384 is refused
at configure time.

The emulated AArch64 run has neither the arm64 pkcs11 engine nor the arm64
SoftHSM2 module: there these tests are skipped, and the native runs of the
same sources cover them."""

import base64
import hashlib
import os
import re
import shlex
import subprocess
from pathlib import Path

import pytest

from capsules import CAPSULE_TOOL, payload
from conftest import BUILD_ROOT, SOURCE_ROOT, WRAPPER, work_dir, wrapped

pytestmark = pytest.mark.skipif(
    bool(WRAPPER), reason='the token path runs natively: no arm64 pkcs11 '
    'engine or SoftHSM2 module in the emulated run')

MODULE = Path('/usr/lib/softhsm/libsofthsm2.so')
PIN = '1234'
VERSION_ID = 'tok3n'


def token_uri(label, kind):
    return (f'pkcs11:token=ci;object={label};type={kind}'
            f'?module-path={MODULE}')


@pytest.fixture(scope='module')
def token(tmp_path_factory):
    """A SoftHSM2 token in a private directory holding the P-384 keys
    'root' and 'image', made inside it; their public halves exported
    through the engine into root.pem and image.pem."""
    if not MODULE.exists():
        pytest.fail(f'SoftHSM2 missing: {MODULE} (scripts/install-deps)')
    folder = tmp_path_factory.mktemp('token')
    (folder / 'tokens').mkdir()
    (folder / 'softhsm2.conf').write_text(
        f'directories.tokendir = {folder / "tokens"}\n')
    (folder / 'openssl.cnf').write_text(
        'openssl_conf = init\n[init]\nengines = engines\n'
        '[engines]\npkcs11 = pkcs11\n'
        f'[pkcs11]\nengine_id = pkcs11\nMODULE_PATH = {MODULE}\n')
    env = {**os.environ, 'SOFTHSM2_CONF': str(folder / 'softhsm2.conf'),
           'OPENSSL_CONF': str(folder / 'openssl.cnf'), 'TOKEN_PIN': PIN}

    def run(*words):
        subprocess.run(list(map(str, words)), env=env, check=True,
                       capture_output=True)
    run('softhsm2-util', '--init-token', '--free', '--label', 'ci', '--pin',
        PIN, '--so-pin', '5678')
    for number, label in enumerate(('root', 'image'), 1):
        run('pkcs11-tool', '--module', MODULE, '--login', '--pin', PIN,
            '--token-label', 'ci', '--keypairgen', '--key-type',
            'EC:secp384r1', '--label', label, '--id', f'0{number}')
        run('openssl', 'pkey', '-engine', 'pkcs11', '-pubin', '-inform',
            'engine', '-in', token_uri(label, 'public').split('?')[0],
            '-out', folder / f'{label}.pem')
    return folder, env


@pytest.fixture(scope='module')
def root_build(token):
    """The manifest library built to trust the token's root key (outside
    the paths the sandbox mounts over), and what meson printed when it was
    configured."""
    folder, _ = token
    build = work_dir(BUILD_ROOT.resolve() / 'e2e-work', 'root-build')
    configured = subprocess.run(
        ['meson', 'setup', build, SOURCE_ROOT, '-Dtests=disabled',
         f'-Dmanifest-root-key={folder / "root.pem"}'],
        check=True, capture_output=True, text=True)
    subprocess.run(['ninja', '-C', build, 'libs/vardex/libvardex.so.9.0.0'],
                   check=True, capture_output=True)
    return build / 'libs' / 'vardex', configured.stdout


def test_token_keys_make_a_capsule_the_root_build_stages(
        token, root_build, sandbox, bmc, tmp_path):
    folder, env = token
    raw = tmp_path / 'bios.raw'
    raw.write_bytes(payload(40_000))
    images = sandbox.workdir / 'images' / VERSION_ID
    (images / 'payload').mkdir(parents=True)
    capsule = images / 'payload' / 'bios.cap'
    keys = ['--root-pub', folder / 'root.pem', '--pin-source', 'env:TOKEN_PIN']
    for verb, *words in (
            ('manifest', '--root-key', token_uri('root', 'private'),
             '--image-pub', folder / 'image.pem', '-o',
             tmp_path / 'manifest.bin'),
            ('pack', '--manifest', tmp_path / 'manifest.bin', '--image-key',
             token_uri('image', 'private'), raw, '-o', capsule)):
        result = subprocess.run(wrapped(CAPSULE_TOOL, verb, *words, *keys),
                                env=env, capture_output=True, check=False)
        assert result.returncode == 0, result.stderr.decode()
    # No private key was ever in a file.
    assert [p for p in (folder, tmp_path) for p in p.rglob('*')
            if p.is_file() and b'PRIVATE KEY' in p.read_bytes()] == []

    fingerprint = re.search(r'sha256 ([0-9a-f]{64})',
                            result.stdout.decode()).group(1)
    library, configured = root_build
    assert (f'Manifest root key SHA-256 fingerprint: {fingerprint}'
            in configured)
    root_updater = sandbox.workdir / 'root-updater'
    root_updater.write_text(
        '#!/bin/sh\n'
        f'export LD_LIBRARY_PATH={shlex.quote(str(library))}\n'
        f'exec {shlex.join(sandbox.exec_words(sandbox.program))} "$@"\n')
    root_updater.chmod(0o755)
    bmc.software(VERSION_ID, path=str(images))
    staging = sandbox.tmp / 'tmpBIOSPayload'
    for program, status in ((None, 1), (root_updater, 0)):
        result = sandbox.run('startUpdate', VERSION_ID, program=program)
        assert result.returncode == status, result.stderr.decode()
        assert staging.is_dir() == (status == 0)
    assert (staging / 'bios.cap').read_bytes() == capsule.read_bytes()


SECRET = '4321'
ROOT = 'token=ci;object=root;type=private'
NOT_FOUND = 'no usable private key in the token: object not found'
PIN_IN_URI = 'the URI carries its PIN (pin-value or pin-source)'


# The URI's path, an extra query attribute, --pin-source, and the cause the
# one line gives.
@pytest.mark.parametrize('module', ['config', 'module-path'])
@pytest.mark.parametrize('path, query, source, cause', [
    (ROOT, '', 'env:WRONG_PIN', 'in the token: PIN incorrect'),
    (ROOT, '', None, NOT_FOUND + ' (no PIN given: --pin-source'),
    ('token=none;object=root', '', 'env:TOKEN_PIN', NOT_FOUND),
    ('token=ci;object=none', '', 'env:TOKEN_PIN', NOT_FOUND),
    (ROOT, '', SECRET, 'the value given is neither (not shown)'),
    (f'{ROOT};pin-value={SECRET}', '', None, PIN_IN_URI),
    (ROOT, f'pin-value={SECRET}', None, PIN_IN_URI),
    (f'{ROOT};pin-source=file:pin', '', None, PIN_IN_URI),
    (ROOT, 'pin-source=file:pin', None, PIN_IN_URI),
    (f'{ROOT};PIN-VALUE={SECRET}', '', None, PIN_IN_URI),
    (f'{ROOT};pin%2Dvalue={SECRET}', '', None, 'breaks its grammar'),
    (f'{ROOT};{SECRET}', '', None, 'breaks its grammar'),
], ids=['wrong-pin', 'no-pin', 'no-token', 'no-object', 'pin-as-source',
        'path-pin', 'query-pin', 'path-source', 'query-source', 'upper-pin',
        'escaped-pin', 'bare-pin'])
def test_token_mistakes_end_with_one_line_and_nothing_written(
        token, module, path, query, source, cause, tmp_path):
    folder, env = token
    # The pkcs11 engine leaks what it allocated for a login or key that
    # failed, and is unloaded before the sanitizer's leak check reports, so
    # that its frames cannot be told from others: these runs go without it.
    env = {**env, 'WRONG_PIN': '9999', 'ASAN_OPTIONS': env.get(
        'ASAN_OPTIONS', '') + ':detect_leaks=0'}
    queries = [query] if query else []
    if module == 'module-path':
        del env['OPENSSL_CONF']
        queries.insert(0, f'module-path={MODULE}')
    uri = f'pkcs11:{path}' + ('?' + '&'.join(queries) if queries else '')
    output = tmp_path / 'manifest.bin'
    result = subprocess.run(wrapped(
        CAPSULE_TOOL, 'manifest', '--root-key', uri, '--image-pub',
        folder / 'image.pem', '-o', output,
        *(['--pin-source', source] if source else [])),
        env=env, capture_output=True, text=True, check=False)
    assert (result.returncode, output.exists()) == (3, False), result.stderr
    assert result.stderr.count('\n') == 1 and cause in result.stderr
    assert SECRET not in result.stderr


@pytest.mark.parametrize('libs', ['stand-in', 'system'])
@pytest.mark.parametrize('curve', ['P-384', 'P-256'])
def test_configuring_checks_the_root_key_and_prints_its_fingerprint(
        tmp_path, libs, curve):
    """Whichever libvardex is used; a system build may stop later, for
    want of the platform's libraries here."""
    key = tmp_path / 'key.pem'
    subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                    f'ec_paramgen_curve:{curve}', '-out', key], check=True)
    subprocess.run(['openssl', 'pkey', '-in', key, '-pubout', '-out',
                    tmp_path / 'pub.pem'], check=True)
    der = base64.b64decode(''.join(
        (tmp_path / 'pub.pem').read_text().splitlines()[1:-1]))
    result = subprocess.run(
        ['meson', 'setup', tmp_path / 'build', SOURCE_ROOT, '-Dtests=disabled',
         f'-Dplatform-libs={libs}',
         f'-Dmanifest-root-key={tmp_path / "pub.pem"}'],
        capture_output=True, text=True, check=False)
    assert (f'Manifest root key SHA-256 fingerprint: '
            f'{hashlib.sha256(der).hexdigest()}' in result.stdout) == (
                curve == 'P-384')
    if curve == 'P-256':
        assert result.returncode != 0
        assert 'not an ECDSA P-384 (secp384r1) public key' in result.stdout
