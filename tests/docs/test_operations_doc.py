"""docs/operations.md against the source: it lists every line the tool can
print, exactly as printed, and no line the tool no longer prints; every
failure line has its cause class for the audit record; the guide and the
journal catalog describe the audit record the tool sends."""

import os
import re
import sys
from collections import Counter
from pathlib import Path

import pytest

ROOT = Path(os.environ.get('SOURCE_ROOT',
                           Path(__file__).resolve().parent.parent.parent))
sys.path.insert(0, str(ROOT / 'tools'))

# pylint: disable=wrong-import-position
from diagnostic_lines import AuditRecord, Source  # noqa: E402
DOC = ROOT / 'docs' / 'operations.md'
CATALOG = ROOT / 'data' / 'morvex_bios_updater.catalog'
DOC_LINE = re.compile(r'`(BIOSIMG_DBG_(?:FAIL|INFO)): (\w+)\.(\d+): ([^`]*)`')


@pytest.fixture(scope='module')
def source():
    return Source(ROOT / 'src')


def show(line):
    prefix, function, number, message = line
    return f'`{prefix}: {function}.{number}: {message}`'


def test_every_diagnostic_line_is_documented(source):
    printed = source.diagnostic_lines()
    documented = {(p, f, int(n), m)
                  for p, f, n, m in DOC_LINE.findall(DOC.read_text())}
    missing = sorted(set(printed) - documented, key=printed.get)
    assert not missing, (
        f'{DOC.name} lacks lines the tool prints; add a row for each to the '
        'table of the sub-command that prints it:\n' + '\n'.join(
            f'  {show(line)}  (printed at src/{printed[line]})'
            for line in missing))
    stale = sorted(documented - set(printed))
    assert not stale, f'{DOC.name} lists lines no statement prints:\n' + \
        '\n'.join(f'  {show(line)}' for line in stale)


def test_each_statement_has_its_own_number(source):
    numbers = Counter(line[1:3] for line in source.diagnostic_lines())
    assert [n for n, count in numbers.items() if count > 1] == []


def test_other_output_is_documented(source):
    text = DOC.read_text()
    assert [t for t in source.other_output() if t not in text] == []
    usage = source.usage_text('morvex_bios_updater')
    assert f'```\n{usage}```' in text, \
        f'{DOC.name} should show this usage text in a code block:\n{usage}'


def test_every_failure_line_has_a_cause_class(source):
    record = AuditRecord(ROOT / 'src')
    failures = {line[1:3] for line in source.diagnostic_lines()
                if line[0] == 'BIOSIMG_DBG_FAIL'}
    assert sorted(f'{f}.{n}' for f, n in failures
                  if record.cause_of(f, n) is None) == []
    # Every row of the class table stands for lines the tool prints.
    assert sorted(f'{f}.{n}' for f, n in record.classes
                  if (f, n) not in failures and not (
                      n is None and any(g == f for g, _ in failures))) == []


@pytest.mark.parametrize('document', [DOC, CATALOG], ids=lambda p: p.name)
def test_audit_record_is_described(document):
    record = AuditRecord(ROOT / 'src')
    text = document.read_text()
    if document == CATALOG:
        assert f'-- {record.message_id}\n' in text
        words = record.outcomes + record.cause_names
    else:
        assert f'MESSAGE_ID={record.message_id}' in text
        words = [f'`{w}`' for w in record.fields + record.outcomes
                 + record.cause_names]
    assert [w for w in words if w not in text] == []
