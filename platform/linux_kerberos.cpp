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

static NET_API_STATUS statusForError(krb5_error_code error)
{
    switch (error) {
    case 0:
        return NERR_Success;
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
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
    ChangeText *text = &changeText;
    WideCharToMultiByte(CP_UTF8, 0, domain, -1, text->server, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, user, -1, text->user, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, oldPassword, -1, text->oldPassword, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, newPassword, -1, text->newPassword, kUtf8Bytes, NULL, NULL);
    Kerberos kerberos;
    NET_API_STATUS status = NERR_InternalError;
    if (loadKerberos(&kerberos)) {
        NamedServer named;
        krb5_context context;
        krb5_error_code error = OpenNamedServer(&kerberos, text->server, &named, &context);
        status = error != 0 ? statusForError(error)
                            : changeInRealm(&kerberos, context, named.realm, text);
        CloseNamedServer(&named, context);
    }
    SecureZeroMemory(text, sizeof *text);
    disarmDeadline(&saved);
    return status;
}
