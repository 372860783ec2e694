// Windows: the system supplies the operations; only console echo needs help.
#include "platform/platform.h"

#include <stdio.h>

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

int ReadInputByte(void)
{
    return getchar();
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
