// The password change on Linux: the Kerberos change-password protocol, which
// Active Directory, Samba and MIT realms serve, through MIT libkrb5.
#include "platform/linux_kerberos.h"

#include <dlfcn.h>
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#ifndef CREDMEND_CHANGE_DEADLINE_SECONDS
#define CREDMEND_CHANGE_DEADLINE_SECONDS 30
#endif

// libkrb5 is loaded when a change is made, so the paths that make none
// (usage, refusals) start as fast as a program without it.
static bool loadKerberos(Kerberos *k)
{
    void *library = dlopen("libkrb5.so.3", RTLD_LAZY | RTLD_LOCAL);
    if (library == NULL)
        return false;
#define LOAD_FUNCTION(name)                                   \
    k->name = (decltype(k->name))dlsym(library, #name);       \
    if (k->name == NULL)                                      \
        return false;
    KERBEROS_FUNCTIONS(LOAD_FUNCTION)
#undef LOAD_FUNCTION
    return true;
}

struct ChangeText {
    char server[kUtf8Bytes];
    char user[kUtf8Bytes];
    char oldPassword[kUtf8Bytes];
    char newPassword[kUtf8Bytes];
};

// The values of the change under way, in UTF-8: static, so that the
// deadline can wipe them before it ends the process.
static ChangeText changeText;

// The report of a change given up at the deadline, looked up before the
// change starts: the handler may only write and end the process.
static char *timeoutReport;
static DWORD timeoutReportLength;
static char noReport[] = "Err";

// libkrb5 bounds no request as a whole. At the deadline the change is given
// up where it stands; the request may still reach the server, so the report
// says the outcome is unknown.
static void giveUpAtDeadline(int signo)
{
    (void)signo;
    explicit_bzero(&changeText, sizeof changeText);
    if (write(STDOUT_FILENO, timeoutReport, timeoutReportLength) < 0) {
        // Nothing more can be done: the exit status still tells.
    }
    _exit((int)(ERROR_TIMEOUT < kLargestExitStatus ? ERROR_TIMEOUT : kLargestExitStatus));
}

static void armDeadline(struct sigaction *saved)
{
    timeoutReportLength = FormatMessageA(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER, NULL, ERROR_TIMEOUT,
        MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), (LPSTR)&timeoutReport, 0, NULL);
    if (timeoutReportLength == 0) {
        timeoutReport = noReport;
        timeoutReportLength = sizeof noReport - 1;
    }
    // What was written so far reaches the output before the handler's report.
    fflush(stdout);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = giveUpAtDeadline;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, saved);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarmOnly, NULL);
    alarm(CREDMEND_CHANGE_DEADLINE_SECONDS);
}

static void disarmDeadline(const struct sigaction *saved)
{
    alarm(0);
    sigaction(SIGALRM, saved, NULL);
    if (timeoutReport != noReport)
        LocalFree(timeoutReport);
}

// The server's reason for refusing the last change, cleaned; empty when it
// gave none.
static char serverReason[kReasonBytes];

bool GetServerReason(char *reason)
{
    memcpy(reason, serverReason, sizeof serverReason);
    return serverReason[0] != '\0';
}

// The length of the UTF-8 sequence at text, before end, with its code
// point; 0 when the bytes there are not valid UTF-8.
static int decodeUtf8(const unsigned char *text, const unsigned char *end, char32_t *point)
{
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char lead = text[0];
    int length = lead < 0x80   ? 1
                 : lead < 0xC2 ? 0
                 : lead < 0xE0 ? 2
                 : lead < 0xF0 ? 3
                 : lead < 0xF5 ? 4
                               : 0;
    if (length == 0 || length > end - text)
        return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *point = value;
    return length;
}

// The server is not trusted: its words reach the terminal as one line with
// no control character (C0, DEL, C1), so no escape sequence can act there.
// Each run of blanks and controls becomes one space, none at either end,
// and the text is cut at a character boundary to fit. False, with no
// reason kept, when the bytes are not UTF-8 text (a zero byte included).
static bool keepReason(const char *text, size_t length)
{
    const unsigned char *at = (const unsigned char *)text, *end = at + length;
    int kept = 0;
    bool space = false, full = false;
    for (int used; at < end; at += used) {
        char32_t point;
        used = decodeUtf8(at, end, &point);
        if (used == 0 || point == 0) {
            serverReason[0] = '\0';
            return false;
        }
        if (point <= 0x20 || (point >= 0x7F && point <= 0x9F)) {
            space = kept > 0;
            continue;
        }
        full = full || kept + (space ? 1 : 0) + used > kReasonBytes - 1;
        if (full)
            continue;
        if (space)
            serverReason[kept++] = ' ';
        memcpy(serverReason + kept, at, used);
        kept += used;
        space = false;
    }
    serverReason[kept] = '\0';
    return true;
}

// A reason in UTF-8 text is the server's own words (libkrb5 1.20 would strip
// their accents). Anything else, such as Active Directory's binary policy
// block, is what libkrb5 makes of it: for a policy block, sentences.
static void keepServerReason(const Kerberos *k, krb5_context context, const krb5_data *reply)
{
    char *message = NULL;
    if (!keepReason(reply->data, reply->length) &&
        k->krb5_chpw_message(context, reply, &message) == 0) {
        keepReason(message, strlen(message));
        k->krb5_free_string(context, message);
    }
}

