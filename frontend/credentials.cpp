// Command line, console prompts and the conversion into credential fields.
#include "frontend/credentials.h"

#include <stdio.h>
#include <string.h>

static const char kUsage[] = "credmend [server] [user] <newpasswd> <oldpasswd>\n";

static int refuse(CredentialFields *fields, const char *text)
{
    SecureZeroMemory(fields, sizeof *fields);
    printf("%s", text);
    return kRefusedStatus;
}

// A password comes from its argument when there is one, else from the
// console. The argument is wiped once converted: it is one more copy of the
// secret, and where the system shows arguments it then shows no password.
static int collectPassword(CredentialFields *fields, char *argument, const char *prompt,
                           WCHAR *field, const char *tooLongText)
{
    LineResult result;
    if (argument != NULL) {
        result = ToCredentialField(argument, field) ? kLineRead : kLineTooLong;
        SecureZeroMemory(argument, strlen(argument));
    } else {
        result = PromptForPassword(prompt, field);
    }
    if (result == kLineTooLong)
        return refuse(fields, tooLongText);
    if (result == kNoLine)
        return refuse(fields, "Err: No password was given.\n");
    return kCredentialsReady;
}

int CollectCredentials(int argc, char **argv, CredentialFields *fields)
{
    memset(fields, 0, sizeof *fields);
    if (argc < 3) {
        printf("%s", kUsage);
        return 0;
    }
    if (!ToCredentialField(argv[1], fields->server))
        return refuse(fields, "Err: The server name is too long.\n");
    if (!ToCredentialField(argv[2], fields->user))
        return refuse(fields, "Err: The user name is too long.\n");

    // The old password is settled first, though it comes last on the line.
    int status = collectPassword(fields, argc > 4 ? argv[4] : NULL, "Enter old password:",
                                 fields->oldPassword, "Err: The old password is too long.\n");
    if (status != kCredentialsReady)
        return status;
    return collectPassword(fields, argc > 3 ? argv[3] : NULL, "Enter new password:",
                           fields->newPassword, "Err: The new password is too long.\n");
}

bool ToCredentialField(const char *text, WCHAR *field)
{
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, text, -1, field, kFieldUnits) != 0)
        return true;
    // A value that does not fit may have been written in part.
    SecureZeroMemory(field, kFieldUnits * sizeof field[0]);
    return false;
}

LineResult PromptForPassword(const char *prompt, WCHAR *field)
{
    char line[kLineBytes];
    printf("%s", prompt);
    HideInputEcho();
    LineResult result = ReadConsoleLine(line, sizeof line);
    RestoreInputEcho();
    if (result == kLineRead && !ToCredentialField(line, field))
        result = kLineTooLong;
    SecureZeroMemory(line, sizeof line);
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
