"""The release as a site receives it, made by scripts/release.sh from clones of HEAD (what is
not committed is not released): signed through a PKCS#11 token (SoftHSM2 standing in for the
hardware) with a throwaway CA, then made again at another path, time, time zone, umask and git
line-ending setting with the first one's detached signatures attached, which must give the same
bytes. Every signed file verifies against the CA, as Windows sees it too, and a changed byte is
refused; the programs inside the zips and the MSIs are the signed ones; BUILDINFO says what
built them. No PIN or password gets out of the signing step. Bad inputs are refused, naming
what is wrong, and leave nothing behind."""

import contextlib
import os
import pathlib
import re
import secrets
import shutil
import subprocess
import time

import olefile
import pytest

from conftest import BUILD, VERSION, unpack

SOURCE = os.environ.get("OSTRIVAL_SOURCE", "")
MODULE = "/usr/lib/softhsm/libsofthsm2.so"
KEY = "pkcs11:token=release;object=signer;type=private"
# Nowhere else in a release, nor in another run of this scenario beside it: the processes of the
# whole machine are searched for them.
PIN, WRONG_PIN, P12_PASSWORD = (secrets.token_hex(8) for _ in range(3))
# What WinVerifyTrust answers: intact, changed after signing, not signed.
INTACT, BAD_DIGEST, NO_SIGNATURE = "00000000", "80096010", "800B0100"


def sh(*argv, check=True, **options):
    return subprocess.run([str(a) for a in argv], check=check, capture_output=True, **options)


def certificate(pki, name, usage, key):
    """A certificate from the CA for KEY, with the extended key USAGE, chained to the CA."""
    sh("openssl", "req", "-x509", "-new", "-key", pki / key, "-subj", f"/CN=Ostrival {name}",
       "-CA", pki / "ca.pem", "-CAkey", pki / "ca.key", "-days", "30", "-config", "/dev/null",
       "-addext", "keyUsage=critical,digitalSignature", "-addext", f"extendedKeyUsage={usage}",
       "-out", pki / f"{name}.pem")
    chain = pki / f"{name}-chain.pem"
    chain.write_bytes((pki / f"{name}.pem").read_bytes() + (pki / "ca.pem").read_bytes())
    return chain


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    """The CA, and the signer's key on a token of its own."""
    pki = tmp_path_factory.mktemp("pki")
    sh("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", pki / "ca.key",
       "-out", pki / "ca.pem", "-days", "30", "-subj", "/CN=Ostrival Test CA")
    for key in ("signer", "other"):
        sh("openssl", "genpkey", "-algorithm", "RSA", "-out", pki / f"{key}.key")
    (pki / "tokens").mkdir()
    conf = pki / "softhsm2.conf"
    conf.write_text(f"directories.tokendir = {pki}/tokens\n")
    os.environ["SOFTHSM2_CONF"] = str(conf)  # the token, for release.sh and for osslsigncode
    sh("softhsm2-util", "--init-token", "--free", "--label", "release", "--pin", PIN,
       "--so-pin", "12345678")
    sh("softhsm2-util", "--import", pki / "signer.key", "--token", "release", "--label", "signer",
       "--id", "01", "--pin", PIN)
    return pki


@pytest.fixture(scope="module")
def sign(pki):
    """What release.sh is given to sign with the token: the PIN in the key's URI."""
    return {"OSTRIVAL_SIGN_KEY": f"{KEY}?pin-value={PIN}", "OSTRIVAL_SIGN_PKCS11_MODULE": MODULE,
            "OSTRIVAL_SIGN_CERTS": str(certificate(pki, "signer", "codeSigning", "signer.key"))}


