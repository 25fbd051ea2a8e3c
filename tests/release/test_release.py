"""The delivered files and the README's way to check them: a rebuild of a copy of the sources in other
folders gives the unsigned release byte for byte; a signed release's programs equal the rebuild's
once their signatures are removed, its library, licence and source equal them as they are; bad
certificates, libraries and library sources stop the build and leave nothing."""

import hashlib
import os
import subprocess
import sys
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAVRIX_BUILD_DIR", REPO / "build/x64")).parent
sys.path.insert(0, str(REPO / "testbed"))
from tavrix_testbed.signing import issue  # noqa: E402

pem = lambda cert, key: ["--cert", cert, "--key", key]  # noqa: E731
PROGRAMS = [f"{arch}/{name}" for arch in ("x64", "x86") for name in ("TavrixInstall.exe", "TavrixActions.dll")]
LIBRARIES = ["x64/libhdhomerun.dll", "x86/libhdhomerun.dll"]
# The commit's time, read once: both builds take it, whatever is committed meanwhile.
EPOCH = subprocess.run(["git", "-C", REPO, "log", "-1", "--format=%ct"], capture_output=True, text=True).stdout.strip()


def script(name: str, *args, source: Path = REPO, **env) -> subprocess.CompletedProcess:
    return subprocess.run(["bash", source / name, *args], capture_output=True, text=True, env={**os.environ, **env})


def packages(out: Path, *options, **env) -> subprocess.CompletedProcess:  # of this build
    return script("installer/build.sh", BUILD, "--out", out, *options, **env)


@pytest.fixture(scope="module")
def pki(tmp_path_factory):
    folder = tmp_path_factory.mktemp("pki")
    cert, key = issue(folder, "orva")
    (folder / "password").write_text("throwaway\n")
    (folder / "wrong").write_text("not the password\n")
    subprocess.run(["openssl", "pkcs12", "-export", "-in", cert, "-inkey", key, "-passout", f"file:{folder}/password",
                    "-out", folder / "orva.p12"], check=True)
    return folder


@pytest.fixture(scope="module")
def rebuild(tmp_path_factory) -> Path:
    """The build root of tools/build.sh run without tests on a copy of the sources (no git) elsewhere."""
    folder = tmp_path_factory.mktemp("rebuild")
    subprocess.run(f"mkdir {folder}/source && git ls-files -z --cached --others --exclude-standard | tar --null -T - "
                   f"--ignore-failed-read -cf - | tar -xf - -C {folder}/source", shell=True, cwd=REPO, check=True)
    result = script("tools/build.sh", folder / "root", source=folder / "source", SOURCE_DATE_EPOCH=EPOCH,
                    TAVRIX_BUILD_TESTS="OFF")
    assert result.returncode == 0 and "UNSIGNED" in result.stderr, result.stderr[-3000:]
    return folder / "root"


def test_a_rebuild_elsewhere_gives_the_same_unsigned_release(rebuild, tmp_path):
    assert packages(tmp_path, SOURCE_DATE_EPOCH=EPOCH).returncode == 0
    released = sorted(p.name for p in tmp_path.iterdir())
    assert released == ["SHA256SUMS", "TavrixInstall-1.0.0.9-x64.msi", "TavrixInstall-1.0.0.9-x86.msi",
                        "libhdhomerun_20230719.orig.tar.gz"]
    pairs = [(BUILD / f, rebuild / f) for f in PROGRAMS + LIBRARIES]
    pairs += [(tmp_path / name, rebuild / "installer" / name) for name in released]
    assert [b.name for a, b in pairs if a.read_bytes() != b.read_bytes()] == []


def unpack(msi: Path, into: Path) -> Path:
    """A package's files by their Ids (Exe64, Hdhomerun32, ...), its action DLL as Actions."""
    into.mkdir()
    subprocess.run(f"msiinfo extract {msi} tavrix.cab >{into}/files.cab && gcab -x -C {into} {into}/files.cab && "
                   f"msiinfo extract {msi} Binary.TavrixActions >{into}/Actions", shell=True, check=True)
    return into


