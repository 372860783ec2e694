// Any argument count and contents, through to the fields: every value that
// is valid text of at most 99 units arrives whole, the first that is not is
// refused in the order server, user, old, new with its own text, and
// nothing is cut or replaced.
#include "fuzz/fuzz_input.h"

static const int kRoomy = 1000;
static const int kMostArguments = 8;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The bytes, split at zero bytes, are the arguments after the name.
    static char copy[70000];
    if (size >= sizeof copy)
        return 0;
    memcpy(copy, data, size);
    copy[size] = '\0';
    char name[] = "credmend";
    char *argv[kMostArguments + 2] = {name};
    int argc = 1;
    for (char *start = copy; argc <= kMostArguments && start <= copy + size;
         start += strlen(start) + 1)
        argv[argc++] = start;
    argv[argc] = NULL;

    // In the order the values are settled: server, user, old, new.
    const int order[4] = {1, 2, 4, 3};
    WCHAR expected[4][kRoomy];
    int refusedAt = argc < 3 ? -2 : -1;  // -2: the usage text, no values
    LineResult refusal = kLineRead;
    for (int i = 0; i < 4 && refusedAt == -1; i++) {
        if (argc <= order[i]) {
            refusedAt = i, refusal = kNoLine;  // its prompt meets end of input
            break;
        }
        int needed = DecodeUtf8(argv[order[i]], expected[i], kRoomy);
        if (needed < 0)
            refusedAt = i, refusal = kLineInvalid;
        else if (needed >= kFieldUnits)
            refusedAt = i, refusal = kLineTooLong;
    }

    FeedStandardInput(NULL, 0);
    ForgetOutput();
    CredentialFields fields;
    int status = CollectCredentials(argc, argv, &fields);
    DrainStandardInput();

    if (refusedAt == -2) {
        Require(status == 0);
    } else if (refusedAt >= 0) {
        Require(status == kRefusedStatus);
        Require(OutputEndsWith(RefusalText(refusedAt, refusal)));
    } else {
        Require(status == kCredentialsReady);
        const WCHAR *fieldsInOrder[4] = {fields.server, fields.user, fields.oldPassword,
                                         fields.newPassword};
        for (int i = 0; i < 4; i++)
            Require(SameField(fieldsInOrder[i], expected[i]));
        // The password arguments are wiped once converted.
        for (int i = 3; i <= 4; i++)
            Require(argv[i][0] == '\0');
    }
    return 0;
}
