"""A simulated BMC for tests and demos.

Bmc      -- a private system bus (dbus-daemon) with the simulator
            (bmc_simulator.py) on it, configured by a scenario.
Sandbox  -- runs programs in a private mount namespace in which host
            directories stand in for the tool's fixed paths.
"""

import itertools
import json
import os
import re
import shutil
import signal
import subprocess
import time
from pathlib import Path

_HERE = Path(__file__).resolve().parent
SIMULATOR = _HERE / 'bmc_simulator.py'
DBUS_CONFIG = _HERE / 'system-bus.conf.in'
SYSTEM_PYTHON = '/usr/bin/python3'


class HarnessError(RuntimeError):
    """The simulated BMC could not be set up."""


BIOS_UPDATER = 'xyz.morvex_project.Software.BIOS.Updater'
BIOS_CONFIG = 'xyz.morvex_project.Inventory.BIOS.Config'
SOFTWARE_ROOT = '/xyz/morvex_project/software'
JOB_CONTROL = 'xyz.morvex_project.Software.JobControl'
FILE_PATH = 'xyz.morvex_project.Common.FilePath'
VERSION = 'xyz.morvex_project.Software.Version'
ACTIVATION = 'xyz.morvex_project.Software.Activation'
PROGRESS = 'xyz.morvex_project.Software.ActivationProgress'
PROPERTIES = 'org.freedesktop.DBus.Properties'
ACTIVATIONS = 'xyz.morvex_project.Software.Activation.Activations.'

# Fixed paths of the tool, in the order they are mounted: the per-test /run
# (where the update lock lies) holds the mount point of the journal's.
FIXED_PATHS = {
    'tmp': '/tmp',
    'qorad': '/var/lib/qorad',
    'scratchpad': '/mnt/scratchpad',
    'rundir': '/run',
    'journal': '/run/systemd/journal',
}

_counter = itertools.count()


class Typed:
    """A property value with an explicit D-Bus signature."""

    def __init__(self, signature, value):
        self.signature = signature
        self.value = value

    def as_scenario(self):
        return [self.signature, self.value]

    def __repr__(self):
        # The same in every process: test ids are made from it, and
        # pytest-xdist's workers must collect the same ids.
        return f'Typed({self.signature!r}, {self.value!r})'


def _scenario_value(value):
    if isinstance(value, Typed):
        return value.as_scenario()
    if isinstance(value, str):
        return ['s', value]
    raise TypeError(f'give {value!r} a signature with Typed()')


def work_dir(base, name):
    """A short, fresh directory below `base` (which must lie outside the
    paths the sandbox mounts over)."""
    name = re.sub(r'[^A-Za-z0-9_.-]+', '_', name)[:40]
    path = Path(base) / f'{next(_counter):03d}-{os.getpid()}-{name}'
    shutil.rmtree(path, ignore_errors=True)
    path.mkdir(parents=True)
    return path


