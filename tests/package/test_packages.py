"""The packages install and run: the .deb into a scratch root, the zips hold
the exe and the README; the Linux binary is hardened, in the build tree as
in the package."""
import glob
import os
import re
import subprocess
import zipfile

import pytest

BUILD = os.path.join(os.path.dirname(__file__), "..", "..", "build")
PACKAGES = os.path.join(BUILD, "packages")
USAGE = b"credmend [server] [user] <newpasswd> <oldpasswd>\n"


def only(pattern):
    found = glob.glob(os.path.join(PACKAGES, pattern))
    assert len(found) == 1, f"{pattern}: {found}"
    return found[0]


def test_the_debian_package_installs_and_runs(tmp_path):
    deb = only("credmend_*_amd64.deb")
    subprocess.run(["dpkg-deb", "-x", deb, tmp_path], check=True)
    result = subprocess.run([tmp_path / "usr/bin/credmend"], capture_output=True)
    assert (result.stdout, result.returncode) == (USAGE, 0)
    assert (tmp_path / "usr/share/man/man1/credmend.1.gz").exists()
    assert (tmp_path / "usr/share/doc/credmend/copyright").exists()
    depends = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True,
                             text=True, check=True).stdout
    assert "libkrb5-3" in depends


def hardening(binary):
    """What readelf and objdump show of the binary's protections."""
    def tool(*command):
        return subprocess.run([*command, binary], capture_output=True, text=True,
                              check=True).stdout
    dynamic, symbols = tool("readelf", "-dW"), tool("readelf", "--dyn-syms", "-W")
    return {"PIE": re.search(r"FLAGS_1.*\bPIE\b", dynamic) is not None,
            "BIND_NOW": re.search(r"\(FLAGS\).*\bBIND_NOW\b", dynamic) is not None,
            "RELRO": "GNU_RELRO" in tool("readelf", "-lW"),
            "stack protector": "__stack_chk_fail" in symbols,
            "fortified": re.search(r"\b__\w+_chk\b", symbols.replace("__stack_chk", "")) is not None,
            "control flow": "endbr64" in tool("objdump", "-d")}


def test_the_linux_binary_is_hardened(tmp_path):
    deb = tmp_path / "deb"
    subprocess.run(["dpkg-deb", "-x", only("credmend_*_amd64.deb"), deb], check=True)
    for binary in (os.path.join(BUILD, "native", "credmend"), deb / "usr/bin/credmend"):
        assert all(hardening(binary).values()), (binary, hardening(binary))


def test_the_debian_package_passes_lintian():
    result = subprocess.run(["lintian", "--fail-on", "error", only("credmend_*_amd64.deb")],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout


@pytest.mark.parametrize("machine", ["x86", "x64"])
def test_each_windows_zip_holds_the_exe_and_readme(machine):
    with zipfile.ZipFile(only(f"credmend-*-windows-{machine}.zip")) as archive:
        assert sorted(archive.namelist()) == ["README.md", "credmend.exe"]
