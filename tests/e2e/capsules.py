"""Capsules for the end-to-end tests, packed by the project's capsule tool
with the development keys, and the byte surgery the tests do on them."""

import lzma
import random
import subprocess

import pytest

from conftest import BUILD_ROOT, wrapped

CAPSULE_TOOL = BUILD_ROOT / 'tools' / 'capsule-tool'
UEFI_HEADER = 84
SLOT = 104


def payload(size, seed=0):
    """Incompressible raw BIOS data, the same for the same arguments."""
    return random.Random(f'{seed}/{size}').randbytes(size)


@pytest.fixture(scope='session')
def pack(tmp_path_factory):
    """pack(size=5000, seed=0, **options) -> capsule bytes; options are
    capsule-tool's (release_type=1 for --release-type 1)."""
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
