// Any answer from a change server or a KDC, direct or through a KDC proxy,
// through the framing and decoding up to libkrb5's checks: never a crash,
// never "changed" or a ticket without the keys, and a server's reason that
// reaches the terminal as one line of printable UTF-8 within its room.
//
// An input is a change server's answer as it stands, or a KDC proxy's HTTP
// answer around one; or, after a letter that says whose answer it is (C a
// change server's, K a KDC's) and one that says how it came (t over TCP, u
// as a datagram, h from a KDC proxy), the bytes as the transport read them.
#include <sys/socket.h>
#include <unistd.h>

#include "fuzz/fuzz_input.h"
#include "platform/linux_kerberos.h"

// No blanks at either end or in a row, no control character (C0, DEL, C1).
static bool isCleanLine(const char *reason)
{
    size_t length = strlen(reason);
    if (length == 0 || length >= (size_t)kReasonBytes || reason[0] == ' ' ||
        reason[length - 1] == ' ' || strstr(reason, "  ") != NULL)
        return false;
    WCHAR units[kReasonBytes];
    if (DecodeUtf8(reason, units, kReasonBytes) < 0)
        return false;
    for (int i = 0; units[i] != 0; i++) {
        if (units[i] < 0x20 || (units[i] >= 0x7F && units[i] <= 0x9F))
            return false;
    }
    return true;
}

// libkrb5 reads a server's text safely only when it is Active Directory's
// policy block: anything else must never reach it.
static decltype(&krb5_chpw_message) chpwMessage;
static krb5_error_code policyBlockOnly(krb5_context context, const krb5_data *text, char **message)
{
    Require(text->length == 30 && text->data[0] == 0 && text->data[1] == 0);
    return chpwMessage(context, text, message);
}

// The message that the transport makes of the bytes, as they came: false
// when they are no whole answer.
static bool throughTransport(char how, const unsigned char *bytes, size_t size,
                             const unsigned char **message, size_t *length)
{
    if (how == 'h')
        return ReadProxyAnswer(bytes, size, message, length);
    static unsigned char room[kAnswerBytes];
    int pair[2];
    Require(socketpair(AF_UNIX, (how == 't' ? SOCK_STREAM : SOCK_DGRAM) | SOCK_NONBLOCK, 0,
                       pair) == 0);
    if (send(pair[1], bytes, size, 0) < 0 && how == 't')
        Require(size > 0x10000);
    close(pair[1]);
    Connection connection = {};
    connection.fd = pair[0];
    connection.transport = how == 't' ? kTcp : kUdp;
    connection.room = room;
    bool whole = AwaitAnswer(&connection, MonotonicMilliseconds(), message, length) == kAnswered;
    close(pair[0]);
    return whole;
}

// A KDC's answer to the first request of a ticket exchange for a password
// no input knows: it may ask for more, or refuse, but gives no ticket.
static void readKdcReply(krb5_context context, const unsigned char *reply, size_t length)
{
    krb5_principal client = NULL;
    krb5_init_creds_context exchange = NULL;
    Require(krb5_parse_name(context, "fuzz@FUZZ.TEST", &client) == 0 &&
            krb5_init_creds_init(context, client, NULL, NULL, 0, NULL, &exchange) == 0 &&
            krb5_init_creds_set_password(context, exchange, "Fuzz-pass-1") == 0);
    krb5_data in = {}, out = {}, realm = {};
    unsigned int flags = 0;
    Require(krb5_init_creds_step(context, exchange, &in, &out, &realm, &flags) == 0);
    krb5_free_data_contents(context, &out);
    krb5_free_data_contents(context, &realm);
    in.data = (char *)reply;
    in.length = (unsigned)length;
    flags = 0;
    krb5_error_code error = krb5_init_creds_step(context, exchange, &in, &out, &realm, &flags);
    Require(error != 0 || (flags & KRB5_INIT_CREDS_STEP_FLAG_CONTINUE) != 0);
    krb5_free_data_contents(context, &out);
    krb5_free_data_contents(context, &realm);
    krb5_init_creds_free(context, exchange);
    krb5_free_principal(context, client);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A request's keys, which no input can know: a reply that verifies
    // against them cannot be made up.
    static Kerberos k;
    static krb5_context context;
    static krb5_auth_context auth;
    if (context == NULL) {
        Require(LoadKerberos(&k) && krb5_init_context(&context) == 0);
        chpwMessage = k.krb5_chpw_message;
        k.krb5_chpw_message = policyBlockOnly;
        krb5_keyblock key;
        Require(krb5_c_make_random_key(context, ENCTYPE_AES256_CTS_HMAC_SHA1_96, &key) == 0);
        Require(krb5_auth_con_init(context, &auth) == 0);
        Require(krb5_auth_con_setuseruserkey(context, auth, &key) == 0);
        Require(krb5_auth_con_setsendsubkey(context, auth, &key) == 0);
        Require(krb5_auth_con_setflags(context, auth, KRB5_AUTH_CONTEXT_DO_SEQUENCE) == 0);
        krb5_free_keyblock_contents(context, &key);
    }
    static unsigned char reply[kAnswerBytes];
    if (size > sizeof reply)
        return 0;
    memcpy(reply, data, size);
    const unsigned char *message = reply;
    size_t length = size;
    bool tagged = size >= 2 && (reply[0] == 'C' || reply[0] == 'K') &&
                  (reply[1] == 't' || reply[1] == 'u' || reply[1] == 'h');
    // A KDC proxy's answer: HTTP around the envelope around the message.
    if (tagged && !throughTransport((char)reply[1], reply + 2, size - 2, &message, &length))
        return 0;
    if (!tagged && size >= 5 && memcmp(reply, "HTTP/", 5) == 0 &&
        !ReadProxyAnswer(reply, size, &message, &length))
        return 0;
    if (!tagged || reply[1] == 'h')
        Require(message >= reply && message + length <= reply + size);
    if (tagged && reply[0] == 'K') {
        readKdcReply(context, message, length);
        return 0;
    }
    Require(ReadChangeReply(&k, context, auth, message, length) != NERR_Success);
    // The fuzzer runs in the C locale: the line's lead is the English one.
    char line[kReasonLineBytes];
    Require(!GetServerReason(line) || (strncmp(line, "The server says: ", 17) == 0 &&
                                        isCleanLine(line + 17)));
    return 0;
}