def test_a_signed_release_checked_against_the_rebuild(pki, rebuild, tmp_path):
    out = tmp_path / "out"
    assert packages(out, "--pkcs12", pki / "orva.p12", "--password-file", pki / "password").returncode == 0
    sums = dict(reversed(line.split("  ")) for line in (out / "SHA256SUMS").read_text().splitlines())
    assert sums == {p.name: hashlib.sha256(p.read_bytes()).hexdigest() for p in out.iterdir() if p.name != "SHA256SUMS"}
    source = "libhdhomerun_20230719.orig.tar.gz"
    assert (out / source).read_bytes() == (rebuild / "installer" / source).read_bytes()
    x64, x86 = (unpack(out / f"TavrixInstall-1.0.0.9-{arch}.msi", tmp_path / arch) for arch in ("x64", "x86"))
    programs = {x64 / "Exe64": PROGRAMS[0], x64 / "Actions": PROGRAMS[1], x64 / "Exe32": PROGRAMS[2],
                x86 / "Exe32": PROGRAMS[2], x86 / "Actions": PROGRAMS[3]}
    signed = [*out.glob("*.msi"), *programs]
    verify = [["osslsigncode", "verify", "-CAfile", pki / "ca.pem", "-in", f] for f in signed]
    assert [c[-1] for c in verify if subprocess.run(c, capture_output=True).returncode] == []
    for packed, name in programs.items():  # a signed program is its rebuild once the signature is removed
        subprocess.run(["osslsigncode", "remove-signature", "-in", packed, "-out", f"{packed}.unsigned"], check=True,
                       capture_output=True)
        assert Path(f"{packed}.unsigned").read_bytes() == (rebuild / name).read_bytes(), packed
    licence = subprocess.run(["tar", "-xzOf", out / source, "libhdhomerun/LICENSE"], capture_output=True).stdout
    for folder in (x64, x86):  # not signed: as they are
        for arch in ("64", "32")[folder == x86:]:
            assert (folder / f"Hdhomerun{arch}").read_bytes() == (rebuild / LIBRARIES[arch == "32"]).read_bytes()
            assert (folder / f"HdhomerunLicense{arch}").read_bytes() == licence and b"LESSER" in licence
    for file, data in [(f, f.read_bytes()) for f in signed]:  # one byte changed in the middle of each
        file.write_bytes(data[:len(data) // 2] + bytes([data[len(data) // 2] ^ 1]) + data[len(data) // 2 + 1:])
    assert [c[-1] for c in verify if subprocess.run(c, capture_output=True).returncode == 0] == []


def altered(folder: Path, built: str, old: bytes, new: bytes) -> Path:
    """A copy of a built file with the first `old` replaced."""
    (folder / Path(built).name).write_bytes((BUILD / built).read_bytes().replace(old, new, 1))
    return folder / Path(built).name


@pytest.mark.parametrize("options, said", [
    pytest.param(lambda pki: ["--pkcs12", pki / "orva.p12", "--password-file", pki / "wrong"], "cannot open",
                 id="wrong password"),
    pytest.param(lambda pki: pem(*issue(pki, "old", at="2020-01-01 00:00:00")), "expired on", id="expired"),
    pytest.param(lambda pki: pem(*issue(pki, "server", "serverAuth")), "not for code signing", id="no code signing"),
    pytest.param(lambda pki: pem(pki / "orva.pem", pki / "missing.key"), "does not exist", id="missing key file"),
    pytest.param(lambda pki: ["--hdhomerun-x64", BUILD / "x86/libhdhomerun.dll"], "x86/libhdhomerun.dll: not a DLL "
                 "for x64", id="library of the other bitness"),
    pytest.param(lambda pki: ["--hdhomerun-x86", BUILD / "x86/TavrixActions.dll"], "lacks hdhomerun_discover_create",
                 id="library without the program's functions"),
    pytest.param(lambda pki: ["--hdhomerun-x64", altered(pki, "x64/libhdhomerun.dll", b"msvcrt.dll", b"msvcrx.dll")],
                 "imports msvcrx.dll, which is no system DLL", id="library with a foreign import"),
    pytest.param(lambda pki: {"TAVRIX_HDHOMERUN_SOURCE": str(pki / "none.tar.gz")}, "none.tar.gz does not exist: "
                 "run tools/setup.sh, or set TAVRIX_HDHOMERUN_SOURCE", id="library source missing"),
    pytest.param(lambda pki: {"TAVRIX_HDHOMERUN_SOURCE": str(altered(pki, "x64/libhdhomerun_20230719.orig.tar.gz",
                 b"\x1f\x8b", b"\x1f\x8c"))}, "not aa8f1c23e6d38f0d684426cdc1cbfced953a2a9dec3fbe645ab11c15a8c0b4d6: set "
                 "TAVRIX_HDHOMERUN_SOURCE", id="library source changed"),
])
def test_bad_input_stops_the_build_with_one_line_and_leaves_nothing(pki, tmp_path, options, said):
    given = options(pki)  # installer options, or the environment of tools/build.sh
    out = tmp_path / "installer" if isinstance(given, dict) else tmp_path
    out.mkdir(exist_ok=True)
    (out / "SHA256SUMS").write_text("of an earlier build\n")
    result = script("tools/build.sh", tmp_path, **given) if isinstance(given, dict) else packages(out, *given)
    assert result.returncode != 0 and list(tmp_path.rglob("*")) == []
    assert len(result.stderr.splitlines()) == 1 and said in result.stderr, result.stderr
