// The change service: the one change request, and what the answer, or the
// lack of one, says of the password.
#include "platform/linux_kerberos.h"

#include <errno.h>
#include <string.h>

// A server that has not taken the connection within a tenth of the deadline
// is taken to be away: nothing of the request has left, so the next one may
// be asked. A datagram's answer comes within as long, or not at all.
static const int kConnectMilliseconds = CREDMEND_CHANGE_DEADLINE_SECONDS * 100;
static const int kDatagramAnswerMilliseconds = CREDMEND_CHANGE_DEADLINE_SECONDS * 100;

// The request as it goes out: a change message carries 16-bit lengths. Its
// answer is read into a room of its own, as the KDC may be asked meanwhile.
static unsigned char request[0xFFFF];
static unsigned char answerRoom[kAnswerBytes];

volatile sig_atomic_t gRequestLeft;

static unsigned get16(const void *at)
{
    const unsigned char *bytes = (const unsigned char *)at;
    return (unsigned)bytes[0] << 8 | bytes[1];
}

static unsigned char *put16(unsigned char *at, size_t value)
{
    at[0] = (unsigned char)(value >> 8);
    at[1] = (unsigned char)value;
    return at + 2;
}

static krb5_data dataAt(const unsigned char *bytes, size_t length)
{
    krb5_data data;
    data.magic = KV5M_DATA;
    data.length = (unsigned)length;
    data.data = (char *)bytes;
    return data;
}

// The change message of RFC 3244, version 1, for this connection: its
// length, the version, the AP-REQ's length, the AP-REQ with a subkey, then
// the new password in a KRB-PRIV from this end's address. Every key and
// cipher in it is libkrb5's.
static krb5_error_code makeRequest(const Kerberos *k, krb5_context context,
                                   const struct sockaddr_storage *local, krb5_creds *credentials,
                                   const char *newPassword, krb5_auth_context *auth,
                                   size_t *length)
{
    krb5_address address;
    address.magic = KV5M_ADDRESS;
    if (local->ss_family == AF_INET6) {
        address.addrtype = ADDRTYPE_INET6;
        address.length = sizeof(struct in6_addr);
        address.contents = (krb5_octet *)&((const struct sockaddr_in6 *)local)->sin6_addr;
    } else {
        address.addrtype = ADDRTYPE_INET;
        address.length = sizeof(struct in_addr);
        address.contents = (krb5_octet *)&((const struct sockaddr_in *)local)->sin_addr;
    }
    krb5_data apRequest = {}, sealed = {};
    krb5_data clear = dataAt((const unsigned char *)newPassword, strlen(newPassword));
    krb5_error_code error = k->krb5_auth_con_init(context, auth);
    if (error == 0)
        error = k->krb5_mk_req_extended(context, auth, AP_OPTS_USE_SUBKEY, NULL, credentials,
                                        &apRequest);
    if (error == 0)
        error = k->krb5_auth_con_setaddrs(context, *auth, &address, NULL);
    if (error == 0)
        error = k->krb5_auth_con_setflags(context, *auth, KRB5_AUTH_CONTEXT_DO_SEQUENCE);
    if (error == 0)
        error = k->krb5_mk_priv(context, *auth, &clear, &sealed, NULL);
    size_t message = 6 + (size_t)apRequest.length + sealed.length;
    if (error == 0 && message > sizeof request)
        error = KRB5KRB_ERR_FIELD_TOOLONG;
    if (error == 0) {
        unsigned char *at = put16(put16(put16(request, message), 1), apRequest.length);
        memcpy(at, apRequest.data, apRequest.length);
        memcpy(at + apRequest.length, sealed.data, sealed.length);
        *length = message;
    }
    k->krb5_free_data_contents(context, &apRequest);
    k->krb5_free_data_contents(context, &sealed);
    return error;
}

NET_API_STATUS AwaitChangeReply(const Kerberos *k, krb5_context context, ChangeRequest *change,
                                long long answerBy)
{
    Connection *connection = &change->connection;
    for (;;) {
        const unsigned char *answer = NULL;
        size_t length = 0;
        Exchange got = connection->proxy != NULL
                           ? AwaitProxyAnswer(connection, answerBy, &answer, &length)
                           : AwaitAnswer(connection, answerBy, &answer, &length);
        if (got == kDatagramRefused)
            return ERROR_BAD_NETPATH;
        // A proxy's connection says nothing of the server behind it, nor
        // a datagram's socket of the server.
        if (got != kAnswered)
            return got == kNoAnswer && connection->proxy == NULL && connection->transport == kTcp
                       ? ERROR_UNEXP_NET_ERR
                       : ERROR_TIMEOUT;
        // What does not read as the answer to this request is not one: the
        // server's may still come after it.
        NET_API_STATUS status = ReadChangeReply(k, context, change->auth, answer, length);
        if (status != ERROR_UNEXP_NET_ERR)
            return status;
    }
}

