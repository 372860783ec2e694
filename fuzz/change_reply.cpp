// Any answer from a change server, direct or through a KDC proxy, through
// the framing and decoding up to libkrb5's checks: never a crash, never
// "changed" without the request's keys, and a server's reason that reaches
// the terminal as one line of printable UTF-8 within its room.
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
    static unsigned char reply[0x14000];
    if (size > sizeof reply)
        return 0;
    memcpy(reply, data, size);
    // A KDC proxy's answer: HTTP around the envelope around the message.
    const unsigned char *message = reply;
    size_t length = size;
    if (size >= 5 && memcmp(reply, "HTTP/", 5) == 0 &&
        !ReadProxyAnswer(reply, size, &message, &length))
        return 0;
    Require(message >= reply && length <= size - (size_t)(message - reply));
    Require(ReadChangeReply(&k, context, auth, message, length) != NERR_Success);
    char reason[kReasonBytes];
    Require(!GetServerReason(reason) || isCleanLine(reason));
    return 0;
}
