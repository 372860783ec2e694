// The HTTPS transport: one message in one POST to a KDC proxy, as MS-KKDCP
// has it, over TLS from libssl, which is loaded only when a proxy is used.
// Read here are only the status line, the headers that give the body's
// length, and the one DER message of the body.
#include "platform/linux_transport.h"

#include <arpa/inet.h>
#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/time.h>

#define TLS_FUNCTIONS(X)                                                                      \
    X(TLS_client_method) X(SSL_CTX_new) X(SSL_CTX_free) X(SSL_CTX_ctrl) X(SSL_CTX_set_verify) \
    X(SSL_CTX_set_default_verify_paths) X(SSL_CTX_load_verify_locations) X(SSL_new)           \
    X(SSL_free) X(SSL_set_fd) X(SSL_ctrl) X(SSL_set1_host) X(SSL_get0_param)                   \
    X(X509_VERIFY_PARAM_set1_ip_asc) X(SSL_connect) X(SSL_get_verify_result) X(SSL_write)     \
    X(SSL_read) X(SSL_peek) X(SSL_get_error)

#define DECLARE_FUNCTION(name) decltype(&::name) name;
struct Tls {
    TLS_FUNCTIONS(DECLARE_FUNCTION)
};
#undef DECLARE_FUNCTION

static Tls tls;

