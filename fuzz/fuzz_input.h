// Shared by the fuzz targets: standard input from the fuzzer's bytes,
// standard output read back, and UTF-8 decoded without the locale.
#ifndef CREDMEND_FUZZ_INPUT_H
#define CREDMEND_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "frontend/credentials.h"

// Standard input becomes a pipe holding exactly these bytes (at most 60000,
// which a pipe takes without a reader).
void FeedStandardInput(const uint8_t *data, size_t size);

// Reads what is left, so nothing of one input reaches the next.
void DrainStandardInput(void);

// Standard output is a scratch file: emptied before a run, and read back
// after it to see whether what the run wrote ends with the text.
void ForgetOutput(void);
bool OutputEndsWith(const char *text);

// The UTF-8 of RFC 3629, decoded by hand as the oracle for the locale's
// conversion: the units the text needs, terminator excluded, or -1 when it
// is not valid UTF-8. Writes at most capacity units, terminator included.
int DecodeUtf8(const char *text, WCHAR *units, int capacity);

// What the refusal of a value says: the value's index in the order values
// are settled (server, user, old, new), and how it came out.
const char *RefusalText(int value, LineResult result);

// True when the field holds exactly the expected units, terminated within
// its 100 units.
bool SameField(const WCHAR *field, const WCHAR *expected);

inline void Require(bool condition)
{
    if (!condition)
        abort();
}

#endif
