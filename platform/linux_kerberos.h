// What the files of the Linux password change share: libkrb5's functions,
// loaded when a change is made, the realm and configuration that the server
// name means for the run, and the change service that takes the request.
#ifndef CREDMEND_LINUX_KERBEROS_H
#define CREDMEND_LINUX_KERBEROS_H

#include <arpa/nameser.h>
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
    X(krb5_get_init_creds_password) X(krb5_free_data_contents) X(krb5_free_cred_contents)   \
    X(krb5_get_host_realm) X(krb5_free_host_realm) X(krb5_get_profile)                      \
    X(krb5_init_context_profile) X(profile_init_vtable) X(profile_get_values)               \
    X(profile_free_list) X(profile_release) X(krb5_chpw_message) X(krb5_free_string)        \
    X(profile_get_subsection_names) X(profile_get_boolean) X(krb5_auth_con_init)            \
    X(krb5_auth_con_free) X(krb5_auth_con_setaddrs) X(krb5_auth_con_setflags)               \
    X(krb5_auth_con_getsendsubkey_k) X(krb5_auth_con_setrecvsubkey_k) X(krb5_k_free_key)    \
    X(krb5_mk_req_extended) X(krb5_mk_priv) X(krb5_rd_rep) X(krb5_free_ap_rep_enc_part)     \
    X(krb5_rd_priv) X(krb5_rd_error) X(krb5_free_error)

// The SRV records' parser, from libresolv, loaded with libkrb5.
#define RESOLVER_FUNCTIONS(X) X(ns_initparse) X(ns_parserr)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
struct Kerberos {
    KERBEROS_FUNCTIONS(DECLARE_FUNCTION)
    RESOLVER_FUNCTIONS(DECLARE_FUNCTION)
};
#undef DECLARE_FUNCTION

// The longest UTF-8 form of a field: three bytes a unit, and the terminator.
const int kUtf8Bytes = 3 * kFieldUnits + 1;

const int kChangePort = 464;

// Adds each address of the host, on the port, for the transports given. A
// host is resolved once a run, whoever asks: each lookup is a round trip.
void AddHost(const char *host, int port, bool tcp, bool udp, ServerList *servers);

// Adds the servers that one relation of the realm's configuration lists,
// such as "kdc", on their own ports where useItsPort, else on the port
// given; an https:// URL is a KDC proxy, for messages to the realm. Returns
// how many are listed, whether or not they resolve.
int AddConfigured(const Kerberos *k, profile_t profile, const char *realm, const char *relation,
                  int port, bool useItsPort, ServerList *servers);

// Adds the targets of the realm's SRV records for a service such as
// "_kerberos._tcp", best first (lowest priority, then highest weight), on
// the records' ports, or on port when it is not 0. Addresses that come with
// the answer are taken as they are. Returns how many records there are.
int AddServiceRecords(const Kerberos *k, const char *service, const char *realm, int port,
                      ServerList *servers);

// The realm a server name means, and the view of the Kerberos configuration
// that names the realm's KDCs by address: for "\\host" the host, which
// also serves the change; for a realm found through DNS, its SRV records'
// targets, looked up once. Through the view libkrb5 looks up nothing of its
// own. The context opened for it borrows this record until the context is
// freed. When the realm of "\\host" is a guess, otherRealm is the one to
// ask in if the guess does not know the user (else it is empty); the view
// follows realm.
struct NamedServer {
    const Kerberos *k;
    profile_t configuration;
    char realm[kUtf8Bytes];
    char otherRealm[kUtf8Bytes];
    ServerList kdcs;         // none: the configuration's own
    bool hostServesChange;   // "\\host"
    bool dns;                // the configuration allows DNS for the realm's servers
};

// Opens the run's context for the server name, in UTF-8, and settles the
// realm. CloseNamedServer frees what it opened, also after a failure.
krb5_error_code OpenNamedServer(const Kerberos *k, const char *server, NamedServer *named,
                                krb5_context *context);
void CloseNamedServer(NamedServer *named, krb5_context context);

// A context for asking which password is in force after a change whose
// answer was lost: its KDCs are the one on the address that took the
// request, on the KDC port, then the realm's, each of them primary, so that
// libkrb5 never asks a refused password again elsewhere. The context
// borrows check until it is freed (CloseNamedServer does not release it).
krb5_error_code OpenCheckContext(const NamedServer *named, const Server *taker,
                                 NamedServer *check, krb5_context *context);

// Loads libkrb5 and the resolver's parser; false when either is missing.
bool LoadKerberos(Kerberos *k);

// The status a Kerberos error stands for in the report.
NET_API_STATUS StatusForError(krb5_error_code error);

// One change request: the ticket for kadmin/changepw that authenticates it,
// the new password it sets, and the time until which its answer is waited
// for at first (MonotonicMilliseconds). Once it has left: the server it went
// to (until then its length is 0), and, until EndChange, the connection it
// went on and the keys its answer is read with, as a late answer may still
// come there.
struct ChangeRequest {
    krb5_creds *credentials;
    const char *newPassword;
    long long answerBy;
    Server taker;
    Connection connection;
    bool connected;
    krb5_auth_context auth;
};

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

// Closes what the request left open, and forgets its keys.
void EndChange(const Kerberos *k, krb5_context context, ChangeRequest *change);

// Reads the answer to the request made with auth: the step after the
// transport, on its own for the fuzzer.
NET_API_STATUS ReadChangeReply(const Kerberos *k, krb5_context context, krb5_auth_context auth,
                               const unsigned char *reply, size_t length);

#endif
