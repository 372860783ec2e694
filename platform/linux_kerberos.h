// What the two files of the Linux password change share: libkrb5's
// functions, loaded when a change is made, and the realm and configuration
// that the server name means for the run.
#ifndef CREDMEND_LINUX_KERBEROS_H
#define CREDMEND_LINUX_KERBEROS_H

#include <krb5.h>
#include <profile.h>

#include "platform/platform.h"

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
    X(profile_free_list) X(profile_release) X(krb5_chpw_message) X(krb5_free_string)        \
    X(profile_get_subsection_names)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
struct Kerberos {
    KERBEROS_FUNCTIONS(DECLARE_FUNCTION)
};
#undef DECLARE_FUNCTION

// The longest UTF-8 form of a field: three bytes a unit, and the terminator.
const int kUtf8Bytes = 3 * kFieldUnits + 1;

// The realm a server name means, and for "\\host" the view of the Kerberos
// configuration that makes the host the realm's servers. The context opened
// for it borrows this record until the context is freed. When the realm of
// "\\host" is a guess, otherRealm is the one to ask in if the guess does
// not know the user (else it is empty); the view follows realm.
struct NamedServer {
    const Kerberos *k;
    profile_t configuration;
    char realm[kUtf8Bytes];
    char otherRealm[kUtf8Bytes];
    char address[kUtf8Bytes + 2];
};

// Opens the run's context for the server name, in UTF-8, and settles the
// realm. CloseNamedServer frees what it opened, also after a failure.
krb5_error_code OpenNamedServer(const Kerberos *k, const char *server, NamedServer *named,
                                krb5_context *context);
void CloseNamedServer(NamedServer *named, krb5_context context);

#endif
