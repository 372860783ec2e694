#include "fuzz/fuzz_input.h"

#include <stdio.h>
#include <unistd.h>

void FeedStandardInput(const uint8_t *data, size_t size)
{
    int ends[2];
    Require(pipe(ends) == 0);
    Require(write(ends[1], data, size) == (ssize_t)size);
    close(ends[1]);
    dup2(ends[0], STDIN_FILENO);
    close(ends[0]);
}

void DrainStandardInput(void)
{
    while (ReadInputByte() != EOF) {
    }
}

int UnitsNeeded(const char *text, WCHAR *units, int capacity)
{
    int written = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, units, capacity);
    return written == 0 ? -1 : written - 1;
}

bool SameField(const WCHAR *field, const WCHAR *expected)
{
    for (int i = 0; i < kFieldUnits; i++) {
        if (field[i] != expected[i])
            return false;
        if (field[i] == 0)
            return true;
    }
    return false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // Prompts and reports are not what is checked here.
    Require(freopen("/dev/null", "w", stdout) != NULL);
    return 0;
}
