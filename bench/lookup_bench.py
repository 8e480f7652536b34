#!/usr/bin/python3
"""Runs lookup_bench against 10, 100 and 1000 job objects.

Starts a private dbus-daemon and the BMC simulator (sim/bmc_simulator.py)
hosting N job objects, the wanted one sorting last, runs the benchmark
program, and removes everything it started or wrote on every way out.

  bench/lookup_bench.py --build <build dir with -Dbench=true> [--sizes ...]
"""

import argparse
import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

SOURCE = Path(__file__).resolve().parent.parent
SIMULATOR = SOURCE / 'sim' / 'bmc_simulator.py'
BUS_CONFIG = SOURCE / 'sim' / 'system-bus.conf.in'
SERVICE = 'xyz.morvex_project.Software.Host.Jobs'
JOBS = '/xyz/morvex_project/jobs'
ACTIVATION = 'xyz.morvex_project.Software.Activation'
STAGED = ACTIVATION + '.Activations.Staged'


def scenario(count):
    objects = {}
    for n in range(count):
        objects[f'{JOBS}/{n:05d}'] = {
            'xyz.morvex_project.Software.JobControl': {
                'JobID': ['s', f'JID_{n}']},
            ACTIVATION: {'Activation': ['s', STAGED]},
        }
    return {'mapper': True, 'services': {SERVICE: objects},
            'mapper_extra': [], 'rejections': []}


def stop(process):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=10)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def start_simulator(work, address, count):
    scenario_file = work / f'scenario-{count}.json'
    scenario_file.write_text(json.dumps(scenario(count)))
    ready = work / f'ready-{count}'
    sim = subprocess.Popen(
        ['/usr/bin/python3', str(SIMULATOR), '--address', address,
         '--scenario', str(scenario_file), '--log', os.devnull,
         '--ready', str(ready)],
        stdout=subprocess.DEVNULL, start_new_session=True)
    deadline = time.monotonic() + 120
    while not ready.exists():
        if sim.poll() is not None or time.monotonic() > deadline:
            stop(sim)
            raise RuntimeError('simulator did not start')
        time.sleep(0.05)
    return sim


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', required=True, type=Path)
    parser.add_argument('--sizes', nargs='+', type=int,
                        default=[10, 100, 1000])
    parser.add_argument('--rounds', type=int, default=0,
                        help='rounds per size (default: about 20000 '
                             'candidate reads per size)')
    options = parser.parse_args()
    program = options.build / 'bench' / 'lookup_bench'
    if not program.exists():
        sys.exit(f'{program} missing: configure with -Dbench=true and build')

    work = Path(tempfile.mkdtemp(prefix='lookup-bench-'))
    daemon = None
    try:
        config = work / 'bus.conf'
        config.write_text(BUS_CONFIG.read_text().replace(
            '@SOCKET@', str(work / 'bus')))
        daemon = subprocess.Popen(
            ['dbus-daemon', f'--config-file={config}', '--nofork',
             '--print-address=1'],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True)
        address = daemon.stdout.readline().decode().strip()
        if not address:
            sys.exit('dbus-daemon did not start')
        env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address)
        for count in options.sizes:
            rounds = options.rounds or max(5, 20000 // count)
            sim = start_simulator(work, address, count)
            try:
                subprocess.run([str(program), f'JID_{count - 1}', str(count),
                                str(rounds)], env=env, check=True)
            finally:
                stop(sim)
    finally:
        stop(daemon)
        if daemon is not None:
            daemon.stdout.close()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == '__main__':
    main()
