// The password change on Linux: the Kerberos change-password protocol, which
// Active Directory, Samba and MIT realms serve, through MIT libkrb5.
#include "platform/linux_kerberos.h"

#include <dlfcn.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

// libkrb5 is loaded when a change is made, so the paths that make none
// (usage, refusals) start as fast as a program without it.
bool LoadKerberos(Kerberos *k)
{
    void *library = dlopen("libkrb5.so.3", RTLD_LAZY | RTLD_LOCAL);
    void *resolver = dlopen("libresolv.so.2", RTLD_LAZY | RTLD_LOCAL);
    if (library == NULL || resolver == NULL)
        return false;
#define LOAD_FUNCTION(name)                                   \
    k->name = (decltype(k->name))dlsym(library, #name);       \
    if (k->name == NULL)                                      \
        return false;
    KERBEROS_FUNCTIONS(LOAD_FUNCTION)
    library = resolver;
    RESOLVER_FUNCTIONS(LOAD_FUNCTION)
#undef LOAD_FUNCTION
    return true;
}

struct ChangeText {
    char server[kUtf8Bytes];
    char user[kUtf8Bytes];
    char oldPassword[kUtf8Bytes];
    char newPassword[kUtf8Bytes];
};

// The values of the change under way, in UTF-8: static, so that the
// deadline can wipe them before it ends the process.
static ChangeText changeText;

// The reports of a change given up at the deadline, looked up before the
// change starts: the handler may only write and end the process.
struct DeadlineReport {
    DWORD code;
    char *text;
    DWORD length;
};
static DeadlineReport unsentReport = {WAIT_TIMEOUT, NULL, 0};
static DeadlineReport sentReport = {ERROR_TIMEOUT, NULL, 0};
static char noReport[] = "Err";

// The change server's answer is waited for until two thirds of the deadline,
// when the KDC is asked which password is in force; where it may still come,
// on until the deadline leaves just the time to report. A KDC is waited for
// until the deadline ends the change.
static long long answerBy, lastAnswerBy, deadlineAt;

// libkrb5 bounds no request as a whole. At the deadline the change is given
// up where it stands. Once the request may have reached the server, the
// report says the outcome is unknown.
static void giveUpAtDeadline(int signo)
{
    (void)signo;
    explicit_bzero(&changeText, sizeof changeText);
    const DeadlineReport &report = gRequestLeft ? sentReport : unsentReport;
    if (write(STDOUT_FILENO, report.text, report.length) < 0) {
        // Nothing more can be done: the exit status still tells.
    }
    _exit((int)(report.code < kLargestExitStatus ? report.code : kLargestExitStatus));
}

static void lookUpReport(DeadlineReport *report)
{
    report->length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                    NULL, report->code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                    (LPSTR)&report->text, 0, NULL);
    if (report->length == 0) {
        report->text = noReport;
        report->length = sizeof noReport - 1;
    }
}

static void armDeadline(struct sigaction *saved)
{
    lookUpReport(&unsentReport);
    lookUpReport(&sentReport);
    gRequestLeft = 0;
    long long now = MonotonicMilliseconds();
    answerBy = now + CREDMEND_CHANGE_DEADLINE_SECONDS * 1000 * 2 / 3;
    lastAnswerBy = now + CREDMEND_CHANGE_DEADLINE_SECONDS * 1000 * 99 / 100;
    deadlineAt = now + CREDMEND_CHANGE_DEADLINE_SECONDS * 1000;
    // What was written so far reaches the output before the handler's report.
    fflush(stdout);
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = giveUpAtDeadline;
    sigemptyset(&action.sa_mask);
    sigaction(SIGALRM, &action, saved);
    sigset_t alarmOnly;
    sigemptyset(&alarmOnly);
    sigaddset(&alarmOnly, SIGALRM);
    sigprocmask(SIG_UNBLOCK, &alarmOnly, NULL);
    alarm(CREDMEND_CHANGE_DEADLINE_SECONDS);
}

static void disarmDeadline(const struct sigaction *saved)
{
    alarm(0);
    sigaction(SIGALRM, saved, NULL);
    if (unsentReport.text != noReport)
        LocalFree(unsentReport.text);
    if (sentReport.text != noReport)
        LocalFree(sentReport.text);
}

// A KDC that cannot serve now says so without having looked at the
// request: no logon was tried. It is passed over, as libkrb5 passes it.
struct KdcAnswers {
    const Kerberos *k;
    krb5_context context;
};