class Bmc:
    """A private system bus with a simulated BMC on it.

    The bus starts when first needed; the simulator starts (or restarts,
    after the scenario changed) before each run of the tool.
    """

    def __init__(self, workdir):
        self.workdir = workdir
        self.services = {}
        self.mapper_extra = []
        self.rejections = []
        self.mapper = True
        self._daemon = None
        self._sim = None
        self._address = None
        self._started_scenario = None
        self.log_path = workdir / 'calls.jsonl'

    # Scenario -----------------------------------------------------------
    def add_object(self, service, path, interfaces):
        objects = self.services.setdefault(service, {})
        target = objects.setdefault(path, {})
        for iface, props in interfaces.items():
            target.setdefault(iface, {}).update(
                {name: _scenario_value(v) for name, v in props.items()})
        return path

    def software(self, version_id, job_id='JID_1', path=None,
                 version='1.2.3', **extra):
        """The software object of a received image; None leaves a
        property out."""
        props = {
            JOB_CONTROL: {'JobID': job_id},
            FILE_PATH: {'Path': path},
            VERSION: {'Version': version, 'releaseType': ''},
            ACTIVATION: {'Activation': ACTIVATIONS + 'Ready'},
        }
        for iface, values in extra.items():
            props.setdefault(iface, {}).update(values)
        props = {i: {k: v for k, v in p.items() if v is not None}
                 for i, p in props.items()}
        object_path = SOFTWARE_ROOT
        if version_id and not version_id.startswith('/'):
            object_path += '/'
        object_path += version_id
        return self.add_object(BIOS_UPDATER, object_path, props)

    def job(self, service, path, job_id, activation=ACTIVATIONS + 'Active',
            version='1.2.3', progress=True):
        """A job object; None leaves a property out."""
        props = {
            JOB_CONTROL: {'JobID': job_id},
            ACTIVATION: {'Activation': activation},
            VERSION: {'Version': version},
        }
        if progress:
            props[PROGRESS] = {'Progress': Typed('y', 0)}
        props = {i: {k: v for k, v in p.items() if v is not None}
                 for i, p in props.items()}
        return self.add_object(service, path, props)

    def reject(self, service, path, member, interface=None, prop=None,
               error='org.freedesktop.DBus.Error.AccessDenied',
               message='rejected'):
        self.rejections.append({
            'service': service, 'path': path, 'member': member,
            'interface': interface, 'property': prop,
            'error': error, 'message': message})

    def scenario(self):
        return {
            'mapper': self.mapper,
            'services': self.services,
            'mapper_extra': self.mapper_extra,
            'rejections': self.rejections,
        }

    # Processes ----------------------------------------------------------
    @property
    def address(self):
        if self._daemon is None:
            self._start_daemon()
        return self._address

    def _start_daemon(self):
        socket = self.workdir / 'bus'
        config = self.workdir / 'system-bus.conf'
        config.write_text(DBUS_CONFIG.read_text().replace(
            '@SOCKET@', str(socket)))
        self._daemon = subprocess.Popen(
            ['dbus-daemon', f'--config-file={config}', '--nofork',
             '--print-address=1'],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            start_new_session=True)
        line = self._daemon.stdout.readline().decode().strip()
        if not line:
            raise HarnessError('dbus-daemon did not start')
        self._address = line

    def start(self):
        """Brings the simulator in line with the scenario."""
        scenario = self.scenario()
        if self._sim is not None and scenario == self._started_scenario:
            return
        self._stop_sim()
        address = self.address
        scenario_file = self.workdir / 'scenario.json'
        scenario_file.write_text(json.dumps(scenario, indent=1))
        ready = self.workdir / 'sim.ready'
        ready.unlink(missing_ok=True)
        self._sim = subprocess.Popen(
            [SYSTEM_PYTHON, str(SIMULATOR), '--address', address,
             '--scenario', str(scenario_file), '--log', str(self.log_path),
             '--ready', str(ready)],
            stdout=subprocess.DEVNULL,
            stderr=open(self.workdir / 'sim.stderr', 'ab'),
            start_new_session=True)
        deadline = time.monotonic() + 30
        while not ready.exists():
            if self._sim.poll() is not None:
                raise HarnessError('BMC simulator exited: ' + (
                    self.workdir / 'sim.stderr').read_text())
            if time.monotonic() > deadline:
                raise HarnessError('BMC simulator did not become ready')
            time.sleep(0.02)
        self._started_scenario = json.loads(json.dumps(scenario))

    def calls(self):
        """Every call the simulator received, in order."""
        if not self.log_path.exists():
            return []
        with open(self.log_path, encoding='utf-8') as f:
            return [json.loads(line) for line in f if line.strip()]

    def clear_calls(self):
        self.log_path.unlink(missing_ok=True)

    def _stop_sim(self):
        if self._sim is not None:
            self._sim.send_signal(signal.SIGTERM)
            try:
                self._sim.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._sim.kill()
                self._sim.wait()
            self._sim = None

    def close(self):
        self._stop_sim()
        if self._daemon is not None:
            self._daemon.terminate()
            self._daemon.wait(timeout=10)
            self._daemon.stdout.close()
            self._daemon = None


