// Messages to whichever of a list of servers answers first, as a realm's
// KDCs are asked, over TCP, UDP or a KDC proxy's HTTPS.
#include "platform/linux_transport.h"

#include <poll.h>
#include <string.h>

// A server not answering within this is passed over for the next, as
// libkrb5 passes over a KDC; it is still listened to. A connection is taken
// within as long as the change server's.
static const int kPassOverMilliseconds = 1000;
static const int kSetConnectMilliseconds = 3000;

// The set's answers are read into one room, one answer at a time.
static unsigned char setRoom[kAnswerBytes];

void OpenServerSet(ServerSet *set, const ServerList *servers, char *const *anchors)
{
    set->servers = *servers;
    set->current = 0;
    set->anchors = anchors;
    set->worst = kNotReached;
    memset(set->streams, 0, sizeof set->streams);
    memset(set->spares, 0, sizeof set->spares);
    for (int i = 0; i < kMostServers; i++)
        set->streams[i].fd = set->spares[i].fd = -1;
}

static void closeStream(Connection *stream)
{
    if (stream->proxy != NULL)
        CloseProxyConnection(stream);
    else
        CloseConnection(stream);
}

void CloseServerSet(ServerSet *set)
{
    for (int i = 0; i < set->servers.count; i++) {
        closeStream(&set->streams[i]);
        CloseConnection(&set->spares[i]);
    }
}

static bool isReady(int fd, short events)
{
    struct pollfd ready = {fd, events, 0};
    return poll(&ready, 1, 0) > 0;
}

// Open, and with nothing to read: a server that has closed it, or sent what
// was not asked for, carries nothing more on it.
static bool isOpen(Connection *stream)
{
    if (stream->fd < 0)
        return false;
    if (stream->pending)
        return isReady(stream->fd, POLLOUT) && FinishConnection(stream) == kReached;
    bool idle = stream->proxy != NULL ? ProxyConnectionIsIdle(stream)
                                      : !isReady(stream->fd, POLLIN);
    if (!stream->ended && idle)
        return true;
    closeStream(stream);
    return false;
}

bool TakeProxyConnection(ServerSet *set, Server *server, unsigned char *room,
                         Connection *connection)
{
    for (int i = 0; i < set->servers.count; i++) {
        const Server *each = &set->servers.each[i];
        if (server->proxy == NULL || each->proxy == NULL || each->length != server->length ||
            memcmp(&each->address, &server->address, each->length) != 0 ||
            strcmp(each->proxy->host, server->proxy->host) != 0 || !isOpen(&set->streams[i]))
            continue;
        *connection = set->streams[i];
        connection->server = server;
        connection->proxy = server->proxy;
        connection->room = room;
        set->streams[i].fd = -1;
        set->streams[i].tls = NULL;
        return true;
    }
    return false;
}

// One server asked, on one connection: the message waits there while the
// connection is being made.
struct Attempt {
    Connection *connection;
    int server;
    bool queued;
    bool reused;  // the connection carried an answer before
};

static Connection datagrams[kMostServers];

// Starts asking one server. A TCP connection to it starts too, where none
// is there, so that it is open when the next message is ready. False when
// the server cannot be asked at all.
static bool askOne(ServerSet *set, int index, const unsigned char *message, size_t length,
                   bool datagram, Attempt *attempt)
{
    Server *server = &set->servers.each[index];
    Connection *stream = &set->streams[index], *spare = &set->spares[index];
    bool open = isOpen(stream);
    if (!open && stream->fd < 0 && spare->fd >= 0) {
        *stream = *spare;
        spare->fd = -1;
        open = isOpen(stream);
    }
    *attempt = {stream, index, false, open};
    if (server->proxy != NULL) {
        Reach reach = open ? kReached
                           : OpenProxyConnection(server, kSetConnectMilliseconds, set->anchors,
                                                 setRoom, stream);
        if (reach == kNotVerified)
            set->worst = kNotVerified;
        if (reach == kReached && SendThroughProxy(stream, message, length))
            return true;
        closeStream(stream);
        return false;
    }
    if (stream->fd < 0 && server->tcp)
        StartConnection(server, kTcp, kSetConnectMilliseconds, setRoom, stream);
    if (!open && datagram && server->udp) {
        attempt->connection = &datagrams[index];
        return OpenConnection(server, kUdp, 0, setRoom, attempt->connection) == kReached &&
               SendOnce(attempt->connection, message, length);
    }
    attempt->queued = !open;
    if (attempt->queued && stream->fd >= 0 && spare->fd < 0)
        StartConnection(server, kTcp, kSetConnectMilliseconds, setRoom, spare);
    return stream->fd >= 0 && (attempt->queued || SendOnce(stream, message, length));
}

