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

    `wrapper` (words such as ['qemu-aarch64-static']) runs built programs
    of another architecture on this machine: it prefixes every program
    that is not a script. Scripts run as they are and start built programs
    through exec_words()."""

    def __init__(self, workdir, bmc, program, wrapper=()):
        self.workdir = workdir
        self.bmc = bmc
        self.program = program
        self.wrapper = [str(w) for w in wrapper]
        _refuse_covered_checkout(workdir)
        for key in FIXED_PATHS:
            path = workdir / key
            path.mkdir()
            setattr(self, key, path)
        self.tmp.chmod(0o1777)
        (self.rundir / 'systemd' / 'journal').mkdir(parents=True)

    def _script(self, program, xz, qorad_size, setup):
        lines = ['set -e']
        kept = _kept_directories([self.workdir, program, _HERE.parent])
        # Opened before any mount covers them (the shell takes descriptors
        # 3 to 9 only), bound again whenever one is covered.
        lines += [_REACH_AGAIN] + [f'exec {fd}<"{path}"' for fd, path in kept]
        reach = [f'reach_again {fd} "{path}"' for fd, path in kept]
        for key, target in FIXED_PATHS.items():
            host = getattr(self, key)
            lines.append(_ensure_mountpoint(target))
            if key == 'qorad' and qorad_size:
                lines.append(
                    f'mount -t tmpfs -o size={qorad_size},mode=0755 '
                    f'qorad "{target}"')
                lines += reach
                lines.append(f'cp -a "{host}/." "{target}/"')
                continue
            lines.append(f'mount --bind "{host}" "{target}"')
            lines += reach
        if xz is not None:
            lines.append(f'mount --bind "{self._xz_stand_in(xz)}" /usr/bin/xz')
        if setup:
            lines.append(setup)
            lines += reach
        lines += [f'exec {fd}<&-' for fd, _ in kept]
        lines.append('set +e')
        if qorad_size:
            host = self.qorad
            lines.append('"$@"; rc=$?')
            lines.append(f'find "{host}" -mindepth 1 -delete')
            lines.append(f'cp -a /var/lib/qorad/. "{host}/"')
            lines.append('exit $rc')
        else:
            lines.append('exec "$@"')
        return '\n'.join(lines)

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
        prefix = ['unshare', '--mount', '--propagation', 'private']
        if os.geteuid() != 0:
            prefix = ['unshare', '--user', '--map-root-user', '--mount',
                      '--propagation', 'private']
        return prefix + ['/bin/sh', '-c',
                         self._script(program, xz, qorad_size, setup),
                         'sh',
                         *self.exec_words(program), *[str(a) for a in args]]

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
# mount has covered it. util-linux must not canonicalise /proc/self/fd/N:
# that would name the covered path.
_REACH_AGAIN = (
    'reach_again() { [ "$2" -ef "/proc/self/fd/$1" ] || { mkdir -p "$2"; '
    'mount --no-canonicalize --bind "/proc/self/fd/$1" "$2"; }; }')


def _covering_mount(target):
    """Where the sandbox mounts for `target`: the path itself, or, when it
    is missing, its nearest existing ancestor (see _ensure_mountpoint)."""
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
    shell descriptor that keeps it reachable once /tmp is replaced."""
    tops = []
    for path in map(lambda p: Path(p).resolve(), paths):
        if Path('/tmp') in path.parents:
            top = Path('/tmp') / path.relative_to('/tmp').parts[0]
            if top not in tops:
                tops.append(top)
    if len(tops) > 7:
        raise HarnessError(f'too many directories below /tmp: {tops}')
    return list(enumerate(tops, 3))


def _ensure_mountpoint(target):
    """Shell text that makes `target` exist inside the namespace only: when
    it is missing on the host, a tmpfs over its nearest existing ancestor
    gives room to create it without touching the host."""
    return (f'if [ ! -d "{target}" ]; then a="{target}"; '
            f'while [ ! -d "$a" ]; do a=$(dirname "$a"); done; '
            f'[ "$a" != / ] || {{ echo "no ancestor for {target}" >&2; '
            f'exit 97; }}; mount -t tmpfs sandbox "$a"; '
            f'mkdir -p "{target}"; fi')
