#!/usr/bin/python3
"""A BIOS update run on a simulated BMC the way the BMC's services run it.

The BIOS update service receives a capsule, places it in an image directory
and publishes the image's software object; `startUpdate` verifies and
stages it; the host applies it while `updateStatus` records progress and
outcome; then the BIOS-configuration jobs. With --tampered, one byte of the
image inside the capsule is flipped, and the update is refused.

Everything runs in private namespaces: a private system bus with the
simulated services (sim/bmc.py), Debian's systemd-journald on its own
(sim/journald.py), and the tool's fixed paths (/tmp, /var/lib/qorad,
/mnt/scratchpad, /run/systemd/journal) on directories below
<build>/demo-work. Nothing on the host is touched. After each command the
demo shows only what changed.
"""

import argparse
import json
import lzma
import os
import random
import shlex
import shutil
import signal
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE))

# pylint: disable=wrong-import-position
from bmc import (ACTIVATIONS, BIOS_CONFIG, PROGRESS,  # noqa: E402
                 SOFTWARE_ROOT, Bmc, HarnessError, Sandbox, Typed, work_dir)
from journald import Journald, JournaldError  # noqa: E402

TOOL = 'morvex_bios_updater'
VERSION_ID = 'a3d2fe67'
JOB_ID = 'JID_1001'
IMAGE_VERSION = '2.4.1'
IMAGE_DIR = f'/tmp/images/{VERSION_ID}'
CAPSULE = f'{IMAGE_DIR}/payload/bios.cap'
RAW_IMAGE = '/tmp/bios.bin'
RAW_SIZE = 512 * 1024
UEFI_HEADER = 84
SIGNATURE_SLOT = 104
CONFIG_JOB_PATH = '/xyz/morvex_project/bios_config/job1'
JOB_STATUS = {0: 'Update Completed', 1: 'Update Progressing',
              2: 'Job ID Not Found', 3: 'Internal Error'}
EVENT_FIELDS = ('MESSAGE,PRIORITY,NOTERRA_EVENT,NOTERRA_MESSAGE_ID,'
                'NOTERRA_ARG1,NOTERRA_ARG2')
FAILURE_FIELDS = ('MESSAGE,PRIORITY,REDFISH_MESSAGE_ID,REDFISH_MESSAGE_ARGS,'
                  'CODE_FUNC')


class DemoFailed(Exception):
    """The tool did not do what the demo shows it doing."""


def heading(text):
    print(f'\n=== {text}', flush=True)


def expect(condition, what):
    if not condition:
        raise DemoFailed(what)


def remove_finished_runs(folder):
    """Removes the files of earlier demos that have ended (a run's folder
    is named <n>-<process id>-demo)."""
    for run in folder.glob('*-*-demo'):
        pid = int(run.name.split('-')[1])
        if not Path(f'/proc/{pid}').exists():
            shutil.rmtree(run, ignore_errors=True)


