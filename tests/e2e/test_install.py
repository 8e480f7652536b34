"""`meson install --destdir` of the build under test: exactly the tool, its
journal catalog and tmpfiles.d entry and, with the stand-ins, their
libraries under their sonames; the installed tool runs once its libraries
are on the library path (it carries no rpath), and the tmpfiles.d entry
makes the directories it needs; docs/platform-build.md names every library
the tool links and, for a build like this one, its stripped sizes."""

import json
import os
import re
import shlex
import shutil
import stat
import subprocess
from pathlib import Path

import pytest

from conftest import BUILD_ROOT, SOURCE_ROOT, WRAPPER, usage_text, work_dir

PLATFORM_DOC = SOURCE_ROOT / 'docs' / 'platform-build.md'


def build_options():
    out = subprocess.run(
        ['meson', 'introspect', '--buildoptions', str(BUILD_ROOT)],
        capture_output=True, check=True).stdout
    return {o['name']: o['value'] for o in json.loads(out)
            if o.get('machine') != 'build'}


def installed_dir(options, name, destdir=Path('/')):
    """Where the bindir or the libdir lands below `destdir`."""
    return destdir / Path(options['prefix'], options[name]).relative_to('/')


def documented_files(options):
    bindir, libdir = (installed_dir(options, n) for n in ('bindir', 'libdir'))
    data = Path(options['prefix'], 'lib')
    files = {bindir / 'morvex_bios_updater',
             data / 'systemd' / 'catalog' / 'morvex_bios_updater.catalog',
             data / 'tmpfiles.d' / 'morvex_bios_updater.conf'}
    if options['install-capsule-tool']:
        files.add(bindir / 'capsule-tool')
    if options['platform-libs'] == 'stand-in':
        files |= {libdir / f'lib{name}.so{suffix}'
                  for name in ('noterra', 'vardex')
                  for suffix in ('', '.9', '.9.0.0')}
    return files


def documented_row(start):
    """The cells of the platform-build.md table row that starts so."""
    row = next(line for line in PLATFORM_DOC.read_text().splitlines()
               if line.startswith(start))
    return [cell.strip() for cell in row.strip('|').split('|')]


@pytest.fixture(scope='module')
def installed():
    """(destdir, build options, installed tool) after one install."""
    destdir = work_dir(BUILD_ROOT.resolve() / 'e2e-work', 'install') / 'root'
    subprocess.run(['meson', 'install', '-C', str(BUILD_ROOT), '--no-rebuild',
                    '--quiet', '--destdir', str(destdir)],
                   capture_output=True, check=True)
    options = build_options()
    tool = installed_dir(options, 'bindir', destdir) / 'morvex_bios_updater'
    return destdir, options, tool


def test_install_puts_the_documented_files_with_sonames_and_no_rpath(
        installed):
    destdir, options, tool = installed
    found = {Path('/', path.relative_to(destdir))
             for path in destdir.rglob('*')
             if path.is_symlink() or not path.is_dir()}
    assert found == documented_files(options)
    dynamic = subprocess.run(['readelf', '-d', str(tool)], capture_output=True,
                             check=True, text=True).stdout
    needed = {line.split('[')[1].rstrip(']')
              for line in dynamic.splitlines() if '(NEEDED)' in line}
    # A sanitizer build adds its runtime.
    assert {name for name in needed if 'san' not in name and
            'clang_rt' not in name} == set(re.findall(
                r'`([^`]+)`', documented_row('| `libnoterra.so.9`')[0]))
    # Nothing of the build tree is searched; a clang sanitizer build keeps
    # the path of its sanitizer runtime.
    searched = [line for line in dynamic.splitlines()
                if '(RPATH)' in line or '(RUNPATH)' in line]
    assert [line for line in searched
            if '/lib/clang/' not in line] == []
    if options['platform-libs'] == 'stand-in':
        libdir = installed_dir(options, 'libdir', destdir)
        for name in ('noterra', 'vardex'):
            assert os.readlink(libdir / f'lib{name}.so') == f'lib{name}.so.9'
            assert (os.readlink(libdir / f'lib{name}.so.9') ==
                    f'lib{name}.so.9.0.0')


def test_installed_tool_runs(installed, sandbox):
    destdir, options, tool = installed
    libdir = installed_dir(options, 'libdir', destdir)
    script = sandbox.workdir / 'installed-updater'
    script.write_text(
        '#!/bin/sh\n'
        f'export LD_LIBRARY_PATH={shlex.quote(str(libdir))}\n'
        f'exec {shlex.join(sandbox.exec_words(tool))} "$@"\n')
    script.chmod(0o755)
    result = sandbox.run('help', program=script)
    assert (result.returncode, result.stdout, result.stderr) == (
        1, usage_text(tool), b'')


def test_tmpfiles_entry_makes_the_directories_the_tool_needs(installed):
    destdir, _options, _tool = installed
    image = destdir.parent / 'image'
    shutil.rmtree(image, ignore_errors=True)
    shutil.copytree(destdir, image, symlinks=True)
    subprocess.run(['systemd-tmpfiles', '--create', f'--root={image}'],
                   check=True, capture_output=True)
    made = {}
    for name in ('var/lib/qorad', 'var/lib/qorad/pending', 'mnt/scratchpad',
                 'run/morvex_bios_updater'):
        status = (image / name).stat()
        made[name] = (stat.S_ISDIR(status.st_mode),
                      oct(stat.S_IMODE(status.st_mode)), status.st_uid)
    assert made == {'var/lib/qorad': (True, '0o700', 0),
                    'var/lib/qorad/pending': (True, '0o700', 0),
                    'mnt/scratchpad': (True, '0o755', 0),
                    'run/morvex_bios_updater': (True, '0o700', 0)}


def test_stripped_install_has_the_documented_sizes(installed):
    """scripts/installed-sizes wrote the table, natively with g++."""
    _destdir, options, _tool = installed
    compiler = json.loads((BUILD_ROOT / 'compile_commands.json').read_text(
    ))[0]['command'].split()[0]
    version = subprocess.run([compiler, '--version'], capture_output=True,
                             check=True, text=True).stdout
    if WRAPPER or 'clang' in version or options['b_sanitize'] != 'none' or \
            options['b_coverage'] or options['platform-libs'] != 'stand-in':
        pytest.skip('sizes are those of native g++ builds with the '
                    'stand-ins, without sanitizers or coverage')
    destdir = work_dir(BUILD_ROOT.resolve() / 'e2e-work', 'strip') / 'root'
    subprocess.run(['meson', 'install', '-C', str(BUILD_ROOT), '--no-rebuild',
                    '--quiet', '--strip', '--destdir', str(destdir)],
                   capture_output=True, check=True)
    sizes = [str(next(destdir.rglob(name)).stat().st_size) for name in
             ('morvex_bios_updater', 'libnoterra.so.9.0.0',
              'libvardex.so.9.0.0')]
    assert documented_row(f'| `{options["buildtype"]}`')[2:] == sizes
