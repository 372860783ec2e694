// The command front end: the command line, the console prompts and the
// conversion of the four values into their credential fields.
#ifndef CREDMEND_CREDENTIALS_H
#define CREDMEND_CREDENTIALS_H

#include "platform/platform.h"

// What CollectCredentials returns when the fields are ready for the request;
// anything else is the exit status of a run that ends without one.
const int kCredentialsReady = -1;

// A value was refused before any request (too long, not valid text, or no
// password given).
const int kRefusedStatus = (int)ERROR_INVALID_PARAMETER;

// Enough bytes for any line that converts to at most 99 units: no encoding
// takes more than four bytes a unit.
const int kLineBytes = 4 * (kFieldUnits - 1) + 1;

int CollectCredentials(int argc, ArgumentChar **argv, CredentialFields *fields);
LineResult ToCredentialField(const ArgumentChar *argument, WCHAR *field);
LineResult PromptForPassword(const char *prompt, WCHAR *field);
LineResult ReadConsoleLine(char *line, int size);

#endif
