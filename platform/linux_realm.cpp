// Which realm, and which servers, a server name means for one change.
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

static const int kKdcPort = 88;
static const int kMostAddresses = 4;

// The addresses of each host looked up in this run, from the resolver or from
// the additional records of an SRV answer.
struct KnownHost {
    char name[kHostBytes];
    struct sockaddr_storage address[kMostAddresses];
    int count;
};
static KnownHost knownHosts[kMostServers];
static int knownCount;

static socklen_t addressLength(const struct sockaddr_storage *address)
{
    return address->ss_family == AF_INET6 ? sizeof(struct sockaddr_in6)
                                          : sizeof(struct sockaddr_in);
}

static int portOf(const struct sockaddr_storage *address)
{
    return ntohs(address->ss_family == AF_INET6
                     ? ((const struct sockaddr_in6 *)address)->sin6_port
                     : ((const struct sockaddr_in *)address)->sin_port);
}

static KnownHost *knownHost(const char *name, bool add)
{
    for (int i = 0; i < knownCount; i++) {
        if (strcasecmp(knownHosts[i].name, name) == 0)
            return &knownHosts[i];
    }
    if (!add || knownCount == kMostServers || strlen(name) >= (size_t)kHostBytes)
        return NULL;
    KnownHost *known = &knownHosts[knownCount++];
    strcpy(known->name, name);
    known->count = 0;
    return known;
}

static void learnAddress(KnownHost *known, const void *address, socklen_t length)
{
    if (known != NULL && known->count < kMostAddresses && length <= sizeof known->address[0]) {
        memset(&known->address[known->count], 0, sizeof known->address[0]);
        memcpy(&known->address[known->count++], address, length);
    }
}

static void addServer(const struct sockaddr_storage *address, int port, bool tcp, bool udp,
                      ServerList *servers)
{
    struct sockaddr_storage withPort = *address;
    if (withPort.ss_family == AF_INET6)
        ((struct sockaddr_in6 *)&withPort)->sin6_port = htons((uint16_t)port);
    else
        ((struct sockaddr_in *)&withPort)->sin_port = htons((uint16_t)port);
    socklen_t length = addressLength(&withPort);
    Server *server = servers->each, *end = server + servers->count;
    while (server < end && !(server->length == length && memcmp(&server->address, &withPort,
                                                                length) == 0))
        server++;
    if (server == end) {
        if (servers->count == kMostServers)
            return;
        memset(server, 0, sizeof *server);
        server->address = withPort;
        server->length = length;
        servers->count++;
    }
    server->tcp = server->tcp || tcp;
    server->udp = server->udp || udp;
}

// Looks up the hosts not yet known, all at once: a domain may have many
// DCs, and each lookup in turn would be a round trip. A host that does not
// resolve is known too, with no address.
static void resolveHosts(const char *const *hosts, int count)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    struct gaicb requests[kMostServers], *asked[kMostServers];
    int unknown = 0;
    for (int i = 0; i < count && unknown < kMostServers; i++) {
        if (knownHost(hosts[i], false) != NULL)
            continue;
        memset(&requests[unknown], 0, sizeof requests[unknown]);
        requests[unknown].ar_name = hosts[i];
        requests[unknown].ar_request = &hints;
        asked[unknown] = &requests[unknown];
        unknown++;
    }
    // One host needs no helper thread.
    int failed = 0;
    if (unknown == 1)
        failed = getaddrinfo(requests[0].ar_name, NULL, &hints, &requests[0].ar_result);
    else if (unknown > 1 && getaddrinfo_a(GAI_WAIT, asked, unknown, NULL) != 0)
        return;
    for (int i = 0; i < unknown; i++) {
        KnownHost *known = knownHost(requests[i].ar_name, true);
        if ((unknown == 1 ? failed : gai_error(asked[i])) != 0)
            continue;
        for (struct addrinfo *each = requests[i].ar_result; each != NULL; each = each->ai_next) {
            if (each->ai_family == AF_INET || each->ai_family == AF_INET6)
                learnAddress(known, each->ai_addr, each->ai_addrlen);
        }
        freeaddrinfo(requests[i].ar_result);
    }
}

void AddHost(const char *host, int port, bool tcp, bool udp, ServerList *servers)
{
    resolveHosts(&host, 1);
    KnownHost *known = knownHost(host, false);
    for (int i = 0; known != NULL && i < known->count; i++)
        addServer(&known->address[i], port, tcp, udp, servers);
}

