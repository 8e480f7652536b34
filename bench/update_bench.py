#!/usr/bin/python3
"""Times a whole BIOS update against the work it cannot avoid.

For each image size: packs a semi-compressible image into a capsule with the
development keys, publishes it on the simulated BMC (sim/bmc.py) and runs
the real `startUpdate` in its sandbox, and on the same capsule body the
floor: `xz -d` of the body plus `openssl dgst -sha512` of the image, one
after the other in each of --rounds rounds (xz alone varies by a tenth from
run to run here, by up to a fifth; taken in turn, both see the machine
alike). Prints the
best of the rounds' wall times of each, their ratio (also without
the time the simulated BMC's sandbox takes to set up before the updater
starts, which a BMC does not spend), and the updater's own peak resident
set (its xz child not counted); then, for the fastest update of each size,
where its time went, beside the floor's two parts:

  sandbox     the test sandbox's set-up, before the updater starts
  to cap_file the updater's start, its bus lookups, the update lock and the
              capsule's private copy, up to its first line
  body        from that line to the decompressor's start
  decompress  the decompressor's run, up to the line that says it is done
  verify      manifest and signature, up to the line that says they passed
  stage       the release type, staging and the task list, up to its exit
  end         from its exit until the benchmark sees it gone

  bench/update_bench.py --build <build dir with -Dbench=true> [--sizes MiB..]
      [--rounds N] [--probe <libupdate_probe.so>] [--sandbox-build <dir>]

--build gives the updater and capsule-tool measured; --probe and the
sandbox's launcher (sim/sandbox-enter of --sandbox-build) default to those
of that build (an older build can be measured with a newer probe and
launcher).
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


def took(command):
    """Wall time of one run of `command`, in seconds."""
    start = time.monotonic()
    subprocess.run(command, check=True)
    return time.monotonic() - start


class Floor:
    """xz -d of the capsule body plus SHA-512 of the image, both in the
    directory where the updater unwraps: the whole, and each part alone."""

    def __init__(self, capsule, scratch):
        data = capsule.read_bytes()
        self.body = scratch / 'floor.lzma'
        self.body.write_bytes(data[UEFI_HEADER + data[UEFI_HEADER + 4]:])
        self.image = scratch / 'floor'
        decompress = f'xz -dc "{self.body}" > "{self.image}"'
        digest = f'openssl dgst -sha512 "{self.image}" > /dev/null'
        self.commands = {
            'whole': ['/bin/sh', '-c', f'{decompress} && {digest}'],
            'xz -d': ['/bin/sh', '-c', decompress],
            'sha512': ['/bin/sh', '-c', digest]}

    def run(self):
        """The time of one run of the whole and of each part."""
        return {name: took(command) for name, command in self.commands.items()}

    def close(self):
        self.body.unlink()
        self.image.unlink(missing_ok=True)


# The lines that end the phases of an update, by their function and number.
PHASE_LINES = (('to cap_file', 'startUpdate.292:'),
               ('decompress', 'startUpdate.301:'),
               ('verify', 'startUpdate.327:'))


def phases(started, records, stderr, ended):
    """Where one update's time went, in seconds, from the probe's records
    (pairs of event and value) and the lines the update wrote."""
    lines = stderr.decode(errors='replace').splitlines()
    line_times = [value for event, value in records if event == 'line']
    marks = dict(records)
    at = {}
    for name, prefix in PHASE_LINES:
        index = next(i for i, line in enumerate(lines) if prefix in line)
        at[name] = line_times[index]
    forks = [value for event, value in records if event == 'fork']
    fork = next(f for f in forks if at['to cap_file'] <= f <= at['decompress'])
    bounds = [('sandbox', started, marks['start']),
              ('to cap_file', marks['start'], at['to cap_file']),
              ('body', at['to cap_file'], fork),
              ('decompress', fork, at['decompress']),
              ('verify', at['decompress'], at['verify']),
              ('stage', at['verify'], marks['exit']),
              ('end', marks['exit'], ended)]
    return {name: (end - start) / 1e9 for name, start, end in bounds}


class Updater:
    """The real tool on the simulated BMC, its peak memory recorded."""

    def __init__(self, build, probe, work, sandbox_build):
        self.work = work
        self.bmc = Bmc(work)
        self.sandbox = Sandbox(work, self.bmc,
                               build / 'src' / 'morvex_bios_updater',
                               build=sandbox_build)
        self.records = work / 'probe-records'
        self.program = work / 'measured-updater'
        self.program.write_text(
            '#!/bin/sh\n'
            f"export LD_PRELOAD='{probe}' "
            f"UPDATE_PROBE_FILE='{self.records}'\n"
            f"exec '{build / 'src' / 'morvex_bios_updater'}' \"$@\"\n")
        self.program.chmod(0o755)
        # The journal that the update-start event goes to.
        self.journal = Journald(self.sandbox.journal, work / 'journal-files',
                                work)
        self.journal.start()
        self.image_dir = work / 'image'
        (self.image_dir / 'payload').mkdir(parents=True)
        self.bmc.software(VERSION_ID, path=str(self.image_dir))

    def publish(self, capsule):
        shutil.copyfile(capsule, self.image_dir / 'payload' / 'bios.cap')

    def update(self):
        """Wall time of one update, its phases and the updater's peak
        RSS."""
        self.records.unlink(missing_ok=True)
        start = time.monotonic_ns()
        result = self.sandbox.run('startUpdate', VERSION_ID,
                                  program=self.program, timeout=600)
        end = time.monotonic_ns()
        if result.returncode != 0:
            sys.exit(f'update failed: {result}')
        text = self.records.read_text()
        records = [(event, int(value)) for event, value in (
            line.split() for line in text.splitlines())]
        peak = max(v for e, v in records if e == 'peak')
        return ((end - start) / 1e9,
                phases(start, records, result.stderr, end), peak)

    def close(self):
        self.journal.stop()
        self.bmc.close()


def measure(updater, capsule, rounds):
    """Rounds of one update and one run of the floor, its whole and its
    parts, taken in turn so that both see the machine alike: the best
    update with its phases, the largest peak RSS, the best floor and the
    best of each part."""
    updater.publish(capsule)
    floor = Floor(capsule, updater.sandbox.scratchpad)
    best = None
    peak = 0
    floors = []
    try:
        for _ in range(rounds):
            took_update, spent, its_peak = updater.update()
            peak = max(peak, its_peak)
            if best is None or took_update < best[0]:
                best = (took_update, spent)
            floors.append(floor.run())
    finally:
        floor.close()
    parts = {name: min(f[name] for f in floors)
             for name in ('xz -d', 'sha512')}
    return best[0], best[1], peak, min(f['whole'] for f in floors), parts


def print_phases(detail):
    """One row a size: the fastest update's phases and the floor's parts,
    in milliseconds."""
    names = list(detail[0][1]) + list(detail[0][2])
    print()
    print('| Image | ' + ' | '.join(names) + ' |')
    print('| --- ' * (len(names) + 1) + '|')
    for mib, spent, parts in detail:
        cells = [f'{1000 * v:.0f}' for v in (*spent.values(), *parts.values())]
        print(f'| {mib} MiB | ' + ' | '.join(cells) + ' |')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', required=True, type=Path)
    parser.add_argument('--sizes', nargs='+', type=int, default=[64, 256])
    parser.add_argument('--rounds', type=int, default=3)
    parser.add_argument('--probe', type=Path)
    parser.add_argument('--sandbox-build', type=Path)
    options = parser.parse_args()
    build = options.build.resolve()
    tool = build / 'tools' / 'capsule-tool'
    probe = (options.probe or build / 'bench' / 'libupdate_probe.so').resolve()
    if not probe.exists():
        sys.exit(f'{probe}: configure with -Dbench=true and build')

    work = Path(tempfile.mkdtemp(prefix='update-bench-', dir=build))
    updater = None
    try:
        updater = Updater(build, probe, work,
                          options.sandbox_build or build)
        print('| Image | startUpdate | without the sandbox set-up | '
              'xz -d + sha512 | Ratio | Ratio without the set-up | '
              'Updater peak RSS |')
        print('| --- ' * 7 + '|')
        detail = []
        for mib in options.sizes:
            raw = work / 'raw'
            capsule = work / 'capsule'
            write_image(raw, mib)
            subprocess.run([str(tool), 'pack', '--development-keys',
                            '--preset', '1', str(raw), '-o', str(capsule)],
                           check=True,
                           stdout=subprocess.DEVNULL)
            raw.unlink()
            ours, spent, peak, floor, parts = measure(
                updater, capsule, options.rounds)
            alone = ours - spent['sandbox']
            print(f'| {mib} MiB | {ours:.3f} s | {alone:.3f} s | '
                  f'{floor:.3f} s | {ours / floor:.3f} | '
                  f'{alone / floor:.3f} | {peak:,} KiB |', flush=True)
            detail.append((mib, spent, parts))
            capsule.unlink()
        print_phases(detail)
    finally:
        if updater is not None:
            updater.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
