"""The release as a site receives it, made by scripts/release.sh from clones of HEAD: signed
through a SoftHSM2 token and time-stamped, then made again by a hostile clone and caller, at
another path, time, time zone and umask, with the first one's signatures attached, which must
give the same bytes. Its signatures verify, past their certificate's end, as Windows sees them
too; BUILDINFO, the SBOM and the winget manifests say what the files are. No secret reaches a
command line, an environment, a file or the output. Bad inputs are refused, naming what is
wrong; a signal stops a release at once, leaving nothing, and a KILL leaves no process."""

import concurrent.futures
import os
import re
import secrets
import shutil
import signal
import socket
import time

import pytest

from conftest import BUILD, VERSION
from releasing import (EXPIRED, KEY, MODULE, TimeStamps, certificate, changed, clone, commit,
                       contents, diverted, expect_buildinfo, expect_chained, expect_manifests,
                       expect_sbom, hostile_caller, hostile_clone, make_pki, pkcs12, release,
                       running, signed_clone, signing_step, unpacked, where_they_differ,
                       windows_verdicts)

# Nowhere else in a release, nor in another run of this scenario beside it: every process of
# the machine is searched for them. The PIN has what a careless parser of its URI trips on.
PIN_PARTS = [secrets.token_hex(4) for _ in range(3)]  # 28 characters: 32 at most pass openssl
PIN = f"{PIN_PARTS[0]}?{PIN_PARTS[1]}\\c{PIN_PARTS[2]}&"
WRONG_PIN, P12_PASSWORD = secrets.token_hex(8), secrets.token_hex(8)
# What WinVerifyTrust answers: intact, changed after signing, not signed.
INTACT, BAD_DIGEST, NO_SIGNATURE = "00000000", "80096010", "800B0100"
URL = f"https://downloads.example/ostrival/{VERSION}"


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    return make_pki(tmp_path_factory.mktemp("pki"), PIN)


@pytest.fixture(scope="module")
def tsa(pki):
    authority = TimeStamps(pki)
    yield authority
    authority.shutdown()
    authority.server_close()


@pytest.fixture(scope="module")
def sign(pki):
    """What release.sh is given to sign with the token: the PIN in the key's URI, named in
    capitals as a token would take it too; and the token's setting, for the signing tools."""
    return {"OSTRIVAL_SIGN_KEY": f"{KEY}?PIN-Value={PIN.replace('&', '%26')}",
            "OSTRIVAL_SIGN_PKCS11_MODULE": MODULE, "OSTRIVAL_SIGN_ENV": "SOFTHSM2_CONF",
            "OSTRIVAL_SIGN_CERTS": str(certificate(pki, "signer", "codeSigning", "signer.key"))}


@pytest.fixture(scope="module")
def signed(sign, tsa, tmp_path_factory):
    """The release, signed and time-stamped, to be published at URL (so with winget manifests),
    traced and exporting all (bash -x -a), by a caller whose settings would put its here-strings
    in files, a function in place of openssl, and the mark by which it knows it has started
    again without the secret (at its own process id); from a clone of HEAD in which another
    branch, with other release scripts, is checked out while it builds. None of those runs."""
    out = tmp_path_factory.mktemp("first") / "signed"
    marks = out.parent / "marks"
    marks.mkdir()
    source = clone(out.parent / "clone")
    careless = {**sign, "OSTRIVAL_SIGN_TSA": tsa.url, "OSTRIVAL_RELEASE_URL": URL,
                "BASH_COMPAT": "50", "OSTRIVAL_SIGN_PIPES": "3,4",
                "BASH_FUNC_openssl%%": f"() {{ touch {marks}/ran-openssl-function; }}"}
    status, said = release(source, out, careless, PIN_PARTS, during=diverted(source, marks), argv=(
        "bash", "-c", 'exec env OSTRIVAL_RELEASE_IMAGE=$$ bash -x -a scripts/release.sh "$0"'))
    assert status == 0 and said.splitlines()[-1].startswith(
        "release.sh: signed and time-stamped release of"), said
    assert not list(marks.iterdir())
    return out


def test_signed_release(lab, pki, signed, tmp_path):
    inside = unpacked(signed, tmp_path)
    programs = [files[name] for package, files in inside.items() if package.endswith(".zip")
                for name in ("ostrival.exe", "tracecap.exe")]
    msis = sorted(signed.glob("*.msi"))
    expect_chained(pki, programs + msis, tmp_path, stamped=True)
    # Windows's own verdict on the programs: under Wine it judges an MSI's content not at all.
    files = programs + msis + [changed(programs[0], tmp_path), f"{BUILD}/stage/ostrival.exe"]
    assert windows_verdicts(lab, files) == [INTACT] * 6 + [BAD_DIGEST, NO_SIGNATURE]
    expect_sbom(signed, inside, expect_buildinfo(signed), tmp_path)
    expect_manifests(signed, URL)