static bool loadTls(void)
{
    static int loaded;  // 1 when loaded, -1 when libssl is not to be had
    if (loaded != 0)
        return loaded > 0;
    // OpenSSL 3, else 1.1 (RHEL 8, Debian 11, Ubuntu 20.04): every function
    // used here is in both, and checks a certificate alike.
    void *library = dlopen("libssl.so.3", RTLD_LAZY | RTLD_LOCAL);
    if (library == NULL)
        library = dlopen("libssl.so.1.1", RTLD_LAZY | RTLD_LOCAL);
    loaded = library != NULL ? 1 : -1;
#define LOAD_FUNCTION(name)                                                            \
    if (loaded > 0 && (tls.name = (decltype(tls.name))dlsym(library, #name)) == NULL) \
        loaded = -1;
    TLS_FUNCTIONS(LOAD_FUNCTION)
#undef LOAD_FUNCTION
    return loaded > 0;
}


// libkrb5's http_anchors: FILE: a file of PEM certificates, DIR: a folder of
// them, ENV: a variable that holds either (or another ENV:, not endlessly).
static bool loadAnchor(SSL_CTX *context, const char *anchor, int depth)
{
    if (strncmp(anchor, "FILE:", 5) == 0)
        return tls.SSL_CTX_load_verify_locations(context, anchor + 5, NULL) == 1;
    if (strncmp(anchor, "ENV:", 4) == 0) {
        const char *named = secure_getenv(anchor + 4);
        return named != NULL && depth < 4 && loadAnchor(context, named, depth + 1);
    }
    if (strncmp(anchor, "DIR:", 4) != 0)
        return false;
    DIR *folder = opendir(anchor + 4);
    bool any = false;
    for (struct dirent *entry; folder != NULL && (entry = readdir(folder)) != NULL;) {
        char path[4096];
        if (entry->d_name[0] != '.' &&
            snprintf(path, sizeof path, "%s/%s", anchor + 4, entry->d_name) < (int)sizeof path)
            any = tls.SSL_CTX_load_verify_locations(context, path, NULL) == 1 || any;
    }
    if (folder != NULL)
        closedir(folder);
    return any;
}

// The realm's anchors when it names any, else the system's trust store, as
// libkrb5 trusts a proxy.
static bool loadAnchors(SSL_CTX *context, char *const *anchors)
{
    if (anchors == NULL || anchors[0] == NULL)
        return tls.SSL_CTX_set_default_verify_paths(context) == 1;
    for (char *const *each = anchors; *each != NULL; each++) {
        if (!loadAnchor(context, *each, 0))
            return false;
    }
    return true;
}

// A write to a proxy that has gone must not end the process: SIGPIPE is
// ignored while TLS is in use.
static struct sigaction pipes;

static void setTimeout(int fd, int option, long long milliseconds)
{
    if (milliseconds < 1)
        milliseconds = 1;
    struct timeval wait = {(time_t)(milliseconds / 1000),
                           (suseconds_t)(milliseconds % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, option, &wait, sizeof wait);
}

// The name or address the proxy's certificate must show, and the name it
// is asked for.
static bool nameTheProxy(SSL *ssl, const char *host)
{
    unsigned char address[16];
    if (inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1)
        return tls.X509_VERIFY_PARAM_set1_ip_asc(tls.SSL_get0_param(ssl), host) == 1;
    return tls.SSL_ctrl(ssl, SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name,
                        (void *)host) == 1 &&
           tls.SSL_set1_host(ssl, host) == 1;
}

static Reach startTls(Connection *connection, char *const *anchors, int waitMilliseconds)
{
    if (!loadTls())
        return kNotReached;
    SSL_CTX *context = tls.SSL_CTX_new(tls.TLS_client_method());
    if (context == NULL)
        return kNotReached;
    bool anchored = loadAnchors(context, anchors);
    tls.SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, NULL);
    tls.SSL_CTX_ctrl(context, SSL_CTRL_MODE, SSL_MODE_ENABLE_PARTIAL_WRITE, NULL);
    tls.SSL_CTX_set_verify(context, SSL_VERIFY_PEER, NULL);
    SSL *ssl = tls.SSL_new(context);
    tls.SSL_CTX_free(context);
    if (ssl == NULL)
        return kNotReached;
    struct sigaction ignore;
    memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &pipes);
    connection->tls = ssl;
    if (!anchored)
        return kNotVerified;
    if (tls.SSL_set_fd(ssl, connection->fd) != 1 || !nameTheProxy(ssl, connection->proxy->host))
        return kNotReached;
    // The handshake ends within the wait for a connection, or not at all.
    setTimeout(connection->fd, SO_RCVTIMEO, waitMilliseconds);
    setTimeout(connection->fd, SO_SNDTIMEO, waitMilliseconds);
    if (tls.SSL_connect(ssl) == 1)
        return kReached;
    return tls.SSL_get_verify_result(ssl) != X509_V_OK ? kNotVerified : kNotReached;
}

Reach OpenProxyConnection(Server *server, int connectMilliseconds, char *const *anchors,
                          unsigned char *room, Connection *connection)
{
    Reach reach = OpenConnection(server, kTcp, connectMilliseconds, room, connection);
    if (reach != kReached)
        return reach;
    connection->proxy = server->proxy;
    reach = startTls(connection, anchors, connectMilliseconds);
    if (reach != kReached)
        CloseProxyConnection(connection);
    return reach;
}

bool ProxyConnectionIsIdle(Connection *connection)
{
    // What TLS sends of its own, such as session tickets, is read here too.
    char byte;
    setTimeout(connection->fd, SO_RCVTIMEO, 1);
    int got = tls.SSL_peek((SSL *)connection->tls, &byte, 1);
    return got <= 0 && tls.SSL_get_error((SSL *)connection->tls, got) == SSL_ERROR_WANT_READ;
}

void CloseProxyConnection(Connection *connection)
{
    if (connection->tls != NULL) {
        tls.SSL_free((SSL *)connection->tls);
        connection->tls = NULL;
        sigaction(SIGPIPE, &pipes, NULL);
    }
    CloseConnection(connection);
}

// A DER tag and length; lengths above 16 MiB are not written.
static unsigned char *putTag(unsigned char *at, unsigned tag, size_t length)
{
    *at++ = (unsigned char)tag;
    int bytes = length < 0x80 ? 0 : length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : 3;
    if (bytes > 0)
        *at++ = (unsigned char)(0x80 | bytes);
    for (int i = bytes > 0 ? bytes - 1 : 0; i >= 0; i--)
        *at++ = (unsigned char)(length >> (8 * i));
    return at;
}

// The size of a DER element with contents of this length.
static size_t derSize(size_t length)
{
    return 2 + (length < 0x80 ? 0 : length <= 0xFF ? 1 : length <= 0xFFFF ? 2 : 3) + length;
}

// The POST, in the connection's room, which the answer then takes: its
// headers, then a KDC-PROXY-MESSAGE whose kerb-message holds the message
// framed as over TCP, and whose target-domain names its domain. The
// connection is asked to stay open, as HTTP/1.0 asks it, so that no
// answer comes in chunks. Its length; 0 when it does not fit.
static size_t makePost(const Proxy *proxy, const unsigned char *message, size_t length,
                       unsigned char *https)
{
    size_t domain = strlen(proxy->targetDomain);
    size_t framed = 4 + length;
    size_t fields = derSize(derSize(framed)) + derSize(derSize(domain));
    char host[kHostBytes + 8];
    bool six = strchr(proxy->host, ':') != NULL;
    int hostLength = proxy->port == 443
                         ? snprintf(host, sizeof host, six ? "[%s]" : "%s", proxy->host)
                         : snprintf(host, sizeof host, six ? "[%s]:%d" : "%s:%d", proxy->host,
                                    proxy->port);
    int head = snprintf((char *)https, kAnswerBytes,
                        "POST /%s HTTP/1.0\r\nHost: %s\r\nContent-Type: application/kerberos\r\n"
                        "Content-Length: %zu\r\nCache-Control: no-cache\r\n"
                        "Pragma: no-cache\r\nConnection: keep-alive\r\n\r\n",
                        proxy->path, host, derSize(fields));
    if (length > 0xFFFF || hostLength >= (int)sizeof host || head < 0 ||
        head + derSize(fields) > kAnswerBytes)
        return 0;
    unsigned char *at = putTag(https + head, 0x30, fields);
    at = putTag(putTag(at, 0xA0, derSize(framed)), 0x04, framed);
    const unsigned char frame[4] = {0, 0, (unsigned char)(length >> 8), (unsigned char)length};
    memcpy(at, frame, 4);
    memcpy(at + 4, message, length);
    at = putTag(putTag(at + framed, 0xA1, derSize(domain)), 0x1B, domain);
    memcpy(at, proxy->targetDomain, domain);
    return at + domain - https;
}

// Writes the POST; true once any of it has left, whole records only.
static bool writeAll(SSL *ssl, const unsigned char *https, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        int wrote = tls.SSL_write(ssl, https + sent, (int)(length - sent));
        if (wrote <= 0)
            break;
        sent += (size_t)wrote;
    }
    return sent > 0;
}

// The headers of an HTTP answer: its status, where its body starts, the
// body's declared length (-1: to the end), and whether the connection stays
// open after it. The status is 0 when the headers are not all in yet, -1
// when they are not HTTP's, or say of the body what is not read here.
static int readHeaders(const unsigned char *response, size_t length, size_t *bodyAt,
                       long *declared, bool *keepAlive)
{
    const char *text = (const char *)response;
    const char *end = (const char *)memmem(text, length, "\r\n\r\n", 4);
    if (end == NULL)
        return 0;
    *bodyAt = (size_t)(end + 4 - text);
    *declared = -1;
    *keepAlive = false;
    if (*bodyAt < 14 || memcmp(text, "HTTP/1.", 7) != 0 || !isdigit((unsigned char)text[7]) ||
        text[8] != ' ' || !isdigit((unsigned char)text[9]) || !isdigit((unsigned char)text[10]) ||
        !isdigit((unsigned char)text[11]) || (text[12] != ' ' && text[12] != '\r'))
        return -1;
    for (const char *line = (const char *)memmem(text, *bodyAt, "\r\n", 2); line + 2 < end;
         line = (const char *)memmem(line + 2, end + 2 - (line + 2), "\r\n", 2)) {
        const char *field = line + 2;
        if (strncasecmp(field, "Transfer-Encoding:", 18) == 0)
            return -1;
        if (strncasecmp(field, "Connection:", 11) == 0) {
            const char *value = field + 11 + strspn(field + 11, " \t");
            *keepAlive = strncasecmp(value, "keep-alive", 10) == 0;
        }
        if (strncasecmp(field, "Content-Length:", 15) != 0)
            continue;
        const char *digits = field + 15;
        while (*digits == ' ' || *digits == '\t')
            digits++;
        char *after;
        *declared = isdigit((unsigned char)*digits) ? strtol(digits, &after, 10) : -1;
        if (*declared < 0 || *declared > (long)kAnswerBytes || (*after != '\r' && *after != ' '))
            return -1;
    }
    return atoi(text + 9);
}

// One DER element with the tag at *at, before end: its contents, and *at
// moved past it. False when it is not there whole.
static bool readElement(const unsigned char **at, const unsigned char *end, unsigned tag,
                        const unsigned char **contents, size_t *length)
{
    const unsigned char *p = *at;
    if (end - p < 2 || p[0] != tag)
        return false;
    size_t size = p[1];
    p += 2;
    if (size >= 0x80) {
        size_t bytes = size & 0x7F;
        if (bytes == 0 || bytes > 3 || (size_t)(end - p) < bytes)
            return false;
        size = 0;
        while (bytes-- > 0)
            size = size << 8 | *p++;
    }
    if ((size_t)(end - p) < size)
        return false;
    *contents = p;
    *length = size;
    *at = p + size;
    return true;
}

bool ReadProxyAnswer(const unsigned char *response, size_t length,
                     const unsigned char **message, size_t *messageLength)
{
    size_t bodyAt = 0;
    long declared = -1;
    bool keepAlive;
    if (readHeaders(response, length, &bodyAt, &declared, &keepAlive) != 200 ||
        (declared >= 0 && (size_t)declared != length - bodyAt))
        return false;
    const unsigned char *at = response + bodyAt, *end = response + length;
    const unsigned char *fields, *field, *kerb;
    size_t fieldsLength, fieldLength, kerbLength;
    if (!readElement(&at, end, 0x30, &fields, &fieldsLength) || at != end)
        return false;
    at = fields;
    if (!readElement(&at, fields + fieldsLength, 0xA0, &field, &fieldLength))
        return false;
    at = field;
    if (!readElement(&at, field + fieldLength, 0x04, &kerb, &kerbLength) ||
        at != field + fieldLength)
        return false;
    // Framed as over TCP: 4 bytes of length, of which the first two are 0.
    if (kerbLength <= 4 || kerb[0] != 0 || kerb[1] != 0 ||
        ((size_t)kerb[2] << 8 | kerb[3]) != kerbLength - 4)
        return false;
    *message = kerb + 4;
    *messageLength = kerbLength - 4;
    return true;
}

// Reads the answer until the proxy ends it, its declared length is in, the
// room is full or the time is up; what came before a wait the time cut short
// is kept with the connection. Whether the proxy keeps the connection open
// for another message.
static Exchange readAnswer(Connection *connection, long long answerBy, bool *keepAlive)
{
    SSL *ssl = (SSL *)connection->tls;
    size_t &length = connection->received;
    *keepAlive = false;
    while (length < kAnswerBytes) {
        size_t bodyAt;
        long declared;
        int status = readHeaders(connection->room, length, &bodyAt, &declared, keepAlive);
        if (status < 0)
            return kAnswered;
        if (status != 0 && declared >= 0 && length >= bodyAt + declared)
            return kAnswered;
        long long left = answerBy - MonotonicMilliseconds();
        if (left <= 0)
            return kNoAnswerInTime;
        setTimeout(connection->fd, SO_RCVTIMEO, left);
        int got = tls.SSL_read(ssl, connection->room + length, (int)(kAnswerBytes - length));
        if (got > 0) {
            length += (size_t)got;
            continue;
        }
        int why = tls.SSL_get_error(ssl, got);
        if (why != SSL_ERROR_WANT_READ && why != SSL_ERROR_WANT_WRITE) {
            *keepAlive = false;
            return kAnswered;
        }
    }
    *keepAlive = false;
    return kNoAnswer;
}

bool SendThroughProxy(Connection *connection, const unsigned char *message, size_t length)
{
    size_t post = makePost(connection->proxy, message, length, connection->room);
    bool left = post > 0 && writeAll((SSL *)connection->tls, connection->room, post);
    explicit_bzero(connection->room, post);
    connection->received = 0;
    return left;
}

Exchange AwaitProxyAnswer(Connection *connection, long long answerBy,
                          const unsigned char **answer, size_t *answerLength)
{
    if (connection->ended)
        return kNoAnswer;
    bool keepAlive;
    Exchange exchange = readAnswer(connection, answerBy, &keepAlive);
    if (exchange == kNoAnswerInTime)
        return exchange;
    if (exchange != kAnswered ||
        !ReadProxyAnswer(connection->room, connection->received, answer, answerLength))
        exchange = kNoAnswer;
    connection->ended = exchange != kAnswered || !keepAlive;
    return exchange;
}
