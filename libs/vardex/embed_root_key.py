#!/usr/bin/python3
"""Turns a PEM "PUBLIC KEY" file into a C++ header holding its DER bytes, or
prints the key's fingerprint.

Usage: embed_root_key.py <public key PEM> <output header>
       embed_root_key.py --fingerprint <public key PEM>

Either way the key must be an ECDSA P-384 key. The fingerprint is the
SHA-256 of the DER SubjectPublicKeyInfo, as lower-case hex.
"""

import base64
import binascii
import hashlib
import sys

BEGIN = "-----BEGIN PUBLIC KEY-----"
END = "-----END PUBLIC KEY-----"
# AlgorithmIdentifier of an EC key on secp384r1: id-ecPublicKey and the
# curve's OID, as the SubjectPublicKeyInfo of such a key starts.
P384_ALGORITHM = bytes.fromhex("301006072a8648ce3d020106052b81040022")


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
    if len(der) < 2 or der[1] & 0x80 or \
            der[2:2 + len(P384_ALGORITHM)] != P384_ALGORITHM:
        raise ValueError("not an ECDSA P-384 (secp384r1) public key: the "
                         "manifest root key must be one")
    return der


def header_text(der, source):
    rows = []
    for i in range(0, len(der), 12):
        rows.append("    " + ", ".join("0x%02x" % b for b in der[i:i + 12])
                    + ",")
    return ("#pragma once\n\n"
            "// Generated at build time from %s. Do not edit.\n"
            "// DER SubjectPublicKeyInfo of the manifest root-of-trust "
            "key. Internal\n// to each program or library that includes it: "
            "a program's copy never\n// stands in for its manifest "
            "library's.\n\n"
            "#include <array>\n#include <cstdint>\n\n"
            "namespace vardex\n{\n\n"
            "constexpr std::array<std::uint8_t, %d> "
            "manifestRootKeyDer = {\n"
            "%s\n};\n\n"
            "} // namespace vardex\n" % (source, len(der), "\n".join(rows)))


def main(argv):
    fingerprint = len(argv) == 3 and argv[1] == "--fingerprint"
    if len(argv) != 3:
        sys.stderr.write(__doc__)
        return 2
    pem_path = argv[2] if fingerprint else argv[1]
    try:
        with open(pem_path, encoding="ascii") as pem:
            der = der_from_pem(pem.read())
    except (OSError, ValueError, UnicodeDecodeError, binascii.Error) as err:
        sys.stderr.write("%s: %s\n" % (pem_path, err))
        return 1
    if fingerprint:
        print(hashlib.sha256(der).hexdigest())
        return 0
    with open(argv[2], "w", encoding="ascii") as out:
        out.write(header_text(der, argv[1].rsplit("/", 1)[-1]))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
