"""The delivered files: the same bytes from a second build of a copy of the sources in other folders,
signed with osslsigncode when a certificate is given, SHA256SUMS beside them; bad certificates."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", REPO / "build/x64")).parent
BRIDGE = BUILD / "x64/bridge"
sys.path.insert(0, str(REPO / "testbed"))
from tavrix_testbed.signing import issue  # noqa: E402

pem = lambda cert, key: ["--cert", cert, "--key", key]  # noqa: E731


def packages(root: Path, out: Path, *options, source: Path = REPO, **env) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", source / "installer/build.sh", root, "--out", out, *options, "--hdhomerun-x64",
                           BRIDGE / "libhdhomerun.dll", "--hdhomerun-x86", BRIDGE / "x86/libhdhomerun.dll"],
                          capture_output=True, text=True, env={**os.environ, **env})


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    cert, key = issue(folder, "orva")
    (folder / "password").write_text("throwaway\n")
    (folder / "wrong").write_text("not the password\n")
    subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", f"file:{folder}/password",
                    "-out", folder / "orva.p12"], check=True)
    return folder


def test_a_second_build_elsewhere_gives_the_same_bytes(tmp_path):
    # The time the first build takes from git, read at once: a commit meanwhile would change it.
    epoch = subprocess.run(["git", "-C", REPO, "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout
    assert packages(BUILD, tmp_path / "first").returncode == 0
    source = tmp_path / "source"  # the sources as they are, without git: the commit's time comes in the environment
    subprocess.run(f"mkdir {source} && git ls-files -z --cached --others --exclude-standard | tar --null -T - "
                   f"--ignore-failed-read -cf - | tar -xf - -C {source}", shell=True, cwd=REPO, check=True)
    for arch, triple in (("x64", "x86_64"), ("x86", "i686")):
        subprocess.run(["cmake", "-S", source, "-B", tmp_path / arch, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                        f"-DCMAKE_TOOLCHAIN_FILE={source}/cmake/toolchain-{triple}-w64-mingw32.cmake",
                        "-DTAVRIX_BUILD_TESTS=OFF"], check=True, capture_output=True)
        subprocess.run(["cmake", "--build", tmp_path / arch, "--target", "TavrixInstall", "TavrixActions"],
                       check=True, capture_output=True)
    second = packages(tmp_path, tmp_path / "second", source=source, SOURCE_DATE_EPOCH=epoch.strip())
    assert second.returncode == 0 and "UNSIGNED" in second.stderr, second.stderr
    pairs = [(BUILD / a / n, tmp_path / a / n) for a in ("x64", "x86")
             for n in ("TavrixInstall.exe", "TavrixActions.dll")]
    pairs += [(p, tmp_path / "second" / p.name) for p in (tmp_path / "first").iterdir()]
    assert len(pairs) == 7 and [b.name for a, b in pairs if a.read_bytes() != b.read_bytes()] == []


def test_signed_release_verifies_with_its_ca_and_its_checksums(pki, tmp_path):
    out = tmp_path / "out"
    assert packages(BUILD, out, "--pkcs12", pki / "orva.p12", "--password-file", pki / "password").returncode == 0
    sums = dict(reversed(line.split("  ")) for line in (out / "SHA256SUMS").read_text().splitlines())
    assert sums == {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in out.iterdir() if p.name != "SHA256SUMS"}
    for msi in out.glob("*.msi"):  # each package's action DLL; the x86 one's program (the x64 one's two share a path)
        subprocess.run(f"msiinfo extract {msi} Binary.TavrixActions >{tmp_path}/{msi.stem}.dll", shell=True, check=True)
    subprocess.run(["msiextract", "-C", tmp_path / "x86", *out.glob("*x86.msi")], check=True, capture_output=True)
    signed = [*out.glob("*.msi"), *tmp_path.glob("*.dll"), *(tmp_path / "x86").rglob("TavrixInstall.exe")]
    verify = [["osslsigncode", "verify", "-CAfile", pki / "ca.pem", "-in", f] for f in signed]
    assert len(signed) == 5 and [c[-1].name for c in verify if subprocess.run(c, capture_output=True).returncode] == []
    for file, data in [(f, f.read_bytes()) for f in signed]:  # one byte changed in the middle of each
        file.write_bytes(data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 1]) + data[len(data) // 2 + 1:])
    assert [c[-1].name for c in verify if subprocess.run(c, capture_output=True).returncode == 0] == []


@pytest.mark.parametrize("options, said", [
    pytest.param(lambda pki: ["--pkcs12", pki / "orva.p12", "--password-file", pki / "wrong"], "cannot open",
                 id="wrong password"),
    pytest.param(lambda pki: pem(*issue(pki, "old", at="2020-01-01 00:00:00")), "expired on", id="expired"),
    pytest.param(lambda pki: pem(*issue(pki, "server", "serverAuth")), "not for code signing", id="no code signing"),
    pytest.param(lambda pki: pem(pki / "orva.pem", pki / "missing.key"), "does not exist", id="missing key file"),
])
def test_a_certificate_that_cannot_sign_stops_the_build_and_leaves_nothing(pki, tmp_path, options, said):
    (tmp_path / "SHA256SUMS").write_text("of an earlier build\n")
    result = packages(BUILD, tmp_path, *options(pki))
    assert result.returncode != 0 and list(tmp_path.iterdir()) == []
    assert len(result.stderr.splitlines()) == 1 and said in result.stderr, result.stderr
