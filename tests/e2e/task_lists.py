"""Task lists for the end-to-end tests: entries, the exact bytes the tool
writes for them, and the files of the task list's directory."""

import functools
import os

LIST = 'BIOS_task_list.json'
LIST_PATH = '/var/lib/qorad/' + LIST
EXPORT_QUEUED = b'::: Export BIOS Config Task queued for next host reboot\n'
IMPORT_QUEUED = b'::: Import BIOS Config Task queued for next host reboot\n'
KEYS = ('JobType', 'DisplayName', 'FQDD', 'JOBID', 'ResourceURI',
        'ResourceType', 'ResourceNamespace')
FILE_EXPORT = ('INVENTORY', 'BIOS Config', 'BIOS.Setup.1-1', '',
               '/var/lib/qorad/BIOS_Config.json', 'FILE', 'BASECONFIG')
INFO_EXPORT = FILE_EXPORT[:4] + ('NA', 'INFO', 'BASECONFIG')
ESCAPES = {'"': '\\"', '\\': '\\\\', '\b': '\\b', '\f': '\\f', '\n': '\\n',
           '\r': '\\r', '\t': '\\t'}


def update_entry(job_id, name='BIOS Update', capsule='capsule.bin'):
    return ('UPDATE', name, 'BIOS.Setup.1-1', job_id,
            '/tmp/tmpBIOSPayload/' + capsule, 'File', 'ConfigDb')


def import_entry(job_id):
    return ('CONFIG', *FILE_EXPORT[1:3], job_id,
            '/var/lib/qorad/pending/BIOS_Config.json', *FILE_EXPORT[5:])


def job(job_type, job_id='x'):
    return (job_type, *INFO_EXPORT[1:3], job_id, *INFO_EXPORT[4:])


def members(entry, indent=None):
    """An entry's "<key>": "<value>" members, quotation mark, backslash and
    control characters escaped, every other character as it is."""
    return [f'{indent or ""}"{k}": "' + ''.join(
        ESCAPES.get(c, f'\\u{ord(c):04X}' if c < ' ' else c) for c in v) + '"'
        for k, v in zip(KEYS, entry)]


@functools.lru_cache(maxsize=None)
def _block(entry):
    return '        {\n' + ',\n'.join(members(entry, ' ' * 12)) + '\n        }'


def task_list(*entries):
    """The exact bytes of a task list file holding `entries`; characters
    escaped with surrogateescape stand for bytes that are not UTF-8."""
    body = ',\n'.join(map(_block, entries))
    return ('{\n    "QORAJob": ' + (f'[\n{body}\n    ]' if entries else '[]') +
            '\n}').encode('utf-8', 'surrogateescape')


def state(directory):
    """What lies in a directory, by name: bytes, 'link -> <target>', 'fifo'
    or 'dir'; the list's own files named by what follows the list's name."""
    return {p.name.removeprefix(LIST): f'link -> {p.readlink()}'
            if p.is_symlink() else 'fifo' if p.is_fifo() else 'dir'
            if p.is_dir() else p.read_bytes() for p in directory.iterdir()}


def plant(directory, files):
    """Makes what state() describes."""
    for name, what in files.items():
        path = directory / (name if name[:1].isalpha() else LIST + name)
        if isinstance(what, bytes):
            path.write_bytes(what)
        elif what.startswith('link -> '):
            path.symlink_to(what[len('link -> '):])
        elif what == 'fifo':
            os.mkfifo(path)
        else:
            path.mkdir()