// A host, with a port after a colon where it is not the usual one: "kdc1",
// "kdc1:8464", "[::1]:8464", or an IPv6 address. A port given replaces
// *port. False when the entry is no such thing.
static bool readHost(const char *entry, size_t length, char *host, long *port)
{
    const char *end = entry + length, *hostEnd = end, *itsPort = NULL;
    const char *colon = (const char *)memchr(entry, ':', length);
    if (length > 0 && entry[0] == '[') {
        hostEnd = (const char *)memchr(entry, ']', length);
        if (hostEnd == NULL || (hostEnd + 1 < end && hostEnd[1] != ':'))
            return false;
        itsPort = hostEnd + 1 < end ? hostEnd + 2 : NULL;
        entry++;
    } else if (colon != NULL && memchr(colon + 1, ':', end - colon - 1) == NULL) {
        hostEnd = colon;
        itsPort = colon + 1;
    }
    if (hostEnd - entry >= kHostBytes)
        return false;
    memcpy(host, entry, hostEnd - entry);
    host[hostEnd - entry] = '\0';
    if (itsPort == NULL)
        return true;
    long number = 0;
    for (const char *digit = itsPort; digit < end; digit++) {
        if (!isdigit((unsigned char)*digit) || number > 0xFFFF)
            return false;
        number = number * 10 + (*digit - '0');
    }
    if (number < 1 || number > 0xFFFF)
        return false;
    *port = number;
    return true;
}

// The KDC proxies the configuration names, https://host[:port][/path]: their
// servers are reached over HTTPS only, with messages for the realm.
static Proxy proxies[4];
static int proxyCount;

static void addProxy(const char *url, const char *realm, ServerList *servers)
{
    size_t authority = strcspn(url, "/");
    const char *path = url[authority] == '/' ? url + authority + 1 : "";
    // Nothing that would end the request line.
    for (const char *each = path; *each != '\0'; each++) {
        if ((unsigned char)*each <= 0x20 || *each == 0x7F)
            return;
    }
    Proxy *proxy = &proxies[proxyCount];
    long port = 443;
    if (proxyCount == 4 || strlen(path) >= sizeof proxy->path ||
        !readHost(url, authority, proxy->host, &port))
        return;
    proxyCount++;
    proxy->port = (int)port;
    strcpy(proxy->path, path);
    proxy->targetDomain = realm;
    int before = servers->count;
    AddHost(proxy->host, proxy->port, false, false, servers);
    for (int i = before; i < servers->count; i++)
        servers->each[i].proxy = proxy;
}

// A configuration entry: a host (readHost) or a KDC proxy's URL. Unless
// useItsPort, the port given replaces the host's.
static void addEntry(const char *entry, const char *realm, int port, bool useItsPort,
                     ServerList *servers)
{
    if (strncmp(entry, "https://", 8) == 0) {
        addProxy(entry + 8, realm, servers);
        return;
    }
    // Any other URL names nothing that is reached from here.
    char host[kHostBytes];
    long itsPort = port;
    if (strstr(entry, "://") == NULL && readHost(entry, strlen(entry), host, &itsPort))
        AddHost(host, useItsPort ? (int)itsPort : port, true, true, servers);
}

int AddConfigured(const Kerberos *k, profile_t profile, const char *realm, const char *relation,
                  int port, bool useItsPort, ServerList *servers)
{
    const char *names[] = {"realms", realm, relation, NULL};
    char **values = NULL;
    if (k->profile_get_values(profile, names, &values) != 0)
        return 0;
    int listed = 0;
    for (char **each = values; *each != NULL; each++, listed++)
        addEntry(*each, realm, port, useItsPort, servers);
    k->profile_free_list(values);
    return listed;
}

struct ServiceRecord {
    unsigned priority, weight, port;
    char target[kHostBytes];
};

// What the additional section says of the targets' addresses.
static void learnAdditional(const Kerberos *k, ns_msg *message)
{
    for (int i = 0; i < ns_msg_count(*message, ns_s_ar); i++) {
        ns_rr record;
        if (k->ns_parserr(message, ns_s_ar, i, &record) != 0)
            continue;
        struct sockaddr_storage address;
        memset(&address, 0, sizeof address);
        if (ns_rr_type(record) == ns_t_a && ns_rr_rdlen(record) == 4) {
            address.ss_family = AF_INET;
            memcpy(&((struct sockaddr_in *)&address)->sin_addr, ns_rr_rdata(record), 4);
        } else if (ns_rr_type(record) == ns_t_aaaa && ns_rr_rdlen(record) == 16) {
            address.ss_family = AF_INET6;
            memcpy(&((struct sockaddr_in6 *)&address)->sin6_addr, ns_rr_rdata(record), 16);
        } else {
            continue;
        }
        learnAddress(knownHost(ns_rr_name(record), true), &address, addressLength(&address));
    }
}

