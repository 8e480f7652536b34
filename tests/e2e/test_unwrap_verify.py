"""Capsule unwrapping through /usr/bin/xz and image verification on the
updater's own scratch paths, driven by update_probe inside the sandbox."""

import os
import subprocess
import threading

import pytest

from capsules import SLOT, UEFI_HEADER, flip, image_of, rewrap
from conftest import BUILD_ROOT, fail_line, info_line

PROBE = BUILD_ROOT / 'tests' / 'e2e' / 'update_probe'

MANIFEST_OK = info_line('verifyBiosImage', 188,
                        'Manifest verified successfully.')
SIGNATURE_OK = info_line('verifyBiosImage', 200,
                         'Signature verified successfully.')
PASSED = MANIFEST_OK + SIGNATURE_OK
DECOMPRESS_FAILED = fail_line('uncompressBiosCapFile', 121,
                              'Failure #1 in decompress bios.lzma.')
SIGNATURE_FAILED = fail_line('verifyBiosImage', 196,
                             'Failed in verifying signature of header file.')


def unwrap_failed(number, message):
    return fail_line('uncompressBiosCapFile', number, message)


def signature_failed(number, message):
    return (MANIFEST_OK + fail_line('signature_verify', number, message)
            + SIGNATURE_FAILED)


FINAL_FAILED = signature_failed(302, 'Failed in EVP_DigestVerifyFinal().')


def unwrap_line(rc, size=0, lzma_left=0, image_present=0):
    return (f'unwrap rc={rc} imageSize={size} lzmaLeft={lzma_left} '
            f'imagePresent={image_present}\n').encode()


def verify_line(passed, rbu=16, release=0):
    return (f'verify passed={int(passed)} verified={int(passed)} '
            f'rbuHeaderSize={rbu} releaseType={release}\n').encode()


def scratch_paths(sandbox):
    directory = sandbox.scratchpad / 'biosscratchpad'
    return [directory / 'bios.lzma', directory / 'bios', directory]


def run_probe(sandbox, capsule, capsule_path=None, **options):
    """Writes the capsule beside the sandbox, runs the probe on it and
    checks that no scratch path is left afterwards."""
    path = capsule_path or sandbox.workdir / 'capsule.bin'
    if capsule is not None:
        path.write_bytes(capsule)
    result = sandbox.run(path, program=PROBE, bus='unreachable', **options)
    assert [p for p in scratch_paths(sandbox) if p.exists()] == []
    return result


# ---- Good capsules ----------------------------------------------------------

@pytest.mark.parametrize('options', [
    {},
    {'capsule_rbu_length': 8},
    {'capsule_rbu_length': 255},
    {'image_rbu_length': 255},
    {'release_type': 1},
    {'release_type': 255},
], ids=repr)
def test_good_capsule_unwraps_and_verifies(sandbox, pack, options):
    capsule = pack(**options)
    image = image_of(capsule)
    result = run_probe(sandbox, capsule)
    assert result.stderr == PASSED
    assert result.stdout == (
        unwrap_line(0, len(image), lzma_left=0, image_present=1)
        + verify_line(True, options.get('image_rbu_length', 16),
                      options.get('release_type', 2)))
    assert result.returncode == 0


@pytest.mark.parametrize('offset', [0, 40, 83, 89, 90, 91, 92, 99])
def test_uninterpreted_capsule_bytes_do_not_matter(sandbox, pack, offset):
    capsule = flip(pack(), offset, 0xFF)
    result = run_probe(sandbox, capsule)
    assert result.stderr == PASSED
    assert result.stdout.endswith(verify_line(True, 16, 2))


# ---- Unwrapping failures ----------------------------------------------------

@pytest.mark.parametrize('size', [0, 1, 83, 84, 88, 91])
def test_short_capsule_cannot_be_read(sandbox, pack, size):
    result = run_probe(sandbox, pack()[:size])
    assert result.stderr == unwrap_failed(63, 'Failed to read Cap file.')
    assert result.stdout == unwrap_line(1)


@pytest.mark.parametrize('word', [b'RBU$', b'$rbu', b'\0RBU', b'$RBV'])
def test_capsule_without_rbu_is_rejected(sandbox, pack, word):
    capsule = pack()
    capsule = capsule[:UEFI_HEADER] + word + capsule[UEFI_HEADER + 4:]
    result = run_probe(sandbox, capsule)
    assert result.stderr == unwrap_failed(
        69, 'Invalid Cap file: no RBU after UEFI header.')
    assert result.stdout == unwrap_line(1)


