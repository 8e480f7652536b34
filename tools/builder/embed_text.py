#!/usr/bin/python3
"""Writes a C++ header that holds text files as string constants, so that a
program carries them instead of a path into the source tree.

Usage: embed_text.py <output header> <name>=<file> ...
"""

import sys


def constant(name, text):
    if ')"' in text:
        raise ValueError('%s: text holds )"' % name)
    return 'inline constexpr const char* %s = R"(%s)";\n' % (name, text)


def main(argv):
    if len(argv) < 3 or any('=' not in arg for arg in argv[2:]):
        sys.stderr.write(__doc__)
        return 2
    parts = ["#pragma once\n\n// Generated at build time. Do not edit.\n\n"
             "namespace capsule::embedded\n{\n\n"]
    for arg in argv[2:]:
        name, path = arg.split('=', 1)
        with open(path, encoding='ascii') as source:
            parts.append(constant(name, source.read()))
    parts.append("\n} // namespace capsule::embedded\n")
    with open(argv[1], 'w', encoding='ascii') as out:
        out.write(''.join(parts))
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
