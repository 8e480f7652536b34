"""The stand-ins of the platform libraries where the tool's own runs do not
reach: an event whose message id the event-log library does not know, and
a manifest library built to trust another root key."""

import subprocess

import pytest

from conftest import BUILD_ROOT, SOURCE_ROOT, WRAPPER, wrapped

EVENT_PROBE = BUILD_ROOT / 'tests' / 'e2e' / 'event_probe'
CAPSULE_TOOL = BUILD_ROOT / 'tools' / 'capsule-tool'


def test_unknown_message_id_still_gives_a_readable_event(sandbox, journal):
    result = sandbox.run('BIOS.TEST.1', 'RED999', 'one', 'two',
                         program=EVENT_PROBE)
    assert (result.returncode, result.stderr) == (0, b'')
    [entry] = journal.entries()
    assert (entry['MESSAGE'], entry['PRIORITY']) == (
        'Event BIOS.TEST.1: one, two', '5')


@pytest.mark.skipif(bool(WRAPPER), reason='built once, natively')
def test_manifest_root_key_option_selects_the_trusted_root(tmp_path, pack):
    root = tmp_path / 'root.pem'
    subprocess.run(['openssl', 'genpkey', '-algorithm', 'EC', '-pkeyopt',
                    'ec_paramgen_curve:P-384', '-out', root], check=True)
    subprocess.run(['openssl', 'pkey', '-in', root, '-pubout', '-out',
                    tmp_path / 'root_public.pem'], check=True)
    build = tmp_path / 'build'
    subprocess.run(['meson', 'setup', build, SOURCE_ROOT, '-Dtests=disabled',
                    f'-Dmanifest-root-key={tmp_path / "root_public.pem"}'],
                   check=True, capture_output=True)
    subprocess.run(['ninja', '-C', build, 'libs/vardex/libvardex.so.9.0.0'],
                   check=True, capture_output=True)
    # The tool's own build loads this library in place of its own.
    environment = {'LD_LIBRARY_PATH': str(build / 'libs' / 'vardex')}
    for capsule, verdict in ((pack(), 'does not verify'),
                             (pack(root_key=root), 'verifies')):
        path = tmp_path / 'capsule.bin'
        path.write_bytes(capsule)
        result = subprocess.run(wrapped(CAPSULE_TOOL, 'inspect', path),
                                env=environment, capture_output=True,
                                check=False)
        assert result.returncode == (0 if verdict == 'verifies' else 1), (
            verdict, result.stderr)