def test_capsule_rbu_length_zero_copies_the_header_into_the_body(
        sandbox, pack):
    result = run_probe(sandbox, pack(capsule_rbu_length=0))
    # xz says why in its own words before the updater's line.
    assert result.stderr.endswith(DECOMPRESS_FAILED)
    assert result.stderr != DECOMPRESS_FAILED
    assert result.stdout.startswith(b'unwrap rc=1 ')


def test_capsule_rbu_length_255_on_a_short_header(sandbox, pack):
    capsule = flip(pack(), UEFI_HEADER + 4, 16 ^ 255)
    result = run_probe(sandbox, capsule)
    assert result.stderr.endswith(DECOMPRESS_FAILED)
    assert result.stdout.startswith(b'unwrap rc=1 ')


@pytest.mark.parametrize('where', ['length', 'body-start', 'body-middle',
                                   'body-end'])
def test_interpreted_capsule_bytes_are_rejected(sandbox, pack, where):
    capsule = pack()
    body = UEFI_HEADER + 16
    offset = {'length': UEFI_HEADER + 4, 'body-start': body,
              'body-middle': (body + len(capsule)) // 2,
              'body-end': len(capsule) - 1}[where]
    result = run_probe(sandbox, flip(capsule, offset, 0x55))
    assert verify_line(True, 16, 2) not in result.stdout
    assert (result.stdout.startswith(b'unwrap rc=1 ')
            or b'verify passed=0' in result.stdout)


def test_missing_capsule_is_reported_and_its_directory_removed(sandbox):
    result = run_probe(sandbox, None,
                       capsule_path=sandbox.workdir / 'no-such.cap')
    assert result.stderr == unwrap_failed(53, 'Could not find cap file.')
    assert result.stdout == unwrap_line(1)


def test_foreign_file_in_the_scratch_directory_blocks_unwrapping(
        sandbox, pack):
    directory = sandbox.scratchpad / 'biosscratchpad'
    directory.mkdir()
    (directory / 'foreign').write_bytes(b'x')
    (directory / 'bios').write_bytes(b'stale')
    (directory / 'bios.lzma').write_bytes(b'stale')
    result = sandbox.run(sandbox.workdir / 'capsule.bin', program=PROBE,
                         bus='unreachable')
    assert result.stderr == unwrap_failed(47,
                                          'Cannot create BIOS scratchpad.')
    assert result.stdout == unwrap_line(1)
    # The updater's own files are gone; the foreign one keeps the directory.
    assert sorted(p.name for p in directory.iterdir()) == ['foreign']


def test_left_overs_of_an_earlier_run_are_cleared(sandbox, pack):
    directory = sandbox.scratchpad / 'biosscratchpad'
    directory.mkdir()
    (directory / 'bios').write_bytes(b'stale')
    (directory / 'bios.lzma').write_bytes(b'stale')
    result = run_probe(sandbox, pack())
    assert result.stderr == PASSED


@pytest.mark.parametrize('xz, xz_says', [
    ('missing', b''),
    ('failing', b'xz: simulated failure\n'),
])
def test_decompressor_failure(sandbox, pack, xz, xz_says):
    result = run_probe(sandbox, pack(), xz=xz)
    assert result.stderr == xz_says + DECOMPRESS_FAILED
    assert result.stdout == unwrap_line(1, lzma_left=1)


@pytest.mark.parametrize('script', [
    # Claims success without writing anything.
    '#!/bin/sh\nexit 0\n',
    # Ends by a signal: the exit-code byte is 0, so the status test passes.
    '#!/bin/sh\nkill -KILL $$\n',
])
def test_decompressor_without_output(sandbox, pack, script):
    xz = sandbox.workdir / 'xz-stand-in'
    xz.write_text(script)
    xz.chmod(0o755)
    result = run_probe(sandbox, pack(), xz=str(xz))
    assert result.stderr == unwrap_failed(
        135, 'Failed to open uncompressed header file.')
    assert result.stdout == unwrap_line(1, lzma_left=1)


def test_unseekable_capsule_reports_both_seeks_and_goes_on(sandbox, pack):
    """Over a FIFO both seeks fail; the two messages end in a newline of
    their own, and reading goes on where the stream stands."""
    capsule = pack()
    image = image_of(capsule)
    stream = capsule[UEFI_HEADER:UEFI_HEADER + 8]
    stream = stream[:4] + b'\x08' + stream[5:]
    stream += capsule[UEFI_HEADER + 16:]
    fifo = sandbox.workdir / 'capsule.fifo'
    os.mkfifo(fifo)

    def feed():
        with open(fifo, 'wb') as writer:
            writer.write(stream)

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    result = run_probe(sandbox, None, capsule_path=fifo)
    feeder.join(timeout=60)
    assert result.stderr == (
        unwrap_failed(59, 'Failed to skip UEFI CAP header of the CAP file.\n')
        + unwrap_failed(76, 'Failed to skip UEFI CAP header and RBU in the '
                        'CAP file.\n')
        + PASSED)
    assert result.stdout == (unwrap_line(0, len(image), image_present=1)
                             + verify_line(True, 16, 2))


