// One message to one server over TCP or UDP, and its one answer.
#include "platform/linux_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

volatile sig_atomic_t gRequestLeft;

// The message as it goes out, and the answer as it comes in: over TCP, 4
// bytes of length come first, and a length above 16 bits is not taken.
static unsigned char outgoing[4 + 0xFFFF];
static unsigned char incoming[4 + 0xFFFF];

Reach OpenConnection(Server *server, Transport transport, int connectMilliseconds,
                     Connection *connection)
{
    int type = transport == kUdp ? SOCK_DGRAM : SOCK_STREAM;
    int fd = socket(server->address.ss_family, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return kNotReached;
    int error = 0;
    if (connect(fd, (struct sockaddr *)&server->address, server->length) != 0)
        error = errno;
    if (error == EINPROGRESS) {
        struct pollfd wait = {fd, POLLOUT, 0};
        int ready;
        while ((ready = poll(&wait, 1, connectMilliseconds)) < 0 && errno == EINTR) {
        }
        socklen_t size = sizeof error;
        if (ready <= 0)
            error = ETIMEDOUT;
        else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
            error = errno;
    }
    if ((error == ECONNREFUSED || error == ETIMEDOUT) && transport == kTcp)
        server->tcpUnanswered = true;
    socklen_t localLength = sizeof connection->local;
    if (error != 0 || fcntl(fd, F_SETFL, 0) != 0 ||
        getsockname(fd, (struct sockaddr *)&connection->local, &localLength) != 0) {
        close(fd);
        return kNotReached;
    }
    connection->fd = fd;
    connection->transport = transport;
    connection->proxy = NULL;
    connection->tls = NULL;
    connection->received = 0;
    connection->ended = false;
    return kReached;
}

void CloseConnection(Connection *connection)
{
    close(connection->fd);
    connection->fd = -1;
}

// Writes the bytes; true once any of them has left.
static bool sendAll(int fd, const unsigned char *bytes, size_t length)
{
    gRequestLeft = 1;
    size_t sent = 0;
    while (sent < length) {
        ssize_t result = send(fd, bytes + sent, length - sent, MSG_NOSIGNAL);
        if (result < 0 && errno == EINTR)
            continue;
        if (result <= 0)
            break;
        sent += (size_t)result;
    }
    gRequestLeft = sent > 0;
    return sent > 0;
}

long long MonotonicMilliseconds(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (long long)now.tv_sec * 1000 + now.tv_nsec / 1000000;
}

// Waits until the socket can be read, or until the time.
static bool awaitReadable(int fd, long long answerBy)
{
    struct pollfd wait = {fd, POLLIN, 0};
    int ready;
    do {
        long long left = answerBy - MonotonicMilliseconds();
        ready = poll(&wait, 1, left > 0 ? (int)left : 0);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
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
    size_t &received = connection->received;
    for (;;) {
        // Over TCP the length comes first, then the message it gives.
        size_t whole = received < 4 ? 4 : 4 + get16(incoming + 2);
        bool framed = received < 4 || (get16(incoming) == 0 && whole > 4);
        if (tcp && received >= 4 && (!framed || received == whole)) {
            *answer = framed ? incoming + 4 : incoming;
            *answerLength = framed ? whole - 4 : 4;
            received = 0;
            return kAnswered;
        }
        if (connection->ended)
            return kNoAnswer;
        if (!awaitReadable(connection->fd, answerBy))
            return kNoAnswerInTime;
        ssize_t got = tcp ? recv(connection->fd, incoming + received, whole - received, 0)
                          : recv(connection->fd, incoming, sizeof incoming, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (!tcp && got < 0 &&
            (errno == ECONNREFUSED || errno == EHOSTUNREACH || errno == ENETUNREACH))
            return kDatagramRefused;
        if (!tcp && got >= 0) {
            *answer = incoming;
            *answerLength = (size_t)got;
            return kAnswered;
        }
        if (got <= 0)
            connection->ended = true;
        else
            received += (size_t)got;
    }
}