def test_rebuilt_elsewhere_bit_for_bit(pki, signed, tmp_path):
    # Later, in another time zone and umask, from a hostile clone, by a hostile caller that
    # reads none of its output: the signatures attached to a new build, each checked against
    # the CA. Published as built with another cmake, which is named; one that leaves the bytes
    # as they were. Nothing that the clone's or the caller's settings name runs.
    published = shutil.copytree(signed, tmp_path / "published")
    info = published / "BUILDINFO"
    info.write_text(re.sub(r"cmake \(= .*\)", "cmake (= 0.1)", info.read_text()))
    again, marks = tmp_path / "a path with spaces", tmp_path / "marks"
    marks.mkdir()
    status, said = release(hostile_clone(again / "clone", marks), again / "attached",
                           {**hostile_caller(marks),
                            "OSTRIVAL_SIGNATURES": str(published / "signatures"),
                            "OSTRIVAL_SIGNATURES_CA": str(pki / "ca.pem"),
                            "OSTRIVAL_SIGNATURES_TSA_CA": str(pki / "tsa-root.pem"),
                            "OSTRIVAL_RELEASE_URL": URL},
                           tz="Pacific/Chatham", umask=0o077, output=False)
    if status != 0 or contents(signed) != contents(again / "attached"):
        # Where the two builds part, shown on unsigned releases from both clones.
        for where in (signed.parent, again):
            release(where / "clone", where / "unsigned", {})
        pytest.fail(f"{said}\n{where_they_differ(signed.parent / 'unsigned', again / 'unsigned')}")
    assert "differs from the signed one in cmake: 0.1 there" in said, said
    assert not list(marks.glob("ran-*"))


def test_bad_signing_inputs_are_refused(pki, sign, signed, tsa, tmp_path):
    signer = {**sign, "OSTRIVAL_SIGN_KEY": KEY}
    # Signing against a time-stamp server that never answers, which a release gives a minute:
    # meanwhile, the rest, whose secrets it does not hold.
    pool, silent = concurrent.futures.ThreadPoolExecutor(), socket.create_server(("127.0.0.1", 0))
    password = secrets.token_hex(8)
    unanswered = pool.submit(stamped_by, f"http://127.0.0.1:{silent.getsockname()[1]}", {
        **sign, "OSTRIVAL_SIGN_KEY": pkcs12(pki, "silent.p12", "signer.pem", password),
        "OSTRIVAL_SIGN_PASS": password}, tmp_path / "silent")
    other = certificate(pki, "other", "codeSigning", "other.key")
    server = certificate(pki, "server", "serverAuth", "signer.key")
    # A PKCS#12 file still holding the certificate that a renewal with the same key replaced.
    certificate(pki, "old", "codeSigning", "signer.key")
    source = clone(tmp_path / "clone")
    for env, named in (({**signer, "OSTRIVAL_SIGN_PASS": WRONG_PIN}, "refused the PIN"),
                       ({**sign, "OSTRIVAL_SIGN_CERTS": str(other)}, "not the certificate of"),
                       ({**sign, "OSTRIVAL_SIGN_CERTS": str(server)}, "is not for code signing"),
                       ({**signer, "OSTRIVAL_SIGN_KEY": pkcs12(pki, "old.p12", "old.pem",
                                                               P12_PASSWORD),
                         "OSTRIVAL_SIGN_PASS": P12_PASSWORD},
                        "of CN=Ostrival old, not CN=Ostrival signer"),
                       ({**sign, "OSTRIVAL_SIGN_KEY": " " + sign["OSTRIVAL_SIGN_KEY"]},
                        "begins or ends with white space"),
                       ({**signer, "OSTRIVAL_SIGN_KEY": pkcs12(pki, "empty.p12", "signer.pem", "")},
                        "needs its password"),
                       ({**signer, "OSTRIVAL_SIGN_PASS": f"{WRONG_PIN}\n{WRONG_PIN}"},
                        "holds a line break"),
                       ({"OSTRIVAL_RELEASE_URL": "http://downloads.example/"},
                        "must be an https:// URL")):
        status, said = release(source, tmp_path / "out", env,
                               PIN_PARTS + [WRONG_PIN, P12_PASSWORD])
        assert status != 0 and named in said, said
        assert not (tmp_path / "out").exists() and not list(tmp_path.glob(".release.*"))
    (tmp_path / "file").touch()
    assert "file is not a folder" in release(source, tmp_path / "file", {})[1]
    # A version that the release notes say nothing of.
    notes = source / "CHANGELOG.md"
    notes.write_text(notes.read_text().replace(f"## [{VERSION}]", "## [0.0.0]"))
    commit(source, "-am", "silent")
    assert "CHANGELOG.md has no entry for" in release(source, tmp_path / "out", {})[1]
    # Given to the step that attaches, on this tree's own program: another file's signature, as
    # a build of other sources would bring, and one that is no signature at all.
    program = shutil.copy(f"{BUILD}/stage/ostrival.exe", tmp_path)
    (tmp_path / "junk/x64").mkdir(parents=True)
    (tmp_path / "junk/x64/tracecap.exe.sig").write_bytes(b"not a signature")
    (tmp_path / "BUILDINFO").touch()  # as published beside it
    for signatures, named in ((signed / "signatures", "belongs to another build"),
                              (tmp_path / "junk", "osslsigncode could not attach")):
        status, said = signing_step(tmp_path, {"OSTRIVAL_SIGNATURES": str(signatures)},
                                    "x64/tracecap.exe", program)
        assert status and named in said, said
    tsa.failing = True
    for status, said in (stamped_by(tsa.url, sign, tmp_path / "failing"), unanswered.result()):
        assert status and f"the time-stamp server http://127.0.0.1:" in said, said
    assert "did not answer within 60 s" in said, said
    tsa.failing = False
    silent.close()


