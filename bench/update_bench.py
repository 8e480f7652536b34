#!/usr/bin/python3
"""Times a whole BIOS update against the work it cannot avoid.

For each image size: packs a semi-compressible image into a capsule with the
development keys, publishes it on the simulated BMC (sim/bmc.py) and runs
the real `startUpdate` in its sandbox; then, on the same capsule body, runs
the floor: `xz -d` of the body plus `openssl dgst -sha512` of the image.
Prints the best of --rounds wall times of each, their ratio, and the
updater's own peak resident set (its xz child not counted).

  bench/update_bench.py --build <build dir with -Dbench=true> [--sizes MiB..]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(SOURCE / 'sim'))

# pylint: disable=wrong-import-position
from bmc import Bmc, Sandbox  # noqa: E402
from journald import Journald  # noqa: E402

MIB = 1 << 20
UEFI_HEADER = 84
VERSION_ID = 'bench'


# Room left in an image of a round size for its RBU header, manifest and
# signature slot: an image of 256 MiB is the largest the updater takes.
HEADROOM = 1024


def write_image(path, mib):
    """Half random, half repeated text in every MiB: about 2:1 for LZMA.
    The data is short of `mib` MiB by the headroom, so that the whole image
    made of it is within `mib` MiB."""
    text = (b'BIOS setup string table entry ' * 20000)[:MIB // 2]
    with open(path, 'wb') as out:
        for _ in range(mib):
            out.write(os.urandom(MIB // 2))
            out.write(text)
        out.truncate(mib * MIB - HEADROOM)


def best_time(command, rounds, **kwargs):
    best = None
    for _ in range(rounds):
        start = time.monotonic()
        subprocess.run(command, check=True, **kwargs)
        took = time.monotonic() - start
        best = took if best is None else min(best, took)
    return best


def floor_time(capsule, scratch, rounds):
    """xz -d of the capsule body plus SHA-512 of the image, both in the
    directory where the updater unwraps."""
    data = capsule.read_bytes()
    body = scratch / 'floor.lzma'
    body.write_bytes(data[UEFI_HEADER + data[UEFI_HEADER + 4]:])
    image = scratch / 'floor'
    script = (f'xz -dc "{body}" > "{image}" && '
              f'openssl dgst -sha512 "{image}" > /dev/null')
    took = best_time(['/bin/sh', '-c', script], rounds)
    body.unlink()
    image.unlink()
    return took


class Updater:
    """The real tool on the simulated BMC, its peak memory recorded."""

    def __init__(self, build, work):
        self.work = work
        self.bmc = Bmc(work)
        self.sandbox = Sandbox(work, self.bmc,
                               build / 'src' / 'morvex_bios_updater')
        self.peaks = work / 'peak-rss'
        self.program = work / 'measured-updater'
        self.program.write_text(
            '#!/bin/sh\n'
            f"export LD_PRELOAD='{build / 'bench' / 'libpeak_rss.so'}' "
            f"PEAK_RSS_FILE='{self.peaks}'\n"
            f"exec '{build / 'src' / 'morvex_bios_updater'}' \"$@\"\n")
        self.program.chmod(0o755)
        # The journal that the update-start event goes to.
        self.journal = Journald(self.sandbox.journal, work / 'journal-files',
                                work)
        self.journal.start()
        self.image_dir = work / 'image'
        (self.image_dir / 'payload').mkdir(parents=True)
        self.bmc.software(VERSION_ID, path=str(self.image_dir))

    def update(self, capsule, rounds):
        """Best wall time of `rounds` updates, and the largest peak RSS."""
        shutil.copyfile(capsule, self.image_dir / 'payload' / 'bios.cap')
        self.peaks.unlink(missing_ok=True)
        best = None
        for _ in range(rounds):
            start = time.monotonic()
            result = self.sandbox.run('startUpdate', VERSION_ID,
                                      program=self.program, timeout=600)
            took = time.monotonic() - start
            if result.returncode != 0:
                sys.exit(f'update failed: {result}')
            best = took if best is None else min(best, took)
        peaks = [int(line.split()[1])
                 for line in self.peaks.read_text().splitlines()]
        return best, max(peaks)

    def close(self):
        self.journal.stop()
        self.bmc.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', required=True, type=Path)
    parser.add_argument('--sizes', nargs='+', type=int, default=[64, 256])
    parser.add_argument('--rounds', type=int, default=3)
    options = parser.parse_args()
    build = options.build.resolve()
    tool = build / 'tools' / 'capsule-tool'
    if not (build / 'bench' / 'libpeak_rss.so').exists():
        sys.exit(f'{build}: configure with -Dbench=true and build')

    work = Path(tempfile.mkdtemp(prefix='update-bench-', dir=build))
    updater = None
    try:
        updater = Updater(build, work)
        print('| Image | startUpdate | xz -d + sha512 | Ratio | '
              'Updater peak RSS |')
        print('| --- | --- | --- | --- | --- |')
        for mib in options.sizes:
            raw = work / 'raw'
            capsule = work / 'capsule'
            write_image(raw, mib)
            subprocess.run([str(tool), 'pack', '--development-keys',
                            '--preset', '1', str(raw), '-o', str(capsule)],
                           check=True,
                           stdout=subprocess.DEVNULL)
            raw.unlink()
            ours, peak = updater.update(capsule, options.rounds)
            floor = floor_time(capsule, updater.sandbox.scratchpad,
                               options.rounds)
            print(f'| {mib} MiB | {ours:.3f} s | {floor:.3f} s | '
                  f'{ours / floor:.3f} | {peak:,} KiB |', flush=True)
            capsule.unlink()
    finally:
        if updater is not None:
            updater.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
