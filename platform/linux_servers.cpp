// Which servers serve a realm: the configuration's entries, the realm's SRV
// records, a "\\host", and the addresses of every host they name, each
// looked up once a run.
#include "platform/linux_kerberos.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <netdb.h>
#include <pthread.h>
#include <resolv.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

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

void AddServer(const struct sockaddr_storage *address, int port, bool tcp, bool udp,
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

void AddServers(const ServerList *from, ServerList *servers)
{
    for (int i = 0; i < from->count; i++) {
        const Server *server = &from->each[i];
        bool listed = false;
        for (int j = 0; j < servers->count; j++)
            listed = listed || (servers->each[j].length == server->length &&
                                memcmp(&servers->each[j].address, &server->address,
                                       server->length) == 0);
        if (!listed && servers->count < kMostServers)
            servers->each[servers->count++] = *server;
    }
}

// Looks up the hosts not yet known, all at once: a domain may have many
// DCs, and each lookup in turn would be a round trip. A host that does not
// resolve is known too, with no address.
static void resolveHosts(const char *const *hosts, int count)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_socktype = SOCK_STREAM;
    struct gaicb requests[kMostServers], *lookups[kMostServers];
    int unknown = 0;
    for (int i = 0; i < count && unknown < kMostServers; i++) {
        bool asked = knownHost(hosts[i], false) != NULL;
        for (int j = 0; j < unknown && !asked; j++)
            asked = strcasecmp(requests[j].ar_name, hosts[i]) == 0;
        if (asked)
            continue;
        memset(&requests[unknown], 0, sizeof requests[unknown]);
        requests[unknown].ar_name = hosts[i];
        requests[unknown].ar_request = &hints;
        lookups[unknown] = &requests[unknown];
        unknown++;
    }
    // One host needs no helper thread.
    int failed = 0;
    if (unknown == 1)
        failed = getaddrinfo(requests[0].ar_name, NULL, &hints, &requests[0].ar_result);
    else if (unknown > 1 && getaddrinfo_a(GAI_WAIT, lookups, unknown, NULL) != 0)
        return;
    for (int i = 0; i < unknown; i++) {
        KnownHost *known = knownHost(requests[i].ar_name, true);
        if ((unknown == 1 ? failed : gai_error(lookups[i])) != 0)
            continue;
        for (struct addrinfo *each = requests[i].ar_result; each != NULL; each = each->ai_next) {
            if (each->ai_family == AF_INET || each->ai_family == AF_INET6)
                learnAddress(known, each->ai_addr, each->ai_addrlen);
        }
        freeaddrinfo(requests[i].ar_result);
    }
}

// Adds each address of the host, on the port, for the transports given.
static void addHost(const char *host, int port, bool tcp, bool udp, ServerList *servers)
{
    resolveHosts(&host, 1);
    KnownHost *known = knownHost(host, false);
    for (int i = 0; known != NULL && i < known->count; i++)
        AddServer(&known->address[i], port, tcp, udp, servers);
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
    addHost(proxy->host, proxy->port, false, false, servers);
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
        addHost(host, useItsPort ? (int)itsPort : port, true, true, servers);
}

// Adds the servers that one relation of the realm's configuration lists,
// such as "kdc", on their own ports where useItsPort, else on the port
// given. Returns how many are listed, whether or not they resolve.
static int addConfigured(const Kerberos *k, profile_t profile, const char *realm,
                         const char *relation, int port, bool useItsPort, ServerList *servers)
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

// One SRV lookup, such as "_kerberos._tcp" for the realm, and the records
// it found, best first (lowest priority, then highest weight).
struct ServiceLookup {
    char name[NS_MAXDNAME];
    bool tcp;
    unsigned char *answer;
    int length;  // -1: no answer
    ServiceRecord records[kMostServers];
    int count;
};

// Room for the largest DNS message each, so a domain with many DCs is not
// cut; where an answer is cut, the resolver returns its whole length.
const int kMostLookups = 4;
static unsigned char answers[kMostLookups][0xFFFF];

static void *lookUp(void *data)
{
    ServiceLookup *lookup = (ServiceLookup *)data;
    struct __res_state state;
    memset(&state, 0, sizeof state);
    lookup->length = -1;
    if (res_ninit(&state) == 0) {
        lookup->length = res_nquery(&state, lookup->name, ns_c_in, ns_t_srv, lookup->answer,
                                    sizeof answers[0]);
        res_nclose(&state);
    }
    return NULL;
}

// Each lookup is a round trip: they go out at once, one thread each.
static void lookUpAtOnce(ServiceLookup *lookups, int count)
{
    pthread_t threads[kMostLookups];
    bool started[kMostLookups] = {};
    for (int i = 1; i < count; i++)
        started[i] = pthread_create(&threads[i], NULL, lookUp, &lookups[i]) == 0;
    for (int i = 0; i < count; i++) {
        if (started[i])
            pthread_join(threads[i], NULL);
        else
            lookUp(&lookups[i]);
    }
}

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

