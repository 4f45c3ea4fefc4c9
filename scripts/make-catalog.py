#!/usr/bin/env python3
"""Writes the unsigned driver catalog of the package, for both architectures:
vkserial.cat, beside the INF, for sign-package.sh to sign.

A catalog is a PKCS #7 SignedData whose content is a certificate trust list
(1.3.6.1.4.1.311.10.1): one entry per file, tagged with the file's SHA-1 hash
as upper-case hexadecimal UTF-16 text, holding the file's name and its hash as
Authenticode's SpcIndirectDataContent (of the PE image for .sys and .dll, of
the whole file for the INF). Windows finds a file's entry by that tag. The
PE hashes come from osslsigncode (extract-data), which leaves out the checksum
and the signature as Authenticode does.

Usage: make-catalog.py <dist>
"""
import datetime
import hashlib
import os
import subprocess
import sys
import tempfile
import uuid

# --- DER


def der(tag, body):
    n = len(body)
    if n < 0x80:
        length = bytes([n])
    else:
        raw = n.to_bytes((n.bit_length() + 7) // 8, "big")
        length = bytes([0x80 | len(raw)]) + raw
    return bytes([tag]) + length + body


def seq(*items):
    return der(0x30, b"".join(items))


def set_of(*items):
    # DER orders a SET OF by the encodings of its members.
    return der(0x31, b"".join(sorted(items)))


def oid(text):
    parts = [int(p) for p in text.split(".")]
    body = bytes([40 * parts[0] + parts[1]])
    for part in parts[2:]:
        chunk = [part & 0x7F]
        part >>= 7
        while part:
            chunk.insert(0, 0x80 | (part & 0x7F))
            part >>= 7
        body += bytes(chunk)
    return der(0x06, body)


def integer(value):
    raw = value.to_bytes((value.bit_length() + 8) // 8, "big")
    return der(0x02, raw)


def octets(data):
    return der(0x04, data)


def bmp(text):
    return der(0x1E, text.encode("utf-16-be"))


def explicit(number, body):
    return der(0xA0 + number, body)


NULL = der(0x05, b"")


def read_tlv(data, pos):
    """The tag, the start of the body and its end, at pos."""
    tag = data[pos]
    length = data[pos + 1]
    pos += 2
    if length & 0x80:
        count = length & 0x7F
        length = int.from_bytes(data[pos:pos + count], "big")
        pos += count
    return tag, pos, pos + length


# --- the entries

CTL = "1.3.6.1.4.1.311.10.1"
CATALOG_LIST = "1.3.6.1.4.1.311.12.1.1"
CATALOG_LIST_MEMBER = "1.3.6.1.4.1.311.12.1.2"  # version 1 catalog: SHA-1 members
NAME_VALUE = "1.3.6.1.4.1.311.12.2.1"
MEMBER_INFO = "1.3.6.1.4.1.311.12.2.2"
INDIRECT_DATA = "1.3.6.1.4.1.311.2.1.4"
FLAT_FILE_DATA = "1.3.6.1.4.1.311.2.1.25"
SHA1 = "1.3.14.3.2.26"
# The subject interface packages that hash a PE image and a flat file.
PE_SIP = "{C689AAB8-8E78-11D0-8C47-00C04FC295EE}"
FLAT_SIP = "{DE351A42-8E59-11D0-8C47-00C04FC295EE}"
# Name/value flags: CRYPTCAT_ATTR_NAMEASCII | CRYPTCAT_ATTR_DATAASCII | CRYPTCAT_ATTR_AUTHENTICATED.
NAME_VALUE_FLAGS = 0x10010001


def name_value(name, value):
    return seq(oid(NAME_VALUE),
               set_of(seq(bmp(name), integer(NAME_VALUE_FLAGS),
                          octets((value + "\0").encode("utf-16-le")))))


def pe_indirect_data(path):
    """The SpcIndirectDataContent osslsigncode builds for a PE file, and its digest."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "data.der")
        subprocess.run(["osslsigncode", "extract-data", "-h", "sha1", "-in", path, "-out", out],
                       check=True, stdout=subprocess.DEVNULL)
        with open(out, "rb") as f:
            p7 = f.read()
    # ContentInfo { signedData, [0] SignedData { version, digestAlgorithms,
    # ContentInfo { 1.3.6.1.4.1.311.2.1.4, [0] SpcIndirectDataContent } ... } }
    _, body, _ = read_tlv(p7, 0)
    _, pos, end = read_tlv(p7, body)          # the signedData OID
    _, pos, end = read_tlv(p7, end)           # [0]
    _, pos, end = read_tlv(p7, pos)           # SignedData
    _, pos, end = read_tlv(p7, pos)           # version
    _, pos, end = read_tlv(p7, end)           # digestAlgorithms
    _, pos, _ = read_tlv(p7, end)             # contentInfo
    _, pos, end = read_tlv(p7, pos)           # its OID
    _, pos, _ = read_tlv(p7, end)             # [0]
    tag, start, stop = read_tlv(p7, pos)      # SpcIndirectDataContent
    content = p7[pos:stop]
    digest = content[-20:]
    return content, digest


def flat_indirect_data(path):
    with open(path, "rb") as f:
        digest = hashlib.sha1(f.read()).digest()
    # The value of a flat file's data is an obsolete SpcLink, as Windows writes it.
    link = der(0xA2, der(0x80, "<<<Obsolete>>>".encode("utf-16-be")))
    content = seq(seq(oid(FLAT_FILE_DATA), link),
                  seq(seq(oid(SHA1), NULL), octets(digest)))
    return content, digest


def entry(path, name):
    if name.lower().endswith((".sys", ".dll")):
        content, digest = pe_indirect_data(path)
        sip = PE_SIP
    else:
        content, digest = flat_indirect_data(path)
        sip = FLAT_SIP
    tag = (digest.hex().upper() + "\0").encode("utf-16-le")
    attributes = set_of(
        name_value("File", name),
        seq(oid(INDIRECT_DATA), set_of(content)),
        seq(oid(MEMBER_INFO), set_of(seq(bmp(sip), integer(512)))),
    )
    return seq(octets(tag), attributes)


def catalog(dist):
    # The same names for both architectures: Windows finds each file by its
    # hash, the name is only shown.
    files = [(os.path.join(dist, "vkserial.inf"), "vkserial.inf")]
    for folder in (dist, os.path.join(dist, "amd64")):
        files += [(os.path.join(folder, name), name) for name in ("vkserial.sys", "vkprop.dll")]
    entries = [entry(path, name) for path, name in files]
    now = datetime.datetime.now(datetime.timezone.utc).strftime("%y%m%d%H%M%SZ")
    # The systems the package is for: XP (5.1; x64 XP and Server 2003 are 5.2)
    # to 10 and 11 (10.0).
    os_attr = seq(oid(NAME_VALUE), octets(seq(
        bmp("OSAttr"), integer(NAME_VALUE_FLAGS),
        octets("2:5.1,2:5.2,2:6.0,2:6.1,2:6.2,2:6.3,2:10.0\0".encode("utf-16-le")))))
    ctl = seq(
        seq(oid(CATALOG_LIST)),
        octets(uuid.uuid4().bytes),
        der(0x17, now.encode("ascii")),
        seq(oid(CATALOG_LIST_MEMBER), NULL),
        seq(*entries),
        explicit(0, seq(os_attr)),
    )
    signed_data = seq(integer(1), set_of(), seq(oid(CTL), explicit(0, ctl)), set_of())
    return seq(oid("1.2.840.113549.1.7.2"), explicit(0, signed_data))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    dist = sys.argv[1]
    with open(os.path.join(dist, "vkserial.cat"), "wb") as f:
        f.write(catalog(dist))


if __name__ == "__main__":
    main()
