// The password change on Linux: the Kerberos change-password protocol, which
// Active Directory, Samba and MIT realms serve, through MIT libkrb5.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dlfcn.h>
#include <errno.h>
#include <krb5.h>
#include <poll.h>
#include <profile.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
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

// The longest UTF-8 form of a field: three bytes a unit, and the terminator.
static const int kUtf8Bytes = 3 * 100 + 1;

// libkrb5 is loaded in the child that makes the change, so the paths that
// make none (usage, refusals) start as fast as a program without it.
#define KERBEROS_FUNCTIONS(X)                                                               \
    X(krb5_init_context) X(krb5_free_context) X(krb5_get_default_realm)                     \
    X(krb5_free_default_realm) X(krb5_build_principal) X(krb5_free_principal)               \
    X(krb5_get_init_creds_opt_alloc) X(krb5_get_init_creds_opt_free)                        \
    X(krb5_get_init_creds_opt_set_tkt_life) X(krb5_get_init_creds_opt_set_renew_life)       \
    X(krb5_get_init_creds_opt_set_forwardable) X(krb5_get_init_creds_opt_set_proxiable)     \
    X(krb5_get_init_creds_opt_set_address_list) X(krb5_get_init_creds_password)             \
    X(krb5_change_password) X(krb5_free_data_contents) X(krb5_free_cred_contents)         \
    X(krb5_get_host_realm) X(krb5_free_host_realm) X(krb5_get_profile)                      \
    X(krb5_init_context_profile) X(profile_init_vtable) X(profile_get_values)               \
    X(profile_free_list) X(profile_release)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
struct Kerberos {
    KERBEROS_FUNCTIONS(DECLARE_FUNCTION)
};
#undef DECLARE_FUNCTION

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
    char realm[kUtf8Bytes];
    char user[kUtf8Bytes];
    char oldPassword[kUtf8Bytes];
    char newPassword[kUtf8Bytes];
};

static void putUtf8(char **out, char32_t point)
{
    unsigned char *bytes = (unsigned char *)*out;
    if (point < 0x80) {
        *bytes++ = (unsigned char)point;
    } else if (point < 0x800) {
        *bytes++ = (unsigned char)(0xC0 | (point >> 6));
        *bytes++ = (unsigned char)(0x80 | (point & 0x3F));
    } else if (point < 0x10000) {
        *bytes++ = (unsigned char)(0xE0 | (point >> 12));
        *bytes++ = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
        *bytes++ = (unsigned char)(0x80 | (point & 0x3F));
    } else {
        *bytes++ = (unsigned char)(0xF0 | (point >> 18));
        *bytes++ = (unsigned char)(0x80 | ((point >> 12) & 0x3F));
        *bytes++ = (unsigned char)(0x80 | ((point >> 6) & 0x3F));
        *bytes++ = (unsigned char)(0x80 | (point & 0x3F));
    }
    *out = (char *)bytes;
}

