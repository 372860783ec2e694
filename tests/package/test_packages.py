"""The packages install and run: the .deb and the .rpm into a scratch root,
the zips hold the exe and the README; the Linux binary is hardened, in the
build tree as in the packages."""
import glob
import os
import re
import subprocess
import zipfile

import pytest

BUILD = os.path.join(os.path.dirname(__file__), "..", "..", "build")
PACKAGES = os.path.join(BUILD, "packages")
USAGE = b"credmend [server] [user] <newpasswd> <oldpasswd>\n"
# Each Linux package: its file, how it installs into a root, how its
# dependencies are listed, and the ones that name libkrb5 and, weak, libssl
# and libkrb5's TLS plugin for a KDC proxy.
LINUX_PACKAGES = {
    "deb": ("credmend_*_amd64.deb", [["dpkg-deb", "-x", "{package}", "{root}"]],
            ["dpkg-deb", "-f", "{package}", "Depends", "Recommends"],
            ["Depends: libkrb5-3", "Recommends: libssl3, krb5-k5tls"]),
    "rpm": ("credmend-*-1.x86_64.rpm", [["rpm", "--root", "{root}", "--initdb"],
                                        ["rpm", "--root", "{root}", "-i", "--nodeps", "{package}"]],
            ["rpm", "-qp", "--qf", "[Requires: %{{REQUIRES}}\n][Suggests: %{{SUGGESTS}}\n]",
             "{package}"],
            ["Requires: libkrb5.so.3()(64bit)", "Suggests: libssl.so.3()(64bit)"]),
}


def only(pattern):
    found = glob.glob(os.path.join(PACKAGES, pattern))
    assert len(found) == 1, f"{pattern}: {found}"
    return found[0]


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


@pytest.mark.parametrize("kind", LINUX_PACKAGES)
def test_each_linux_package_installs_and_runs(tmp_path, kind):
    pattern, install, list_depends, needed = LINUX_PACKAGES[kind]
    names = {"package": only(pattern), "root": str(tmp_path)}
    for command in install:
        subprocess.run([part.format(**names) for part in command], check=True,
                       capture_output=True)
    binary = tmp_path / "usr/bin/credmend"
    result = subprocess.run([binary], capture_output=True)
    assert (result.stdout, result.returncode) == (USAGE, 0)
    assert (tmp_path / "usr/share/man/man1/credmend.1.gz").exists()
    assert (tmp_path / "usr/share/doc/credmend/copyright").exists()
    depends = subprocess.run([part.format(**names) for part in list_depends],
                             capture_output=True, text=True, check=True).stdout
    assert all(each in depends for each in needed), depends
    assert all(hardening(binary).values()), hardening(binary)


def test_the_build_trees_binary_is_hardened():
    binary = os.path.join(BUILD, "native", "credmend")
    assert all(hardening(binary).values()), hardening(binary)


def test_the_linux_packages_pass_their_linters(tmp_path):
    result = subprocess.run(["lintian", "--fail-on", "error", only("credmend_*_amd64.deb")],
                            capture_output=True, text=True)
    assert result.returncode == 0, result.stdout
    # A release is signed with the release key; a build here is not.
    rc = tmp_path / "rpmlintrc"
    rc.write_text('addFilter("E: no-signature")\n')
    result = subprocess.run(["rpmlint", "-r", rc, only("credmend-*-1.x86_64.rpm")],
                            capture_output=True, text=True)
    assert result.returncode == 0 and " 0 errors" in result.stdout, result.stdout


@pytest.mark.parametrize("machine", ["x86", "x64"])
def test_each_windows_zip_holds_the_exe_and_readme(machine):
    with zipfile.ZipFile(only(f"credmend-*-windows-{machine}.zip")) as archive:
        assert sorted(archive.namelist()) == ["README.md", "credmend.exe"]
