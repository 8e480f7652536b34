#!/usr/bin/python3
"""What the tool can print, read from its source: every diagnostic line's
prefix, function name, number and message, and the texts it passes to its
other printers (milestones, task-list reader complaints, perror).

  tools/diagnostic_lines.py [source dir, default src/]
prints every diagnostic line with the statement that prints it; the
documentation check (tests/docs) compares docs/operations.md with it.

The reading is lexical, with the two forms the source uses:
  diag::fail("name", 123, "format", ...)      -- literals or named constants
  diag::fail(function, number, format, ...)   -- forwarded by a helper; the
      values come from each call of the helper, as positional arguments or
      as the members of a struct argument written as a braced list.
A "%s" format whose argument is a named text constant reads as that text.

audit_record() reads what the audit record can hold (src/audit/): its
MESSAGE_ID, its fields, its outcomes and the cause class of each failure
line.
"""

import re
import sys
from pathlib import Path

_TOKENS = re.compile(r'"(?:\\.|[^"\\\n])*"|//[^\n]*|/\*.*?\*/', re.S)
_CONSTANT = re.compile(r'\b(\w+)\s*=\s*((?:"(?:\\.|[^"\\])*"\s*)+)[;,}]')
_LITERAL = re.compile(r'"((?:\\.|[^"\\])*)"')
_FUNCTION = re.compile(r'\b(\w+)\s*\(([^;{}()]*(?:\([^()]*\)[^;{}()]*)*)\)'
                       r'\s*(?:const\s*)?(?:noexcept\s*)?\{')
_KEYWORDS = {'if', 'for', 'while', 'switch', 'catch', 'return'}
DIAG_CALLS = {'diag::fail': 'BIOSIMG_DBG_FAIL',
              'diag::info': 'BIOSIMG_DBG_INFO'}
OTHER_OUTPUT_CALLS = ('diag::milestone', 'printReaderMessage', 'std::perror')


class SourceError(AssertionError):
    """A call site whose values cannot be read from the source."""


def _strip_comments(text):
    return _TOKENS.sub(lambda m: m[0] if m[0].startswith('"')
                       else re.sub(r'[^\n]', ' ', m[0]), text)


def _split(text):
    """Top-level comma-separated parts of an argument list."""
    parts, depth, start, pos = [], 0, 0, 0
    while pos < len(text):
        char = text[pos]
        if char == '"':
            pos = _LITERAL.match(text, pos).end()
            continue
        if char in '([{':
            depth += 1
        elif char in ')]}':
            depth -= 1
        elif char == ',' and depth == 0:
            parts.append(text[start:pos].strip())
            start = pos + 1
        pos += 1
    tail = text[start:].strip()
    return parts + [tail] if tail else parts


def _closing(text, opening):
    """Offset of the bracket that closes the one at `opening`."""
    depth, pos = 0, opening
    while pos < len(text):
        if text[pos] == '"':
            pos = _LITERAL.match(text, pos).end()
            continue
        if text[pos] in '([{':
            depth += 1
        elif text[pos] in ')]}':
            depth -= 1
            if depth == 0:
                return pos
        pos += 1
    raise SourceError('unbalanced brackets')


class File:
    def __init__(self, path, root):
        self.path = path
        self.name = str(path.relative_to(root))
        self.text = _strip_comments(path.read_text())
        self.functions = []
        for match in _FUNCTION.finditer(self.text):
            if match[1] in _KEYWORDS:
                continue
            end = _closing(self.text, match.end() - 1)
            self.functions.append((match.start(), end, match[1],
                                   _split(match[2])))

    def where(self, offset):
        return f'{self.name}:{self.text.count(chr(10), 0, offset) + 1}'

    def calls(self, callee):
        """(offset, arguments) of each call of `callee`, definitions and
        declarations left out."""
        found = []
        pattern = re.compile(r'(?<![\w:.])' + re.escape(callee) + r'\s*\(')
        for match in pattern.finditer(self.text):
            end = _closing(self.text, match.end() - 1)
            after = self.text[end + 1:end + 40].lstrip()
            before = self.text[:match.start()].rstrip()
            if after.startswith('{') or re.search(r'\w$', before) and \
                    not before.endswith('return'):
                continue
            found.append((match.start(), _split(self.text[match.end():end])))
        return found

    def enclosing(self, offset):
        inside = [f for f in self.functions if f[0] < offset < f[1]]
        return min(inside, key=lambda f: f[1] - f[0]) if inside else None

    def struct_members(self, name):
        match = re.search(r'\bstruct\s+' + name + r'\s*\{', self.text)
        if not match:
            return None
        body = self.text[match.end():_closing(self.text, match.end() - 1)]
        return [re.findall(r'(\w+)\s*(?:=[^;]*)?$', d.strip())[0]
                for d in body.split(';') if d.strip()]


