"""The verbs the release scenario is written in: a throwaway CA and a SoftHSM2 token to sign
with, clones to release from (hostile ones included), scripts/release.sh run under a spy that
searches every process of the machine for the secret it was given, and the signing step called
on its own."""

import contextlib
import hashlib
import http.server
import json
import os
import pathlib
import re
import shutil
import subprocess
import tempfile
import threading
import time

import jsonschema
import olefile
import yaml

from conftest import BUILD, VERSION, unpack

SOURCE = os.environ.get("OSTRIVAL_SOURCE", "")
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
KEY = "pkcs11:token=release;object=signer;type=private"
CHECK_SBOM = os.path.join(os.path.dirname(__file__), "..", "sbom", "check.js")
SCHEMAS = pathlib.Path(__file__).parent.parent / "winget"
# A date after the signer's certificate ends (it is valid for 30 days).
EXPIRED = time.time() + 40 * 86400


def sh(*argv, check=True, **options):
    return subprocess.run([str(a) for a in argv], check=check, capture_output=True, **options)


def make_pki(pki, pin):
    """The CA, and the signer's key on a token of its own, behind PIN."""
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki / "ca.key",
       "-out", pki / "ca.pem", "-days", "30", "-subj", "/CN=Ostrival Test CA")
    for key in ("signer", "other"):
        sh("openssl", "genpkey", "-algorithm", "RSA", "-out", pki / f"{key}.key")
    (pki / "tokens").mkdir()
    conf = pki / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {pki}/tokens\n")
    os.environ["SOFTHSM2_CONF"] = str(conf)  # the token, for release.sh and for osslsigncode
    sh("softhsm2-util", "--init-token", "--free", "--label", "release", "--pin", pin,
       "--so-pin", "12345678")
    sh("softhsm2-util", "--import", pki / "signer.key", "--token", "release", "--label", "signer",
       "--id", "01", "--pin", pin)
    return pki


def certificate(pki, name, usage, key):
    """A certificate from the CA for KEY, with the extended key USAGE, chained to the CA."""
    sh("openssl", "req", "-x509", "-new", "-key", pki / key, "-subj", f"/CN=Ostrival {name}",
       "-CA", pki / "ca.pem", "-CAkey", pki / "ca.key", "-days", "30", "-config", "/dev/null",
       "-addext", "keyUsage=critical,digitalSignature", "-addext", f"extendedKeyUsage={usage}",
       "-out", pki / f"{name}.pem")
    chain = pki / f"{name}-chain.pem"
    chain.write_bytes((pki / f"{name}.pem").read_bytes() + (pki / "ca.pem").read_bytes())
    return chain


class TimeStamps(http.server.HTTPServer):
    """An RFC 3161 time-stamp authority on 127.0.0.1 of a root of its own (PKI/tsa-root.pem):
    openssl ts -reply behind Python's web server, in a thread; an HTTP 500 while failing."""

    def __init__(self, pki):
        sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki / "tsa.key",
           "-out", pki / "tsa-root.pem", "-days", "3650", "-subj", "/CN=Ostrival Test TSA root")
        sh("openssl", "req", "-x509", "-new", "-key", pki / "tsa.key", "-subj", "/CN=Ostrival TSA",
           "-CA", pki / "tsa-root.pem", "-CAkey", pki / "tsa.key", "-days", "3650", "-config",
           "/dev/null", "-addext", "extendedKeyUsage=critical,timeStamping", "-out", pki / "tsa.pem")
        (pki / "tsa.serial").write_text("01\n")
        (pki / "tsa.cnf").write_text(
            f"[tsa]\ndefault_tsa = here\n[here]\nserial = {pki}/tsa.serial\n"
            f"signer_cert = {pki}/tsa.pem\nsigner_key = {pki}/tsa.key\n"
            "signer_digest = sha256\ndigests = sha256\ndefault_policy = 1.2.3.4\n"
            "ess_cert_id_alg = sha256\n")
        authority = self

        class Reply(http.server.BaseHTTPRequestHandler):
            def do_POST(self):
                query = self.rfile.read(int(self.headers["Content-Length"]))
                if authority.failing:
                    return self.send_error(500)
                reply = sh("openssl", "ts", "-reply", "-config", pki / "tsa.cnf", "-queryfile",
                           "/dev/stdin", input=query).stdout
                self.send_response(200)
                self.send_header("Content-Type", "application/timestamp-reply")
                self.end_headers()
                self.wfile.write(reply)

            def log_message(self, *_):
                pass

        super().__init__(("127.0.0.1", 0), Reply)
        self.failing, self.url = False, f"http://127.0.0.1:{self.server_address[1]}"
        threading.Thread(target=self.serve_forever, daemon=True).start()