class Result:
    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stdout = completed.stdout
        self.stderr = completed.stderr

    def __repr__(self):
        return (f'Result(rc={self.returncode}, stdout={self.stdout!r}, '
                f'stderr={self.stderr!r})')


def launcher(build):
    """The sandbox launcher of the build directory `build`."""
    path = Path(build).resolve() / 'sim' / 'sandbox-enter'
    if not path.is_file():
        raise HarnessError(f'{path} missing: build the project first '
                           f'(ninja -C {build})')
    return path


def is_script(program):
    """True for a program that starts with "#!"."""
    try:
        with open(program, 'rb') as f:
            return f.read(2) == b'#!'
    except OSError:
        return False


class Sandbox:
    """Runs programs in a private mount namespace whose fixed paths are
    per-test host directories.

    `build` is the build directory, whose sandbox launcher
    (sim/sandbox_enter.c) sets the namespace up and starts each program.
    `wrapper` (words such as ['qemu-aarch64-static']) runs built programs
    of another architecture on this machine: it prefixes every program
    that is not a script. Scripts run as they are and start built programs
    through exec_words()."""

    def __init__(self, workdir, bmc, program, wrapper=(), *, build):
        self.workdir = workdir
        self.bmc = bmc
        self.program = program
        self.wrapper = [str(w) for w in wrapper]
        self.launcher = launcher(build)
        _refuse_covered_checkout(workdir)
        for key in FIXED_PATHS:
            path = workdir / key
            path.mkdir()
            setattr(self, key, path)
        self.tmp.chmod(0o1777)
        (self.rundir / 'systemd' / 'journal').mkdir(parents=True)

    def _mounts(self, xz, qorad_size):
        """The launcher's mount arguments, in the order they are made."""
        words = []
        for key, target in FIXED_PATHS.items():
            if key == 'qorad' and qorad_size:
                words += ['--tmpfs', 'qorad', target,
                          f'size={qorad_size},mode=0755']
            else:
                words += ['--bind', str(getattr(self, key)), target]
        if xz is not None:
            words += ['--bind-file', str(self._xz_stand_in(xz)),
                      '/usr/bin/xz']
        return words

    def _shell_text(self, kept, qorad_size, setup):
        """What a shell runs between the launcher's mounts and the program
        ("$@"), or None when nothing needs one: `setup`, after which the
        kept directories are reached again, and the copies into and out of
        a sized /var/lib/qorad."""
        if not qorad_size and not setup:
            return None
        lines = ['set -e']
        if qorad_size:
            lines.append(f'cp -a "{self.qorad}/." /var/lib/qorad/')
        if setup:
            lines += [_REACH_AGAIN, setup]
            lines += [f'reach_again {fd} "{path}"' for fd, path in kept]
        lines += [f'exec {fd}<&-' for fd, _ in kept]
        if not qorad_size:
            return '\n'.join(lines + ['exec "$@"'])
        return '\n'.join(lines + [
            'set +e',
            '"$@"; rc=$?',
            f'find "{self.qorad}" -mindepth 1 -delete',
            f'cp -a /var/lib/qorad/. "{self.qorad}/"',
            'exit $rc'])

    def _xz_stand_in(self, xz):
        if xz == 'missing':
            path = self.workdir / 'xz-missing'
            path.write_bytes(b'')
            path.chmod(0o644)
        else:
            path = Path(xz)
        return path

    def exec_words(self, program):
        """The words that start `program`: through the wrapper unless it is
        a script."""
        if self.wrapper and not is_script(program):
            return [*self.wrapper, str(program)]
        return [str(program)]

    def command(self, *args, program=None, xz=None, qorad_size=None,
                setup=None):
        """`setup` is shell text run inside the namespace once the fixed
        paths are in place, before the program starts."""
        program = Path(program or self.program)
        run = self.exec_words(program) + [str(a) for a in args]
        kept = _kept_directories([self.workdir, program, _HERE.parent])
        enter = [str(self.launcher)]
        for _, path in kept:
            enter += ['--keep', str(path)]
        enter += self._mounts(xz, qorad_size)
        shell = self._shell_text(kept, qorad_size, setup)
        if shell is None:
            return enter + ['--', *run]
        # The launcher leaves the kept descriptors to the shell.
        return enter + ['--hold', '--', '/bin/sh', '-c', shell, 'sh', *run]

    def environment(self, bus):
        env = {
            'PATH': '/usr/sbin:/usr/bin:/sbin:/bin',
            'LANG': 'C',
        }
        for name in ('ASAN_OPTIONS', 'UBSAN_OPTIONS', 'LSAN_OPTIONS'):
            if name in os.environ:
                env[name] = os.environ[name]
        if bus == 'unreachable':
            env['DBUS_SYSTEM_BUS_ADDRESS'] = (
                f'unix:path={self.workdir}/no-bus-here')
        else:
            self.bmc.start()
            env['DBUS_SYSTEM_BUS_ADDRESS'] = self.bmc.address
        return env

    def run(self, *args, program=None, xz=None, qorad_size=None, bus=None,
            setup=None, timeout=120):
        """Runs the tool (or `program`) with `args`; returns a Result."""
        completed = subprocess.run(
            self.command(*args, program=program, xz=xz,
                         qorad_size=qorad_size, setup=setup),
            env=self.environment(bus), stdin=subprocess.DEVNULL,
            capture_output=True, timeout=timeout, check=False)
        return Result(completed)

    def popen(self, *args, program=None, xz=None, qorad_size=None,
              bus=None, setup=None, **kwargs):
        kwargs.setdefault('stdin', subprocess.DEVNULL)
        kwargs.setdefault('stdout', subprocess.PIPE)
        kwargs.setdefault('stderr', subprocess.PIPE)
        return subprocess.Popen(
            self.command(*args, program=program, xz=xz,
                         qorad_size=qorad_size, setup=setup),
            env=self.environment(bus), **kwargs)