class Demo:
    """The simulated BMC, journald and the tool's sandbox, and what the
    demo has shown of their state so far."""

    def __init__(self, build):
        self.build = build
        remove_finished_runs(build / 'demo-work')
        self.workdir = work_dir(build / 'demo-work', 'demo')
        self.bmc = Bmc(self.workdir)
        self.bin = self.workdir / 'bin'
        self.bin.mkdir()
        self._name(TOOL, build / 'src' / TOOL)
        self._name('capsule-tool', build / 'tools' / 'capsule-tool')
        self.sandbox = Sandbox(self.workdir, self.bmc, self.bin / TOOL,
                               build=build)
        self.journald = Journald(self.sandbox.journal,
                                 self.workdir / 'journal-files', self.workdir)
        self.shown = {'calls': 0, 'entries': 0, 'tasks': None,
                      'staged': None}

    def _name(self, name, program):
        """A wrapper that runs `program` under its plain name, as a BMC's
        PATH would find it. A build for another machine runs under the
        emulator that UPDATER_WRAPPER names (qemu-user, which takes the
        program's name with -0), as the tests run it."""
        if not program.exists():
            raise DemoFailed(f'{program} missing: build the project first')
        wrapper = self.bin / name
        emulator = shlex.split(os.environ.get('UPDATER_WRAPPER', ''))
        start = (f'exec {shlex.join(emulator)} -0 {name}' if emulator
                 else f'exec -a {name}')
        wrapper.write_text(f'#!/bin/bash\n{start} "{program}" "$@"\n')
        wrapper.chmod(0o755)

    def close(self):
        self.journald.stop()
        self.bmc.close()

    # Running ------------------------------------------------------------
    def run(self, program, *words, setup=None):
        """Runs a command in the sandbox as an operator types it; prints
        it, its output and its exit status."""
        print(f'$ {program} {" ".join(words)}')
        path = self.bin / program if (self.bin / program).exists() \
            else program
        result = self.sandbox.run(*words, program=path, setup=setup)
        for name, text in (('stdout', result.stdout),
                           ('stderr', result.stderr)):
            for line in text.decode(errors='replace').splitlines():
                print(f'  {name}| {line}')
        note = f' ({JOB_STATUS[result.returncode]})' \
            if words[0] == 'getJobStatus' and result.returncode in JOB_STATUS \
            else ''
        print(f'  exit status {result.returncode}{note}', flush=True)
        return result

    def tool(self, *words):
        result = self.run(TOOL, *words)
        self.show_changes()
        return result

    def journalctl(self, *words):
        """journalctl as an operator on the BMC runs it: inside the
        namespace the demo's journal files are the runtime journal."""
        self.journald.sync()
        files = self.journald.files
        self.run('journalctl', *words, setup=(
            'mount -t tmpfs demo-run /run && mkdir -p /run/log/journal && '
            f'mount --bind "{files}" /run/log/journal && '
            '{ [ ! -d /var/log/journal ] || '
            'mount -t tmpfs demo-var /var/log/journal; }'))

    # What changed -------------------------------------------------------
    def task_list(self):
        path = self.sandbox.qorad / 'BIOS_task_list.json'
        return json.loads(path.read_text())['QORAJob'] \
            if path.exists() else None

    def staged(self):
        folder = self.sandbox.tmp / 'tmpBIOSPayload'
        if not folder.is_dir():
            return None
        return {p.name: p.read_bytes() for p in folder.iterdir()}

    def scratch_is_empty(self):
        return not any(self.sandbox.scratchpad.iterdir())

    def set_calls(self):
        """The property writes that reached the simulated services."""
        return [c for c in self.bmc.calls() if c['member'] == 'Set']

    def show_changes(self):
        calls = self.set_calls()
        for call in calls[self.shown['calls']:]:
            (_, prop), (_, (_, value)) = call['args'][1:]
            print(f'  set| {call["path"]} {prop} = {value}')
        self.shown['calls'] = len(calls)

        tasks = self.task_list()
        if tasks != self.shown['tasks']:
            count = len(tasks or [])
            print(f'  task list: {count} entr{"y" if count == 1 else "ies"}')
            for job in tasks or []:
                print(f'    {job["JobType"]:<9} {job["JOBID"] or "-":<16} '
                      f'{job["ResourceURI"]} ({job["ResourceType"]})')
            self.shown['tasks'] = tasks

        staged = self.staged()
        if staged != self.shown['staged']:
            for name, data in (staged or {}).items():
                same = ', the received capsule' if data == self.capsule() \
                    else ''
                print(f'  staged| /tmp/tmpBIOSPayload/{name} '
                      f'({len(data)} bytes{same})')
            self.shown['staged'] = staged

        entries = self.journald.entries()
        for entry in entries[self.shown['entries']:]:
            print(f'  journal| {entry.get("SYSLOG_IDENTIFIER")}: '
                  f'{entry.get("MESSAGE")}')
        self.shown['entries'] = len(entries)

    def capsule(self):
        path = self.sandbox.tmp / CAPSULE.removeprefix('/tmp/')
        return path.read_bytes() if path.exists() else None

    # The steps ----------------------------------------------------------
    def receive_capsule(self, tampered):
        heading('1. The BIOS update service receives a capsule')
        image = self.sandbox.tmp / RAW_IMAGE.removeprefix('/tmp/')
        image.write_bytes(random.Random(VERSION_ID).randbytes(RAW_SIZE))
        (self.sandbox.tmp / IMAGE_DIR.removeprefix('/tmp/')
         / 'payload').mkdir(parents=True)
        result = self.run('capsule-tool', 'pack', '--development-keys',
                          RAW_IMAGE, '-o', CAPSULE)
        expect(result.returncode == 0, 'capsule-tool could not pack')
        print(f'  wrote {CAPSULE} ({len(self.capsule())} bytes, signed '
              'with the development keys)')
        if tampered:
            self.tamper()
        self.bmc.software(VERSION_ID, job_id=JOB_ID, path=IMAGE_DIR,
                          version=IMAGE_VERSION,
                          **{PROGRESS: {'Progress': Typed('y', 0)}})
        print(f'  published {SOFTWARE_ROOT}/{VERSION_ID}:\n'
              f'    JobID={JOB_ID} Path={IMAGE_DIR} Version={IMAGE_VERSION} '
              'Activation=Ready Progress=0')
        self.show_changes()

    def tamper(self):
        """Flips the middle byte of the raw image inside the capsule and
        compresses the image again: the capsule still unwraps, but its
        signature no longer matches."""
        path = self.sandbox.tmp / CAPSULE.removeprefix('/tmp/')
        data = path.read_bytes()
        body = UEFI_HEADER + data[UEFI_HEADER + 4]
        image = bytearray(lzma.decompress(data[body:],
                                          format=lzma.FORMAT_ALONE))
        offset = len(image) - SIGNATURE_SLOT - RAW_SIZE // 2
        image[offset] ^= 0x01
        path.write_bytes(data[:body] + lzma.compress(
            bytes(image), format=lzma.FORMAT_ALONE))
        print(f'  tampered: byte {offset} of the {len(image)}-byte image '
              'inside the capsule flipped (a bit of the BIOS payload)')

    def start_update(self):
        heading(f'2. The update service starts the update of {VERSION_ID}')
        result = self.tool('startUpdate', VERSION_ID)
        expect(result.returncode == 0, 'startUpdate did not stage the image')
        expect(self.staged() == {'bios.cap': self.capsule()},
               'the capsule was not staged')
        expect([t['JobType'] for t in self.task_list()] ==
               ['INVENTORY', 'UPDATE'], 'the tasks were not queued')
        expect(self.scratch_is_empty(), 'the scratch area was left behind')
        self.journalctl('-o', 'verbose', f'--output-fields={EVENT_FIELDS}',
                        'NOTERRA_EVENT=BIOS.UPDSTART.1')

    def refuse_update(self):
        heading(f'2. The update service starts the update of {VERSION_ID}')
        result = self.tool('startUpdate', VERSION_ID)
        expect(result.returncode == 1, 'the tampered capsule was not refused')
        expect(b'Failed to verify BIOS FW with QRX' in result.stderr,
               'the refusal was not reported')
        expect(self.staged() is None and self.task_list() is None
               and not self.set_calls() and self.scratch_is_empty(),
               'the refused update left traces')
        print('  nothing staged (no /tmp/tmpBIOSPayload), nothing queued '
              '(no task list), no property of the software object written,\n'
              '  scratch area removed (/mnt/scratchpad is empty)')
        self.journalctl('-o', 'verbose', f'--output-fields={FAILURE_FIELDS}',
                        'REDFISH_MESSAGE_ID=Morvex.0.1.FirmwareUpdateFailed')

    def apply_update(self):
        heading('3. The host applies the update: 40 % done')
        self.tool('updateStatus', JOB_ID, '40', '0')
        expect(self.tool('getJobStatus', JOB_ID).returncode == 1,
               'the job did not report progress')

        heading('4. The host has applied the update')
        self.tool('updateStatus', JOB_ID, '100', '1')
        expect(all(t['JOBID'] != JOB_ID for t in self.task_list()),
               'the UPDATE task stayed in the task list')
        self.journalctl('-o', 'verbose', f'--output-fields={EVENT_FIELDS}',
                        'NOTERRA_EVENT=BIOS.UPDFIN.1')
        expect(self.tool('getJobStatus', JOB_ID).returncode == 0,
               'the job did not complete')

    def configuration_jobs(self, first):
        step = first
        heading(f'{step}. Queue a BIOS-configuration export for the next '
                'host boot')
        self.tool('exportBIOSConfig')

        heading(f'{step + 1}. Queue an import: it replaces pending exports')
        expect(self.tool('importBIOSConfig').returncode == 1,
               'importBIOSConfig did not answer 1')
        tasks = self.task_list()
        expect([t['JobType'] for t in tasks] == ['CONFIG'],
               'the import was not queued alone')
        # The configuration service publishes a job object for the import.
        config_job = tasks[0]['JOBID']
        self.bmc.job(BIOS_CONFIG, CONFIG_JOB_PATH, config_job,
                     activation=ACTIVATIONS + 'Activating',
                     version=IMAGE_VERSION)

        heading(f'{step + 2}. An export waits while an import is pending')
        self.tool('exportBIOSConfig')
        expect(self.task_list() == tasks, 'the export was queued')

        heading(f'{step + 3}. The configuration job fails; its task leaves '
                'the list')
        self.tool('updateStatus', config_job, '100', '3')
        expect(self.task_list() == [], 'the import task stayed')

        heading(f'{step + 4}. An unknown job, and a wrong command line')
        self.tool('getJobStatus', 'JID_nope')
        expect(self.tool('updateStatus', JOB_ID).returncode == 1,
               'a wrong command line was accepted')


