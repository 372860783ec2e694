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

void ForgetOutput(void)
{
    fflush(stdout);
    Require(ftruncate(STDOUT_FILENO, 0) == 0);
    lseek(STDOUT_FILENO, 0, SEEK_SET);
}

bool OutputEndsWith(const char *text)
{
    fflush(stdout);
    char written[256];
    off_t end = lseek(STDOUT_FILENO, 0, SEEK_END);
    size_t length = strlen(text);
    if (end < (off_t)length || length >= sizeof written)
        return false;
    Require(pread(STDOUT_FILENO, written, length, end - (off_t)length) == (ssize_t)length);
    return memcmp(written, text, length) == 0;
}

int DecodeUtf8(const char *text, WCHAR *units, int capacity)
{
    const unsigned char *byte = (const unsigned char *)text;
    int count = 0;
    while (*byte != 0) {
        unsigned lead = *byte++, low = 0x80, high = 0xBF;
        int more;
        char32_t point;
        if (lead < 0x80) {
            more = 0, point = lead;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            more = 1, point = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            // No overlong forms, no surrogates.
            more = 2, point = lead & 0x0F;
            low = lead == 0xE0 ? 0xA0 : 0x80;
            high = lead == 0xED ? 0x9F : 0xBF;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            // No overlong forms, nothing above U+10FFFF.
            more = 3, point = lead & 0x07;
            low = lead == 0xF0 ? 0x90 : 0x80;
            high = lead == 0xF4 ? 0x8F : 0xBF;
        } else {
            return -1;
        }
        for (int i = 0; i < more; i++, byte++, low = 0x80, high = 0xBF) {
            if (*byte < low || *byte > high)
                return -1;
            point = point << 6 | (*byte & 0x3F);
        }
        WCHAR pair[2] = {(WCHAR)point, 0};
        int needed = 1;
        if (point > 0xFFFF) {
            pair[0] = (WCHAR)(0xD800 + ((point - 0x10000) >> 10));
            pair[1] = (WCHAR)(0xDC00 + (point & 0x3FF));
            needed = 2;
        }
        for (int i = 0; i < needed; i++, count++) {
            if (count < capacity - 1)
                units[count] = pair[i];
        }
    }
    units[count < capacity - 1 ? count : capacity - 1] = 0;
    return count;
}

const char *RefusalText(int value, LineResult result)
{
    static const char *const kTexts[4][2] = {
        {"Err: The server name is too long.\n", "Err: The server name is not valid text.\n"},
        {"Err: The user name is too long.\n", "Err: The user name is not valid text.\n"},
        {"Err: The old password is too long.\n", "Err: The old password is not valid text.\n"},
        {"Err: The new password is too long.\n", "Err: The new password is not valid text.\n"},
    };
    if (result == kNoLine)
        return "Err: No password was given.\n";
    return kTexts[value][result == kLineInvalid ? 1 : 0];
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
    // Reports go to a scratch file that the targets read back.
    FILE *scratch = tmpfile();
    Require(scratch != NULL && dup2(fileno(scratch), STDOUT_FILENO) >= 0);
    return 0;
}
