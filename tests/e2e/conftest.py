"""End-to-end harness: the real binaries, a private system bus, a simulated
BMC (sim/bmc.py), and a private mount namespace per run.

Fixtures:
  bmc      -- private dbus-daemon + BMC simulator, started when first needed
  sandbox  -- per-test host directories mounted over the tool's fixed paths
  updater  -- the tool under test

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
import re
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
XZ_STAND_IN = BUILD_ROOT / 'tests' / 'e2e' / 'xz_stand_in'
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


# Tests marked `platform_libs` are those that go through the platform
# libraries of the tool under test (its event log, its manifest
# verification and the root key its build names): scripts/test-system-libs
# runs only those against a tool linked with installed libraries.
PLATFORM_LIBS = pytest.mark.platform_libs


def pytest_configure(config):
    config.addinivalue_line(
        'markers', 'platform_libs: goes through the platform libraries of '
        'the tool under test (selected by scripts/test-system-libs)')
    # Each run starts without the previous run's per-test directories, which
    # are kept until then for a look after a failure. Under pytest-xdist
    # only the controlling process clears them: a worker would remove those
    # of the other workers, which are already running.
    if not hasattr(config, 'workerinput'):
        shutil.rmtree(BUILD_ROOT / 'e2e-work', ignore_errors=True)


def platform_libs_rows(table, *names):
    """The keys of a parametrize `table`, the rows `names` marked
    `platform_libs`; a name that is not a row is an error, so that renaming
    a row cannot drop it from the run against installed libraries."""
    unknown = sorted(set(names) - set(table))
    if unknown:
        raise ValueError(f'no such rows: {unknown}')
    return [pytest.param(key, marks=PLATFORM_LIBS) if key in names else key
            for key in table]


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
    return Sandbox(workdir, bmc, UPDATER, WRAPPER, build=BUILD_ROOT)


def with_faults(sandbox, **variables):
    """A wrapper that runs the tool with the fault shim preloaded; None (the
    tool itself) when no fault is asked for."""
    if not variables:
        return None
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


# The layers of the decompressor's confinement in force: all of them, but
# no seccomp filter under emulation, where qemu-user cannot install one for
# its guest (scripts/test builds that stage without requiring it).
NO_SECCOMP_UNDER_EMULATION = 'qemu-user installs no seccomp filter'
CONFINEMENT = ('user,capabilities,no-new-privs,mount,pid,network,ipc,'
               + ('' if WRAPPER else 'seccomp,') + 'limits')


def stand_in(mode, setup=None):
    """Sandbox setup text that has the xz stand-in (xz_stand_in.c, bound
    over /usr/bin/xz with xz=XZ_STAND_IN) do `mode`; "$$" in it is the
    updater's process id."""
    return f'export XZ_STAND_IN="{mode}"' + (f'\n{setup}' if setup else '')


def usage_text(program):
    """The usage text the tool prints for a wrong command line: the one the
    operations guide shows (checked against the source by the documentation
    tests), naming `program`."""
    guide = (SOURCE_ROOT / 'docs' / 'operations.md').read_text()
    usage = re.search(r'```\n(\nmorvex_bios_updater Usage:\n.*?)```', guide,
                      re.S)
    return usage.group(1).replace('morvex_bios_updater', str(program)).encode()


def property_call(service, path, interface, prop, *value):
    """The bus call that reads a property, or with (type, value) writes
    it, as the simulator records it."""
    return {'service': service, 'path': path, 'interface': PROPERTIES,
            'member': 'Set' if value else 'Get',
            'signature': 'ssv' if value else 'ss',
            'args': [['s', interface], ['s', prop]] + [['v', list(value)]] * (
                len(value) // 2)}


# The exception text of a bus step taken without a bus to connect to (the
# sandbox's "unreachable" bus: a socket path where nothing is).
NO_BUS = ('sd_bus_message_new_method_call: System.Error.ENOTCONN: Transport '
          'endpoint is not connected (sd_bus_default_system: '
          'org.freedesktop.DBus.Error.FileNotFound: No such file or '
          'directory)')


def call_failed(function, number, detail):
    return fail_line(function, number, 'Exception making DBus call: ' + detail)


def fail_line(function, number, message):
    return f'BIOSIMG_DBG_FAIL: {function}.{number}: {message}\n'.encode()


def info_line(function, number, message):
    return f'BIOSIMG_DBG_INFO: {function}.{number}: {message}\n'.encode()