def run_demo(build, tampered):
    demo = Demo(build)
    try:
        demo.journald.start()
        demo.receive_capsule(tampered)
        if tampered:
            demo.refuse_update()
            demo.configuration_jobs(3)
            outcome = ('tampered capsule refused, nothing staged or queued, '
                       'configuration jobs queued')
        else:
            demo.start_update()
            demo.apply_update()
            demo.configuration_jobs(5)
            outcome = ('update staged, job completed, configuration jobs '
                       'queued')
    finally:
        demo.close()
    print(f'\nDemo files kept in {demo.workdir}')
    return outcome


def interrupted(signum, _frame):
    raise KeyboardInterrupt(signal.Signals(signum).name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('--build', default='build',
                        help='build directory (default: build)')
    parser.add_argument('--tampered', action='store_true',
                        help='flip one byte of the image in the capsule')
    options = parser.parse_args()
    # Stopped from outside, the demo still ends everything it started.
    signal.signal(signal.SIGTERM, interrupted)
    signal.signal(signal.SIGHUP, interrupted)
    try:
        outcome = run_demo((ROOT / options.build).resolve(), options.tampered)
    except (DemoFailed, HarnessError, JournaldError) as e:
        print(f'demo: FAILED: {e}')
        return 1
    except KeyboardInterrupt:
        print('demo: interrupted')
        return 130
    print(f'demo: {outcome}')
    return 0


if __name__ == '__main__':
    sys.exit(main())