static bool saysUnavailable(const void *with, const unsigned char *answer, size_t length)
{
    const KdcAnswers *kdc = (const KdcAnswers *)with;
    krb5_data reply = {KV5M_DATA, (unsigned)length, (char *)answer};
    krb5_error *error = NULL;
    if (kdc->k->krb5_rd_error(kdc->context, &reply, &error) != 0)
        return false;
    bool unavailable =
        error->error == (krb5_ui_4)(KRB5KDC_ERR_SVC_UNAVAILABLE - ERROR_TABLE_BASE_krb5);
    kdc->k->krb5_free_error(kdc->context, error);
    return unavailable;
}

// Sends one message of the ticket exchange to the KDCs of the realm it is
// for: a KDC may refer the client to another realm, whose KDCs then take
// the set's place. The answer stays valid until the next message.
static krb5_error_code askKdcs(const Kerberos *k, krb5_context context, const NamedServer *named,
                               ServerSet *kdcs, char *kdcsRealm, const krb5_data *realm,
                               const krb5_data *message, bool datagram, krb5_data *reply)
{
    if (realm->length != strlen(kdcsRealm) || memcmp(realm->data, kdcsRealm, realm->length) != 0) {
        if (realm->length >= (unsigned)kUtf8Bytes)
            return KRB5_REALM_UNKNOWN;
        memcpy(kdcsRealm, realm->data, realm->length);
        kdcsRealm[realm->length] = '\0';
        ServerList others;
        FindKdcs(k, named, kdcsRealm, &others);
        CloseServerSet(kdcs);
        OpenServerSet(kdcs, &others, named->anchors);
    }
    // What libkrb5 says of a realm with no KDC to be found.
    if (kdcs->servers.count == 0)
        return KRB5_REALM_UNKNOWN;
    const unsigned char *answer = NULL;
    size_t length = 0;
    const KdcAnswers answers = {k, context};
    // The deadline ends the change before this time.
    Exchange got = AskServerSet(kdcs, (const unsigned char *)message->data, message->length,
                                datagram && message->length <= (unsigned)named->udpLimit,
                                deadlineAt + 1000, saysUnavailable, &answers, &answer, &length);
    if (got != kAnswered)
        return kdcs->worst == kNotVerified ? kProxyNotVerified : KRB5_KDC_UNREACH;
    reply->magic = KV5M_DATA;
    reply->data = (char *)answer;
    reply->length = (unsigned)length;
    return 0;
}

// A short-lived ticket for kadmin/changepw, for the password given, from
// the KDCs of the set. libkrb5 makes each message and reads each answer;
// they go over credmend's own transports. No credentials are cached.
// answeredBy is the realm's KDC that answered last, NULL where none did.
static krb5_error_code getChangeTicket(const Kerberos *k, krb5_context context,
                                       const NamedServer *named, ServerSet *kdcs,
                                       const char *user, bool enterprise, const char *password,
                                       krb5_creds *credentials, const Server **answeredBy)
{
    *answeredBy = NULL;
    memset(credentials, 0, sizeof *credentials);
    const char *realm = named->realm;
    // Built, not parsed, so '@' and '/' in a user name stay part of it.
    krb5_principal client = NULL;
    krb5_error_code error =
        k->krb5_build_principal(context, &client, strlen(realm), realm, user, (char *)NULL);
    if (error != 0)
        return error;
    if (enterprise)
        client->type = KRB5_NT_ENTERPRISE_PRINCIPAL;
    krb5_get_init_creds_opt *options = NULL;
    krb5_init_creds_context exchange = NULL;
    error = k->krb5_get_init_creds_opt_alloc(context, &options);
    if (error == 0) {
        k->krb5_get_init_creds_opt_set_tkt_life(options, 60);
        k->krb5_get_init_creds_opt_set_renew_life(options, 0);
        k->krb5_get_init_creds_opt_set_forwardable(options, 0);
        k->krb5_get_init_creds_opt_set_proxiable(options, 0);
        k->krb5_get_init_creds_opt_set_address_list(options, NULL);
        // For an enterprise name the credentials then name the account the
        // KDC found, as the ticket does: the change service compares them.
        k->krb5_get_init_creds_opt_set_canonicalize(options, enterprise);
        error = k->krb5_init_creds_init(context, client, NULL, NULL, 0, options, &exchange);
    }
    if (error == 0)
        error = k->krb5_init_creds_set_service(context, exchange, "kadmin/changepw");
    if (error == 0)
        error = k->krb5_init_creds_set_password(context, exchange, password);
    char kdcsRealm[kUtf8Bytes];
    strcpy(kdcsRealm, realm);
    krb5_data reply = {};
    bool datagram = true;
    unsigned int flags = KRB5_INIT_CREDS_STEP_FLAG_CONTINUE;
    while (error == 0 && (flags & KRB5_INIT_CREDS_STEP_FLAG_CONTINUE) != 0) {
        krb5_data message = {}, to = {};
        flags = 0;
        error = k->krb5_init_creds_step(context, exchange, &reply, &message, &to, &flags);
        // A reply too big for a datagram, as Active Directory's tickets with
        // their PAC are: the same message goes again over TCP.
        if (error == KRB5KRB_ERR_RESPONSE_TOO_BIG && message.length > 0) {
            datagram = false;
            flags = KRB5_INIT_CREDS_STEP_FLAG_CONTINUE;
            error = 0;
        }
        if (error == 0 && (flags & KRB5_INIT_CREDS_STEP_FLAG_CONTINUE) != 0) {
            error = askKdcs(k, context, named, kdcs, kdcsRealm, &to, &message, datagram, &reply);
            *answeredBy = error == 0 && strcmp(kdcsRealm, realm) == 0
                              ? &kdcs->servers.each[kdcs->current]
                              : NULL;
        }
        k->krb5_free_data_contents(context, &message);
        k->krb5_free_data_contents(context, &to);
    }
    if (error == 0)
        error = k->krb5_init_creds_get_creds(context, exchange, credentials);
    if (exchange != NULL)
        k->krb5_init_creds_free(context, exchange);
    if (options != NULL)
        k->krb5_get_init_creds_opt_free(context, options);
    k->krb5_free_principal(context, client);
    return error;
}