void EndChange(const Kerberos *k, krb5_context context, ChangeRequest *change)
{
    if (change->auth != NULL)
        k->krb5_auth_con_free(context, change->auth);
    change->auth = NULL;
    if (change->connected && change->connection.proxy != NULL)
        CloseProxyConnection(&change->connection);
    else if (change->connected)
        CloseConnection(&change->connection);
    change->connected = false;
}

// The first change server that the request may go to over TCP.
static int firstOverTcp(const ServerList *servers)
{
    for (int i = 0; i < servers->count; i++) {
        if (servers->each[i].proxy != NULL || servers->each[i].tcp)
            return i;
    }
    return -1;
}

void StartChange(const NamedServer *named, ChangeRequest *change)
{
    change->taker.length = 0;
    change->connected = false;
    change->auth = NULL;
    change->servers = named->changeServers;
    change->early = firstOverTcp(&change->servers);
    // A KDC proxy's connection is made when the request is ready: its TLS
    // handshake waits for answers of its own.
    if (change->early < 0 || change->servers.each[change->early].proxy != NULL) {
        change->early = -1;
        return;
    }
    StartConnection(&change->servers.each[change->early], kTcp, kConnectMilliseconds,
                    answerRoom, &change->connection);
    change->connected = change->connection.fd >= 0;
}

void TakeTicketConnection(ServerSet *kdcs, ChangeRequest *change)
{
    // Any address of the proxy that is asked first: the one that took the
    // ticket's messages took a connection.
    int first = firstOverTcp(&change->servers);
    const Proxy *proxy = first >= 0 ? change->servers.each[first].proxy : NULL;
    for (int i = first; proxy != NULL && !change->connected && i < change->servers.count; i++) {
        const Proxy *each = change->servers.each[i].proxy;
        if (each != NULL && each->port == proxy->port && strcmp(each->host, proxy->host) == 0 &&
            TakeProxyConnection(kdcs, &change->servers.each[i], answerRoom,
                                &change->connection)) {
            change->early = i;
            change->connected = true;
        }
    }
}

// Makes the request on one server. False when nothing of it left, so that
// another server may be asked; true, with the outcome so far, once any of it
// has (or it could not be made at all).
static bool changeOn(const Kerberos *k, krb5_context context, int index, Transport transport,
                     char *const *anchors, ChangeRequest *change, NET_API_STATUS *status)
{
    Server *server = &change->servers.each[index];
    Connection *connection = &change->connection;
    bool proxied = server->proxy != NULL;
    Reach reach;
    if (change->early == index && transport == kTcp)
        reach = proxied ? kReached : FinishConnection(connection);
    else if (proxied)
        reach = OpenProxyConnection(server, kConnectMilliseconds, anchors, answerRoom, connection);
    else
        reach = OpenConnection(server, transport, kConnectMilliseconds, answerRoom, connection);
    change->early = -1;
    change->connected = reach == kReached;
    // Nothing was sent to a proxy that could not be verified either.
    if (reach == kNotVerified)
        *status = ERROR_NETWORK_ACCESS_DENIED;
    if (reach != kReached)
        return false;
    size_t length = 0;
    krb5_error_code error = makeRequest(k, context, &connection->local, change->credentials,
                                        change->newPassword, &change->auth, &length);
    gRequestLeft = error == 0;
    bool left = error == 0 && (proxied ? SendThroughProxy(connection, request, length)
                                       : SendOnce(connection, request, length));
    gRequestLeft = left;
    SecureZeroMemory(request, length);
    if (!left) {
        // Made, and nothing of it left: the status stays what it was.
        if (error != 0)
            *status = StatusForError(error);
        EndChange(k, context, change);
        return error != 0;
    }
    change->taker = *server;
    long long answerBy = change->answerBy;
    long long datagramBy = MonotonicMilliseconds() + kDatagramAnswerMilliseconds;
    if (transport == kUdp && datagramBy < answerBy)
        answerBy = datagramBy;
    *status = AwaitChangeReply(k, context, change, answerBy);
    return true;
}