# ---- Injected faults --------------------------------------------------------

@pytest.mark.parametrize('fault, stderr, stdout', [
    ('copy-buffer',
     unwrap_failed(83, 'Failed to allocate buffer to copy Cap file into '
                   'compressed header file.'),
     unwrap_line(1)),
    ('fork', unwrap_failed(127, 'Failure #2 in decompress bios.lzma.'),
     unwrap_line(1, lzma_left=1)),
    ('md-ctx',
     signature_failed(243, 'Failed to create signature verifying context.'),
     None),
    ('verify-buffer',
     signature_failed(262,
                      'Failed to allocate buffer for signature verification.'),
     None),
    ('digest-update',
     signature_failed(286, 'Failed in EVP_DigestVerifyUpdate().'), None),
])
def test_injected_fault(sandbox, pack, monkeypatch, fault, stderr, stdout):
    monkeypatch.setenv('UPDATE_PROBE_FAULT', fault)
    environment = sandbox.environment

    def with_fault(bus):
        env = environment(bus)
        env['UPDATE_PROBE_FAULT'] = fault
        return env

    monkeypatch.setattr(sandbox, 'environment', with_fault)
    result = run_probe(sandbox, pack())
    assert result.stderr == stderr
    if stdout is None:
        assert result.stdout.endswith(verify_line(False, 16, 0))
    else:
        assert result.stdout == stdout


# ---- Decompressed images ----------------------------------------------------

def _no_rbu(image):
    return b'RBU$' + image[4:]


def _short(image):
    return image[:7]


def _manifest_key(image):
    return flip(image, 16 + 12)


def _data(image):
    return flip(image, len(image) - SLOT - 1)


def _signature(image):
    return flip(image, len(image) - SLOT + 4)


def _slot_tail(image):
    return flip(image, len(image) - 1)


@pytest.mark.parametrize('tamper, stderr, rbu', [
    (_no_rbu, fail_line('verifyBiosImage', 169,
                        'No RBU at BOF of header files.'), 0),
    (_short, fail_line('verifyBiosImage', 164, 'Read RBU header fails.'), 0),
    (_manifest_key, fail_line('verifyBiosImage', 184,
                              'Failed in verifying manifest.'), 16),
    (_data, FINAL_FAILED, 16),
    (_signature, FINAL_FAILED, 16),
], ids=lambda v: getattr(v, '__name__', '') if callable(v) else '')
def test_tampered_image_is_rejected(sandbox, pack, tamper, stderr, rbu):
    capsule = pack()
    image = tamper(image_of(capsule))
    result = run_probe(sandbox, rewrap(capsule, image))
    assert result.stderr == stderr
    assert result.stdout == (
        unwrap_line(0, len(image), image_present=1)
        + verify_line(False, rbu, 0))


def test_slot_bytes_behind_the_signature_do_not_matter(sandbox, pack):
    # ECDSA signatures vary in length: take one that leaves slot bytes free.
    for size in range(5000, 5040):
        capsule = pack(size)
        image = image_of(capsule)
        if image[len(image) - SLOT + 1] + 2 < SLOT:
            break
    else:
        pytest.fail('no signature shorter than the slot')
    result = run_probe(sandbox, rewrap(capsule, _slot_tail(image)))
    assert result.stderr == PASSED
    assert result.stdout.endswith(verify_line(True, 16, 2))


def test_release_type_zero_fails_after_the_signature(sandbox, pack):
    result = run_probe(sandbox, pack(release_type=0))
    assert result.stderr == PASSED + fail_line(
        'verifyBiosImage', 206, 'Failed to get release type from manifest.')
    assert result.stdout.endswith(verify_line(False, 16, 0))


def test_manifest_signed_by_another_root_is_rejected(sandbox, pack, tmp_path):
    other_root = tmp_path / 'other_root.pem'
    subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                    'ec_paramgen_curve:P-384', '-out', str(other_root)],
                   check=True, capture_output=True)
    result = run_probe(sandbox, pack(root_key=other_root))
    assert result.stderr == fail_line('verifyBiosImage', 184,
                                      'Failed in verifying manifest.')
    assert result.stdout.endswith(verify_line(False, 16, 0))
