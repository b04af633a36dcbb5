"""Whether Wine's 32-bit side can run on this machine, found by executing its loader directly.
Through a shell or `ip netns exec` a file the kernel refuses is handed to /bin/sh instead, and
its syntax error says nothing. Three answers: the loader runs; it is missing (a failure: the
package mends it); the kernel cannot execute 32-bit programs at all (a skip: no package mends
that, and a run that needs it neither passes nor fails).

As a program (what scripts/wine-run uses) it prints the loader's path where it runs, else the
reason on stderr, and exits 1 when missing or 77, CTest's skip code here, when refused."""

import errno
import os
import subprocess
import sys
import unittest

# Stands in for the loader, so that each answer can be shown on any machine.
LOADER = os.environ.get("OSTRIVAL_WINE32", "/usr/lib/wine/wine")
MISSING, REFUSED = 1, 77
KERNEL = "this kernel cannot run 32-bit programs"


class Refused(unittest.SkipTest):
    """A skip, which pytest reports as one, not a failure."""


def probe():
    """None where the loader runs, else (MISSING or REFUSED, the reason)."""
    try:
        subprocess.run([LOADER, "--version"], stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=60)
    except OSError as e:
        if e.errno == errno.ENOEXEC:
            return REFUSED, f"{KERNEL} ({LOADER}: {e.strerror})"
        # ENOENT also where the loader is there but the i386 dynamic loader is not.
        return MISSING, (f"32-bit Wine is missing ({LOADER}: {e.strerror}): install "
                         "wine32:i386 (scripts/deps.sh adds the i386 architecture and installs it)")
    return None


def require():
    """Raises Refused or RuntimeError, with the reason, unless the loader runs."""
    failed = probe()
    if failed:
        raise (Refused if failed[0] == REFUSED else RuntimeError)(failed[1])


if __name__ == "__main__":
    failed = probe()
    if failed:
        print(f"wine-run: {'skipped' if failed[0] == REFUSED else 'failed'}: {failed[1]}",
              file=sys.stderr)
        sys.exit(failed[0])
    print(LOADER)