static void readRecords(const Kerberos *k, ServiceLookup *lookup)
{
    lookup->count = 0;
    ns_msg message;
    if (lookup->length < 0 || lookup->length > (int)sizeof answers[0] ||
        k->ns_initparse(lookup->answer, lookup->length, &message) != 0)
        return;
    ServiceRecord *records = lookup->records;
    for (int i = 0; i < ns_msg_count(message, ns_s_an) && lookup->count < kMostServers; i++) {
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
        int at = lookup->count++;
        for (; at > 0 && (records[at - 1].priority > found.priority ||
                          (records[at - 1].priority == found.priority &&
                           records[at - 1].weight < found.weight));
             at--)
            records[at] = records[at - 1];
        records[at] = found;
    }
    learnAdditional(k, &message);
}

// Looks up the services of the realm at once, and then, at once too, the
// addresses of every target that came without one.
static void lookUpServices(const Kerberos *k, const char *realm, const char *const *services,
                           int count, ServiceLookup *lookups)
{
    for (int i = 0; i < count; i++) {
        snprintf(lookups[i].name, sizeof lookups[i].name, "%s.%s.", services[i], realm);
        lookups[i].tcp = strstr(services[i], "._tcp") != NULL;
        lookups[i].answer = answers[i];
    }
    lookUpAtOnce(lookups, count);
    const char *targets[kMostLookups * kMostServers];
    int total = 0;
    for (int i = 0; i < count; i++) {
        readRecords(k, &lookups[i]);
        for (int j = 0; j < lookups[i].count; j++)
            targets[total++] = lookups[i].records[j].target;
    }
    resolveHosts(targets, total);
}

// Adds the targets of the lookup's records, on their ports or on port when
// it is not 0. Returns how many records there are.
static int addRecords(const ServiceLookup *lookup, int port, ServerList *servers)
{
    for (int i = 0; i < lookup->count; i++) {
        const ServiceRecord *record = &lookup->records[i];
        if (strcmp(record->target, ".") != 0 && record->target[0] != '\0')
            addHost(record->target, port != 0 ? port : (int)record->port, lookup->tcp,
                    !lookup->tcp, servers);
    }
    return lookup->count;
}

static const char *const kKdcServices[] = {"_kerberos._tcp", "_kerberos._udp"};

void FindKdcs(const Kerberos *k, const NamedServer *named, const char *realm, ServerList *kdcs)
{
    kdcs->count = 0;
    ServiceLookup lookups[2];
    if (addConfigured(k, named->configuration, realm, "kdc", kKdcPort, true, kdcs) > 0 ||
        !named->dns)
        return;
    lookUpServices(k, realm, kKdcServices, 2, lookups);
    addRecords(&lookups[0], 0, kdcs);
    addRecords(&lookups[1], 0, kdcs);
}

krb5_error_code FindServers(const Kerberos *k, const char *host, NamedServer *named)
{
    ServerList *kdcs = &named->kdcs, *changers = &named->changeServers;
    kdcs->count = changers->count = 0;
    if (host != NULL) {
        char bare[kHostBytes];
        size_t length = strlen(host);
        bool bracketed = host[0] == '[' && length > 2 && host[length - 1] == ']';
        snprintf(bare, sizeof bare, "%.*s", (int)(bracketed ? length - 2 : length),
                 host + (bracketed ? 1 : 0));
        addHost(bare, kKdcPort, true, true, kdcs);
        addHost(bare, kChangePort, true, true, changers);
        // What libkrb5 says of a KDC whose name does not resolve.
        return kdcs->count > 0 ? 0 : KRB5_KDC_UNREACH;
    }
    profile_t profile = named->configuration;
    const char *realm = named->realm;
    int kdcsListed = addConfigured(k, profile, realm, "kdc", kKdcPort, true, kdcs);
    int listed = addConfigured(k, profile, realm, "kpasswd_server", kChangePort, true, changers);
    if (listed == 0)
        listed = addConfigured(k, profile, realm, "admin_server", kChangePort, false, changers);
    // What DNS has to say, asked all at once: the KDCs' records, then the
    // change servers'.
    const char *services[kMostLookups];
    int count = 0, kdcLookups = 0;
    if (kdcsListed == 0 && named->dns) {
        services[count++] = kKdcServices[0];
        services[count++] = kKdcServices[1];
        kdcLookups = count;
    }
    if (listed == 0 && named->dns) {
        services[count++] = "_kpasswd._tcp";
        services[count++] = "_kpasswd._udp";
    }
    ServiceLookup lookups[kMostLookups];
    lookUpServices(k, realm, services, count, lookups);
    for (int i = 0; i < count; i++) {
        if (i < kdcLookups)
            addRecords(&lookups[i], 0, kdcs);
        else
            listed += addRecords(&lookups[i], 0, changers);
    }
    if (listed == 0)
        listed = addConfigured(k, profile, realm, "kdc", kChangePort, false, changers);
    for (int i = 0; listed == 0 && i < kdcLookups; i++)
        addRecords(&lookups[i], kChangePort, changers);
    return 0;
}
