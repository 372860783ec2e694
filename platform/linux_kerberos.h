// What the files of the Linux password change share: libkrb5's functions,
// loaded when a change is made, the realm and configuration that the server
// name means for the run, and the change service that takes the request.
#ifndef CREDMEND_LINUX_KERBEROS_H
#define CREDMEND_LINUX_KERBEROS_H

#include <arpa/nameser.h>
#include <errno.h>
#include <krb5.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <profile.h>
#include <signal.h>

#include "platform/linux_transport.h"
#include "platform/platform.h"

// The whole change ends within this, whatever the servers do.
#ifndef CREDMEND_CHANGE_DEADLINE_SECONDS
#define CREDMEND_CHANGE_DEADLINE_SECONDS 30
#endif

#define KERBEROS_FUNCTIONS(X)                                                               \
    X(krb5_init_context) X(krb5_free_context) X(krb5_get_default_realm)                     \
    X(krb5_free_default_realm) X(krb5_build_principal) X(krb5_free_principal)               \
    X(krb5_get_init_creds_opt_alloc) X(krb5_get_init_creds_opt_free)                        \
    X(krb5_get_init_creds_opt_set_tkt_life) X(krb5_get_init_creds_opt_set_renew_life)       \
    X(krb5_get_init_creds_opt_set_forwardable) X(krb5_get_init_creds_opt_set_proxiable)     \
    X(krb5_get_init_creds_opt_set_address_list) X(krb5_get_init_creds_opt_set_canonicalize) \
    X(krb5_init_creds_init) X(krb5_init_creds_free) X(krb5_init_creds_set_password)         \
    X(krb5_init_creds_set_service) X(krb5_init_creds_step) X(krb5_init_creds_get_creds)     \
    X(krb5_free_data_contents) X(krb5_free_cred_contents) X(krb5_get_host_realm)            \
    X(krb5_free_host_realm) X(krb5_get_profile) X(profile_get_values) X(profile_free_list)  \
    X(profile_release) X(krb5_chpw_message) X(krb5_free_string)                             \
    X(profile_get_subsection_names) X(profile_get_boolean) X(profile_get_integer)           \
    X(krb5_auth_con_init) X(krb5_auth_con_free) X(krb5_auth_con_setaddrs)                   \
    X(krb5_auth_con_setflags) X(krb5_auth_con_getsendsubkey_k)                              \
    X(krb5_auth_con_setrecvsubkey_k) X(krb5_k_free_key) X(krb5_mk_req_extended)             \
    X(krb5_mk_priv) X(krb5_rd_rep) X(krb5_free_ap_rep_enc_part) X(krb5_rd_priv)             \
    X(krb5_rd_error) X(krb5_free_error)

// The SRV records' parser, from libresolv, loaded with libkrb5.
#define RESOLVER_FUNCTIONS(X) X(ns_initparse) X(ns_parserr)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
struct Kerberos {
    KERBEROS_FUNCTIONS(DECLARE_FUNCTION)
    RESOLVER_FUNCTIONS(DECLARE_FUNCTION)
};
#undef DECLARE_FUNCTION

// Loads libkrb5 and the resolver's parser; false when either is missing.
bool LoadKerberos(Kerberos *k);

// The longest UTF-8 form of a field: three bytes a unit, and the terminator.
const int kUtf8Bytes = 3 * kFieldUnits + 1;

// The most a server's reason takes, terminator included: after "The server
// says: " and before the line end.
const int kReasonBytes = kReasonLineBytes - 17;

const int kKdcPort = 88;
const int kChangePort = 464;

// The realm a server name means, its configuration, and the servers that
// serve it: for "\\host" the host, which also serves the change; else those
// libkrb5's locator modules name, else those the configuration lists, and,
// where it lists none and allows DNS, those of the realm's URI records, else
// its SRV records, each name looked up once. When the realm of "\\host" is a
// guess, otherRealm is the one to ask in if the guess does not know the user
// (else it is empty).
struct NamedServer {
    const Kerberos *k;
    krb5_context context;
    profile_t configuration;
    char realm[kUtf8Bytes];
    char otherRealm[kUtf8Bytes];
    ServerList kdcs;
    ServerList changeServers;  // in the order they are asked
    ServerList primaries;      // the primary KDCs, as far as they are known
    bool primariesFound;       // else DNS is still to be asked for them
    char **anchors;            // the realm's http_anchors for its KDC proxies, or NULL
    bool dns;                  // the configuration allows DNS for the realm's servers
    bool uri;                  // and its URI records
    int udpLimit;              // the largest message that goes to a KDC as a datagram
};