def pkcs12(pki, name, cert, password):
    """The signer's key with the certificate CERT in a PKCS#12 file."""
    sh("openssl", "pkcs12", "-export", "-inkey", pki / "signer.key", "-in", pki / cert,
       "-passout", f"pass:{password}", "-out", pki / name)
    return str(pki / name)


def clone(path):
    sh("git", "clone", "-q", SOURCE, path)
    return path


def commit(clone, *args):
    """A commit in CLONE, by git commit ARGS."""
    sh("git", "-C", clone, "-c", "user.name=x", "-c", "user.email=x", "commit", "-q", *args)


def signed_clone(path):
    """A clone whose HEAD is signed (SSH), and whose git log shows signatures."""
    clone(path)
    sh("ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", path.parent / "key")
    for name, value in (("gpg.format", "ssh"), ("log.showSignature", "true")):
        sh("git", "-C", path, "config", name, value)
    commit(path, "--amend", "--no-edit", f"--gpg-sign={path.parent}/key.pub")
    return path


def hostile_clone(path, marks):
    """A clone whose own settings would change the files it gives out, or run programs, were
    they obeyed: an eol rule, a smudge and a clean filter and ident in .git/info/attributes,
    core.autocrlf (set after the checkout, which it would break), a replaced licence, and an
    fsmonitor. What runs leaves a mark in MARKS."""
    clone(path)
    git = ("git", "-C", path)
    (path / ".git/info/attributes").write_text("* text eol=crlf ident filter=poison\n")
    for name, value in (("filter.poison.smudge", "sed s/128000/120000/"),
                        ("filter.poison.clean", f"touch {marks}/ran-clean; cat"),
                        ("core.fsmonitor", f"{marks}/fsmonitor"), ("core.autocrlf", "true")):
        sh(*git, "config", name, value)
    fake = sh(*git, "hash-object", "-w", "--stdin", input=b"replaced\n").stdout.decode().strip()
    sh(*git, "replace", sh(*git, "rev-parse", "HEAD:LICENSE").stdout.decode().strip(), fake)
    return path


def diverted(clone, marks):
    """A branch in CLONE whose release scripts leave a mark in MARKS when they run, to be
    checked out while the release of HEAD builds."""
    sh("git", "-C", clone, "checkout", "-q", "-b", "diverted")
    for script, line in (("sbom.py", f"open('{marks}/ran-sbom', 'w')"),
                         ("signing.sh", f"touch {marks}/ran-signing")):
        with open(clone / "scripts" / script, "a") as f:
            f.write(line + "\n")
    commit(clone, "-qam", "diverted")
    sh("git", "-C", clone, "checkout", "-q", "-")
    return lambda *_: sh("git", "-C", clone, "checkout", "-q", "diverted")