# Shell function: binds a kept directory (descriptor, path) again where a
# mount of the setup text has covered it, as the launcher does after its
# own mounts. util-linux must not canonicalise /proc/self/fd/N: that would
# name the covered path.
_REACH_AGAIN = (
    'reach_again() { [ "$2" -ef "/proc/self/fd/$1" ] || { mkdir -p "$2"; '
    'mount --no-canonicalize --bind "/proc/self/fd/$1" "$2"; }; }')


def _covering_mount(target):
    """Where the sandbox mounts for `target`: the path itself, or, when it
    is missing, its nearest existing ancestor (as sandbox-enter makes a
    missing mount point)."""
    path = Path(target)
    while not path.is_dir():
        path = path.parent
    return path


def _refuse_covered_checkout(workdir):
    """A checkout below a path the sandbox mounts over, other than /tmp
    (whose sources are reached again), cannot work: says so before
    anything starts."""
    for path in (Path(workdir).resolve(), _HERE.parent):
        for target in FIXED_PATHS.values():
            cover = _covering_mount(target)
            if path == cover or (target != '/tmp' and cover in path.parents):
                raise HarnessError(
                    f'{path} lies in {cover}, which the sandbox mounts over: '
                    'use a checkout and build elsewhere (for example under '
                    '/tmp, /var/tmp or a home directory)')


def _kept_directories(paths):
    """The directories right below /tmp that hold `paths`, each with the
    descriptor on which sandbox-enter keeps it reachable once /tmp is
    replaced: 3, 4, ... in the order of its --keep arguments."""
    tops = []
    for path in map(lambda p: Path(p).resolve(), paths):
        if Path('/tmp') in path.parents:
            top = Path('/tmp') / path.relative_to('/tmp').parts[0]
            if top not in tops:
                tops.append(top)
    return list(enumerate(tops, 3))
