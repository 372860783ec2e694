// The password change on Linux: the Kerberos change-password protocol, which
// Active Directory, Samba and MIT realms serve, through MIT libkrb5.
#include "platform/linux_kerberos.h"

#include <dlfcn.h>
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#ifndef CREDMEND_CHANGE_DEADLINE_SECONDS
#define CREDMEND_CHANGE_DEADLINE_SECONDS 30
#endif

// libkrb5 bounds no request as a whole, so the change runs in a child that is
// killed when the deadline passes.
static const int kDeadlineMilliseconds = CREDMEND_CHANGE_DEADLINE_SECONDS * 1000;

// libkrb5 is loaded in the child that makes the change, so the paths that
// make none (usage, refusals) start as fast as a program without it.
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
    char user[kUtf8Bytes];
    char oldPassword[kUtf8Bytes];
    char newPassword[kUtf8Bytes];
};

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

static NET_API_STATUS changeInThisProcess(const WCHAR *domain, const WCHAR *user,
                                          const WCHAR *oldPassword, const WCHAR *newPassword)
{
    char server[kUtf8Bytes];
    ChangeText text;
    WideCharToMultiByte(CP_UTF8, 0, domain, -1, server, sizeof server, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, user, -1, text.user, sizeof text.user, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, oldPassword, -1, text.oldPassword, sizeof text.oldPassword,
                        NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, newPassword, -1, text.newPassword, sizeof text.newPassword,
                        NULL, NULL);
    Kerberos kerberos;
    NET_API_STATUS status = NERR_InternalError;
    if (loadKerberos(&kerberos)) {
        NamedServer named;
        krb5_context context;
        krb5_error_code error = OpenNamedServer(&kerberos, server, &named, &context);
        status = error != 0 ? statusForError(error)
                            : changeInRealm(&kerberos, context, named.realm, &text);
        CloseNamedServer(&named, context);
    }
    SecureZeroMemory(&text, sizeof text);
    return status;
}

static int millisecondsSince(const struct timespec *start)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int)((now.tv_sec - start->tv_sec) * 1000 + (now.tv_nsec - start->tv_nsec) / 1000000);
}

// Waits for the child's status until the deadline; a child that ends without
// one failed in a way it could not report.
static NET_API_STATUS awaitStatus(pid_t child, int from)
{
    struct timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    NET_API_STATUS status = NERR_InternalError;
    for (;;) {
        int left = kDeadlineMilliseconds - millisecondsSince(&start);
        struct pollfd ready = {from, POLLIN, 0};
        int result = left > 0 ? poll(&ready, 1, left) : 0;
        if (result < 0 && errno == EINTR)
            continue;
        if (result == 0) {
            // The request may still reach the server, so the outcome is unknown.
            kill(child, SIGKILL);
            status = ERROR_TIMEOUT;
        } else if (result > 0 && read(from, &status, sizeof status) != sizeof status) {
            status = NERR_InternalError;
        }
        break;
    }
    while (waitpid(child, NULL, 0) < 0 && errno == EINTR) {
    }
    return status;
}

NET_API_STATUS NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                     const WCHAR *oldPassword, const WCHAR *newPassword)
{
    int channel[2];
    if (pipe(channel) != 0)
        return NERR_InternalError;
    // The child must not hold a copy of buffered prompts that a runtime's
    // exit cleanup could write a second time.
    fflush(stdout);
    pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        NET_API_STATUS status = changeInThisProcess(domain, user, oldPassword, newPassword);
        ssize_t written = write(channel[1], &status, sizeof status);
        // Leaves without flushing the parent's buffered output a second time.
        _exit(written == sizeof status ? 0 : 1);
    }
    close(channel[1]);
    NET_API_STATUS status = child < 0 ? NERR_InternalError : awaitStatus(child, channel[0]);
    close(channel[0]);
    return status;
}
