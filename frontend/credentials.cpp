// Command line, console prompts and the conversion into credential fields.
#include "frontend/credentials.h"

#include <stdio.h>
#include <string.h>

static const char kUsage[] = "credmend [server] [user] <newpasswd> <oldpasswd>\n";

// The refusals of one value, in the order values are settled.
struct Refusals {
    const char *tooLong;
    const char *invalid;
};

static const Refusals kServer = {"Err: The server name is too long.\n",
                                 "Err: The server name is not valid text.\n"};
static const Refusals kUser = {"Err: The user name is too long.\n",
                               "Err: The user name is not valid text.\n"};
static const Refusals kOldPassword = {"Err: The old password is too long.\n",
                                      "Err: The old password is not valid text.\n"};
static const Refusals kNewPassword = {"Err: The new password is too long.\n",
                                      "Err: The new password is not valid text.\n"};

// A refused value ends the run before any request, with nothing of any value
// left in the fields.
static int settle(CredentialFields *fields, LineResult result, const Refusals &refusals)
{
    const char *text;
    switch (result) {
    case kLineRead:
        return kCredentialsReady;
    case kLineTooLong:
        text = refusals.tooLong;
        break;
    case kLineInvalid:
        text = refusals.invalid;
        break;
    case kLinesDiffer:
        text = "Err: The new passwords do not match.\n";
        break;
    default:
        text = "Err: No password was given.\n";
        break;
    }
    SecureZeroMemory(fields, sizeof *fields);
    printf("%s", text);
    return kRefusedStatus;
}

// The units a conversion needs, terminator included, decide whether the
// value fits its field; 0 means it is not valid text.
static LineResult fitting(int needed)
{
    if (needed == 0)
        return kLineInvalid;
    return needed > kFieldUnits ? kLineTooLong : kLineRead;
}

// A typed line is text in the ANSI code page (on Linux, the locale's
// encoding); a byte sequence it does not define is refused, never replaced.
static LineResult lineToField(const char *line, WCHAR *field)
{
    LineResult result = fitting(MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, -1,
                                                    NULL, 0));
    if (result == kLineRead)
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, line, -1, field, kFieldUnits);
    return result;
}

static bool sameText(const WCHAR *one, const WCHAR *other)
{
    int i = 0;
    while (one[i] == other[i] && one[i] != 0)
        i++;
    return one[i] == other[i];
}

// A new password typed unseen is typed twice, as on any change-password
// screen: one slip would otherwise set a password nobody knows.
static LineResult confirmPassword(const WCHAR *field)
{
    WCHAR again[kFieldUnits] = {};
    LineResult result = PromptForPassword("Confirm new password:", again);
    if (result == kLineRead && !sameText(field, again))
        result = kLinesDiffer;
    SecureZeroMemory(again, sizeof again);
    return result;
}

// A password argument is taken into its field and wiped where it stands: it
// is one more copy of the secret, and where the system shows arguments it
// then shows no password.
static LineResult takePasswordArgument(ArgumentChar *argument, WCHAR *field)
{
    LineResult result = ToCredentialField(argument, field);
    size_t length = 0;
    while (argument[length] != 0)
        length++;
    SecureZeroMemory(argument, length * sizeof argument[0]);
    return result;
}

// A password left off the command line is typed. Only a new password typed
// at a console is confirmed: a script gives each line once, and its input
// stays as it was.
static LineResult typePassword(const char *prompt, WCHAR *field, bool confirm)
{
    LineResult result = PromptForPassword(prompt, field);
    if (result == kLineRead && confirm && InputIsConsole())
        result = confirmPassword(field);
    return result;
}

int CollectCredentials(int argc, ArgumentChar **argv, CredentialFields *fields)
{
    memset(fields, 0, sizeof *fields);
    if (argc < 3) {
        printf("%s", kUsage);
        return 0;
    }
    // Every argument is taken before any prompt, and then the command line
    // forgets the passwords: a prompt waits as long as the user takes.
    LineResult server = ToCredentialField(argv[1], fields->server);
    LineResult user = ToCredentialField(argv[2], fields->user);
    LineResult oldPassword = kNoLine, newPassword = kNoLine;
    if (argc > 4)
        oldPassword = takePasswordArgument(argv[4], fields->oldPassword);
    if (argc > 3)
        newPassword = takePasswordArgument(argv[3], fields->newPassword);
    if (argc > 3)
        ForgetCommandLine();

    // Values are settled in the order server, user, old password, new
    // password, though the new password comes first on the line.
    int status = settle(fields, server, kServer);
    if (status == kCredentialsReady)
        status = settle(fields, user, kUser);
    if (status == kCredentialsReady) {
        if (argc <= 4)
            oldPassword = typePassword("Enter old password:", fields->oldPassword, false);
        status = settle(fields, oldPassword, kOldPassword);
    }
    if (status == kCredentialsReady) {
        if (argc <= 3)
            newPassword = typePassword("Enter new password:", fields->newPassword, true);
        status = settle(fields, newPassword, kNewPassword);
    }
    return status;
}

LineResult ToCredentialField(const ArgumentChar *argument, WCHAR *field)
{
    LineResult result = fitting(ArgumentToUnits(argument, NULL, 0));
    if (result == kLineRead)
        ArgumentToUnits(argument, field, kFieldUnits);
    return result;
}

LineResult PromptForPassword(const char *prompt, WCHAR *field)
{
    printf("%s", prompt);
    HideInputEcho();
    LineResult result;
    if (!ReadConsoleUnits(field, kFieldUnits, &result)) {
        char line[kLineBytes];
        result = ReadConsoleLine(line, sizeof line);
        if (result == kLineRead)
            result = lineToField(line, field);
        SecureZeroMemory(line, sizeof line);
    }
    RestoreInputEcho();
    return result;
}

LineResult ReadConsoleLine(char *line, int size)
{
    int length = 0;
    int c;
    while ((c = ReadInputByte()) != EOF && c != '\n') {
        // Refused without reading on, so any input is held in bounded memory.
        if (length == size - 1)
            return kLineTooLong;
        line[length++] = (char)c;
    }
    if (c == EOF && length == 0)
        return kNoLine;
    line[length] = '\0';
    return kLineRead;
}