def release(clone, out, env, tz="UTC", umask=0o022):
    """scripts/release.sh from CLONE into OUT: (exit status, what it printed). While it runs,
    every process's command line, and the environment of each but the script's own shells, is
    sampled for the PIN or password it was given: that must reach none of them, nor the output."""
    secret = (env.get("OSTRIVAL_SIGN_PASS") or env.get("OSTRIVAL_SIGN_KEY", "").partition(
        "pin-value=")[2]).encode()
    run = subprocess.Popen(["bash", "-c", f'umask {umask:o} && exec scripts/release.sh "$0"', out],
                           cwd=clone, env=dict(os.environ, TZ=tz, **env), stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT)
    leaks = set()
    while secret and run.poll() is None:
        for proc in pathlib.Path("/proc").glob("[0-9]*"):
            with contextlib.suppress(OSError):  # gone meanwhile
                argv = (proc / "cmdline").read_bytes()
                # The script's own shells hold what they were given; a process without a
                # command line is in the middle of an exec (into the script, at its start).
                own = not argv or b"release.sh" in argv
                if secret in argv or not own and secret in (proc / "environ").read_bytes():
                    leaks.add(argv)
        time.sleep(0.05)
    said = run.communicate()[0]
    assert not leaks and not (secret and secret in said), (leaks, said)
    return run.returncode, said.decode()


def clone(path):
    sh("git", "clone", "-q", SOURCE, path)
    return path


def contents(folder):
    return {p.relative_to(folder): p.read_bytes() for p in folder.rglob("*") if p.is_file()}


def where_they_differ(a, b):
    return sh("diffoscope", "--text", "-", a, b, check=False, text=True).stdout[:6000]


@pytest.fixture(scope="module")
def signed(sign, tmp_path_factory):
    """The release, signed, from a clone of HEAD."""
    out = tmp_path_factory.mktemp("first") / "signed"
    status, said = release(clone(out.parent / "clone"), out, sign)
    assert status == 0 and said.splitlines()[-1].startswith(
        "release.sh: signed, not time-stamped release of"), said
    return out


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


def test_signed_release_is_rebuilt_bit_for_bit(lab, pki, signed, tmp_path):
    packages = sorted(signed.glob("ostrival-*"))
    assert [p.name for p in packages] == [f"ostrival-{VERSION}-{a}" for a in
                                          ("win32.zip", "win64.zip", "x64.msi", "x86.msi")]
    programs = []
    for zip_, msi in ((packages[0], packages[3]), (packages[1], packages[2])):
        in_zip, in_msi = unpack(zip_, tmp_path / zip_.name), unpack(msi, tmp_path / msi.name)
        for name in ("ostrival.exe", "tracecap.exe"):
            assert in_zip[name].read_bytes() == in_msi[name].read_bytes(), (zip_, name)
            programs.append(in_zip[name])
    # The chain, by osslsigncode: each program and MSI; a changed MSI is refused.
    for path in programs + packages[2:]:
        verdict = sh("osslsigncode", "verify", "-CAfile", pki / "ca.pem", "-in", path, check=False)
        assert verdict.returncode == 0, (path, verdict.stdout[-800:])
    for msi in packages[2:]:
        assert b"MISMATCH" in sh("osslsigncode", "verify", "-CAfile", pki / "ca.pem", "-in",
                                 changed(msi, tmp_path), check=False).stdout
    # Windows's own verdict on the programs: under Wine it judges an MSI's content not at all.
    unsigned = f"{BUILD}/stage/ostrival.exe"
    files = programs + packages[2:] + [changed(programs[0], tmp_path), unsigned]
    status, out, _ = lab.prefix("trust", arch="x64").run(
        f"{BUILD}/tests/verify_trust.exe", *("Z:" + str(f).replace("/", "\\") for f in files))
    assert out.decode().split() == [INTACT] * 6 + [BAD_DIGEST, NO_SIGNATURE]
    # What built it, listed in SHA256SUMS with the rest.
    assert "BUILDINFO: OK" in sh("sha256sum", "-c", "SHA256SUMS", cwd=signed, text=True).stdout
    info = (signed / "BUILDINFO").read_text()
    assert sh("git", "-C", SOURCE, "log", "-1", "--format=Commit: %H%nSource-Date-Epoch: %ct",
              text=True).stdout in info
    assert re.findall(r"^Product-Code-(\w+): {[0-9A-F-]{36}}$", info, re.M) == ["x64", "x86"]
    for package in ("g++-mingw-w64-x86-64-posix", "g++-mingw-w64-i686-posix", "wixl",
                    "osslsigncode"):
        version = sh("dpkg-query", "-W", "-f", "${Version}", package, text=True).stdout
        assert f"\n {package} (= {version})" in info, info

    # Elsewhere, later, in another time zone and umask, by a git set to write CRLF (after its
    # checkout, which would break the scripts): the signatures attached to a new build, each
    # checked against the CA. Published as built with another cmake, which is named; one that
    # leaves the bytes as they were.
    published = shutil.copytree(signed, tmp_path / "published")
    info = published / "BUILDINFO"
    info.write_text(re.sub(r"cmake \(= .*\)", "cmake (= 0.1)", info.read_text()))
    again = tmp_path / "a path with spaces"
    sh("git", "-C", clone(again / "clone"), "config", "core.autocrlf", "true")
    status, said = release(again / "clone", again / "attached",
                           {"OSTRIVAL_SIGNATURES": str(published / "signatures"),
                            "OSTRIVAL_SIGNATURES_CA": str(pki / "ca.pem")},
                           tz="Pacific/Chatham", umask=0o077)
    if status != 0 or contents(signed) != contents(again / "attached"):
        # Where the two builds part, shown on unsigned releases from both clones.
        for where in (signed.parent, again):
            release(where / "clone", where / "unsigned", {})
        pytest.fail(f"{said}\n{where_they_differ(signed.parent / 'unsigned', again / 'unsigned')}")
    assert "differs from the signed one in cmake: 0.1 there" in said, said


