#!/usr/bin/python3
"""A guided run of the BIOS updater on a simulated BMC.

Queues BIOS-configuration jobs, drives an update job and a configuration
job through their progress and outcome, and packs and inspects a capsule
signed with the development keys, showing after each step what the tool
printed, its exit status, the task list and what reached the bus and the
journal.
"""

import argparse
import json
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(ROOT / 'tests' / 'e2e'))

# pylint: disable=wrong-import-position
from bmc import (ACTIVATION, ACTIVATIONS, BIOS_CONFIG, PROGRESS,  # noqa: E402
                 Bmc, Sandbox, Typed, work_dir)
from journal_sink import JournalSink  # noqa: E402

UPDATE_JOB = 'JID_1001'


def heading(text):
    print(f'\n=== {text}')


def show_run(sandbox, *words):
    print(f'$ morvex_bios_updater {" ".join(words)}')
    result = sandbox.run(*words)
    for line in result.stdout.decode(errors='replace').splitlines():
        print(f'  stdout| {line}')
    for line in result.stderr.decode(errors='replace').splitlines():
        print(f'  stderr| {line}')
    print(f'  exit status {result.returncode}')
    return result


def show_task_list(sandbox):
    path = sandbox.qorad / 'BIOS_task_list.json'
    if not path.exists():
        print('  (no task list)')
        return
    jobs = json.loads(path.read_text()).get('QORAJob', [])
    print(f'  task list: {len(jobs)} entr{"y" if len(jobs) == 1 else "ies"}')
    for job in jobs:
        print(f'    {job["JobType"]:<9} {job["JOBID"] or "-":<18} '
              f'{job["ResourceURI"]} ({job["ResourceType"]})')


def show_calls(bmc, since):
    calls = bmc.calls()
    for call in calls[since:]:
        args = ', '.join(f'{a[0]}:{a[1]}' if a[0] != 'v'
                         else f'v({a[1][0]}:{a[1][1]})' for a in call['args'])
        print(f'  bus| {call["service"]} {call["path"]} '
              f'{call["member"]}({args})')
    return len(calls)


def show_events(journal, since):
    entries = journal.entries()
    for entry in entries[since:]:
        print(f'  journal| {entry.get("MESSAGE")}')
    return len(entries)


def capsule_demo(build, workdir):
    tool = build / 'tools' / 'capsule-tool'
    if not tool.exists():
        return
    import subprocess  # pylint: disable=import-outside-toplevel
    heading('Pack a BIOS capsule with the development keys and inspect it')
    image = workdir / 'bios.bin'
    image.write_bytes(bytes(range(256)) * 4096)
    capsule = workdir / 'bios.cap'
    for words in (['pack', str(image), '-o', str(capsule)],
                  ['inspect', str(capsule)]):
        print(f'$ capsule-tool {" ".join(words)}')
        result = subprocess.run([str(tool), *words], capture_output=True,
                                check=False)
        for line in (result.stdout + result.stderr).decode(
                errors='replace').splitlines():
            print(f'  | {line}')
        print(f'  exit status {result.returncode}')


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', default='build')
    options = parser.parse_args()
    build = (ROOT / options.build).resolve()
    updater = build / 'src' / 'morvex_bios_updater'

    workdir = work_dir(build / 'demo-work', 'demo')
    bmc = Bmc(workdir)
    # The BIOS update service's software object of a received image carries
    # the update job: its Job ID, activation and progress.
    bmc.software('a3d2fe67', job_id=UPDATE_JOB, path='/tmp/images/a3d2fe67',
                 version='2.4.1', **{
                     ACTIVATION: {'Activation': ACTIVATIONS + 'Staged'},
                     PROGRESS: {'Progress': Typed('y', 0)},
                 })
    sandbox = Sandbox(workdir, bmc, updater)
    journal = JournalSink(sandbox.journal / 'socket')
    calls = events = 0
    try:
        heading('Queue a BIOS-configuration export for the next host boot')
        show_run(sandbox, 'exportBIOSConfig')
        show_task_list(sandbox)

        heading('Queue an import: it replaces the pending export')
        show_run(sandbox, 'importBIOSConfig')
        show_task_list(sandbox)

        # The configuration service publishes a job object for the import.
        tasks = json.loads((sandbox.qorad / 'BIOS_task_list.json').read_text())
        config_job = tasks['QORAJob'][0]['JOBID']
        bmc.job(BIOS_CONFIG, '/xyz/morvex_project/bios_config/job1',
                config_job, activation=ACTIVATIONS + 'Activating',
                version='2.4.1')

        heading('An export is held back while an import is pending')
        show_run(sandbox, 'exportBIOSConfig')
        show_task_list(sandbox)

        heading('Ask for the update job and record its progress')
        show_run(sandbox, 'getJobStatus', UPDATE_JOB)
        show_run(sandbox, 'updateStatus', UPDATE_JOB, '40', '0')
        calls = show_calls(bmc, calls)

        heading('The update job completes')
        show_run(sandbox, 'updateStatus', UPDATE_JOB, '100', '1')
        calls = show_calls(bmc, calls)
        events = show_events(journal, events)
        show_run(sandbox, 'getJobStatus', UPDATE_JOB)

        heading('The configuration job fails; its task leaves the list')
        show_run(sandbox, 'updateStatus', config_job, '100', '3')
        calls = show_calls(bmc, calls)
        events = show_events(journal, events)
        show_task_list(sandbox)

        heading('An unknown job and a wrong command line')
        show_run(sandbox, 'getJobStatus', 'JID_nope')
        result = show_run(sandbox, 'updateStatus', UPDATE_JOB)
        assert result.returncode == 1

        capsule_demo(build, workdir)
    finally:
        journal.close()
        bmc.close()
    print(f'\nDemo files kept in {workdir}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