def hostile_caller(marks):
    """The environment of a careless caller, every part of which would change the bytes or run
    code of its own were it obeyed: tools named like the release's first on PATH and where cmake
    looks, start-up code for Python and bash, functions named like tools, compiler flags, cd's
    search path, git's configuration. What runs leaves a mark in MARKS."""
    for tool in ("cmake", "git", "openssl", "osslsigncode", "python3", "dpkg-query", "wixl",
                 "bwrap", "x86_64-w64-mingw32-g++-posix", "fsmonitor"):
        (marks / tool).write_text(f"#!/bin/sh\ntouch {marks}/ran-{tool}\n"
                                  f"exec /usr/bin/{tool} \"$@\"\n")
        (marks / tool).chmod(0o755)
    (marks / "sitecustomize.py").write_text(f"open('{marks}/ran-python-startup', 'w')\n")
    (marks / "bash_env").write_text(f"touch {marks}/ran-bash-env\n")
    return {"PATH": f"{marks}:{os.environ['PATH']}", "CMAKE_PROGRAM_PATH": str(marks),
            "PYTHONPATH": str(marks), "BASH_ENV": str(marks / "bash_env"),
            "BASH_FUNC_cmake%%": f"() {{ touch {marks}/ran-cmake-function; }}",
            "CXXFLAGS": "-march=native", "CFLAGS": "-march=native", "CDPATH": ".:/usr/local",
            "GIT_CONFIG_COUNT": "1", "GIT_CONFIG_KEY_0": "core.fsmonitor",
            "GIT_CONFIG_VALUE_0": str(marks / "fsmonitor")}


def sha256(path):
    return hashlib.sha256(pathlib.Path(path).read_bytes()).hexdigest()


def sums(folder):
    """{file: SHA-256} as the release's SHA256SUMS lists them, each checked by sha256sum."""
    checked = sh("sha256sum", "--strict", "-c", "SHA256SUMS", cwd=folder, text=True).stdout
    assert all(line.endswith(": OK") for line in checked.splitlines()), checked
    lines = (folder / "SHA256SUMS").read_text().splitlines()
    return {name: digest for digest, name in (line.split("  ", 1) for line in lines)}


def unpacked(folder, into):
    """The files in each of the release's four packages, {package: {file: path}}; each zip
    holds the programs its architecture's MSI holds, byte for byte."""
    names = [f"ostrival-{VERSION}-{a}" for a in ("win32.zip", "win64.zip", "x64.msi", "x86.msi")]
    assert sorted(p.name for p in folder.iterdir() if p.suffix in (".zip", ".msi")) == names
    inside = {name: unpack(folder / name, into / name) for name in names}
    for zip_, msi in ((names[0], names[3]), (names[1], names[2])):
        for name in ("ostrival.exe", "tracecap.exe"):
            assert inside[zip_][name].read_bytes() == inside[msi][name].read_bytes(), (zip_, name)
    return inside


def expect_chained(pki, files, into, stamped=False):
    """Each of FILES verifies against the CA, by osslsigncode; STAMPED, with a time stamp that
    verifies against the time-stamp authority's root, at a date after the signer's certificate
    has ended. An MSI with a byte of its cabinet changed does not verify."""
    for path in files:
        stamps = ["-TSA-CAfile", pki / "tsa-root.pem", "-time", int(EXPIRED)] if stamped else []
        verdict = sh("osslsigncode", "verify", "-CAfile", pki / "ca.pem", *stamps, "-in", path,
                     check=False)
        assert verdict.returncode == 0, (path, verdict.stdout[-800:])
        assert not stamped or b"Timestamp Server Signature verification: ok" in verdict.stdout
    for msi in (f for f in files if str(f).endswith(".msi")):
        assert b"MISMATCH" in sh("osslsigncode", "verify", "-CAfile", pki / "ca.pem", "-in",
                                 changed(msi, into), check=False).stdout


def windows_verdicts(lab, files):
    """What WinVerifyTrust says of each of FILES, as hex HRESULTs."""
    _, out, _ = lab.prefix("trust", arch="x64").run(
        f"{BUILD}/tests/verify_trust.exe", *("Z:" + str(f).replace("/", "\\") for f in files))
    return out.decode().split()


