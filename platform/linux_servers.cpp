// Which servers serve a realm: what libkrb5's locator modules answer, the
// configuration's entries, the realm's URI and SRV records, a "\\host", and
// the addresses of every host they name, each looked up once a run.
#include "platform/linux_kerberos.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <krb5/locate_plugin.h>
#include <netdb.h>
#include <pthread.h>
#include <resolv.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>

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

// libkrb5's locator modules (sssd's, winbind's), which know the servers a
// machine joined to a domain uses now: every module in the libkrb5 folder
// of its plugin directory, beside the libkrb5 loaded, in the order of their
// names. A module that does not load is passed over.
static const int kMostLocators = 8;
static const krb5plugin_service_locate_ftable *locators[kMostLocators];
static int locatorCount = -1;  // until they are loaded

static int byName(const struct dirent **a, const struct dirent **b)
{
    return strcmp((*a)->d_name, (*b)->d_name);
}

static void loadLocators(const Kerberos *k)
{
    locatorCount = 0;
    Dl_info library;
    char folder[4096], path[4096];
    if (dladdr((void *)k->krb5_init_context, &library) == 0 || library.dli_fname == NULL)
        return;
    const char *slash = strrchr(library.dli_fname, '/');
    int length = slash == NULL ? -1 : (int)(slash - library.dli_fname);
    if (length < 0 || snprintf(folder, sizeof folder, "%.*s/krb5/plugins/libkrb5", length,
                               library.dli_fname) >= (int)sizeof folder)
        return;
    struct dirent **names = NULL;
    int count = scandir(folder, &names, NULL, byName);
    for (int i = 0; i < count; i++) {
        struct stat file;
        void *module = NULL;
        if (names[i]->d_name[0] != '.' && locatorCount < kMostLocators &&
            snprintf(path, sizeof path, "%s/%s", folder, names[i]->d_name) < (int)sizeof path &&
            stat(path, &file) == 0 && S_ISREG(file.st_mode))
            module = dlopen(path, RTLD_NOW | RTLD_LOCAL);
        void *table = module != NULL ? dlsym(module, "service_locator") : NULL;
        if (table != NULL)
            locators[locatorCount++] = (const krb5plugin_service_locate_ftable *)table;
        else if (module != NULL)
            dlclose(module);
        free(names[i]);
    }
    free(names);
}

static int addLocated(void *data, int socktype, struct sockaddr *address)
{
    if ((socktype != SOCK_STREAM && socktype != SOCK_DGRAM) ||
        (address->sa_family != AF_INET && address->sa_family != AF_INET6))
        return 0;
    struct sockaddr_storage copy;
    memset(&copy, 0, sizeof copy);
    memcpy(&copy, address, addressLength((const struct sockaddr_storage *)address));
    uint16_t port = copy.ss_family == AF_INET6 ? ((struct sockaddr_in6 *)&copy)->sin6_port
                                               : ((struct sockaddr_in *)&copy)->sin_port;
    AddServer(&copy, ntohs(port), socktype == SOCK_STREAM, socktype == SOCK_DGRAM,
              (ServerList *)data);
    return 0;
}

// What the first locator module that handles the realm names for the
// service, as libkrb5 asks it: the datagram servers, then the stream ones.
// False when none handles it. A module that fails is passed over, with what
// it named: it cannot make a report wrong.
static bool locate(const NamedServer *named, enum locate_service_type service, const char *realm,
                   ServerList *servers)
{
    if (locatorCount < 0)
        loadLocators(named->k);
    for (int i = 0; i < locatorCount; i++) {
        const krb5plugin_service_locate_ftable *locator = locators[i];
        void *data = NULL;
        if (locator->init(named->context, &data) != 0)
            continue;
        int before = servers->count;
        krb5_error_code code =
            locator->lookup(data, service, realm, SOCK_DGRAM, AF_UNSPEC, addLocated, servers);
        if (code == 0) {
            code = locator->lookup(data, service, realm, SOCK_STREAM, AF_UNSPEC, addLocated,
                                   servers);
            code = code == KRB5_PLUGIN_NO_HANDLE ? 0 : code;
        }
        locator->fini(data);
        if (code == 0)
            return true;
        servers->count = before;
    }
    return false;
}

struct ServiceRecord {
    unsigned priority, weight, port;
    char target[kHostBytes];  // a host, or a URI record's whole target
};