def stamped_by(server, env, work):
    """The built program signed in WORK as a release would sign it, time-stamped by SERVER."""
    work.mkdir()
    return signing_step(work, {**env, "OSTRIVAL_SIGN_TSA": server}, "x64/ostrival.exe",
                        shutil.copy(f"{BUILD}/stage/ostrival.exe", work))


def test_a_pkcs12_file_signs_and_signals_stop_the_release(pki, sign, tsa, tmp_path):
    p12 = {**sign, "OSTRIVAL_SIGN_KEY": pkcs12(pki, "signer.p12", "signer.pem", P12_PASSWORD),
           "OSTRIVAL_SIGN_PASS": P12_PASSWORD}
    # The already built program, signed from the file as a release signs it, time-stamped and
    # not. After the certificate's end, the stamped signature still attaches to the program,
    # its chain judged at the stamp's time; the other is refused.
    for stamped in (tsa.url, ""):
        work = tmp_path / f"signed{bool(stamped)}"
        status, said = stamped_by(stamped, p12, work)
        assert status == 0 and said.endswith(
            "signed and time-stamped\n" if stamped else "signed, not time-stamped\n"), said
        expect_chained(pki, [work / "ostrival.exe"], tmp_path, bool(stamped))
        (work / "out/BUILDINFO").touch()
        for roots, refused in ((("tsa-root.pem", ""), ("ca.pem", "the time stamp of")) if stamped
                               else (("tsa-root.pem", "has no time stamp, and its certificate "
                                      "has expired"),)):
            (work / roots).mkdir()
            status, said = signing_step(
                work / roots, {"OSTRIVAL_SIGNATURES": str(work / "out/signatures"),
                               "OSTRIVAL_SIGNATURES_CA": str(pki / "ca.pem"),
                               "OSTRIVAL_SIGNATURES_TSA_CA": str(pki / roots)},
                "x64/ostrival.exe", shutil.copy(f"{BUILD}/stage/ostrival.exe", work / roots),
                clock=(f"@{int(EXPIRED)}",))
            assert (status == 0) if not refused else refused in said, said
    # A release from that file, of a signed commit that git log shows with its signature,
    # stopped while it waits on a time-stamp server that takes the request and never answers:
    # at once, leaving no release, scratch, folder it made or process.
    source = signed_clone(tmp_path / "clone")
    scratch, stopped = tmp_path / "scratch", []
    scratch.mkdir()
    with socket.create_server(("127.0.0.1", 0)) as silent:
        status, said = release(
            source, tmp_path / "made/for/it/out",
            {**p12, "TMPDIR": str(scratch),
             "OSTRIVAL_SIGN_TSA": f"http://127.0.0.1:{silent.getsockname()[1]}"},
            [P12_PASSWORD], at=b"osslsigncode\0sign",
            during=lambda pid, _: stopped.append(time.monotonic()) or os.kill(pid, signal.SIGTERM))
    assert stopped and status == 128 + signal.SIGTERM, said
    assert time.monotonic() - stopped[0] < 5, said
    assert not (tmp_path / "made").exists() and not list(scratch.iterdir())
    assert not running(str(scratch))
    # Killed with its whole group: while it builds, and while a signing tool waits (on a key
    # file that is a pipe nobody writes to). No process of it lives on; its scratch folders do.
    os.mkfifo(tmp_path / "key.p12")
    for env, at in (({}, b"cmake\0--build"),
                    ({**p12, "OSTRIVAL_SIGN_KEY": str(tmp_path / "key.p12")}, b"\0pkcs12\0")):
        seen = set()
        said = release(source, tmp_path / "killed", {**env, "TMPDIR": str(scratch)}, traced=False,
                       at=at, during=lambda pid, below: (seen.update(below),
                                                         os.killpg(pid, signal.SIGKILL)))[1]
        time.sleep(1)
        assert seen and not running(str(scratch), seen)
        assert "without OSTRIVAL_RELEASE_URL, the release has no winget manifests" in said, said
