// Standard input, terminal echo and memory hygiene on Linux.
#include "platform/platform.h"

#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

static const int kEchoSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU};
static const int kEchoSignalCount = sizeof kEchoSignals / sizeof kEchoSignals[0];

static struct termios savedTerminal;
static struct termios hiddenTerminal;
static struct sigaction savedActions[kEchoSignalCount];
static volatile sig_atomic_t echoHidden;

static void setAction(int signo, void (*handler)(int), struct sigaction *saved)
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(signo, &action, saved);
}

// Gives the terminal back its echo, then lets the signal take its default
// course so the exit status tells it. A stop signal comes back here on
// resume, and echo goes off again for the rest of the read.
static void restoreEchoAndRaise(int signo)
{
    int savedErrno = errno;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    setAction(signo, SIG_DFL, NULL);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signo);
    sigprocmask(SIG_UNBLOCK, &only, NULL);
    raise(signo);
    setAction(signo, restoreEchoAndRaise, NULL);
    if (echoHidden)
        tcsetattr(STDIN_FILENO, TCSANOW, &hiddenTerminal);
    errno = savedErrno;
}

void ProtectProcessMemory(void)
{
    // No core file and no debugger attach while passwords are in memory.
    prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

// The arguments are the command line the system shows, and each password
// argument is wiped where it stands: no other copy to forget.
void ForgetCommandLine(void)
{
}

// Standard input is read without a buffer: nothing to wipe.
void ForgetInput(void)
{
}

void *SecureZeroMemory(void *memory, size_t size)
{
    explicit_bzero(memory, size);
    return memory;
}

// One byte at a time straight from the descriptor: no stdio buffer is left
// holding a typed password, and nothing past the line is taken from a pipe
// that a script may read on.
static int readByte(void)
{
    unsigned char byte;
    ssize_t result;
    while ((result = read(STDIN_FILENO, &byte, 1)) < 0 && errno == EINTR) {
    }
    return result == 1 ? byte : EOF;
}

// A terminal gives bytes in the locale's encoding, read as any other input.
bool ReadConsoleUnits(WCHAR *units, int capacity, LineResult *result)
{
    (void)units;
    (void)capacity;
    (void)result;
    return false;
}

int ReadInputByte(void)
{
    static int pending = EOF;
    int c = pending != EOF ? pending : readByte();
    pending = EOF;
    if (c != '\r')
        return c;
    int next = readByte();
    if (next == '\n')
        return '\n';
    pending = next;
    return '\r';
}

bool InputIsConsole(void)
{
    return isatty(STDIN_FILENO) == 1;
}

void HideInputEcho(void)
{
    if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0)
        return;
    // The prompt must be on the screen before the read waits.
    fflush(stdout);
    hiddenTerminal = savedTerminal;
    hiddenTerminal.c_lflag &= ~(tcflag_t)ECHO;
    for (int i = 0; i < kEchoSignalCount; i++) {
        setAction(kEchoSignals[i], restoreEchoAndRaise, &savedActions[i]);
        // A signal the caller ignores (nohup, a background job) stays ignored.
        if (savedActions[i].sa_handler == SIG_IGN)
            sigaction(kEchoSignals[i], &savedActions[i], NULL);
    }
    echoHidden = 1;
    if (tcsetattr(STDIN_FILENO, TCSAFLUSH, &hiddenTerminal) != 0)
        RestoreInputEcho();
}

void RestoreInputEcho(void)
{
    if (!echoHidden)
        return;
    echoHidden = 0;
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    for (int i = 0; i < kEchoSignalCount; i++)
        sigaction(kEchoSignals[i], &savedActions[i], NULL);
    // The line end typed after the password was not echoed either.
    if (isatty(STDOUT_FILENO)) {
        printf("\n");
        fflush(stdout);
    }
}