// One DNS lookup, such as the SRV records "_kerberos._tcp" or the URI
// records "_kerberos" of the realm, and the records it found, best first
// (lowest priority, then highest weight).
struct Service {
    const char *name;
    int type;         // ns_t_srv or ns_t_uri
    int defaultPort;  // for a URI record that names none
};
struct ServiceLookup {
    const Service *service;
    char name[NS_MAXDNAME];
    unsigned char *answer;
    int length;  // -1: no answer
    ServiceRecord records[kMostServers];
    int count;
};

static const Service kKdcUri = {"_kerberos", ns_t_uri, kKdcPort};
static const Service kKdcTcp = {"_kerberos._tcp", ns_t_srv, 0};
static const Service kKdcUdp = {"_kerberos._udp", ns_t_srv, 0};
static const Service kPrimaryTcp = {"_kerberos-master._tcp", ns_t_srv, 0};
static const Service kPrimaryUdp = {"_kerberos-master._udp", ns_t_srv, 0};
static const Service kChangeUri = {"_kpasswd", ns_t_uri, kChangePort};
static const Service kChangeTcp = {"_kpasswd._tcp", ns_t_srv, 0};
static const Service kChangeUdp = {"_kpasswd._udp", ns_t_srv, 0};

// Room for the largest DNS message each, so a domain with many DCs is not
// cut; where an answer is cut, the resolver returns its whole length.
const int kMostLookups = 8;
static unsigned char answers[kMostLookups][0xFFFF];

