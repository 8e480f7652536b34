#!/usr/bin/python3
"""Turns a PEM "PUBLIC KEY" file into a C++ header holding its DER bytes.

Usage: embed_root_key.py <public key PEM> <output header>
"""

import base64
import binascii
import sys

BEGIN = "-----BEGIN PUBLIC KEY-----"
END = "-----END PUBLIC KEY-----"


def der_from_pem(text):
    start = text.find(BEGIN)
    end = text.find(END)
    if start < 0 or end < start:
        raise ValueError("no PUBLIC KEY block (a private key must not be "
                         "built into the library)")
    body = "".join(text[start + len(BEGIN):end].split())
    der = base64.b64decode(body, validate=True)
    if not der or der[0] != 0x30:
        raise ValueError("PUBLIC KEY block is not a DER SEQUENCE")
    return der


def header_text(der, source):
    rows = []
    for i in range(0, len(der), 12):
        rows.append("    " + ", ".join("0x%02x" % b for b in der[i:i + 12])
                    + ",")
    return ("#pragma once\n\n"
            "// Generated at build time from %s. Do not edit.\n"
            "// DER SubjectPublicKeyInfo of the manifest root-of-trust "
            "key.\n\n"
            "#include <array>\n#include <cstdint>\n\n"
            "namespace vardex\n{\n\n"
            "inline constexpr std::array<std::uint8_t, %d> "
            "manifestRootKeyDer = {\n"
            "%s\n};\n\n"
            "} // namespace vardex\n" % (source, len(der), "\n".join(rows)))


def main(argv):
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    try:
        with open(argv[1], encoding="ascii") as pem:
            der = der_from_pem(pem.read())
    except (OSError, ValueError, UnicodeDecodeError, binascii.Error) as err:
        sys.stderr.write("%s: %s\n" % (argv[1], err))
        return 1
    with open(argv[2], "w", encoding="ascii") as out:
        out.write(header_text(der, argv[1].rsplit("/", 1)[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
