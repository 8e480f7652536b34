"""docs/operations.md and the journal catalog against the catalogue of
diagnostic lines (src/diag/lines.hpp, printed by tools/line_catalogue): the
guide lists every line exactly as printed and no other, each under its
cause class; the guide and the catalog describe every cause class and the
audit record."""

import os
import re
import shlex
import subprocess
from collections import defaultdict
from pathlib import Path

import pytest

ROOT = Path(os.environ.get('SOURCE_ROOT',
                           Path(__file__).resolve().parent.parent.parent))
PROGRAM = [*shlex.split(os.environ.get('UPDATER_WRAPPER', '')),
           os.environ.get('LINE_CATALOGUE', ROOT / 'build' / 'tools' /
                          'line-catalogue')]
DOC = ROOT / 'docs' / 'operations.md'
CATALOG = ROOT / 'data' / 'morvex_bios_updater.catalog'
AUDIT = ROOT / 'src' / 'audit'
DOC_LINE = re.compile(r'`(BIOSIMG_DBG_(?:FAIL|INFO): \w+\.\d+: [^`]*)`')
CAUSE_ROW = re.compile(r'^\| `([\w ]+)` \| (.*?) \|', re.M)


@pytest.fixture(scope='module')
def catalogue():
    records = defaultdict(list)
    for row in subprocess.run(PROGRAM, check=True, capture_output=True,
                              text=True).stdout.splitlines():
        kind, *fields = row.split('\t')
        records[kind].append(fields)
    return records


def test_the_guide_lists_every_line_and_no_other(catalogue):
    """A new line needs a row in its sub-command's table."""
    text = DOC.read_text()
    assert set(DOC_LINE.findall(text)) == {
        f'{p}: {f}.{n}: {t}' for p, f, n, _, t in catalogue['line']}
    assert [t for (t,) in catalogue['other'] if t not in text] == []


def test_each_failure_line_is_under_its_cause_class(catalogue):
    """Each row of the guide's table of cause classes lists `f.n`, or `.n`
    for another line of the function before it, up to the first ';' (what
    follows tells of runs without a line)."""
    section = DOC.read_text().split('Cause classes, by the failure line')[1]
    documented = defaultdict(set)
    for cause, cell in CAUSE_ROW.findall(section):
        function = ''
        for name, number in re.findall(r'`(\w*)\.(\d+)`', cell.split(';')[0]):
            function = name or function
            documented[cause].add(f'{function}.{number}')
    expected = defaultdict(set)
    for _, function, number, cause, _ in catalogue['line']:
        expected[cause].add(f'{function}.{number}')
    assert {c: documented[c] for (c,) in catalogue['cause']} == \
        {c: expected[c] for (c,) in catalogue['cause']}


@pytest.mark.parametrize('document', [DOC, CATALOG], ids=lambda p: p.name)
def test_audit_record_is_described(catalogue, document):
    record = (AUDIT / 'audit_record.cpp').read_text()
    message_id = re.search(r'messageId\s*=\s*"(\w+)"',
                           (AUDIT / 'audit_record.hpp').read_text())[1]
    outcomes = ['staged', 'recorded', 'queued', 'refused', 'failed']
    causes = [c for (c,) in catalogue['cause']]
    text = ' '.join(document.read_text().split())
    if document == CATALOG:
        assert f'-- {message_id} ' in text
        words = outcomes + [f'{c} (' for c in causes]
    else:
        assert f'MESSAGE_ID={message_id}' in text
        fields = sorted(set(re.findall(r'"(BIOS_AUDIT_\w+)=?"', record)))
        words = [f'`{w}`' for w in fields + outcomes + causes]
    assert [w for w in words if w not in text] == []