NET_API_STATUS ChangeThroughService(const Kerberos *k, krb5_context context,
                                    const NamedServer *named, ChangeRequest *change)
{
    // The servers in their order, each over TCP or, a KDC proxy, over HTTPS
    // until one has the request, the one whose connection is open first;
    // then, where none did, as one datagram.
    ServerList *servers = &change->servers;
    NET_API_STATUS status = ERROR_BAD_NETPATH;
    int open = change->early;
    if (open >= 0 && changeOn(k, context, open, kTcp, named->anchors, change, &status))
        return status;
    for (int i = 0; i < servers->count; i++) {
        if (i != open && (servers->each[i].proxy != NULL || servers->each[i].tcp) &&
            changeOn(k, context, i, kTcp, named->anchors, change, &status))
            return status;
    }
    // A host that refused the connection, or never took it, may still serve
    // the change over UDP: older servers serve it there only, and some
    // firewalls pass only UDP to it. A host found unreachable is not asked.
    // A datagram is sent once, to one server: the answer to a copy could
    // only be a refusal of what the first already changed.
    for (int i = 0; i < servers->count; i++) {
        const Server *server = &servers->each[i];
        if (server->udp && (server->tcpUnanswered || !server->tcp) &&
            changeOn(k, context, i, kUdp, NULL, change, &status))
            return status;
    }
    return status;
}

NET_API_STATUS StatusForError(krb5_error_code error)
{
    switch (error) {
    case 0:
        return NERR_Success;
    case KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN:
    case KRB5KDC_ERR_WRONG_REALM:  // the user is not in the realm asked
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
    case kProxyNotVerified:
        return ERROR_NETWORK_ACCESS_DENIED;
    default:
        return NERR_InternalError;
    }
}

static NET_API_STATUS statusForResult(unsigned resultCode)
{
    switch (resultCode) {
    case KRB5_KPASSWD_SOFTERROR:
        return NERR_PasswordTooShort;
    case KRB5_KPASSWD_AUTHERROR:
    case KRB5_KPASSWD_ACCESSDENIED:
        return ERROR_ACCESS_DENIED;
    default:
        return NERR_InternalError;
    }
}

// The server's reason for refusing the change, cleaned; empty when it gave
// none.
static char serverReason[kReasonBytes];

bool GetServerReason(char *line)
{
    if (serverReason[0] == '\0')
        return false;
    const char *lead = Translated("The server says: ");
    size_t length = strnlen(lead, kReasonLineBytes - 1);
    memcpy(line, lead, length);
    ToLocaleEncoding(serverReason, line + length, kReasonLineBytes - length);
    return true;
}

