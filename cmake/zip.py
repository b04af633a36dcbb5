"""zip.py OUT EPOCH FILE...: packs the files, by their names alone and in the order given, into
the zip OUT, and writes OUT.sha256 beside it in sha256sum's format. Nothing of the machine goes
in: every entry has the same mode, and the time EPOCH (no earlier than 1980-01-01, the earliest
a zip can hold) as UTC."""

import hashlib
import os
import sys
import time
import zipfile

out, epoch, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
when = time.gmtime(max(epoch, 315532800))[:6]
with zipfile.ZipFile(out, "w") as z:
    for path in files:
        entry = zipfile.ZipInfo(os.path.basename(path), when)
        entry.external_attr = 0o644 << 16
        entry.compress_type = zipfile.ZIP_DEFLATED
        with open(path, "rb") as f:
            z.writestr(entry, f.read())
with open(out, "rb") as f:
    digest = hashlib.sha256(f.read()).hexdigest()
with open(out + ".sha256", "w") as f:
    f.write(f"{digest}  {os.path.basename(out)}\n")
