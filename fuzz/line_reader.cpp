// Any bytes on standard input at both password prompts: every line that
// converts to at most 99 units becomes its password whole; any other line is
// refused; nothing is cut, overflowed or left unterminated.
#include "fuzz/fuzz_input.h"

static const int kRoomy = 1000;

// The next line as the reader should see it: CR LF is a line end, a lone CR
// is data. Returns false at end of input before any byte.
static bool nextLine(const uint8_t **data, const uint8_t *end, char *line, size_t *length,
                     bool *overlong)
{
    if (*data == end)
        return false;
    *length = 0;
    *overlong = false;
    while (*data < end) {
        uint8_t c = *(*data)++;
        if (c == '\r' && *data < end && **data == '\n')
            c = *(*data)++;
        if (c == '\n')
            break;
        if (*length == (size_t)kLineBytes - 1) {
            *overlong = true;
            return true;
        }
        line[(*length)++] = (char)c;
    }
    line[*length] = '\0';
    return true;
}

// What a password line should give: true when it fits, with its units.
static bool expectedField(const uint8_t **data, const uint8_t *end, WCHAR *units, bool *present)
{
    char line[kLineBytes];
    size_t length;
    bool overlong;
    *present = nextLine(data, end, line, &length, &overlong);
    if (!*present)
        return false;
    if (overlong)
        return false;
    int needed = UnitsNeeded(line, units, kRoomy);
    return needed >= 0 && needed < kFieldUnits;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 60000)
        return 0;
    FeedStandardInput(data, size);
    char name[] = "credmend", server[] = "s", user[] = "u";
    char *argv[] = {name, server, user, NULL};
    CredentialFields fields;
    int status = CollectCredentials(3, argv, &fields);
    DrainStandardInput();

    const uint8_t *next = data, *end = data + size;
    WCHAR oldUnits[kRoomy], newUnits[kRoomy];
    bool oldPresent, newPresent;
    bool oldFits = expectedField(&next, end, oldUnits, &oldPresent);
    bool newFits = oldFits && expectedField(&next, end, newUnits, &newPresent);
    if (status == kCredentialsReady) {
        Require(oldFits && newFits);
        Require(SameField(fields.oldPassword, oldUnits));
        Require(SameField(fields.newPassword, newUnits));
    } else {
        Require(status == kRefusedStatus);
        Require(!oldFits || !newFits);
        const unsigned char *bytes = (const unsigned char *)&fields;
        for (size_t i = 0; i < sizeof fields; i++)
            Require(bytes[i] == 0);
    }
    return 0;
}