// The length of the UTF-8 sequence at text, before end, with its code
// point; 0 when the bytes there are not valid UTF-8.
static int decodeUtf8(const unsigned char *text, const unsigned char *end, char32_t *point)
{
    static const char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
    unsigned char lead = text[0];
    int length = lead < 0x80   ? 1
                 : lead < 0xC2 ? 0
                 : lead < 0xE0 ? 2
                 : lead < 0xF0 ? 3
                 : lead < 0xF5 ? 4
                               : 0;
    if (length == 0 || length > end - text)
        return 0;
    char32_t value = length == 1 ? lead : lead & (0x7F >> length);
    for (int i = 1; i < length; i++) {
        if ((text[i] & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (text[i] & 0x3F);
    }
    if (value < kLeast[length] || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    *point = value;
    return length;
}

// The server is not trusted: its words reach the terminal as one line with
// no control character (C0, DEL, C1), so no escape sequence can act there.
// Each run of blanks and controls becomes one space, none at either end,
// and the text is cut at a character boundary to fit. False, with no
// reason kept, when the bytes are not UTF-8 text (a zero byte included).
static bool keepReason(const char *text, size_t length)
{
    const unsigned char *at = (const unsigned char *)text, *end = at + length;
    int kept = 0;
    bool space = false, full = false;
    for (int used; at < end; at += used) {
        char32_t point;
        used = decodeUtf8(at, end, &point);
        if (used == 0 || point == 0) {
            serverReason[0] = '\0';
            return false;
        }
        if (point <= 0x20 || (point >= 0x7F && point <= 0x9F)) {
            space = kept > 0;
            continue;
        }
        full = full || kept + (space ? 1 : 0) + used > kReasonBytes - 1;
        if (full)
            continue;
        if (space)
            serverReason[kept++] = ' ';
        memcpy(serverReason + kept, at, used);
        kept += used;
        space = false;
    }
    serverReason[kept] = '\0';
    return true;
}

// Active Directory's password policy: 30 bytes of fixed fields after two
// zero bytes, which libkrb5 puts into sentences.
static bool isPolicyBlock(const krb5_data *text)
{
    return text->length == 30 && text->data[0] == 0 && text->data[1] == 0;
}

// A reason in UTF-8 text is the server's own words (libkrb5 1.20 would strip
// their accents), zero bytes at its end left off: Heimdal's kpasswdd sends
// its reason as a C string. A policy block is what libkrb5 makes of it;
// libkrb5 is given nothing else, as its UTF-8 walk reads past the end of
// text that is not UTF-8. Anything else gives no reason.
static void keepServerReason(const Kerberos *k, krb5_context context, const krb5_data *text)
{
    char *message = NULL;
    size_t length = text->length;
    while (length > 0 && text->data[length - 1] == '\0')
        length--;
    if (isPolicyBlock(text)) {
        if (k->krb5_chpw_message(context, text, &message) == 0) {
            keepReason(message, strlen(message));
            k->krb5_free_string(context, message);
        }
    } else if (length > 0) {
        keepReason(text->data, length);
    }
}

// The AP-REP proves the answer comes from the server that took this
// request; the server seals its result in the subkey this end sent.
static bool verifyReply(const Kerberos *k, krb5_context context, krb5_auth_context auth,
                        krb5_data apReply, krb5_data sealed, krb5_data *clear)
{
    krb5_key subkey = NULL;
    krb5_ap_rep_enc_part *part = NULL;
    krb5_error_code error = k->krb5_auth_con_getsendsubkey_k(context, auth, &subkey);
    if (error == 0)
        error = k->krb5_rd_rep(context, auth, &apReply, &part);
    if (error == 0) {
        k->krb5_free_ap_rep_enc_part(context, part);
        error = k->krb5_auth_con_setrecvsubkey_k(context, auth, subkey);
    }
    if (error == 0)
        error = k->krb5_rd_priv(context, auth, &sealed, clear, NULL);
    k->krb5_k_free_key(context, subkey);
    return error == 0;
}

NET_API_STATUS ReadChangeReply(const Kerberos *k, krb5_context context, krb5_auth_context auth,
                               const unsigned char *reply, size_t length)
{
    // A KRB-ERROR on its own (as Active Directory may answer), or the
    // header of the request's form followed by a KRB-ERROR, or by an AP-REP
    // and the result in a KRB-PRIV. Only the last is verified, so only it
    // may say that the password was changed.
    size_t errorAt = 0, apLength = 0;
    if (length == 0)
        return ERROR_UNEXP_NET_ERR;
    if (reply[0] != 0x7E) {
        if (length < 6 || get16(reply) != length || get16(reply + 2) != 1 ||
            get16(reply + 4) > length - 6)
            return ERROR_UNEXP_NET_ERR;
        apLength = get16(reply + 4);
        errorAt = 6;
    }
    NET_API_STATUS status = ERROR_UNEXP_NET_ERR;
    krb5_data result = {}, clear = {};
    krb5_error *error = NULL;
    if (apLength == 0) {
        krb5_data message = dataAt(reply + errorAt, length - errorAt);
        if (k->krb5_rd_error(context, &message, &error) == 0) {
            result = error->e_data;
            if (result.length == 0)
                status = StatusForError(ERROR_TABLE_BASE_krb5 + (krb5_error_code)error->error);
            // The ticket proved the old password: a change server's error
            // about integrity or pre-authentication is a failure of its own.
            if (status == ERROR_INVALID_PASSWORD)
                status = NERR_InternalError;
        }
    } else if (verifyReply(k, context, auth, dataAt(reply + 6, apLength),
                           dataAt(reply + 6 + apLength, length - 6 - apLength), &clear)) {
        result = clear;
    }
    if (result.length >= 2) {
        unsigned code = get16(result.data);
        krb5_data reason = dataAt((const unsigned char *)result.data + 2, result.length - 2);
        if (code != KRB5_KPASSWD_SUCCESS) {
            status = statusForResult(code);
            keepServerReason(k, context, &reason);
        } else if (apLength > 0) {
            status = NERR_Success;
        }
    }
    if (error != NULL)
        k->krb5_free_error(context, error);
    k->krb5_free_data_contents(context, &clear);
    return status;
}