static void *lookUp(void *data)
{
    ServiceLookup *lookup = (ServiceLookup *)data;
    struct __res_state state;
    memset(&state, 0, sizeof state);
    lookup->length = -1;
    if (res_ninit(&state) == 0) {
        lookup->length = res_nquery(&state, lookup->name, ns_c_in, lookup->service->type,
                                    lookup->answer, sizeof answers[0]);
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

// An SRV record's target, or a URI record's, which is its data after the
// priority and the weight (RFC 7553); false when it is not one.
static bool readTarget(const ns_msg *message, const ns_rr *record, int type, ServiceRecord *found)
{
    const unsigned char *data = ns_rr_rdata(*record);
    unsigned length = ns_rr_rdlen(*record);
    if (ns_rr_type(*record) != type || length < (type == ns_t_srv ? 7u : 5u))
        return false;
    NS_GET16(found->priority, data);
    NS_GET16(found->weight, data);
    if (type == ns_t_uri) {
        if (length - 4 >= sizeof found->target || memchr(data, '\0', length - 4) != NULL)
            return false;
        memcpy(found->target, data, length - 4);
        found->target[length - 4] = '\0';
        return true;
    }
    NS_GET16(found->port, data);
    return dn_expand(ns_msg_base(*message), ns_msg_end(*message), data, found->target,
                     sizeof found->target) >= 0;
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
        ServiceRecord found;
        if (k->ns_parserr(&message, ns_s_an, i, &record) != 0 ||
            !readTarget(&message, &record, lookup->service->type, &found))
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

enum UriTransport { kUriNone, kUriUdp, kUriTcp, kUriProxy };

// A URI record's target, krb5srv:flags:udp|tcp|kkdcp:where, as libkrb5
// reads it: the transport, whether the flags hold m (a primary KDC), and
// where: host[:port], or for kkdcp a KDC proxy's https:// URL.
static UriTransport readUri(const char *uri, bool *primary, const char **where)
{
    static const struct {
        const char *name;
        UriTransport transport;
    } kTransports[] = {{"udp:", kUriUdp}, {"tcp:", kUriTcp}, {"kkdcp:", kUriProxy}};
    *primary = false;
    if (strncasecmp(uri, "krb5srv:", 8) != 0)
        return kUriNone;
    const char *at = uri + 8;
    for (; *at != ':' && *at != '\0'; at++)
        *primary = *primary || *at == 'm' || *at == 'M';
    for (const auto &kind : kTransports) {
        size_t length = strlen(kind.name);
        if (*at == ':' && strncasecmp(at + 1, kind.name, length) == 0) {
            *where = at + 1 + length;
            return kind.transport;
        }
    }
    return kUriNone;
}

// The host a record names, to be looked up.
static bool recordHost(const ServiceLookup *lookup, const ServiceRecord *record, char *host)
{
    long port = 0;
    bool primary;
    const char *where = record->target;
    if (lookup->service->type == ns_t_srv) {
        snprintf(host, kHostBytes, "%s", where);
        return true;
    }
    UriTransport transport = readUri(record->target, &primary, &where);
    if (transport == kUriProxy && strncmp(where, "https://", 8) == 0)
        where += 8;
    else if (transport == kUriNone || transport == kUriProxy)
        return false;
    return readHost(where, strcspn(where, "/"), host, &port);
}

// Looks up the services of the realm at once, and then, at once too, the
// addresses of every host they name that came without one.
static void lookUpServices(const Kerberos *k, const char *realm, const Service *const *services,
                           int count, ServiceLookup *lookups)
{
    for (int i = 0; i < count; i++) {
        lookups[i].service = services[i];
        snprintf(lookups[i].name, sizeof lookups[i].name, "%s.%s.", services[i]->name, realm);
        lookups[i].answer = answers[i];
    }
    lookUpAtOnce(lookups, count);
    static char hosts[kMostServers][kHostBytes];
    const char *targets[kMostServers];
    int total = 0;
    for (int i = 0; i < count; i++) {
        readRecords(k, &lookups[i]);
        for (int j = 0; j < lookups[i].count && total < kMostServers; j++) {
            if (recordHost(&lookups[i], &lookups[i].records[j], hosts[total]))
                targets[total] = hosts[total], total++;
        }
    }
    resolveHosts(targets, total);
}

// Adds the servers the lookup's records name, on port when it is not 0,
// else on their own; from URI records, only those flagged m where
// primaryOnly. Returns how many records it took, whether or not they
// resolve. A lookup not made (NULL) names none.
static int addRecords(const ServiceLookup *lookup, int port, bool primaryOnly, const char *realm,
                      ServerList *servers)
{
    int taken = 0;
    for (int i = 0; lookup != NULL && i < lookup->count; i++) {
        const ServiceRecord *record = &lookup->records[i];
        if (lookup->service->type == ns_t_srv) {
            if (strcmp(record->target, ".") != 0 && record->target[0] != '\0') {
                bool tcp = strstr(lookup->service->name, "._tcp") != NULL;
                addHost(record->target, port != 0 ? port : (int)record->port, tcp, !tcp, servers);
            }
            taken++;
            continue;
        }
        bool primary;
        const char *where;
        char host[kHostBytes];
        long itsPort = lookup->service->defaultPort;
        UriTransport transport = readUri(record->target, &primary, &where);
        if (transport == kUriNone || (primaryOnly && !primary))
            continue;
        taken++;
        if (transport == kUriProxy && strncmp(where, "https://", 8) == 0)
            addProxy(where + 8, realm, servers);
        else if (transport != kUriProxy && readHost(where, strlen(where), host, &itsPort))
            addHost(host, port != 0 ? port : (int)itsPort, transport == kUriTcp,
                    transport == kUriUdp, servers);
    }
    return taken;
}

static const ServiceLookup *lookupOf(const ServiceLookup *lookups, int count,
                                     const Service *service)
{
    for (int i = 0; i < count; i++) {
        if (lookups[i].service == service)
            return &lookups[i];
    }
    return NULL;
}

// What DNS names for a service, as libkrb5 reads it: the URI records where
// any name a server, else the SRV records.
static int addFromDns(const ServiceLookup *lookups, int count, const Service *uri,
                      const Service *tcp, const Service *udp, bool primaryOnly, const char *realm,
                      ServerList *servers)
{
    int taken = addRecords(lookupOf(lookups, count, uri), 0, primaryOnly, realm, servers);
    if (taken == 0)
        taken = addRecords(lookupOf(lookups, count, tcp), 0, false, realm, servers) +
                addRecords(lookupOf(lookups, count, udp), 0, false, realm, servers);
    return taken;
}

// Adds the DNS lookups of a service to those to be made: its URI records
// where the configuration does not turn them off, and its SRV records.
static void askDns(const NamedServer *named, const Service *uri, const Service *tcp,
                   const Service *udp, const Service **services, int *count)
{
    if (named->uri)
        services[(*count)++] = uri;
    services[(*count)++] = tcp;
    services[(*count)++] = udp;
}

void FindKdcs(const Kerberos *k, const NamedServer *named, const char *realm, ServerList *kdcs)
{
    kdcs->count = 0;
    if (locate(named, locate_service_kdc, realm, kdcs) ||
        addConfigured(k, named->configuration, realm, "kdc", kKdcPort, true, kdcs) > 0 ||
        !named->dns)
        return;
    const Service *services[3];
    int count = 0;
    ServiceLookup lookups[3];
    askDns(named, &kKdcUri, &kKdcTcp, &kKdcUdp, services, &count);
    lookUpServices(k, realm, services, count, lookups);
    addFromDns(lookups, count, &kKdcUri, &kKdcTcp, &kKdcUdp, false, realm, kdcs);
}

void FindPrimaryKdcs(const Kerberos *k, const NamedServer *named, ServerList *primaries)
{
    *primaries = named->primaries;
    if (named->primariesFound || !named->dns)
        return;
    const Service *services[3];
    int count = 0;
    ServiceLookup lookups[3];
    askDns(named, &kKdcUri, &kPrimaryTcp, &kPrimaryUdp, services, &count);
    lookUpServices(k, named->realm, services, count, lookups);
    addFromDns(lookups, count, &kKdcUri, &kPrimaryTcp, &kPrimaryUdp, true, named->realm,
               primaries);
}

// The realm's KDCs on the change port, where nothing names a change server:
// every Active Directory domain controller serves the change there. A KDC
// proxy serves it at its own URL.
static void addKdcsOnChangePort(const ServerList *kdcs, ServerList *changers)
{
    for (int i = 0; i < kdcs->count; i++) {
        const Server *kdc = &kdcs->each[i];
        if (kdc->proxy == NULL) {
            AddServer(&kdc->address, kChangePort, kdc->tcp, kdc->udp, changers);
            continue;
        }
        ServerList proxy;
        proxy.count = 1;
        proxy.each[0] = *kdc;
        AddServers(&proxy, changers);
    }
}

krb5_error_code FindServers(const Kerberos *k, const char *host, NamedServer *named)
{
    ServerList *kdcs = &named->kdcs, *changers = &named->changeServers;
    ServerList *primaries = &named->primaries;
    kdcs->count = changers->count = primaries->count = 0;
    named->primariesFound = true;
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
    bool kdcsFound = locate(named, locate_service_kdc, realm, kdcs) ||
                     addConfigured(k, profile, realm, "kdc", kKdcPort, true, kdcs) > 0;
    // A module that handles the realm but names no change server leaves them
    // to the configuration.
    int listed = locate(named, locate_service_kpasswd, realm, changers) ? changers->count : 0;
    if (listed == 0)
        listed = addConfigured(k, profile, realm, "kpasswd_server", kChangePort, true, changers);
    if (listed == 0)
        listed = addConfigured(k, profile, realm, "admin_server", kChangePort, false, changers);
    named->primariesFound =
        locate(named, locate_service_master_kdc, realm, primaries) ||
        addConfigured(k, profile, realm, "primary_kdc", kKdcPort, true, primaries) > 0 ||
        addConfigured(k, profile, realm, "master_kdc", kKdcPort, true, primaries) > 0;
    // What DNS has to say, asked all at once: the KDCs' records, with the
    // primaries' where they are to be asked anyway, then the change
    // servers'. A realm whose KDCs are configured asks DNS for its
    // primaries only when one of them refuses.
    const Service *services[kMostLookups];
    int count = 0;
    bool kdcsFromDns = !kdcsFound && named->dns, changersFromDns = listed == 0 && named->dns;
    if (kdcsFromDns) {
        askDns(named, &kKdcUri, &kKdcTcp, &kKdcUdp, services, &count);
        if (!named->primariesFound)
            services[count++] = &kPrimaryTcp, services[count++] = &kPrimaryUdp;
    }
    if (changersFromDns)
        askDns(named, &kChangeUri, &kChangeTcp, &kChangeUdp, services, &count);
    ServiceLookup lookups[kMostLookups];
    lookUpServices(k, realm, services, count, lookups);
    if (kdcsFromDns) {
        addFromDns(lookups, count, &kKdcUri, &kKdcTcp, &kKdcUdp, false, realm, kdcs);
        if (!named->primariesFound)
            addFromDns(lookups, count, &kKdcUri, &kPrimaryTcp, &kPrimaryUdp, true, realm,
                       primaries);
        named->primariesFound = true;
    }
    if (changersFromDns)
        listed = addFromDns(lookups, count, &kChangeUri, &kChangeTcp, &kChangeUdp, false, realm,
                            changers);
    if (listed == 0)
        addKdcsOnChangePort(kdcs, changers);
    return 0;
}