// What came of one attempt that is ready, or has its answer under way.
static Exchange takeUp(Attempt *attempt, const unsigned char *message, size_t length,
                       const unsigned char **answer, size_t *answerLength)
{
    Connection *connection = attempt->connection;
    if (attempt->queued) {
        attempt->queued = false;
        return FinishConnection(connection) == kReached && SendOnce(connection, message, length)
                   ? kNoAnswerInTime
                   : kNoAnswer;
    }
    long long now = MonotonicMilliseconds();
    return connection->proxy != NULL ? AwaitProxyAnswer(connection, now + 1, answer, answerLength)
                                     : AwaitAnswer(connection, now, answer, answerLength);
}

Exchange AskServerSet(ServerSet *set, const unsigned char *message, size_t length,
                      bool datagram, long long answerBy, PassesOver *passesOver,
                      const void *with, const unsigned char **answer, size_t *answerLength)
{
    int order[kMostServers], count = 0;
    for (int i = 0; i < set->servers.count; i++)
        order[count++] = (set->current + i) % set->servers.count;
    Attempt attempts[kMostServers];
    int asked = 0, outstanding = 0;
    long long passOverAt = 0;
    Exchange result = kNoAnswerInTime;
    while (result == kNoAnswerInTime) {
        long long now = MonotonicMilliseconds();
        if (asked < count && (now >= passOverAt || outstanding == 0)) {
            if (askOne(set, order[asked], message, length, datagram, &attempts[outstanding])) {
                outstanding++;
                passOverAt = now + kPassOverMilliseconds;
            }
            asked++;
            continue;
        }
        if (outstanding == 0) {
            result = kNoAnswer;
            break;
        }
        if (now >= answerBy)
            break;
        // An answer under way is read to its end before any other.
        struct pollfd ready[kMostServers];
        int under = -1;
        for (int i = 0; i < outstanding; i++) {
            if (attempts[i].connection->received > 0)
                under = i;
            ready[i] = {attempts[i].connection->fd, (short)(attempts[i].queued ? POLLOUT : POLLIN),
                        0};
        }
        long long until = asked < count && passOverAt < answerBy ? passOverAt : answerBy;
        int waited = poll(under >= 0 ? &ready[under] : ready, under >= 0 ? 1 : outstanding,
                          until > now ? (int)(until - now) : 0);
        for (int i = 0; waited > 0 && i < outstanding; i++) {
            Attempt *attempt = &attempts[i];
            if (ready[i].revents == 0 || (under >= 0 && i != under))
                continue;
            Exchange got = takeUp(attempt, message, length, answer, answerLength);
            bool passed = got == kAnswered && passesOver(with, *answer, *answerLength);
            if (got == kAnswered && !passed) {
                set->current = attempt->server;
                result = kAnswered;
                break;
            }
            if (got == kNoAnswerInTime)
                continue;
            // Gone without an answer. A kept connection may have been closed
            // as the message went: the server is asked again on a new one.
            bool again = !passed && attempt->reused && attempt->connection->server->tcp;
            closeStream(attempt->connection);
            if (!again || !askOne(set, attempt->server, message, length, false, attempt))
                *attempt = attempts[--outstanding];
            if (passed)
                passOverAt = 0;
            break;
        }
    }
    // A datagram's socket is for one message: an answer that comes late must
    // not be taken for the next one's.
    for (int i = 0; i < outstanding; i++) {
        if (attempts[i].connection == &datagrams[attempts[i].server])
            CloseConnection(attempts[i].connection);
    }
    return result;
}
