"""What the shipped Windows exe is made of: its format, imports, size and
hardening."""
import os
import re
import subprocess

import pytest

# Everything either exe may import: credmend's own calls and those of the
# C runtime's and mingw's start-up code, each of them on Windows XP (and on
# XP x64 and Server 2003). A function added later to Windows fails here.
ALLOWED_IMPORTS = {
    "KERNEL32.DLL": {
        "DeleteCriticalSection", "EnterCriticalSection", "FormatMessageA", "FormatMessageW",
        "FreeLibrary", "GetCommandLineA", "GetCommandLineW", "GetConsoleMode",
        "GetCurrentProcess", "GetCurrentProcessId", "GetCurrentThreadId", "GetLastError",
        "GetModuleHandleA", "GetProcAddress", "GetStartupInfoW", "GetStdHandle",
        "GetSystemTimeAsFileTime", "GetTickCount", "InitializeCriticalSection",
        "LeaveCriticalSection", "LoadLibraryA", "LocalFree", "MultiByteToWideChar",
        "QueryPerformanceCounter", "ReadConsoleW", "RtlAddFunctionTable", "RtlCaptureContext",
        "RtlLookupFunctionEntry", "RtlVirtualUnwind", "SetConsoleCtrlHandler", "SetConsoleMode",
        "SetLastError", "SetUnhandledExceptionFilter", "Sleep", "TerminateProcess", "TlsGetValue",
        "UnhandledExceptionFilter", "VirtualProtect", "VirtualQuery", "WriteConsoleW",
        "__C_specific_handler", "lstrlenW"},
    "MSVCRT.DLL": {
        "__argv", "__iob_func", "__p___argv", "__p__acmdln",
        "__p__commode", "__p__fmode", "__p__wcmdln", "__set_app_type", "__setusermatherr",
        "__wgetmainargs", "__winitenv", "_acmdln", "_amsg_exit", "_cexit", "_commode", "_fmode",
        "_initterm", "_iob", "_onexit", "_wcmdln", "abort", "calloc", "exit", "fflush",
        "fprintf", "free", "fwrite", "getchar", "malloc", "memcpy", "printf", "putchar", "puts",
        "setvbuf", "signal", "strlen", "strncmp", "vfprintf"},
    "NETAPI32.DLL": {"NetUserChangePassword"},
}
# The Windows version each exe's header claims: XP (5.1), and for x64 XP x64
# and Server 2003 (5.2).
CLAIMED_VERSION = {"pei-i386": "5.1", "pei-x86-64": "5.2"}


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


def imports(exe):
    """Each DLL the exe imports from, with the functions it takes."""
    found = {}
    for table in objdump(exe, "-p").split("DLL Name: ")[1:]:
        dll, entries = table.split("\n", 1)
        found[dll.upper()] = set(re.findall(r"^\s+[0-9a-f]+\s+\d+\s+(\S+)$",
                                            entries.split("\n\n")[0], re.M))
    return found


def test_imports_only_what_windows_xp_has(exe):
    found = imports(exe)
    assert set(found) == set(ALLOWED_IMPORTS)
    for dll, names in found.items():
        assert names <= ALLOWED_IMPORTS[dll], f"{dll}: {names - ALLOWED_IMPORTS[dll]}"
    assert {"MultiByteToWideChar", "SetLastError", "GetLastError", "FormatMessageA",
            "LocalFree"} <= found["KERNEL32.DLL"]
    assert found["NETAPI32.DLL"] == {"NetUserChangePassword"}


def test_claims_the_windows_it_runs_on(exe, request):
    headers = objdump(exe, "-p")
    major, minor = CLAIMED_VERSION[request.config.option.pe_format].split(".")
    for field in ("OSystemVersion", "SubsystemVersion"):
        assert re.search(rf"^Major{field}\s+{major}\n", headers, re.M), field
        assert re.search(rf"^Minor{field}\s+{minor}\n", headers, re.M), field


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