def expect_buildinfo(folder):
    """BUILDINFO, checked: listed in SHA256SUMS with every other file of the release; naming the
    commit the release started from (SOURCE's HEAD, whatever the clone got meanwhile), its
    time, each MSI's product code and the version of the packages that built it."""
    listed = sums(folder)
    assert set(listed) == {str(p.relative_to(folder)) for p in folder.rglob("*") if p.is_file()
                           and p.parts[len(folder.parts)] != "signatures"} - {"SHA256SUMS"}
    info = (folder / "BUILDINFO").read_text()
    head = sh("git", "-C", SOURCE, "log", "-1", "--format=%H%n%ct", text=True).stdout.split()
    assert f"Commit: {head[0]}\nSource-Date-Epoch: {head[1]}\n" in info
    assert re.findall(r"^Product-Code-(\w+): {[0-9A-F-]{36}}$", info, re.M) == ["x64", "x86"]
    for package in ("g++-mingw-w64-x86-64-posix", "g++-mingw-w64-i686-posix", "wixl",
                    "osslsigncode"):
        version = sh("dpkg-query", "-W", "-f", "${Version}", package, text=True).stdout
        assert f"\n {package} (= {version})" in info, info
    return info


def expect_sbom(folder, inside, info, into):
    """The SBOM, valid by CycloneDX's own schema: Ostrival at BUILDINFO's commit; each package
    with its digest, as SHA256SUMS has it too, and each file of INSIDE with its own; each
    library linked in, at the version BUILDINFO names, in its package URL too, under the
    licences Debian gives its parts; a serial number of its own, which a release with one byte
    more (in a copy, INTO) does not share."""
    [path] = folder.glob("*.cdx.json")
    said = json.loads(sh("node", CHECK_SBOM, path, text=True).stdout)
    assert said["errors"] is None, said["errors"]
    bom = json.loads(path.read_text())
    assert bom["metadata"]["component"] == {
        "type": "application", "bom-ref": "ostrival", "name": "Ostrival", "version": VERSION,
        "licenses": [{"license": {"id": "MIT"}}], "properties": [
            {"name": "ostrival:commit", "value": re.search(r"^Commit: (\w+)$", info, re.M)[1]}]}
    shipped = {c["name"]: c for c in bom["components"] if c["type"] == "file"}
    assert {name: [{"alg": "SHA-256", "content": sha256(folder / name)}] for name in inside} == {
        name: c["hashes"] for name, c in shipped.items()}
    for name, files in inside.items():
        assert {f: sha256(path) for f, path in files.items()} == {
            c["name"]: c["hashes"][0]["content"] for c in shipped[name]["components"]}
    libraries = {c["bom-ref"]: c["version"] for c in bom["components"] if c["type"] == "library"}
    assert len(libraries) == 8 and libraries.keys() == said["purls"].keys()
    for ref, (kind, namespace, package, version) in said["purls"].items():
        assert (kind, namespace, version) == ("deb", "debian", libraries[ref])
        assert f"\n {package} (= {version})" in info, ref
    # What printf formats numbers with, in every program: gdtoa and mingw_pformat.
    runtime = [c["licenses"] for c in bom["components"] if c["name"] == "mingw-w64-runtime"][0]
    copyright = pathlib.Path("/usr/share/doc/mingw-w64-x86-64-dev/copyright").read_text()
    for part in ("mingw-w64-crt/gdtoa/*", "mingw-w64-crt/stdio/mingw_pformat.*"):
        licence = re.search(re.escape(part) + r"\n(?:.*\n)*?License: (\S+)", copyright)[1]
        assert f"LicenseRef-{licence}" in runtime[0]["expression"].split(" AND "), part
    other = shutil.copytree(folder, into / "one byte more")
    with open(next(other.glob("*.msi")), "ab") as f:
        f.write(b"\0")
    sh("python3", f"{SOURCE}/scripts/sbom.py", other)
    assert json.loads(next(other.glob("*.cdx.json")).read_text())["serialNumber"] != bom[
        "serialNumber"]


