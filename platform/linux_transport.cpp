// One message to one server over TCP or UDP, and its answer; and messages to
// whichever of a list of servers answers first.
#include "platform/linux_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// The message as it goes out: over TCP, 4 bytes of length come first, and a
// length above 16 bits is not taken.
static unsigned char outgoing[4 + 0xFFFF];

long long MonotonicMilliseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// A server that refused a connection, or never took it, may take UDP.
static void noteUnanswered(Connection *connection, int error)
{
    if ((error == ECONNREFUSED || error == ETIMEDOUT) && connection->transport == kTcp)
        connection->server->tcpUnanswered = true;
}

void StartConnection(Server *server, Transport transport, int connectMilliseconds,
                     unsigned char *room, Connection *connection)
{
    memset(connection, 0, sizeof *connection);
    connection->transport = transport;
    connection->server = server;
    connection->room = room;
    connection->connectBy = MonotonicMilliseconds() + connectMilliseconds;
    connection->pending = true;
    int type = transport == kUdp ? SOCK_DGRAM : SOCK_STREAM;
    connection->fd = socket(server->address.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (connection->fd >= 0 &&
        connect(connection->fd, (struct sockaddr *)&server->address, server->length) != 0 &&
        errno != EINPROGRESS) {
        noteUnanswered(connection, errno);
        CloseConnection(connection);
    }
}

// Waits until the socket is ready for the events, or until the time.
static bool awaitReady(int fd, short events, long long by)
{
    struct pollfd wait = {fd, events, 0};
    int ready;
    do {
        long long left = by - MonotonicMilliseconds();
        ready = poll(&wait, 1, left > 0 ? (int)left : 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
}

Reach FinishConnection(Connection *connection)
{
    if (connection->fd < 0)
        return kNotReached;
    if (!connection->pending)
        return kReached;
    int error = 0;
    socklen_t size = sizeof error, localLength = sizeof connection->local;
    if (!awaitReady(connection->fd, POLLOUT, connection->connectBy))
        error = ETIMEDOUT;
    else if (getsockopt(connection->fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        error = errno;
    if (error == 0 && (fcntl(connection->fd, F_SETFL, 0) != 0 ||
                       getsockname(connection->fd, (struct sockaddr *)&connection->local,
                                   &localLength) != 0))
        error = errno;
    if (error != 0) {
        noteUnanswered(connection, error);
        CloseConnection(connection);
        return kNotReached;
    }
    connection->pending = false;
    return kReached;
}

Reach OpenConnection(Server *server, Transport transport, int connectMilliseconds,
                     unsigned char *room, Connection *connection)
{
    StartConnection(server, transport, connectMilliseconds, room, connection);
    return FinishConnection(connection);
}

void CloseConnection(Connection *connection)
{
    if (connection->fd >= 0)
        close(connection->fd);
    connection->fd = -1;
}

// Writes the bytes; true once any of them has left.
static bool sendAll(int fd, const unsigned char *bytes, size_t length)
{
    size_t sent = 0;
    while (sent < length) {
        ssize_t result = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        sent += (size_t)result;
    }
    return sent > 0;
}

static unsigned get16(const unsigned char *bytes)
{
    return (unsigned)bytes[0] << 8 | bytes[1];
}

bool SendOnce(Connection *connection, const unsigned char *message, size_t length)
{
    size_t framing = connection->transport == kTcp ? 4 : 0;
    if (length > sizeof outgoing - framing)
        return false;
    memset(outgoing, 0, framing);
    if (framing > 0) {
        outgoing[2] = (unsigned char)(length >> 8);
        outgoing[3] = (unsigned char)length;
    }
    memcpy(outgoing + framing, message, length);
    bool left = sendAll(connection->fd, outgoing, framing + length);
    explicit_bzero(outgoing, framing + length);
    connection->received = 0;
    return left;
}

Exchange AwaitAnswer(Connection *connection, long long answerBy, const unsigned char **answer,
                     size_t *answerLength)
{
    bool tcp = connection->transport == kTcp;
    unsigned char *room = connection->room;
    size_t &received = connection->received;
    for (;;) {
        // Over TCP the length comes first, then the message it gives.
        size_t whole = received < 4 ? 4 : 4 + get16(room + 2);
        bool framed = received < 4 || (get16(room) == 0 && whole > 4);
        if (tcp && received >= 4 && (!framed || received == whole)) {
            *answer = framed ? room + 4 : room;
            *answerLength = framed ? whole - 4 : 4;
            received = 0;
            return kAnswered;
        }
        if (connection->ended)
            return kNoAnswer;
        if (!awaitReady(connection->fd, POLLIN, answerBy))
            return kNoAnswerInTime;
        ssize_t got = tcp ? recv(connection->fd, room + received, whole - received, 0)
                          : recv(connection->fd, room, kAnswerBytes, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (!tcp && got < 0 &&
            (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH))
            return kDatagramRefused;
        if (!tcp && got >= 0) {
            *answer = room;
            *answerLength = (size_t)got;
            return kAnswered;
        }
        if (got <= 0)
            connection->ended = true;
        else
            received += (size_t)got;
    }
}

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
    for (int i = 0; i < kMostServers; i++)
        set->streams[i].fd = -1;
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
    for (int i = 0; i < set->servers.count; i++)
        closeStream(&set->streams[i]);
}

// Open, and with nothing to read: a server that has closed it, or sent what
// was not asked for, carries nothing more on it.
static bool isOpen(Connection *stream)
{
    if (stream->fd < 0)
        return false;
    if (stream->pending)
        return awaitReady(stream->fd, POLLOUT, 0) && FinishConnection(stream) == kReached;
    if (!stream->ended && !awaitReady(stream->fd, POLLIN, 0))
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
    Connection *stream = &set->streams[index];
    bool open = isOpen(stream);
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
                      bool datagram, long long answerBy, const unsigned char **answer,
                      size_t *answerLength)
{
    int order[kMostServers], count = 0;
    for (int i = 0; i < set->servers.count; i++)
        order[count++] = (set->current + i) % set->servers.count;
    Attempt attempts[kMostServers];
    int asked = 0, outstanding = 0;
    long long passOverAt = 0;
    for (;;) {
        long long now = MonotonicMilliseconds();
        if (asked < count && (now >= passOverAt || outstanding == 0)) {
            if (askOne(set, order[asked], message, length, datagram, &attempts[outstanding])) {
                outstanding++;
                passOverAt = now + kPassOverMilliseconds;
            }
            asked++;
            continue;
        }
        if (outstanding == 0)
            return kNoAnswer;
        if (now >= answerBy)
            return kNoAnswerInTime;
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
            if (got == kAnswered) {
                set->current = attempt->server;
                for (int j = 0; j < outstanding; j++) {
                    if (attempts[j].connection == &datagrams[attempts[j].server])
                        CloseConnection(attempts[j].connection);
                }
                return kAnswered;
            }
            if (got == kNoAnswerInTime)
                continue;
            // Gone without an answer. A kept connection may have been closed
            // as the message went: the server is asked again on a new one.
            bool again = attempt->reused && attempt->connection->server->tcp;
            closeStream(attempt->connection);
            if (!again || !askOne(set, attempt->server, message, length, false, attempt))
                *attempt = attempts[--outstanding];
            break;
        }
    }
}