int AddServiceRecords(const Kerberos *k, const char *service, const char *realm, int port,
                      ServerList *servers)
{
    char name[NS_MAXDNAME];
    snprintf(name, sizeof name, "%s.%s.", service, realm);
    bool tcp = strstr(service, "._tcp") != NULL;
    struct __res_state state;
    memset(&state, 0, sizeof state);
    if (res_ninit(&state) != 0)
        return 0;
    // Room for the largest DNS message, so a domain with many DCs is not
    // cut; where an answer is cut, the resolver returns its whole length.
    static unsigned char answer[0xFFFF];
    int length = res_nquery(&state, name, ns_c_in, ns_t_srv, answer, sizeof answer);
    res_nclose(&state);
    ns_msg message;
    if (length < 0 || length > (int)sizeof answer ||
        k->ns_initparse(answer, length, &message) != 0)
        return 0;
    ServiceRecord records[kMostServers];
    int count = 0;
    for (int i = 0; i < ns_msg_count(message, ns_s_an) && count < kMostServers; i++) {
        ns_rr record;
        if (k->ns_parserr(&message, ns_s_an, i, &record) != 0 || ns_rr_type(record) != ns_t_srv ||
            ns_rr_rdlen(record) < 7)
            continue;
        const unsigned char *data = ns_rr_rdata(record);
        ServiceRecord found;
        NS_GET16(found.priority, data);
        NS_GET16(found.weight, data);
        NS_GET16(found.port, data);
        if (dn_expand(ns_msg_base(message), ns_msg_end(message), data, found.target,
                      sizeof found.target) < 0)
            continue;
        int at = count++;
        for (; at > 0 && (records[at - 1].priority > found.priority ||
                          (records[at - 1].priority == found.priority &&
                           records[at - 1].weight < found.weight));
             at--)
            records[at] = records[at - 1];
        records[at] = found;
    }
    learnAdditional(k, &message);
    const char *targets[kMostServers];
    for (int i = 0; i < count; i++)
        targets[i] = records[i].target;
    resolveHosts(targets, count);
    for (int i = 0; i < count; i++) {
        if (strcmp(records[i].target, ".") != 0 && records[i].target[0] != '\0')
            AddHost(records[i].target, port != 0 ? port : (int)records[i].port, tcp, !tcp,
                    servers);
    }
    return count;
}

// For the view: the servers reached directly, as numeric addresses, on
// their own ports or on the one given.
static long listServers(const ServerList *servers, int port, char ***values)
{
    char **list = (char **)calloc((size_t)servers->count + 1, sizeof *list);
    for (int i = 0, listed = 0; list != NULL && i < servers->count; i++) {
        const struct sockaddr_storage *address = &servers->each[i].address;
        if (servers->each[i].proxy != NULL)
            continue;
        bool six = address->ss_family == AF_INET6;
        char text[INET6_ADDRSTRLEN];
        inet_ntop(address->ss_family,
                  six ? (const void *)&((const struct sockaddr_in6 *)address)->sin6_addr
                      : (const void *)&((const struct sockaddr_in *)address)->sin_addr,
                  text, sizeof text);
        char entry[INET6_ADDRSTRLEN + 8];
        snprintf(entry, sizeof entry, six ? "[%s]:%d" : "%s:%d", text,
                 port != 0 ? port : portOf(address));
        if ((list[listed++] = strdup(entry)) == NULL) {
            for (int j = 0; j < listed; j++)
                free(list[j]);
            free(list);
            list = NULL;
        }
    }
    if (list == NULL)
        return ENOMEM;
    *values = list;
    return 0;
}

static bool names(const char *const *asked, const char *first, const char *second)
{
    return asked[0] != NULL && asked[1] != NULL && strcmp(asked[0], first) == 0 &&
           strcmp(asked[1], second) == 0;
}

