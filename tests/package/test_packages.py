"""The packages install and run: the .deb and the .rpm into a scratch root,
the .deb with apt into Debian 11 and 13 roots of their own, where it changes
passwords against each release's own realm; the zips hold the exe and the
README; the Linux binary is hardened, in the build tree as in the packages,
and asks for no glibc newer than 2.28."""
import glob
import os
import re
import subprocess
import sys
import zipfile

import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "kdc"))
from realm import free_port  # noqa: E402

TOP = os.path.join(os.path.dirname(__file__), "..", "..")
BUILD = os.path.join(TOP, "build")
PACKAGES = os.path.join(BUILD, "packages")
USAGE = b"credmend [server] [user] <newpasswd> <oldpasswd>\n"
# Each Linux package: its file, how it installs into a root, how its
# dependencies are listed, and the ones that name libkrb5 and, weak, libssl
# (3, else 1.1) for a KDC proxy.
LINUX_PACKAGES = {
    "deb": ("credmend_*_amd64.deb", [["dpkg-deb", "-x", "{package}", "{root}"]],
            ["dpkg-deb", "-f", "{package}", "Depends", "Recommends"],
            ["Depends: libkrb5-3 (>= 1.13)", "Recommends: libssl3 | libssl1.1"]),
    "rpm": ("credmend-*-1.x86_64.rpm", [["rpm", "--root", "{root}", "--initdb"],
                                        ["rpm", "--root", "{root}", "-i", "--nodeps", "{package}"]],
            ["rpm", "-qp", "--qf", "[Requires: %{{REQUIRES}}\n][Suggests: %{{SUGGESTS}}\n]",
             "{package}"],
            ["Requires: libkrb5.so.3()(64bit)",
             "Suggests: (libssl.so.3()(64bit) or libssl.so.1.1()(64bit))"]),
}
OLDEST_GLIBC = (2, 28)


def glibc_versions(text):
    """Every glibc version the text names: symbol versions, or libc6 as Debian has it."""
    return [tuple(map(int, (symbol or package).split("."))) for symbol, package in
            re.findall(r"GLIBC_([\d.]+)|libc6 \(>= ([\d.]+)", text)]


def krb5_functions():
    """The functions credmend loads from libkrb5 (and, through it, libk5crypto)."""
    with open(os.path.join(TOP, "platform", "linux_kerberos.h")) as header:
        text = header.read()
    return re.findall(r"X\((\w+)\)", text.split("#define KERBEROS_FUNCTIONS(X)")[1].split("\n\n")[0])


def debian_version_of(function):
    """The first libkrb5-3 (or libk5crypto3) with the function, by Debian's symbols files."""
    for path in glob.glob("/var/lib/dpkg/info/libk*.symbols"):
        with open(path) as symbols:
            found = re.search(rf"^ {function}@\S+ (\S+)", symbols.read(), re.M)
        if found:
            return found.group(1)
    raise AssertionError(f"{function} is in no symbols file")
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
    symbols = subprocess.run(["objdump", "-T", binary], capture_output=True, text=True).stdout
    assert max(glibc_versions(symbols)) <= OLDEST_GLIBC and "GLIBCXX" not in symbols
    assert all(version <= OLDEST_GLIBC for version in glibc_versions(depends)), depends


def test_the_deb_asks_for_the_libkrb5_that_has_every_function_it_loads():
    needed = re.search(r"libkrb5-3 \(>= ([^)]+)\)", LINUX_PACKAGES["deb"][3][0]).group(1)
    for function in krb5_functions():
        first = debian_version_of(function)
        assert subprocess.run(["dpkg", "--compare-versions", first, "le", needed]).returncode == 0, (
            function, first)


# The cases of the Kerberos suite that the release binary runs on each
# Debian release, against that release's KDC, kadmind and FreeIPA KDC proxy
# where it has one (in Debian 11 with OpenSSL 1.1): a change, a refusal with
# the server's reason, a wrong old password. Other releases run in roots of
# their own (scripts/debian-root), where apt installs the .deb; this
# machine's, Debian 12, runs the binary the .deb holds.
RELEASES = {
    "bullseye": ("changes_the_password or wrong-old or policy_refusal or kdc_proxy", 16),
    "bookworm": ("changes_the_password or wrong-old or policy_refusal or kdc_proxy", 16),
    "trixie": ("changes_the_password or wrong-old or policy_refusal", 6),
}


@pytest.mark.parametrize("release", RELEASES)
def test_the_deb_changes_passwords_on_each_release(tmp_path, release):
    cases, count = RELEASES[release]
    deb = only("credmend_*_amd64.deb")
    suite = ["python3", "-m", "pytest", "-q", "-p", "no:cacheprovider", "tests/kdc/test_kerberos.py",
             "tests/kdc/test_kdc_proxy.py", "-k", cases]
    if release == "bookworm":
        subprocess.run(["dpkg-deb", "-x", deb, tmp_path], check=True)
        binary = str(tmp_path / "usr/bin/credmend")
        command = ["/usr/bin/" + suite[0], *suite[1:], "--exe", binary, "--deadline-exe", binary]
    else:
        # And the catalogues the package installs: German, in a German locale
        # built in the root.
        script = (f"apt-get install -y -q /mnt/credmend/build/packages/{os.path.basename(deb)} && "
                  f"cd /mnt/credmend && {' '.join(suite[:-1])} '{cases}'"
                  " --exe /usr/bin/credmend --deadline-exe /usr/bin/credmend && "
                  "localedef -i de_DE -f UTF-8 /tmp/de_DE.UTF-8 && LOCPATH=/tmp LC_ALL=de_DE.UTF-8"
                  " KRB5_CONFIG=/dev/null /usr/bin/credmend '' u x y; echo status $?")
        command = [os.path.join(TOP, "scripts", "debian-root"), release, "sh", "-c", script]
    result = subprocess.run(command, capture_output=True, text=True, timeout=900, cwd=TOP)
    assert result.returncode == 0 and f"{count} passed" in result.stdout, result.stdout[-3000:]
    if release != "bookworm":
        assert result.stdout.endswith("Der Realm ist unbekannt, oder es ist kein Standard-Realm"
                                      " konfiguriert.\nstatus 255\n"), result.stdout[-3000:]


def test_a_heimdal_refusal_gives_the_servers_reason():
    # Heimdal's kpasswdd sends its reason as a C string, zero byte and all.
    deb = os.path.basename(only("credmend_*_amd64.deb"))
    script = (f"apt-get install -y -q /mnt/credmend/build/packages/{deb} >/dev/null && "
              f"sh /mnt/credmend/tests/package/heimdal-refusal.sh {free_port()} {free_port()}")
    result = subprocess.run([os.path.join(TOP, "scripts", "debian-root"), "trixie-heimdal", "sh",
                             "-c", script], capture_output=True, text=True, timeout=600)
    assert result.stdout.endswith("The password is shorter than required.\n"
                                  "The server says: Password too short\nstatus 39\n"), result


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
