// Any bytes on standard input at both password prompts: every line that is
// valid text of at most 99 units becomes its password whole; any other line
// is refused with the text that says why; nothing is cut, replaced,
// overflowed or left unterminated.
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

// How a password line should come out, with its units when it fits. A line
// over the buffer is too long whatever it holds.
static LineResult expectedField(const uint8_t **data, const uint8_t *end, WCHAR *units)
{
    char line[kLineBytes];
    size_t length;
    bool overlong;
    if (!nextLine(data, end, line, &length, &overlong))
        return kNoLine;
    if (overlong)
        return kLineTooLong;
    int needed = DecodeUtf8(line, units, kRoomy);
    if (needed < 0)
        return kLineInvalid;
    return needed < kFieldUnits ? kLineRead : kLineTooLong;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 60000)
        return 0;
    FeedStandardInput(data, size);
    ForgetOutput();
    char name[] = "credmend", server[] = "s", user[] = "u";
    char *argv[] = {name, server, user, NULL};
    CredentialFields fields;
    int status = CollectCredentials(3, argv, &fields);
    DrainStandardInput();

    const uint8_t *next = data, *end = data + size;
    WCHAR oldUnits[kRoomy], newUnits[kRoomy];
    LineResult oldResult = expectedField(&next, end, oldUnits);
    LineResult newResult = oldResult == kLineRead ? expectedField(&next, end, newUnits) : kLineRead;
    if (status == kCredentialsReady) {
        Require(oldResult == kLineRead && newResult == kLineRead);
        Require(SameField(fields.oldPassword, oldUnits));
        Require(SameField(fields.newPassword, newUnits));
    } else {
        Require(status == kRefusedStatus);
        Require(oldResult != kLineRead ? OutputEndsWith(RefusalText(2, oldResult))
                                       : OutputEndsWith(RefusalText(3, newResult)));
        const unsigned char *bytes = (const unsigned char *)&fields;
        for (size_t i = 0; i < sizeof fields; i++)
            Require(bytes[i] == 0);
    }
    return 0;
}
