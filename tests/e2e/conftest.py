"""End-to-end harness: the real binaries, a private system bus, a simulated
BMC (sim/bmc.py), and a private mount namespace per run.

Fixtures:
  bmc      -- private dbus-daemon + BMC simulator, started when first needed
  sandbox  -- per-test host directories mounted over the tool's fixed paths
  build_root, source_root, updater -- locations of the build and the tool

Environment:
  BUILD_ROOT, SOURCE_ROOT -- the build under test and its sources
  UPDATER_BINARY  -- the tool to run in place of the build's own (e.g. one
                     built against the platform's installed libraries)
  UPDATER_WRAPPER -- command words that run the build's programs when they
                     are for another architecture (qemu-aarch64-static);
                     `meson test` of a cross build sets it to the cross
                     file's exe_wrapper
"""

import os
import shlex
import shutil
import sys
from pathlib import Path

import pytest

_HERE = Path(__file__).resolve().parent
SOURCE_ROOT = Path(os.environ.get('SOURCE_ROOT', _HERE.parent.parent))
BUILD_ROOT = Path(os.environ.get('BUILD_ROOT', SOURCE_ROOT / 'build'))
UPDATER = Path(os.environ.get('UPDATER_BINARY',
                              BUILD_ROOT / 'src' / 'morvex_bios_updater'))
FAULT_SHIM = BUILD_ROOT / 'tests' / 'e2e' / 'libfault_shim.so'
WRAPPER = shlex.split(os.environ.get('UPDATER_WRAPPER', ''))

sys.path.insert(0, str(SOURCE_ROOT / 'sim'))

# pylint: disable=wrong-import-position,unused-import
from bmc import (ACTIVATION, ACTIVATIONS, BIOS_CONFIG, BIOS_UPDATER,  # noqa
                 FILE_PATH, JOB_CONTROL, PROGRESS, PROPERTIES, SOFTWARE_ROOT,
                 VERSION, Bmc, HarnessError, Sandbox, Typed, work_dir)

pytest_plugins = ['journal_fixture', 'capsules']


def _require(path, what):
    if not Path(path).exists():
        pytest.fail(f'{what} missing: {path} (build the project first)')
    return Path(path)


def wrapped(program, *args):
    """The command line that runs a built program with `args` outside the
    sandbox."""
    return [*WRAPPER, str(program), *map(str, args)]


def _elf_machine(path):
    """The ELF machine number of a program, None for other files."""
    with open(path, 'rb') as f:
        header = f.read(20)
    if header[:4] != b'\x7fELF':
        return None
    return int.from_bytes(header[18:20], 'little' if header[5] == 1 else 'big')


@pytest.fixture(scope='session', autouse=True)
def runnable_updater():
    """A tool for another architecture needs a wrapper."""
    if WRAPPER or not UPDATER.exists():
        return
    if _elf_machine(UPDATER) != _elf_machine(sys.executable):
        pytest.exit(f'{UPDATER} is built for another architecture: set '
                    'UPDATER_WRAPPER (e.g. qemu-aarch64-static)', returncode=1)


@pytest.fixture(scope='session', autouse=True)
def fresh_work_area():
    """Each run starts without the previous run's per-test directories,
    which are kept until then for a look after a failure."""
    shutil.rmtree(BUILD_ROOT / 'e2e-work', ignore_errors=True)


@pytest.fixture
def build_root():
    return BUILD_ROOT


@pytest.fixture
def source_root():
    return SOURCE_ROOT


@pytest.fixture
def updater():
    return _require(UPDATER, 'updater')


@pytest.fixture
def workdir(request):
    return work_dir(BUILD_ROOT / 'e2e-work', request.node.name)


@pytest.fixture
def bmc(workdir):
    instance = Bmc(workdir)
    yield instance
    instance.close()


@pytest.fixture
def sandbox(workdir, bmc):
    return Sandbox(workdir, bmc, UPDATER, WRAPPER)


def with_faults(sandbox, **variables):
    """A wrapper that runs the tool with the fault shim preloaded."""
    _require(FAULT_SHIM, 'fault shim')
    wrapper = sandbox.workdir / 'faulty-updater'
    settings = ' '.join(f"{k}='{v}'" for k, v in variables.items())
    wrapper.write_text(
        '#!/bin/sh\n'
        f"export LD_PRELOAD='{FAULT_SHIM}' {settings}\n"
        'export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}'
        'verify_asan_link_order=0"\n'
        f'exec {shlex.join(sandbox.exec_words(UPDATER))} "$@"\n')
    wrapper.chmod(0o755)
    return wrapper


def usage_text(program):
    """The usage text the tool prints for a wrong command line."""
    p = str(program)
    return (
        f'\n{p} Usage:\n'
        '\n Start BIOS Update\n'
        f'\n{p} startUpdate <Version Id>\n'
        f'\t\tExample: {p} startUpdate a3d2fe67\n'
        '\n BIOS Update Status\n'
        f'\n{p} updatestatus <Job ID> <Update Percentage> <Update Status>\n'
        '\t\tUpdate Status:\n'
        '\t\t\tUpdate Progressing:\t0\n'
        '\t\t\tUpdate Complete:\t1\n'
        '\t\t\tUpdate Complete with Errors:\t2\n'
        '\t\t\tUpdate Failed:\t3\n'
        f'\t\tExample: {p}  updatestatus JID_1234567890 20 1\n'
        '\n BIOS Config Export\n'
        f'\n{p} exportBIOSConfig\n'
        '\n BIOS Config Force Export\n'
        f'\n{p} forceExportBIOSConfig\n'
        '\n BIOS Config Import\n'
        f'\n{p} importBIOSConfig\n'
        '\n Get Job Status\n'
        '\n\tReturns:\n'
        '\t0: Update Completed\n'
        '\t1: Update Progressing\n'
        '\t2: Job ID Not Found\n'
        '\t3: Internal Error\n'
        f'\n{p} getjobstatus <Job ID>\n'
        f'\t\tExample: {p} getjobstatus JobID_12345678\n'
    ).encode()


def fail_line(function, number, message):
    return f'BIOSIMG_DBG_FAIL: {function}.{number}: {message}\n'.encode()


def info_line(function, number, message):
    return f'BIOSIMG_DBG_INFO: {function}.{number}: {message}\n'.encode()