def test_bad_signing_inputs_are_refused(pki, sign, signed, tmp_path):
    other = {**sign, "OSTRIVAL_SIGN_CERTS": str(certificate(pki, "other", "codeSigning",
                                                                "other.key"))}
    server = {**sign, "OSTRIVAL_SIGN_CERTS": str(certificate(pki, "server", "serverAuth",
                                                                 "signer.key"))}
    # A PKCS#12 file still holding the certificate that a renewal with the same key replaced.
    certificate(pki, "old", "codeSigning", "signer.key")
    sh("openssl", "pkcs12", "-export", "-inkey", pki / "signer.key", "-in", pki / "old.pem",
       "-passout", f"pass:{P12_PASSWORD}", "-out", pki / "old.p12")
    renewed = {**sign, "OSTRIVAL_SIGN_KEY": str(pki / "old.p12"),
               "OSTRIVAL_SIGN_PASS": P12_PASSWORD}
    source = clone(tmp_path / "clone")
    for env, named in (({**sign, "OSTRIVAL_SIGN_KEY": KEY, "OSTRIVAL_SIGN_PASS": WRONG_PIN},
                        "refused the PIN"),
                       (other, "is not the certificate of the key"),
                       (server, "is not for code signing"),
                       (renewed, "of CN=Ostrival old, not CN=Ostrival signer")):
        status, said = release(source, tmp_path / "out", env)
        assert status != 0 and named in said, said
        assert not (tmp_path / "out").exists() and not list(tmp_path.glob(".release.*"))
    (tmp_path / "file").touch()
    assert "file is not a folder" in release(source, tmp_path / "file", {})[1]
    # Another file's signature, as a build of other sources would bring, given to the step that
    # attaches: tried on this tree's own program, which spares a third build.
    attach = subprocess.run(
        ["bash", "-c", 'die() { echo "$*"; exit 1; }; work=$0; . scripts/signing.sh; '
         'sign_file "$1" "$work/out/signatures/x64/tracecap.exe.sig"', tmp_path,
         shutil.copy(f"{BUILD}/stage/ostrival.exe", tmp_path)], cwd=SOURCE, text=True,
        env=dict(os.environ, OSTRIVAL_SIGNATURES=str(signed / "signatures")), capture_output=True)
    assert attach.returncode and "belongs to another build" in attach.stdout, attach