def expect_manifests(folder, url):
    """The winget manifests: each valid by winget's own schema, of the version released, and
    saying of each MSI what it is: its URL, its SHA-256 as released, and the product and
    upgrade codes it holds, as msiinfo reads them."""
    manifests = {}
    for path in (folder / f"winget/manifests/o/Ostrival/Ostrival/{VERSION}").iterdir():
        text = path.read_text()
        kind = re.match(r"# yaml-language-server: \$schema=https://aka\.ms/winget-manifest\."
                        r"(\w+)\.1\.12\.0\.schema\.json\n", text)[1]
        manifests[kind] = yaml.safe_load(text)
        jsonschema.validate(manifests[kind],
                            json.loads((SCHEMAS / f"manifest.{kind}.1.12.0.json").read_text()))
    assert sorted(manifests) == ["defaultLocale", "installer", "version"]
    assert {m["PackageVersion"] for m in manifests.values()} == {VERSION}
    installers = manifests["installer"]["Installers"]
    # The x86 package refuses 64-bit Windows.
    assert [i.get("UnsupportedOSArchitectures") for i in installers] == [None, ["x64", "arm64"]]
    for installer in installers:
        msi = folder / f"ostrival-{VERSION}-{installer['Architecture']}.msi"
        table = sh("msiinfo", "export", msi, "Property", text=True).stdout.splitlines()[3:]
        codes = dict(line.rstrip("\r").split("\t") for line in table)
        entry = installer["AppsAndFeaturesEntries"][0]
        assert (installer["InstallerUrl"], installer["InstallerSha256"].lower()) == (
            f"{url}/{msi.name}", sha256(msi))
        assert installer["ProductCode"] == entry["ProductCode"] == codes["ProductCode"]
        assert entry["UpgradeCode"] == codes["UpgradeCode"]


