"""Throwaway certificates made with openssl: a CA (ca.pem) and the certificates it issues."""

import subprocess
from pathlib import Path


def issue(folder: Path, name: str, usage: str = "codeSigning", at: str = "") -> tuple[Path, Path]:
    """NAME.pem and NAME.key in `folder`: a certificate for `usage` from the folder's CA (made on
    first use), valid for a day from now, or from `at` ("2020-01-01 00:00:00": long expired)."""
    run = lambda *args, **kw: subprocess.run(args, check=True, capture_output=True, **kw)  # noqa: E731
    ca, cert, key = folder / "ca.pem", folder / f"{name}.pem", folder / f"{name}.key"
    if not ca.exists():
        run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", folder / "ca.key", "-out", ca,
            "-subj", "/CN=Throwaway CA", "-days", "2", "-addext", "keyUsage=critical,keyCertSign")
    request = run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-subj", f"/CN={name}").stdout
    (folder / f"{name}.ext").write_text(f"extendedKeyUsage={usage}\nkeyUsage=digitalSignature\n")
    run(*(["faketime", "-f", at] if at else []), "openssl", "x509", "-req", "-CA", ca, "-CAkey", folder / "ca.key",
        "-days", "1", "-extfile", folder / f"{name}.ext", "-out", cert, input=request)
    return cert, key