// The view answers, from the KDCs found for the run, which servers the
// realm has, and that DNS is not to be asked again; it passes every other
// question on to the configuration. Every KDC is a primary one, so a refused
// password is never asked again of a server listed elsewhere. For "\\host"
// the host serves the change too.
static long viewValues(void *data, const char *const *asked, char ***values)
{
    const NamedServer *named = (const NamedServer *)data;
    if (names(asked, "realms", named->realm) && asked[2] != NULL && asked[3] == NULL) {
        static const char *const kKdcs[] = {"kdc", "primary_kdc", "master_kdc"};
        for (const char *kdc : kKdcs) {
            if (strcmp(asked[2], kdc) == 0)
                return listServers(&named->kdcs, 0, values);
        }
        if (named->hostServesChange && strcmp(asked[2], "kpasswd_server") == 0)
            return listServers(&named->kdcs, kChangePort, values);
    }
    if ((names(asked, "libdefaults", "dns_lookup_kdc") ||
         names(asked, "libdefaults", "dns_uri_lookup")) && asked[2] == NULL) {
        char **list = (char **)calloc(2, sizeof *list);
        if (list == NULL || (list[0] = strdup("false")) == NULL) {
            free(list);
            return ENOMEM;
        }
        *values = list;
        return 0;
    }
    return named->k->profile_get_values(named->configuration, asked, values);
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

static bool listsKdc(const Kerberos *k, profile_t profile, const char *realm)
{
    const char *asked[] = {"realms", realm, "kdc", NULL};
    char **values = NULL;
    if (k->profile_get_values(profile, asked, &values) != 0)
        return false;
    k->profile_free_list(values);
    return true;
}

// The realm's KDCs by address, for the view: for "\\host", that host; for a
// realm that the configuration lists no KDC for, where it allows DNS, the
// targets of its SRV records. Else none: the configuration's own serve.
static krb5_error_code findKdcs(const Kerberos *k, const char *host, NamedServer *named)
{
    profile_t profile = named->configuration;
    int dns = 1;
    k->profile_get_boolean(profile, "libdefaults", "dns_fallback", NULL, 1, &dns);
    k->profile_get_boolean(profile, "libdefaults", "dns_lookup_kdc", NULL, dns, &dns);
    named->dns = dns != 0;
    if (host != NULL) {
        char bare[kHostBytes];
        size_t length = strlen(host);
        bool bracketed = host[0] == '[' && length > 2 && host[length - 1] == ']';
        snprintf(bare, sizeof bare, "%.*s", (int)(bracketed ? length - 2 : length),
                 host + (bracketed ? 1 : 0));
        named->hostServesChange = true;
        AddHost(bare, kKdcPort, true, true, &named->kdcs);
        // What libkrb5 says of a KDC whose name does not resolve.
        return named->kdcs.count > 0 ? 0 : KRB5_KDC_UNREACH;
    }
    if (named->dns && !listsKdc(k, profile, named->realm) &&
        AddServiceRecords(k, "_kerberos._tcp", named->realm, 0, &named->kdcs) == 0)
        AddServiceRecords(k, "_kerberos._udp", named->realm, 0, &named->kdcs);
    return 0;
}

// A context that reads the configuration through the view.
static krb5_error_code openView(const Kerberos *k, NamedServer *named, krb5_context *context)
{
    struct profile_vtable vtable;
    memset(&vtable, 0, sizeof vtable);
    vtable.minor_ver = 1;
    vtable.get_values = viewValues;
    vtable.free_values = viewFree;
    profile_t profile;
    krb5_error_code error = k->profile_init_vtable(&vtable, named, &profile);
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
    named->kdcs.count = 0;
    named->hostServesChange = named->dns = false;
    *context = NULL;
    const char *host = server[0] == '\\' && server[1] == '\\' ? server + 2 : NULL;
    if (host != NULL && host[0] == '\0')
        return KRB5_ERR_BAD_HOSTNAME;
    krb5_context plain;
    krb5_error_code error = k->krb5_init_context(&plain);
    if (error != 0)
        return error;
    if (host != NULL)
        error = findRealm(k, plain, host, named);
    else
        toCapitals(server, named->realm);
    if (error == 0)
        error = settleDefaultRealm(k, plain, named->realm, host == NULL);
    if (error == 0)
        error = k->krb5_get_profile(plain, &named->configuration);
    if (error == 0)
        error = findKdcs(k, host, named);
    if (error != 0 || named->kdcs.count == 0) {
        *context = plain;
        return error;
    }
    k->krb5_free_context(plain);
    return openView(k, named, context);
}

krb5_error_code OpenCheckContext(const NamedServer *named, const Server *taker,
                                 NamedServer *check, krb5_context *context)
{
    *check = *named;
    check->kdcs.count = 0;
    addServer(&taker->address, kKdcPort, true, true, &check->kdcs);
    for (int i = 0; i < named->kdcs.count; i++) {
        const Server *kdc = &named->kdcs.each[i];
        addServer(&kdc->address, portOf(&kdc->address), kdc->tcp, kdc->udp, &check->kdcs);
    }
    if (named->kdcs.count == 0)
        AddConfigured(named->k, named->configuration, named->realm, "kdc", kKdcPort, true,
                      &check->kdcs);
    return openView(named->k, check, context);
}

void CloseNamedServer(NamedServer *named, krb5_context context)
{
    if (context != NULL)
        named->k->krb5_free_context(context);
    if (named->configuration != NULL)
        named->k->profile_release(named->configuration);
}