static NET_API_STATUS statusForError(krb5_error_code error)
{
    switch (error) {
    case 0:
        return NERR_Success;
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
    case KRB5KDC_ERR_WRONG_REALM:  // the user is not in the realm asked
        return NERR_UserNotFound;
    case KRB5KDC_ERR_PREAUTH_FAILED:
    case KRB5KRB_AP_ERR_BAD_INTEGRITY:
        return ERROR_INVALID_PASSWORD;
    case KRB5KDC_ERR_CLIENT_REVOKED:
        // Active Directory's answer for a disabled, expired or locked-out
        // account alike; only its extra data says which.
        return ERROR_ACCOUNT_RESTRICTION;
    case KRB5KDC_ERR_NAME_EXP:
        return ERROR_ACCOUNT_EXPIRED;
    case KRB5KRB_AP_ERR_SKEW:
        return ERROR_TIME_SKEW;
    case KRB5_ERR_BAD_HOSTNAME:
        return NERR_InvalidComputer;
    case KRB5_REALM_UNKNOWN:
    case KRB5_REALM_CANT_RESOLVE:
    case KRB5_CONFIG_NODEFREALM:
        return ERROR_NO_SUCH_DOMAIN;
    case KRB5_KDC_UNREACH:
    case ECONNREFUSED:
    case ECONNRESET:
    case EHOSTUNREACH:
    case ENETUNREACH:
    case ETIMEDOUT:
        return ERROR_BAD_NETPATH;
    case ENOMEM:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return NERR_InternalError;
    }
}

static NET_API_STATUS statusForResult(int resultCode)
{
    switch (resultCode) {
    case KRB5_KPASSWD_SUCCESS:
        return NERR_Success;
    case KRB5_KPASSWD_SOFTERROR:
        return NERR_PasswordTooShort;
    case KRB5_KPASSWD_AUTHERROR:
    case KRB5_KPASSWD_ACCESSDENIED:
        return ERROR_ACCESS_DENIED;
    default:
        return NERR_InternalError;
    }
}

// Asks the KDC for a change-password ticket with the old password, then the
// change service for the new password. No credentials are cached.
static NET_API_STATUS changeInRealm(const Kerberos *k, krb5_context context, const char *realm,
                                    ChangeText *text)
{
    // Built, not parsed, so '@' and '/' in a user name stay part of it.
    krb5_principal client = NULL;
    krb5_error_code error = k->krb5_build_principal(context, &client, strlen(realm), realm,
                                                 text->user, (char *)NULL);
    if (error != 0)
        return statusForError(error);

    krb5_get_init_creds_opt *options = NULL;
    error = k->krb5_get_init_creds_opt_alloc(context, &options);
    if (error == 0) {
        k->krb5_get_init_creds_opt_set_tkt_life(options, 60);
        k->krb5_get_init_creds_opt_set_renew_life(options, 0);
        k->krb5_get_init_creds_opt_set_forwardable(options, 0);
        k->krb5_get_init_creds_opt_set_proxiable(options, 0);
        k->krb5_get_init_creds_opt_set_address_list(options, NULL);
    }

    krb5_creds credentials;
    memset(&credentials, 0, sizeof credentials);
    NET_API_STATUS status;
    if (error == 0)
        error = k->krb5_get_init_creds_password(context, &credentials, client, text->oldPassword,
                                             NULL, NULL, 0, "kadmin/changepw", options);
    if (error != 0) {
        status = statusForError(error);
    } else {
        int resultCode = 0;
        krb5_data codeText = {}, serverText = {};
        error = k->krb5_change_password(context, &credentials, text->newPassword, &resultCode,
                                     &codeText, &serverText);
        status = error != 0 ? statusForError(error) : statusForResult(resultCode);
        if (status != NERR_Success && serverText.length > 0)
            keepServerReason(k, context, &serverText);
        k->krb5_free_data_contents(context, &codeText);
        k->krb5_free_data_contents(context, &serverText);
    }
    k->krb5_free_cred_contents(context, &credentials);
    k->krb5_get_init_creds_opt_free(context, options);
    k->krb5_free_principal(context, client);
    return status;
}

NET_API_STATUS NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                     const WCHAR *oldPassword, const WCHAR *newPassword)
{
    struct sigaction saved;
    armDeadline(&saved);
    WideCharToMultiByte(CP_UTF8, 0, domain, -1, changeText.server, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, user, -1, changeText.user, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, oldPassword, -1, changeText.oldPassword, kUtf8Bytes, NULL,
                        NULL);
    WideCharToMultiByte(CP_UTF8, 0, newPassword, -1, changeText.newPassword, kUtf8Bytes, NULL,
                        NULL);
    Kerberos kerberos;
    NET_API_STATUS status = NERR_InternalError;
    if (loadKerberos(&kerberos)) {
        NamedServer named;
        krb5_context context;
        krb5_error_code error = OpenNamedServer(&kerberos, changeText.server, &named, &context);
        status = error != 0 ? statusForError(error)
                            : changeInRealm(&kerberos, context, named.realm, &changeText);
        // A guessed realm that does not know the user said so before any
        // password-derived data was sent: asking the other costs no failed
        // logon. The view answers for the realm asked.
        if (status == NERR_UserNotFound && named.otherRealm[0] != '\0') {
            strcpy(named.realm, named.otherRealm);
            status = changeInRealm(&kerberos, context, named.realm, &changeText);
        }
        CloseNamedServer(&named, context);
    }
    SecureZeroMemory(&changeText, sizeof changeText);
    disarmDeadline(&saved);
    return status;
}
