"""notices.py OUT COMPILER: writes OUT, the notices of what COMPILER's static runtime puts into
every program, with the copyright and licence texts that Debian ships for each part: found at
build time from the libraries themselves, never retyped. Both architectures get the same text,
as Debian gives both the same."""

import os
import subprocess
import sys

out, compiler = sys.argv[1:3]
# What a static C++ link with MinGW-w64 takes from its runtime.
LIBRARIES = ["libstdc++.a", "libgcc.a", "libgcc_eh.a", "crtbegin.o", "libwinpthread.a",
             "libmingwex.a", "libmingw32.a", "libmsvcrt.a", "libmoldname.a", "crt2.o"]


def run(*argv):
    return subprocess.run(argv, check=True, capture_output=True, text=True).stdout.strip()


parts = {}  # copyright text: (source package and version, [library, ...])
for library in LIBRARIES:
    path = os.path.realpath(run(compiler, f"-print-file-name={library}"))
    package = run("dpkg", "-S", path).split(":")[0]
    with open(f"/usr/share/doc/{package}/copyright", encoding="utf-8") as f:
        source = run("dpkg-query", "-W", "-f", "${source:Package} ${Version}", package)
        parts.setdefault(f.read(), (source, []))[1].append(library)

text = ["Third-party notices for Ostrival\n\n"
        "ostrival.exe and tracecap.exe contain parts of the following libraries, linked in\n"
        "statically. Each part's copyright and licence text follows as Debian ships it.\n"
        "libstdc++ and libgcc are under the GNU General Public License version 3 with the\n"
        "GCC Runtime Library Exception (in their part); the GPL's text closes this file."]
for copyright, (source, libraries) in parts.items():
    text.append(f"== {', '.join(libraries)}: Debian's {source} ==\n\n{copyright}")
with open("/usr/share/common-licenses/GPL-3", encoding="utf-8") as f:
    text.append(f"== GNU General Public License version 3 ==\n\n{f.read()}")
with open(out, "w", encoding="utf-8", newline="\r\n") as f:
    f.write("\n\n".join(text))