// Opens the run's context for the server name, in UTF-8, settles the realm
// and finds its servers (linux_realm.cpp). An empty server where no default
// realm is configured takes the realm from a user named user@REALM, and
// the user is then the part before it. CloseNamedServer frees what it
// opened, also after a failure.
krb5_error_code OpenNamedServer(const Kerberos *k, const char *server, char *user,
                                NamedServer *named, krb5_context *context);
void CloseNamedServer(NamedServer *named, krb5_context context);

// Finds the realm's KDCs and change servers (linux_servers.cpp), for
// "\\host" when host is not NULL: the change servers in the order they are
// asked, those the locator modules name, else the configuration's
// kpasswd_server (with its ports), else its admin_server on the change port;
// else, where DNS is allowed, the _kpasswd URI, else SRV records; else the
// realm's KDC hosts on the change port, as every Active Directory domain
// controller serves it there. The DNS lookups that this needs go out at
// once. KRB5_KDC_UNREACH when "\\host" does not resolve.
krb5_error_code FindServers(const Kerberos *k, const char *host, NamedServer *named);

// The KDCs of another realm, which a KDC has referred a client to, found as
// the realm's own are.
void FindKdcs(const Kerberos *k, const NamedServer *named, const char *realm, ServerList *kdcs);

// The realm's primary KDCs, as libkrb5 finds them when another KDC has
// refused: what the locator modules name, else the configuration's
// primary_kdc (or master_kdc), else, where DNS is allowed, the URI records
// flagged m, else the _kerberos-master SRV records. None for "\\host".
void FindPrimaryKdcs(const Kerberos *k, const NamedServer *named, ServerList *primaries);

// Adds the address, on the port, for the transports given; an address
// listed already is listed for them too. AddServers adds the servers of one
// list to another, as they are.
void AddServer(const struct sockaddr_storage *address, int port, bool tcp, bool udp,
               ServerList *servers);
void AddServers(const ServerList *from, ServerList *servers);

// The status a Kerberos error stands for in the report.
NET_API_STATUS StatusForError(krb5_error_code error);

// A KDC proxy whose certificate did not verify, and nothing else answered.
const krb5_error_code kProxyNotVerified = EACCES;

// Set once any byte of the change request may have left.
extern volatile sig_atomic_t gRequestLeft;

// One change request: the ticket for kadmin/changepw that authenticates it,
// the new password it sets, and the time until which its answer is waited
// for at first (MonotonicMilliseconds). Once it has left: the server it went
// to (until then its length is 0), and, until EndChange, the connection it
// went on and the keys its answer is read with, as a late answer may still
// come there. Before the ticket is asked for, the connection is the one
// started early to the first change server.
struct ChangeRequest {
    krb5_creds *credentials;
    const char *newPassword;
    long long answerBy;
    ServerList servers;  // the realm's change servers, as they answer
    Server taker;
    Connection connection;
    bool connected;
    int early;  // the change server the connection was started to, or -1
    krb5_auth_context auth;
};

// Takes the realm's change servers, and starts the connection to the first
// that takes TCP, so that it is open once the ticket is in hand. Nothing goes
// on it before then. Called before ChangeThroughService, and EndChange after.
void StartChange(const NamedServer *named, ChangeRequest *change);

// Where the first change server is the KDC proxy that carried the ticket,
// and it kept the connection open, the request is to go on it.
void TakeTicketConnection(ServerSet *kdcs, ChangeRequest *change);

// Sends the change request once to the first change server of the realm
// that takes it, and returns what its answer says of the password: a change
// only when the answer is verified, a refusal only from the answer to this
// request, ERROR_BAD_NETPATH when no byte of it left. When it left and no
// answer came: ERROR_UNEXP_NET_ERR when the server let the request go (it
// closed or reset the connection), so it can no longer make the change;
// ERROR_TIMEOUT when it may still hold it.
NET_API_STATUS ChangeThroughService(const Kerberos *k, krb5_context context,
                                    const NamedServer *named, ChangeRequest *change);

// Waits on for the answer until the time, after ChangeThroughService said
// ERROR_TIMEOUT, with what that returns.
NET_API_STATUS AwaitChangeReply(const Kerberos *k, krb5_context context, ChangeRequest *change,
                                long long answerBy);

// Closes what the request left open, unused or not, and forgets its keys.
void EndChange(const Kerberos *k, krb5_context context, ChangeRequest *change);

// Reads the answer to the request made with auth: the step after the
// transport, on its own for the fuzzer.
NET_API_STATUS ReadChangeReply(const Kerberos *k, krb5_context context, krb5_auth_context auth,
                               const unsigned char *reply, size_t length);

#endif
