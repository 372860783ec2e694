"""What the shipped Windows exe is made of: its format, imports and size."""
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


def test_fits_in_48_kib(exe):
    assert os.path.getsize(exe) <= 48 * 1024


def test_says_what_it_is(exe):
    with open(exe, "rb") as file:
        image = file.read()
    for text in ("ProductName", "credmend", "FileDescription", "ProductVersion"):
        assert text.encode("utf-16-le") in image, text
