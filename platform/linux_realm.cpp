// Which realm, and which servers, a server name means for one change.
#include "platform/linux_kerberos.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

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
static long viewValues(void *data, const char *const *names, char ***values)
{
    const NamedServer *named = (const NamedServer *)data;
    static const char *const kServers[] = {"kdc", "primary_kdc", "master_kdc", "kpasswd_server"};
    bool server = false;
    if (names[0] != NULL && names[1] != NULL && names[2] != NULL && names[3] == NULL &&
        strcmp(names[0], "realms") == 0 && strcmp(names[1], named->realm) == 0) {
        for (const char *name : kServers)
            server = server || strcmp(names[2], name) == 0;
    }
    if (!server)
        return named->k->profile_get_values(named->configuration, names, values);
    char **list = (char **)calloc(2, sizeof *list);
    if (list == NULL || (list[0] = strdup(named->address)) == NULL) {
        free(list);
        return ENOMEM;
    }
    *values = list;
    return 0;
}

static void viewFree(void *data, char **values)
{
    ((const NamedServer *)data)->k->profile_free_list(values);
}

static bool isAddress(const char *host)
{
    unsigned char address[16];
    return inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
}

// The realm the configuration maps the host to ([domain_realm], or DNS where
// it turns that on). Without a mapping the realm is a guess: the host's DNS
// domain in capitals, else the whole name, as the DNS name of an Active
// Directory domain (corp.example.com) names its domain controllers. A name
// without a dot, or an address, is a server of the default realm.
static krb5_error_code findRealm(const Kerberos *k, krb5_context context, const char *host,
                                 NamedServer *named)
{
    const char *dot = strchr(host, '.');
    if (dot == NULL || isAddress(host))
        return 0;
    char **realms = NULL;
    krb5_error_code error = k->krb5_get_host_realm(context, host, &realms);
    if (error != 0)
        return error;
    if (realms[0] == NULL || realms[0][0] == '\0') {
        toCapitals(dot + 1, named->realm);
        toCapitals(host, named->otherRealm);
    } else if (strlen(realms[0]) < kUtf8Bytes) {
        strcpy(named->realm, realms[0]);
    } else {
        error = KRB5_REALM_UNKNOWN;  // longer than any realm a field can name
    }
    k->krb5_free_host_realm(context, realms);
    return error;
}

// For "\\host": the realm of the host, and a context that reads the
// configuration through the view.
static krb5_error_code openHostView(const Kerberos *k, const char *host, NamedServer *named,
                                    krb5_context *context)
{
    if (host[0] == '\0')
        return KRB5_ERR_BAD_HOSTNAME;
    krb5_context plain;
    krb5_error_code error = k->krb5_init_context(&plain);
    if (error != 0)
        return error;
    error = findRealm(k, plain, host, named);
    if (error == 0)
        error = k->krb5_get_profile(plain, &named->configuration);
    k->krb5_free_context(plain);
    if (error != 0)
        return error;

    // An IPv6 address is written in brackets, where a port could follow.
    snprintf(named->address, sizeof named->address,
             strchr(host, ':') != NULL && host[0] != '[' ? "[%s]" : "%s", host);
    struct profile_vtable vtable;
    memset(&vtable, 0, sizeof vtable);
    vtable.minor_ver = 1;
    vtable.get_values = viewValues;
    vtable.free_values = viewFree;
    profile_t profile;
    error = k->profile_init_vtable(&vtable, named, &profile);
    if (error != 0)
        return error;
    error = k->krb5_init_context_profile(profile, 0, context);
    k->profile_release(profile);
    return error;
}

static bool listsRealm(const Kerberos *k, krb5_context context, const char *realm)
{
    profile_t profile;
    if (k->krb5_get_profile(context, &profile) != 0)
        return false;
    const char *names[] = {"realms", NULL};
    char **realms = NULL;
    bool listed = false;
    if (k->profile_get_subsection_names(profile, names, &realms) == 0) {
        for (char **each = realms; *each != NULL; each++)
            listed = listed || strcmp(*each, realm) == 0;
        k->profile_free_list(realms);
    }
    k->profile_release(profile);
    return listed;
}

// An empty realm is the configuration's default realm; where that is the
// realm of a "\\host" view, the view answers for it from here on. A typed
// name without a dot that the configuration lists as no realm may be the
// domain named as Windows users name it: CORP is the default realm
// CORP.EXAMPLE.COM. Any other name stays the realm it names.
static krb5_error_code settleDefaultRealm(const Kerberos *k, krb5_context context, char *realm,
                                          bool typed)
{
    bool named = realm[0] != '\0';
    if (named && (!typed || strchr(realm, '.') != NULL || listsRealm(k, context, realm)))
        return 0;
    char *found = NULL;
    krb5_error_code error = k->krb5_get_default_realm(context, &found);
    if (error != 0)
        return named ? 0 : error;
    size_t label = strcspn(found, ".");
    bool means = !named || (strlen(realm) == label && strncasecmp(realm, found, label) == 0);
    // Longer than any field's realm can be: take no part of it.
    if (means && strlen(found) >= kUtf8Bytes)
        error = named ? 0 : KRB5_REALM_UNKNOWN;
    else if (means)
        strcpy(realm, found);
    k->krb5_free_default_realm(context, found);
    return error;
}

krb5_error_code OpenNamedServer(const Kerberos *k, const char *server, NamedServer *named,
                                krb5_context *context)
{
    named->k = k;
    named->configuration = NULL;
    named->realm[0] = named->otherRealm[0] = '\0';
    *context = NULL;
    bool host = server[0] == '\\' && server[1] == '\\';
    krb5_error_code error;
    if (host) {
        error = openHostView(k, server + 2, named, context);
    } else {
        toCapitals(server, named->realm);
        error = k->krb5_init_context(context);
    }
    if (error == 0)
        error = settleDefaultRealm(k, *context, named->realm, !host);
    return error;
}

void CloseNamedServer(NamedServer *named, krb5_context context)
{
    if (context != NULL)
        named->k->krb5_free_context(context);
    if (named->configuration != NULL)
        named->k->profile_release(named->configuration);
}
