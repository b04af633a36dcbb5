"""msi_fix.py MSI EPOCH: takes the build out of the MSI's summary information, which wixl fills
with the time of the build and a random package code. Both creation and last-saved times become
EPOCH; the package code becomes a name-based GUID of the package's content, so two packages
differ in it exactly when they differ in anything else."""

import hashlib
import struct
import sys
import uuid

import olefile

SUMMARY = "\x05SummaryInformation"
REVISION, CREATED, SAVED = 9, 12, 13  # the package code is kept as the revision number
VT_LPSTR, VT_FILETIME = 0x1E, 0x40
NAMESPACE = uuid.UUID("13716aec-9d1a-46e8-827c-0dc08206ecbc")  # ours; never to change


def set_properties(path, values):
    """Overwrites properties in place: a time, or a string of the length it has."""
    ole = olefile.OleFileIO(path, write_mode=True)
    data = bytearray(ole.openstream(SUMMARY).read())
    section = struct.unpack_from("<I", data, 44)[0]
    for i in range(struct.unpack_from("<I", data, section + 4)[0]):
        pid, offset = struct.unpack_from("<II", data, section + 8 + 8 * i)
        at, value = section + offset, values.pop(pid, None)
        kind, size = struct.unpack_from("<II", data, at)
        if value is None:
            continue
        if kind == VT_FILETIME:
            data[at + 4:at + 12] = struct.pack("<Q", value)
        elif kind == VT_LPSTR and size == len(value) + 1:
            data[at + 8:at + 7 + size] = value
        else:
            sys.exit(f"{path}: summary property {pid} is not as wixl writes it")
    if values:
        sys.exit(f"{path}: no summary property {sorted(values)}")
    ole.write_stream(SUMMARY, bytes(data))  # the same size, so olefile writes it in place
    ole.close()


def code(text):
    return f"{{{uuid.uuid5(NAMESPACE, text)}}}".upper().encode()


path, epoch = sys.argv[1], int(sys.argv[2])
filetime = (epoch + 11644473600) * 10**7  # 100 ns units since 1601
set_properties(path, {CREATED: filetime, SAVED: filetime, REVISION: code("")})
with open(path, "rb") as f:
    set_properties(path, {REVISION: code(hashlib.sha256(f.read()).hexdigest())})
