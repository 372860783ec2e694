// Windows: the system supplies the operations; console input and output,
// echo and the command line's UTF-16 need a little help.
#include "platform/platform.h"

#include <corecrt_startup.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <winternl.h>

#ifdef __GNUC__
// GCC's stack protector needs a guard and a failure routine. They are here
// rather than in its libssp, whose guard setup imports ADVAPI32. The guard
// is mixed before main runs, as the Windows C runtime mixes its security
// cookie, from values of this process and this moment.
extern "C" {
uintptr_t __stack_chk_guard;

__attribute__((noreturn)) void __stack_chk_fail(void)
{
    // The stack is not to be trusted: end at once, as a failed cookie does.
    TerminateProcess(GetCurrentProcess(), STATUS_STACK_BUFFER_OVERRUN);
    for (;;) {
    }
}
}

__attribute__((constructor, no_stack_protector)) static void mixStackGuard(void)
{
    FILETIME now;
    LARGE_INTEGER counter;
    GetSystemTimeAsFileTime(&now);
    QueryPerformanceCounter(&counter);
    ULONGLONG mixed = ((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime) ^
                      (ULONGLONG)counter.QuadPart ^ ((ULONGLONG)counter.QuadPart << 32) ^
                      GetCurrentProcessId() ^ ((ULONGLONG)GetCurrentThreadId() << 16) ^
                      GetTickCount() ^ (ULONGLONG)(uintptr_t)&now;
    __stack_chk_guard = (uintptr_t)(mixed ^ (mixed >> 32));
}
#endif

static HANDLE echoInput;
static DWORD savedInputMode;
static volatile LONG echoHidden;

// Ctrl+C, Ctrl+Break and closing the window end the process: give the
// console back its echo first, then let the default handling go on.
static BOOL WINAPI restoreEchoOnBreak(DWORD event)
{
    (void)event;
    if (InterlockedExchange(&echoHidden, 0) != 0)
        SetConsoleMode(echoInput, savedInputMode);
    return FALSE;
}

// The C runtime's own 4096 bytes for standard input, but in storage of ours,
// so the typed lines it holds can be wiped.
static char inputBuffer[4096];

void ProtectProcessMemory(void)
{
    setvbuf(stdin, inputBuffer, _IOFBF, sizeof inputBuffer);
}

void ForgetInput(void)
{
    SecureZeroMemory(inputBuffer, sizeof inputBuffer);
}

// Wipes what follows the program name in a command line, split as the C
// runtime splits it: a quoted name may hold blanks. Returns the name's end.
template <typename Char>
static Char *wipeArguments(Char *line)
{
    bool quoted = false;
    for (; *line != 0 && (quoted || (*line != ' ' && *line != '\t')); line++)
        quoted = *line == '"' ? !quoted : quoted;
    size_t length = 0;
    while (line[length] != 0)
        length++;
    SecureZeroMemory(line, length * sizeof *line);
    return line;
}

// The copies: the process parameters' (which other processes read, and
// GetCommandLineW returns), the ANSI one GetCommandLineA returns, and the C
// runtime's wide and ANSI copies and its ANSI argument vector. The wide
// vector is the one credmend was given; its passwords are wiped already.
// GCC takes the segment-relative read in NtCurrentTeb for an array read.
#ifdef __GNUC__
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
#endif
static UNICODE_STRING *commandLineShown(void)
{
    return &NtCurrentTeb()->ProcessEnvironmentBlock->ProcessParameters->CommandLine;
}
#ifdef __GNUC__
#pragma GCC diagnostic pop
#endif

void ForgetCommandLine(void)
{
    UNICODE_STRING *shown = commandLineShown();
    if (shown->Buffer != NULL)
        shown->Length = (USHORT)((wipeArguments(shown->Buffer) - shown->Buffer) * sizeof(WCHAR));
    wipeArguments(GetCommandLineW());
    wipeArguments(GetCommandLineA());
    if (*__p__wcmdln() != NULL)
        wipeArguments(*__p__wcmdln());
    if (*__p__acmdln() != NULL)
        wipeArguments(*__p__acmdln());
    char **arguments = *__p___argv();
    for (int i = 1; arguments != NULL && arguments[i] != NULL; i++)
        SecureZeroMemory(arguments[i], strlen(arguments[i]));
}

int ReadInputByte(void)
{
    return getchar();
}

int ArgumentToUnits(const ArgumentChar *argument, WCHAR *units, int capacity)
{
    int needed = lstrlenW(argument) + 1;
    if (capacity == 0)
        return needed;
    if (needed > capacity)
        return 0;
    memcpy(units, argument, needed * sizeof units[0]);
    return needed;
}

// The console gives a typed line as UTF-16 ending in CR LF, in pieces when
// it is longer than one read asks for. As in the C runtime's text mode, a CR
// before the LF is no part of the line and Ctrl+Z ends input where it is
// typed: the units before it are the line, and at the start of a line there
// is none. Every line is read to its end, so nothing typed is left behind
// for the shell to run once the command has ended.
bool ReadConsoleUnits(WCHAR *units, int capacity, LineResult *result)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(input, &mode))
        return false;
    WCHAR piece[64];
    DWORD count;
    int length = 0;
    bool ended = false, stopped = false, pendingReturn = false, tooLong = false;
    auto keep = [&](WCHAR unit) {
        if (length == capacity - 1)
            tooLong = true;
        else
            units[length++] = unit;
    };
    while (!ended && ReadConsoleW(input, piece, ARRAYSIZE(piece), &count, NULL) && count > 0) {
        for (DWORD i = 0; i < count && !ended; i++) {
            ended = piece[i] == L'\n';
            if (ended || stopped)
                continue;
            if (pendingReturn)
                keep(L'\r');
            pendingReturn = piece[i] == L'\r';
            stopped = piece[i] == 0x1A;
            if (!pendingReturn && !stopped)
                keep(piece[i]);
        }
    }
    if (pendingReturn && !ended)
        keep(L'\r');
    units[length] = 0;
    SecureZeroMemory(piece, sizeof piece);
    if (tooLong)
        *result = kLineTooLong;
    else if (length == 0 && (stopped || !ended))
        *result = kNoLine;
    else
        *result = kLineRead;
    return true;
}