static bool isWrongPassword(krb5_error_code error)
{
    return StatusForError(error) == ERROR_INVALID_PASSWORD;
}

static bool isListed(const Server *server, const ServerList *servers)
{
    for (int i = 0; i < servers->count; i++) {
        const Server *each = &servers->each[i];
        if (each->length == server->length &&
            memcmp(&each->address, &server->address, each->length) == 0)
            return true;
    }
    return false;
}

// A ticket as krb5_get_init_creds_password gets it: from the set's KDCs
// and, where one that is not a primary refused, once more from the realm's
// primaries, which a password reset or a new account reaches first; they
// then take the set's place. The first refusal stands where no primary
// answers.
static krb5_error_code askForTicket(const Kerberos *k, krb5_context context,
                                    const NamedServer *named, ServerSet *set, const char *user,
                                    bool enterprise, const char *password,
                                    krb5_creds *credentials)
{
    const Server *answeredBy = NULL;
    krb5_error_code error = getChangeTicket(k, context, named, set, user, enterprise, password,
                                            credentials, &answeredBy);
    if (error == 0 || answeredBy == NULL)
        return error;
    ServerList primaries;
    FindPrimaryKdcs(k, named, &primaries);
    if (primaries.count == 0 || isListed(answeredBy, &primaries))
        return error;
    CloseServerSet(set);
    OpenServerSet(set, &primaries, named->anchors);
    krb5_error_code again = getChangeTicket(k, context, named, set, user, enterprise, password,
                                            credentials, &answeredBy);
    bool unanswered = again == KRB5_KDC_UNREACH || again == KRB5_REALM_CANT_RESOLVE ||
                      again == KRB5_REALM_UNKNOWN || again == kProxyNotVerified;
    return unanswered ? error : again;
}

// No valid answer came to the change request, yet the KDC that saw it can
// tell which password is in force. The new one is asked first: after a
// change that took, which a lost answer mostly follows, no logon fails;
// otherwise one does, and the old password's logon that follows clears the
// count again. The other is asked only when the KDC calls the first wrong.
// Whatever else happens leaves the outcome unknown. ERROR_BAD_NET_RESP: the
// old password is in force.
static NET_API_STATUS findPasswordInForce(const Kerberos *k, krb5_context context,
                                          const NamedServer *named, const Server *taker,
                                          const ChangeText *text, bool enterprise, bool newFirst,
                                          NET_API_STATUS unknown)
{
    // The KDC on the host that took the request first, then the realm's;
    // through a KDC proxy, the realm's, as for the ticket before.
    ServerList kdcs;
    kdcs.count = 0;
    if (taker->length > 0 && taker->proxy == NULL)
        AddServer(&taker->address, kKdcPort, true, true, &kdcs);
    AddServers(&named->kdcs, &kdcs);
    ServerSet set;
    OpenServerSet(&set, &kdcs, named->anchors);
    NET_API_STATUS status = unknown;
    for (int asked = 0; asked < 2; asked++) {
        bool askNew = newFirst == (asked == 0);
        krb5_creds credentials;
        krb5_error_code error =
            askForTicket(k, context, named, &set, text->user, enterprise,
                         askNew ? text->newPassword : text->oldPassword, &credentials);
        k->krb5_free_cred_contents(context, &credentials);
        if (error == 0)
            status = askNew ? NERR_Success : ERROR_BAD_NET_RESP;
        if (!isWrongPassword(error))
            break;
    }
    CloseServerSet(&set);
    return status;
}

