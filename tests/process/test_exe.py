"""What the shipped Windows exe is made of: its format, imports, size and
hardening."""
import os
import re
import subprocess

import pytest

SYSTEM_DLLS = {"KERNEL32.DLL", "MSVCRT.DLL", "NETAPI32.DLL"}


@pytest.fixture(scope="module")
def exe(request):
    return request.config.option.exe


def objdump(exe, flag):
    return subprocess.run(["x86_64-w64-mingw32-objdump", flag, exe], capture_output=True,
                          text=True, check=True).stdout


def test_is_a_console_program_for_its_machine(exe, request):
    headers = objdump(exe, "-p")
    assert f"file format {request.config.option.pe_format}\n" in objdump(exe, "-f")
    assert re.search(r"^Subsystem\s+00000003", headers, re.M), "not a console program"


def test_imports_only_system_dlls(exe):
    dlls = {name.upper() for name in re.findall(r"DLL Name: (\S+)", objdump(exe, "-p"))}
    assert dlls == SYSTEM_DLLS


def test_imports_the_platform_operations(exe):
    headers = objdump(exe, "-p")
    for name in ("MultiByteToWideChar", "NetUserChangePassword", "SetLastError",
                 "GetLastError", "FormatMessageA", "LocalFree"):
        assert re.search(rf"\b{name}\b", headers), name


def test_is_hardened(exe, request):
    flags = objdump(exe, "-p").split("DllCharacteristics", 1)[1].split("SizeOfStackReserve")[0]
    wanted = {"DYNAMIC_BASE", "NX_COMPAT"}
    if request.config.option.pe_format == "pei-x86-64":
        wanted.add("HIGH_ENTROPY_VA")
    assert wanted <= set(flags.split())
    # Protected code calls the stack protector's routine, credmend's own and
    # not libssp's (which would add a DLL): the link map's cross references.
    with open(request.config.option.map) as file:
        table = file.read().split("Cross Reference Table", 1)[1]
    users = re.search(r"^__stack_chk_fail\s+(.*?)\n(?=\S)", table, re.M | re.S).group(1).split()
    assert "windows.cpp.obj" in users[0]
    assert any("credentials.cpp.obj" in user for user in users[1:])
    assert any("change.cpp.obj" in user for user in users[1:])


def test_fits_in_48_kib(exe):
    assert os.path.getsize(exe) <= 48 * 1024


def test_says_what_it_is(exe):
    with open(exe, "rb") as file:
        image = file.read()
    for text in ("ProductName", "credmend", "FileDescription", "ProductVersion"):
        assert text.encode("utf-16-le") in image, text
