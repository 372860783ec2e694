// Which realm a server name means for one change.
#include "platform/linux_kerberos.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <errno.h>
#include <netdb.h>
#include <resolv.h>
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

// An empty realm is the configuration's default realm. A typed name without
// a dot that the configuration lists as no realm may be the
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

// Whether the configuration allows DNS to find the realm's servers, as
// libkrb5 decides it, how large a message may go as a datagram, and the
// trust anchors for its KDC proxies.
static void readSettings(const Kerberos *k, NamedServer *named)
{
    profile_t profile = named->configuration;
    int dns = 1;
    k->profile_get_boolean(profile, "libdefaults", "dns_fallback", NULL, 1, &dns);
    k->profile_get_boolean(profile, "libdefaults", "dns_lookup_kdc", NULL, dns, &dns);
    named->dns = dns != 0;
    int uri = 1;
    k->profile_get_boolean(profile, "libdefaults", "dns_uri_lookup", NULL, 1, &uri);
    named->uri = uri != 0;
    // As libkrb5 reads it: 1 sends everything over TCP.
    int limit = 1465;
    k->profile_get_integer(profile, "libdefaults", "udp_preference_limit", NULL, limit, &limit);
    named->udpLimit = limit < 32700 ? limit : 32700;
    const char *asked[] = {"realms", named->realm, "http_anchors", NULL};
    if (k->profile_get_values(profile, asked, &named->anchors) != 0)
        named->anchors = NULL;
}

// Where no default realm is configured, "alice@REALM" names its realm, as
// kpasswd reads it: the part after the last '@', in capitals; the user is
// the part before it.
static bool takeRealmOfUser(char *user, char *realm)
{
    char *at = strrchr(user, '@');
    if (at == NULL || at == user || at[1] == '\0')
        return false;
    toCapitals(at + 1, realm);
    *at = '\0';
    return true;
}

krb5_error_code OpenNamedServer(const Kerberos *k, const char *server, char *user,
                                NamedServer *named, krb5_context *context)
{
    named->k = k;
    named->context = NULL;
    named->configuration = NULL;
    named->anchors = NULL;
    named->realm[0] = named->otherRealm[0] = '\0';
    named->kdcs.count = named->changeServers.count = named->primaries.count = 0;
    named->primariesFound = true;
    named->dns = named->uri = false;
    *context = NULL;
    const char *host = server[0] == '\\' && server[1] == '\\' ? server + 2 : NULL;
    if (host != NULL && host[0] == '\0')
        return KRB5_ERR_BAD_HOSTNAME;
    krb5_error_code error = k->krb5_init_context(context);
    if (error != 0)
        return error;
    named->context = *context;
    if (host != NULL)
        error = findRealm(k, *context, host, named);
    else
        toCapitals(server, named->realm);
    if (error == 0)
        error = settleDefaultRealm(k, *context, named->realm, host == NULL);
    if (error != 0 && host == NULL && named->realm[0] == '\0' &&
        takeRealmOfUser(user, named->realm))
        error = 0;
    if (error == 0)
        error = k->krb5_get_profile(*context, &named->configuration);
    if (error == 0) {
        readSettings(k, named);
        error = FindServers(k, host, named);
    }
    return error;
}

void CloseNamedServer(NamedServer *named, krb5_context context)
{
    if (context != NULL)
        named->k->krb5_free_context(context);
    if (named->anchors != NULL)
        named->k->profile_free_list(named->anchors);
    if (named->configuration != NULL)
        named->k->profile_release(named->configuration);
}