// The request left, no answer came, and the server may still hold it. The
// KDC is asked now; unless it takes the new password, the answer is waited
// for on. A server that lets the request go meanwhile may have made the
// change just before, so the KDC is asked again, the old password first, as
// it took that a moment ago. A server that holds the request to the end may
// still make the change.
static NET_API_STATUS awaitOutcome(const Kerberos *k, krb5_context context,
                                   const NamedServer *named, ChangeRequest *change,
                                   const ChangeText *text, bool enterprise)
{
    NET_API_STATUS seen = findPasswordInForce(k, context, named, &change->taker, text,
                                              enterprise, true, ERROR_TIMEOUT);
    if (seen == NERR_Success)
        return seen;
    NET_API_STATUS late = AwaitChangeReply(k, context, change, lastAnswerBy);
    if (late == ERROR_UNEXP_NET_ERR)
        return findPasswordInForce(k, context, named, &change->taker, text, enterprise,
                                   seen != ERROR_BAD_NET_RESP, late);
    if (late == ERROR_TIMEOUT && seen == ERROR_BAD_NET_RESP)
        return ERROR_NETWORK_BUSY;
    return late;
}

// Asks the KDC for a change-password ticket with the old password, then the
// change service for the new password. The connection to the change server
// opens meanwhile.
static NET_API_STATUS askInRealm(const Kerberos *k, krb5_context context,
                                 const NamedServer *named, const ChangeText *text,
                                 bool enterprise)
{
    ChangeRequest change;
    StartChange(named, &change);
    ServerSet kdcs;
    OpenServerSet(&kdcs, &named->kdcs, named->anchors);
    krb5_creds credentials;
    krb5_error_code error = askForTicket(k, context, named, &kdcs, text->user, enterprise,
                                         text->oldPassword, &credentials);
    if (error == 0)
        TakeTicketConnection(&kdcs, &change);
    CloseServerSet(&kdcs);
    change.credentials = &credentials;
    change.newPassword = text->newPassword;
    change.answerBy = answerBy;
    NET_API_STATUS status = error != 0 ? StatusForError(error)
                                       : ChangeThroughService(k, context, named, &change);
    k->krb5_free_cred_contents(context, &credentials);
    if (status == ERROR_UNEXP_NET_ERR)
        status = findPasswordInForce(k, context, named, &change.taker, text, enterprise, true,
                                     status);
    else if (status == ERROR_TIMEOUT)
        status = awaitOutcome(k, context, named, &change, text, enterprise);
    EndChange(k, context, &change);
    return status;
}

// A name with '@' is first asked for as typed, one name component, as an MIT
// realm may hold it. An Active Directory KDC finds a user principal name
// (alice.smith@example.org, whatever its suffix) only as an enterprise name;
// it says the user is unknown before any password-derived data is sent, so
// asking again costs no failed logon.
static NET_API_STATUS changeInRealm(const Kerberos *k, krb5_context context,
                                    const NamedServer *named, const ChangeText *text)
{
    NET_API_STATUS status = askInRealm(k, context, named, text, false);
    if (status == NERR_UserNotFound && strchr(text->user, '@') != NULL)
        status = askInRealm(k, context, named, text, true);
    return status;
}

NET_API_STATUS NetUserChangePassword(const WCHAR *domain, const WCHAR *user,
                                     const WCHAR *oldPassword, const WCHAR *newPassword)
{
    struct sigaction saved;
    armDeadline(&saved);
    WideCharToMultiByte(CP_UTF8, 0, domain, -1, changeText.server, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, user, -1, changeText.user, kUtf8Bytes, NULL, NULL);
    WideCharToMultiByte(CP_UTF8, 0, oldPassword, -1, changeText.oldPassword, kUtf8Bytes, NULL,
                        NULL);
    WideCharToMultiByte(CP_UTF8, 0, newPassword, -1, changeText.newPassword, kUtf8Bytes, NULL,
                        NULL);
    Kerberos kerberos;
    // A libkrb5 older than the functions loaded, or none at all.
    NET_API_STATUS status = ERROR_NOT_SUPPORTED;
    if (LoadKerberos(&kerberos)) {
        NamedServer named;
        krb5_context context;
        krb5_error_code error =
            OpenNamedServer(&kerberos, changeText.server, changeText.user, &named, &context);
        status = error != 0 ? StatusForError(error)
                            : changeInRealm(&kerberos, context, &named, &changeText);
        // A guessed realm that does not know the user said so before any
        // password-derived data was sent: asking the other costs no failed
        // logon. The view answers for the realm asked.
        if (status == NERR_UserNotFound && named.otherRealm[0] != '\0') {
            strcpy(named.realm, named.otherRealm);
            status = changeInRealm(&kerberos, context, &named, &changeText);
        }
        CloseNamedServer(&named, context);
    }
    SecureZeroMemory(&changeText, sizeof changeText);
    disarmDeadline(&saved);
    return status;
}
