// The four values of a password change, as the platform's change takes them.
#ifndef CREDMEND_CREDENTIALS_H
#define CREDMEND_CREDENTIALS_H

#include "platform/platform.h"

// 99 UTF-16 units and the terminating zero unit.
const int kFieldUnits = 100;

struct CredentialFields {
    WCHAR server[kFieldUnits];
    WCHAR user[kFieldUnits];
    WCHAR oldPassword[kFieldUnits];
    WCHAR newPassword[kFieldUnits];
};

// What CollectCredentials returns when the fields are ready for the request;
// anything else is the exit status of a run that ends without one.
const int kCredentialsReady = -1;

// A value was refused before any request (too long, or no password given).
const int kRefusedStatus = (int)ERROR_INVALID_PARAMETER;

// Enough bytes for any line that converts to at most 99 units: no encoding
// takes more than four bytes a unit.
const int kLineBytes = 4 * (kFieldUnits - 1) + 1;

enum LineResult { kLineRead, kLineTooLong, kNoLine };

int CollectCredentials(int argc, char **argv, CredentialFields *fields);
bool ToCredentialField(const char *text, WCHAR *field);
LineResult PromptForPassword(const char *prompt, WCHAR *field);
LineResult ReadConsoleLine(char *line, int size);

#endif
