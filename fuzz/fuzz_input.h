// Shared by the fuzz targets: standard input from the fuzzer's bytes.
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

// The locale's conversion of text with room to spare: the units it needs,
// terminator excluded, or -1 when even 1000 are not enough.
int UnitsNeeded(const char *text, WCHAR *units, int capacity);

// True when the field holds exactly the expected units, terminated within
// its 100 units.
bool SameField(const WCHAR *field, const WCHAR *expected);

inline void Require(bool condition)
{
    if (!condition)
        abort();
}

#endif
