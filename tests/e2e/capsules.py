"""Capsules for the end-to-end tests, packed by the project's capsule tool
with the development keys, and the byte surgery the tests do on them (also
what the tool refuses to make: capsules that would not verify)."""

import lzma
import random
import subprocess

import pytest

from conftest import BUILD_ROOT, SOURCE_ROOT, wrapped

CAPSULE_TOOL = BUILD_ROOT / 'tools' / 'capsule-tool'
KEYS = SOURCE_ROOT / 'keys' / 'development'
UEFI_HEADER = 84
SLOT = 104


def payload(size, seed=0):
    """Incompressible raw BIOS data, the same for the same arguments."""
    return random.Random(f'{seed}/{size}').randbytes(size)


@pytest.fixture(scope='session')
def pack(tmp_path_factory):
    """pack(size=5000, seed=0, **options) -> capsule bytes; options are
    capsule-tool's (release_type=1 for --release-type 1). Packed with the
    development keys, or with root_key (a PEM) as the root key that the
    capsule is made for, the development image key signing."""
    if not CAPSULE_TOOL.exists():
        pytest.fail(f'capsule tool missing: {CAPSULE_TOOL}')
    folder = tmp_path_factory.mktemp('capsules')
    made = {}

    def build(size=5000, seed=0, **options):
        key = (size, seed, tuple(sorted(options.items())))
        if key not in made:
            raw = folder / f'raw-{len(made)}.bin'
            out = folder / f'capsule-{len(made)}.cap'
            raw.write_bytes(payload(size, seed))
            words = wrapped(CAPSULE_TOOL, 'pack', raw, '-o', out)
            if 'root_key' in options:
                public = folder / f'root-{len(made)}.pem'
                subprocess.run(['openssl', 'pkey', '-in', options['root_key'],
                                '-pubout', '-out', public], check=True)
                words += ['--root-pub', public, '--image-key',
                          KEYS / 'image_signing_private.pem']
            else:
                words.append('--development-keys')
            for name, value in options.items():
                words += ['--' + name.replace('_', '-'), str(value)]
            subprocess.run(words, check=True, capture_output=True)
            made[key] = out.read_bytes()
        return made[key]

    return build


def image_of(capsule):
    """The decompressed image inside a capsule."""
    start = UEFI_HEADER + capsule[UEFI_HEADER + 4]
    return lzma.decompress(capsule[start:], format=lzma.FORMAT_ALONE)


def rewrap(capsule, image):
    """The capsule with its body replaced by `image`, compressed anew."""
    start = UEFI_HEADER + capsule[UEFI_HEADER + 4]
    return capsule[:start] + lzma.compress(image, format=lzma.FORMAT_ALONE)


def bomb(size):
    """A capsule whose body decompresses to `size` bytes (not zeros, which
    xz would write as holes)."""
    return (bytes(UEFI_HEADER) + b'$RBU\x08\0\0\0'
            + lzma.compress(b'\xa5' * size, format=lzma.FORMAT_ALONE))


def flip(data, offset, mask=0x01):
    changed = bytearray(data)
    changed[offset] ^= mask
    return bytes(changed)


def _signed(data, digest, key):
    return subprocess.run(['openssl', 'dgst', f'-{digest}', '-sign',
                           KEYS / key], input=data, capture_output=True,
                          check=True).stdout


def with_release_type(capsule, release_type):
    """The capsule with another release type in its manifest, signed again
    with the development keys (release type 0 is one the tool refuses)."""
    image = image_of(capsule)
    start = image[4]
    key_end = start + 10 + int.from_bytes(image[start + 8:start + 10],
                                          'little')
    manifest = bytearray(image[start:key_end])
    manifest[5] = release_type
    root = _signed(bytes(manifest), 'sha384', 'manifest_root_private.pem')
    rest = image[key_end + 2 + int.from_bytes(image[key_end:key_end + 2],
                                              'little'):len(image) - SLOT]
    data = (image[:start] + manifest + len(root).to_bytes(2, 'little') + root
            + rest)
    slot = _signed(data, 'sha512', 'image_signing_private.pem')
    return rewrap(capsule, data + slot.ljust(SLOT, b'\0'))


def capsule_rbu_length_0(capsule):
    """The capsule with an 8-byte capsule RBU header whose length byte is
    0."""
    return (capsule[:UEFI_HEADER] + b'$RBU' + bytes(4)
            + capsule[UEFI_HEADER + capsule[UEFI_HEADER + 4]:])
