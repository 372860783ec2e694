// The thread's last error and credmend's own message table on Linux.
#include "platform/platform.h"

#include <stdlib.h>
#include <string.h>

struct Message {
    DWORD code;
    const char *text;
};

// Texts for success and for every code the password change can return that
// has no fixed report of its own.
static const Message kMessages[] = {
    {NERR_Success, "The password has been changed.\n"},
    {ERROR_NOT_ENOUGH_MEMORY, "There is not enough memory to change the password.\n"},
    {ERROR_BAD_NETPATH,
     "No Kerberos server of the realm could be reached; the password is unchanged.\n"},
    {ERROR_NETWORK_BUSY, "No answer came from the password change server; the old password"
                         " works for now, but the server may still make the change.\n"},
    {ERROR_BAD_NET_RESP,
     "No answer came from the password change server; the old password still works.\n"},
    {ERROR_UNEXP_NET_ERR, "No answer came from the password change server; the password may"
                          " or may not have been changed.\n"},
    {ERROR_NETWORK_ACCESS_DENIED,
     "The password change server could not be verified; the password is unchanged.\n"},
    {ERROR_INVALID_PASSWORD, "The old password is not correct.\n"},
    {ERROR_NO_SUCH_DOMAIN, "The realm is not known, or no default realm is configured.\n"},
    {ERROR_TIME_SKEW, "The clocks of this machine and the Kerberos server differ too much.\n"},
    {WAIT_TIMEOUT, "The password change timed out; the password is unchanged.\n"},
    {ERROR_TIMEOUT,
     "The password change timed out; the password may or may not have been changed.\n"},
    {ERROR_ACCOUNT_EXPIRED, "The account has expired.\n"},
    {ERROR_ACCOUNT_RESTRICTION, "The account is disabled, expired or locked out.\n"},
    {ERROR_NOT_SUPPORTED, "The Kerberos library (MIT libkrb5) is missing, or lacks a function"
                          " credmend needs; the password is unchanged.\n"},
    {NERR_InternalError, "The Kerberos password change failed.\n"},
};

// A terminal shows the table's text as it is written.
bool PrintConsoleMessage(DWORD code)
{
    (void)code;
    return false;
}

static thread_local DWORD lastError;

void SetLastError(DWORD code)
{
    lastError = code;
}

DWORD GetLastError(void)
{
    return lastError;
}

DWORD FormatMessageA(DWORD flags, const void *source, DWORD messageId, DWORD languageId,
                     LPSTR buffer, DWORD size, void *arguments)
{
    (void)flags;
    (void)source;
    (void)languageId;
    (void)size;
    (void)arguments;
    char **allocated = (char **)buffer;
    *allocated = NULL;
    for (const Message &message : kMessages) {
        if (message.code != messageId)
            continue;
        size_t length = strlen(message.text);
        char *copy = (char *)malloc(length + 1);
        if (copy == NULL)
            return 0;
        memcpy(copy, message.text, length + 1);
        *allocated = copy;
        return (DWORD)length;
    }
    return 0;
}

HLOCAL LocalFree(HLOCAL memory)
{
    free(memory);
    return NULL;
}