class Source:
    def __init__(self, root):
        self.root = Path(root)
        self.files = [File(p, self.root) for p in
                      sorted(self.root.rglob('*.[ch]pp'))]
        for file in self.files:
            file.constants = {
                match[1]: ''.join(_LITERAL.findall(match[2]))
                for match in _CONSTANT.finditer(file.text)}

    def _constant(self, name, file):
        """A named text: the file's own, or else the one other file's that
        defines it (a header's)."""
        if name in file.constants:
            return file.constants[name]
        values = {f.constants[name] for f in self.files
                  if name in f.constants}
        return values.pop() if len(values) == 1 else None

    def _value(self, expression, file, offset):
        """The literal value of an argument expression."""
        expression = expression.strip()
        if expression.startswith('"'):
            return ''.join(_LITERAL.findall(expression))
        if re.fullmatch(r'-?\d+', expression):
            return int(expression)
        value = self._constant(expression.split('::')[-1], file)
        if value is not None:
            return value
        raise SourceError(f'{file.where(offset)}: cannot read '
                          f'{expression!r}')

    def _known(self, expression, file):
        return expression.startswith('"') or \
            re.fullmatch(r'-?\d+', expression) or \
            self._constant(expression.split('::')[-1], file) is not None

    def _forwarded(self, file, offset):
        """The arguments of each call of the helper that encloses `offset`,
        as {parameter: argument}, with {parameter.member: argument} for a
        struct passed as a braced list."""
        helper = file.enclosing(offset)
        if helper is None:
            raise SourceError(f'{file.where(offset)}: no enclosing function')
        _, _, name, parameters = helper
        sites = []
        for call_offset, arguments in file.calls(name):
            binding = {}
            for parameter, argument in zip(parameters, arguments):
                *type_words, parameter_name = re.findall(r'\w+', parameter)
                members = file.struct_members(type_words[-1]) \
                    if argument.startswith('{') and type_words else None
                if members:
                    for member, value in zip(members,
                                             _split(argument[1:-1])):
                        binding[f'{parameter_name}.{member}'] = value
                else:
                    binding[parameter_name] = argument
            sites.append((call_offset, binding))
        if not sites:
            raise SourceError(f'{file.where(offset)}: {name} is never called')
        return sites

    def diagnostic_lines(self):
        """{(prefix, function, number, message): where} for every line the
        diagnostic calls can print."""
        lines = {}
        for file in self.files:
            for callee, prefix in DIAG_CALLS.items():
                for offset, arguments in file.calls(callee):
                    for where, values in self._diag_values(file, offset,
                                                           arguments):
                        lines[(prefix, *values)] = where
        return lines

    def _diag_values(self, file, offset, arguments):
        heads = arguments[:3]
        sites = [(offset, {})] if all(self._known(a, file) for a in heads) \
            else self._forwarded(file, offset)
        for site, binding in sites:
            values = [self._value(binding.get(a, a), file, site)
                      for a in heads]
            if values[2] == '%s' and len(arguments) > 3:
                values[2] = self._value(arguments[3], file, offset)
            yield file.where(site), tuple(values)

    def other_output(self):
        """{text: where} for the texts given to the other printers."""
        texts = {}
        for file in self.files:
            for callee in OTHER_OUTPUT_CALLS:
                for offset, arguments in file.calls(callee):
                    if not arguments:
                        continue
                    text = self._value(arguments[0], file, offset)
                    texts[text] = file.where(offset)
        return texts

    def usage_text(self, program):
        """The usage text as printed for `program`: the usageHeader text,
        then the usage text of each row of the verb table `verbs`, in
        order."""
        file = next(f for f in self.files
                    if f.name == 'morvex_bios_updater.cpp')
        table = re.search(r'\bverbs\s*\{', file.text)
        rows = file.text[table.end():_closing(file.text, table.end() - 1)]
        pieces = [self._value('usageHeader', file, table.start())]
        for row in _split(rows.strip()[1:-1]):
            pieces.append(self._value(_split(row[1:-1])[3], file,
                                      table.start()))
        text = ''.join(pieces)
        return text.encode().decode('unicode_escape').replace('%s', program)


class AuditRecord:
    """The audit record as the source writes it."""

    def __init__(self, root):
        folder = Path(root) / 'audit'
        record = _strip_comments((folder / 'audit_record.cpp').read_text())
        header = (folder / 'audit_record.hpp').read_text()
        causes = _strip_comments((folder / 'cause_class.cpp').read_text())
        self.message_id = re.search(r'messageId\s*=\s*"(\w+)"',
                                    header)[1]
        self.fields = sorted(set(re.findall(r'"(BIOS_AUDIT_\w+)=?"',
                                            record)))
        self.outcomes = sorted(set(re.findall(
            r'return "(staged|recorded|queued)"|"(refused|failed)"',
            record)) - {('', '')})
        self.outcomes = sorted({a or b for a, b in self.outcomes})
        names = dict(re.findall(r'case Cause::(\w+):\s*return "([^"]+)"',
                                causes))
        self.cause_names = sorted(names.values())
        self.classes = {(f, int(n) if n.isdigit() else None): names[c]
                        for f, n, c in re.findall(
                            r'LineClass\{"(\w+)", (\w+), Cause::(\w+)\}',
                            causes)}

    def cause_of(self, function, number):
        """The class of a failure line, as the tool reads it."""
        return self.classes.get((function, number),
                                self.classes.get((function, None)))


def main(argv):
    root = Path(argv[1]) if len(argv) > 1 else \
        Path(__file__).resolve().parent.parent / 'src'
    for (prefix, function, number, message), where in sorted(
            Source(root).diagnostic_lines().items(), key=lambda i: i[1]):
        print(f'{prefix}: {function}.{number}: {message}\t{where}')
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
