#!/usr/bin/python3
"""Prints the SHA-256 fingerprint of a PEM "PUBLIC KEY" file: the lower-case
hex digest of its DER SubjectPublicKeyInfo, as
`openssl pkey -pubin -outform DER | sha256sum` gives it.

Usage: root_key_fingerprint.py <public key PEM>
"""

import binascii
import hashlib
import sys

from embed_root_key import der_from_pem


def main(argv):
    if len(argv) != 2:
        sys.stderr.write(__doc__)
        return 2
    try:
        with open(argv[1], encoding="ascii") as pem:
            der = der_from_pem(pem.read())
    except (OSError, ValueError, UnicodeDecodeError, binascii.Error) as err:
        sys.stderr.write("%s: %s\n" % (argv[1], err))
        return 1
    print(hashlib.sha256(der).hexdigest())
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