// At a console the text is written as UTF-16, so a text in the user's
// language shows as written whatever the console's code page.
bool PrintConsoleMessage(DWORD code)
{
    HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode;
    if (!GetConsoleMode(output, &mode))
        return false;
    WCHAR *text = NULL;
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                  NULL, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                  (LPWSTR)&text, 0, NULL);
    if (length != 0) {
        fflush(stdout);
        DWORD written;
        WriteConsoleW(output, text, length, &written, NULL);
    }
    if (text != NULL)
        LocalFree(text);
    return length != 0;
}

bool GetServerReason(char *line)
{
    (void)line;
    return false;
}

bool InputIsConsole(void)
{
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void HideInputEcho(void)
{
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    if (!GetConsoleMode(input, &savedInputMode))
        return;
    echoInput = input;
    echoHidden = 1;
    SetConsoleCtrlHandler(restoreEchoOnBreak, TRUE);
    if (!SetConsoleMode(input, savedInputMode & ~ENABLE_ECHO_INPUT)) {
        echoHidden = 0;
        SetConsoleCtrlHandler(restoreEchoOnBreak, FALSE);
    }
}

void RestoreInputEcho(void)
{
    if (InterlockedExchange(&echoHidden, 0) == 0)
        return;
    SetConsoleMode(echoInput, savedInputMode);
    SetConsoleCtrlHandler(restoreEchoOnBreak, FALSE);
    // The line end typed after the password was not echoed either.
    DWORD outputMode;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &outputMode))
        printf("\n");
}