// A field holds at most 99 units, so its UTF-8 form always fits; a surrogate
// without its partner becomes U+FFFD.
static void toUtf8(const WCHAR *units, char *text)
{
    for (int i = 0; units[i] != 0 && i < 99; i++) {
        char32_t point = units[i];
        if (point >= 0xD800 && point <= 0xDBFF && units[i + 1] >= 0xDC00 &&
            units[i + 1] <= 0xDFFF) {
            point = 0x10000 + ((point - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            i++;
        } else if (point >= 0xD800 && point <= 0xDFFF) {
            point = 0xFFFD;
        }
        putUtf8(&text, point);
    }
    *text = '\0';
}

static void toCapitals(const char *text, char *capitals)
{
    do
        *capitals++ = (char)toupper((unsigned char)*text);
    while (*text++ != '\0');
}

// A server named "\\host" is that host, as on Windows: for this run it is the
// KDC and the change server of its realm, whatever the configuration lists,
// through a view of the configuration that answers those questions with the
// host and passes every other one on. The primary KDC is the host too, so a
// refused password is never asked again of a server listed elsewhere.
struct ServerView {
    const Kerberos *k;
    profile_t configuration;
    const char *realm;
    char address[kUtf8Bytes + 2];
};

static long viewValues(void *data, const char *const *names, char ***values)
{
    const ServerView *view = (const ServerView *)data;
    static const char *const kServers[] = {"kdc", "primary_kdc", "master_kdc", "kpasswd_server"};
    bool server = false;
    if (names[0] != NULL && names[1] != NULL && names[2] != NULL && names[3] == NULL &&
        strcmp(names[0], "realms") == 0 && strcmp(names[1], view->realm) == 0) {
        for (const char *name : kServers)
            server = server || strcmp(names[2], name) == 0;
    }
    if (!server)
        return view->k->profile_get_values(view->configuration, names, values);
    char **list = (char **)calloc(2, sizeof *list);
    if (list == NULL || (list[0] = strdup(view->address)) == NULL) {
        free(list);
        return ENOMEM;
    }
    *values = list;
    return 0;
}

static void viewFree(void *data, char **values)
{
    ((const ServerView *)data)->k->profile_free_list(values);
}

static bool isAddress(const char *host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

// The realm the configuration maps the host to ([domain_realm], or DNS where
// it turns that on), else the host's DNS domain in capitals. A name without
// a dot, or an address, is a server of the default realm.
static krb5_error_code findRealm(const Kerberos *k, krb5_context context, const char *host,
                                 char *realm)
{
    const char *dot = strchr(host, '.');
    if (dot == NULL || isAddress(host)) {
        realm[0] = '\0';
        return 0;
    }
    char **realms = NULL;
    krb5_error_code error = k->krb5_get_host_realm(context, host, &realms);
    if (error != 0)
        return error;
    if (realms[0] == NULL || realms[0][0] == '\0')
        toCapitals(dot + 1, realm);
    else if (strlen(realms[0]) < kUtf8Bytes)
        strcpy(realm, realms[0]);
    else
        error = KRB5_REALM_UNKNOWN;  // longer than any realm a field can name
    k->krb5_free_host_realm(context, realms);
    return error;
}

// The context of this run. For "\\host" it reads the configuration through
// the view, which borrows view->configuration until the context is freed.
static krb5_error_code openContext(const Kerberos *k, ChangeText *text, ServerView *view,
                                   krb5_context *context)
{
    if (text->server[0] != '\\' || text->server[1] != '\\') {
        toCapitals(text->server, text->realm);
        return k->krb5_init_context(context);
    }
    const char *host = text->server + 2;
    if (host[0] == '\0')
        return KRB5_ERR_BAD_HOSTNAME;
    krb5_context plain;
    krb5_error_code error = k->krb5_init_context(&plain);
    if (error != 0)
        return error;
    error = findRealm(k, plain, host, text->realm);
    if (error == 0)
        error = k->krb5_get_profile(plain, &view->configuration);
    k->krb5_free_context(plain);
    if (error != 0)
        return error;

    view->k = k;
    // The run's own realm: where it is the default realm, that is written
    // there once the context is open.
    view->realm = text->realm;
    // An IPv6 address is written in brackets, where a port could follow.
    snprintf(view->address, sizeof view->address,
             strchr(host, ':') != NULL && host[0] != '[' ? "[%s]" : "%s", host);
    struct profile_vtable vtable;
    memset(&vtable, 0, sizeof vtable);
    vtable.minor_ver = 1;
    vtable.get_values = viewValues;
    vtable.free_values = viewFree;
    profile_t profile;
    error = k->profile_init_vtable(&vtable, view, &profile);
    if (error != 0)
        return error;
    error = k->krb5_init_context_profile(profile, 0, context);
    k->profile_release(profile);
    return error;
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
static NET_API_STATUS changeWithContext(const Kerberos *k, krb5_context context,
                                        ChangeText *text)
{
    if (text->realm[0] == '\0') {
        char *realm = NULL;
        krb5_error_code error = k->krb5_get_default_realm(context, &realm);
        if (error != 0)
            return statusForError(error);
        // Longer than any field's realm can be: take no part of it.
        if (strlen(realm) >= sizeof text->realm) {
            k->krb5_free_default_realm(context, realm);
            return ERROR_NO_SUCH_DOMAIN;
        }
        strcpy(text->realm, realm);
        k->krb5_free_default_realm(context, realm);
    }

    // Built, not parsed, so '@' and '/' in a user name stay part of it.
    krb5_principal client = NULL;
    krb5_error_code error = k->krb5_build_principal(context, &client, strlen(text->realm),
                                                 text->realm, text->user, (char *)NULL);
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
    ChangeText text;
    toUtf8(domain, text.server);
    toUtf8(user, text.user);
    toUtf8(oldPassword, text.oldPassword);
    toUtf8(newPassword, text.newPassword);
    Kerberos kerberos;
    const Kerberos *k = &kerberos;
    ServerView view;
    view.configuration = NULL;
    krb5_context context = NULL;
    NET_API_STATUS status = NERR_InternalError;
    if (loadKerberos(&kerberos)) {
        krb5_error_code error = openContext(k, &text, &view, &context);
        status = error != 0 ? statusForError(error) : changeWithContext(k, context, &text);
        if (context != NULL)
            k->krb5_free_context(context);
        if (view.configuration != NULL)
            k->profile_release(view.configuration);
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
