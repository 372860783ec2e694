// One message to one server over TCP or UDP, and its answer.
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
