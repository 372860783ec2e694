// The thread's last error and credmend's own message table on Linux, in
// the user's language as Windows gives the system's.
#include "platform/platform.h"

#include <libintl.h>
#include <locale.h>
#include <stdlib.h>
#include <string.h>

// Where the build installs the catalogues.
#ifndef CREDMEND_LOCALE_DIR
#define CREDMEND_LOCALE_DIR "/usr/share/locale"
#endif

struct Message {
    DWORD code;
    const char *text;
};

// N_ marks a text for the catalogue's template, which xgettext makes.
#define N_(text) text

// Texts for success and for every code the password change can return that
// has no fixed report of its own: the system's texts.
static const Message kMessages[] = {
    {NERR_Success, N_("The password has been changed.\n")},
    {ERROR_NOT_ENOUGH_MEMORY, N_("There is not enough memory to change the password.\n")},
    {ERROR_BAD_NETPATH,
     N_("No Kerberos server of the realm could be reached; the password is unchanged.\n")},
    {ERROR_NETWORK_BUSY, N_("No answer came from the password change server; the old password"
                            " works for now, but the server may still make the change.\n")},
    {ERROR_BAD_NET_RESP,
     N_("No answer came from the password change server; the old password still works.\n")},
    {ERROR_UNEXP_NET_ERR, N_("No answer came from the password change server; the password may"
                             " or may not have been changed.\n")},
    {ERROR_NETWORK_ACCESS_DENIED,
     N_("The password change server could not be verified; the password is unchanged.\n")},
    {ERROR_INVALID_PASSWORD, N_("The old password is not correct.\n")},
    {ERROR_NO_SUCH_DOMAIN, N_("The realm is not known, or no default realm is configured.\n")},
    {ERROR_TIME_SKEW,
     N_("The clocks of this machine and the Kerberos server differ too much.\n")},
    {WAIT_TIMEOUT, N_("The password change timed out; the password is unchanged.\n")},
    {ERROR_TIMEOUT,
     N_("The password change timed out; the password may or may not have been changed.\n")},
    {ERROR_ACCOUNT_EXPIRED, N_("The account has expired.\n")},
    {ERROR_ACCOUNT_RESTRICTION, N_("The account is disabled, expired or locked out.\n")},
    {ERROR_NOT_SUPPORTED, N_("The Kerberos library (MIT libkrb5) is missing, or lacks a"
                             " function credmend needs; the password is unchanged.\n")},
    {NERR_InternalError, N_("The Kerberos password change failed.\n")},
};

// The catalogue is looked for only when a text of it is written, so that
// the paths that write none start as fast as before. gettext puts the text
// into the locale's encoding, transliterating what it lacks; the C locale,
// and a language without a catalogue, keep the text as it is.
const char *Translated(const char *text)
{
    static bool bound;
    if (!bound) {
        UseLocaleEncoding();
        setlocale(LC_MESSAGES, "");
        bindtextdomain("credmend", CREDMEND_LOCALE_DIR);
        bound = true;
    }
    return dgettext("credmend", text);
}

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
        const char *text = Translated(message.text);
        size_t length = strlen(text);
        char *copy = (char *)malloc(length + 1);
        if (copy == NULL)
            return 0;
        memcpy(copy, text, length + 1);
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