def contents(folder):
    return {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def where_they_differ(a, b):
    return sh("diffoscope", "--text", "-", a, b, check=False, text=True).stdout[:6000]


def changed(path, into):
    """A copy of the exe or MSI at PATH with one byte of its content changed."""
    copy = str(shutil.copy(path, into / f"changed-{path.name}"))
    if copy.endswith(".msi"):
        ole = olefile.OleFileIO(copy, write_mode=True)
        name = max(ole.listdir(), key=ole.get_size)  # the cabinet
        data = bytearray(ole.openstream(name).read())
        data[len(data) // 2] ^= 1
        ole.write_stream(name, bytes(data))
        ole.close()
    else:
        data = bytearray(open(copy, "rb").read())
        data[len(data) // 2] ^= 1
        open(copy, "wb").write(data)
    return copy


def parents():
    """{pid: parent pid} of every process of the machine."""
    found = {}
    for proc in pathlib.Path("/proc").glob("[0-9]*"):
        with contextlib.suppress(OSError):  # gone meanwhile
            found[int(proc.name)] = int((proc / "stat").read_bytes().rpartition(b")")[2].split()[1])
    return found


class Spy:
    """Searches for any of SECRETS while the release runs: in each execve's arguments and
    environment and each here-string written to a file (as strace records them), and in every
    process's environment on the machine, sampled. None may hold one, but the release's first
    process until it has started another (it starts itself again without it) and the TRACER."""

    def __init__(self, secrets, trace, tracer):
        self.secrets, self.trace, self.tracer = secrets, trace, tracer
        self.root, self.started, self.leaks, self.below = 0, False, set(), set()

    def sweep(self):
        """The command lines of the release's processes, seen while searching them all."""
        if not self.root:  # the release's first program, once strace has seen it start
            first = self.trace.read_bytes().split(b" ", 1)[0]
            self.root = int(first or 0)
            return []
        family, self.below = parents(), set()
        more = {self.root}
        while more:
            more = {pid for pid, parent in family.items() if parent in more} - self.below
            self.below |= more
        # Known before any environment is read: the release starts nothing before it is clean.
        self.started = self.started or bool(self.below)
        seen = []
        for pid in family:
            with contextlib.suppress(OSError):
                environ = pathlib.Path(f"/proc/{pid}/environ").read_bytes()
                if pid != self.tracer and (pid != self.root or self.started):
                    self.leaks |= {pid for s in self.secrets if s in environ}
                if pid in self.below:
                    seen.append(pathlib.Path(f"/proc/{pid}/cmdline").read_bytes())
        return seen

    def traced(self):
        """Each here-document that went to a file, and each program started with a secret in
        its arguments or environment, but by the first process before it has started any
        other."""
        lines = self.trace.read_bytes().splitlines()
        root = lines[0].split(b" ", 1)[0] + b" " if lines else b""
        first = next((n for n, line in enumerate(lines) if not line.startswith(root)), len(lines))
        return [line[:200] for n, line in enumerate(lines) if b"/sh-thd." in line or n >= first
                and b" execve(" in line and any(s in line for s in self.secrets)]


def release(clone, out, env, secrets=(), tz="UTC", umask=0o022, during=None,
            argv=("scripts/release.sh",), at=b"cmake\0--build", output=True, traced=True):
    """scripts/release.sh (or ARGV, then OUT) from CLONE into OUT, in a session of its own:
    (exit status, what it printed, which holds no secret), spied on for SECRETS. DURING(its
    pid, its processes' pids) is called once a command line holding AT runs. Without OUTPUT,
    its standard output is a pipe nobody reads; not TRACED, no strace (whose tracees cannot
    start a program once it has died)."""
    reader, writer = os.pipe()
    os.close(reader)
    with tempfile.NamedTemporaryFile() as trace:
        tracer = ["strace", "-f", "-qq", "-v", "-s", "65536", "--seccomp-bpf", "-e",
                  "trace=execve,unlink,unlinkat", "-e", "signal=none", "-o", trace.name]
        run = subprocess.Popen(
            [*tracer[:len(tracer) * traced], *argv, out], cwd=clone,
            env=dict(os.environ, TZ=tz, **env), umask=umask, start_new_session=True,
            stdout=subprocess.PIPE if output else writer,
            stderr=subprocess.STDOUT if output else subprocess.PIPE)
        os.close(writer)
        spy = Spy([s.encode() for s in secrets], pathlib.Path(trace.name), run.pid)
        spy.root = 0 if traced else run.pid
        while run.poll() is None:
            seen = spy.sweep()
            if during and any(at in argv for argv in seen):
                during(spy.root, spy.below)
                during = None
            time.sleep(0.05)
        said, traced = run.communicate()[0 if output else 1], spy.traced()
    assert not spy.leaks and not traced and not any(s in said for s in spy.secrets), (
        spy.leaks, traced, said)
    return run.returncode, said.decode()


def running(text, pids=()):
    """The command lines of the live processes whose command line holds TEXT, or that are
    among PIDS."""
    found = []
    for pid in parents():
        with contextlib.suppress(OSError):
            argv = pathlib.Path(f"/proc/{pid}/cmdline").read_bytes()
            found += [argv] if argv and (text.encode() in argv or pid in pids) else []
    return found


def signing_step(work, env, name, program, clock=()):
    """PROGRAM signed as a release signs its NAME (x64/ostrival.exe), by scripts/signing.sh
    as release.sh sources it, with WORK as its scratch folder, from what env says, under the
    clock CLOCK (faketime's arguments): (status, output, ending with what the release would
    say of its signatures)."""
    done = subprocess.run(
        [*(("faketime", *clock) if clock else ()), "bash", "-c", 'set -euo pipefail; die() { echo "$*"; exit 1; }; work=$0; contained=(); '
         'sign_env=(); step() { local log=$1; shift; ("$@") >"$log" 2>&1; }; '
         '. scripts/signing.sh; sign_key=${OSTRIVAL_SIGN_KEY-} sign_pass=${OSTRIVAL_SIGN_PASS-}; '
         'unset OSTRIVAL_SIGN_KEY OSTRIVAL_SIGN_PASS; choose_signing; check_signing_inputs; '
         'sign_file "$1" "$work/out/signatures/$2.sig"; signing_outcome', work, program, name],
        cwd=SOURCE, text=True, capture_output=True, env={**os.environ, **env})
    return done.returncode, done.stdout + done.stderr
