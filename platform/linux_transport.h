// The ways a message reaches a server and its answer comes back: over TCP,
// as a UDP datagram (linux_transport.cpp), or as an HTTPS POST to a KDC
// proxy (linux_https.cpp, on top of TCP); and which of a list of servers,
// such as a realm's KDCs, a message goes to (linux_server_set.cpp, on top
// of both). What the bytes mean is not known here.
#ifndef CREDMEND_LINUX_TRANSPORT_H
#define CREDMEND_LINUX_TRANSPORT_H

#include <netinet/in.h>
#include <signal.h>
#include <stddef.h>
#include <sys/socket.h>

const int kHostBytes = 256;  // a DNS name and its terminator

// A KDC proxy, from its URL https://host[:port][/path], and the domain its
// messages are for.
struct Proxy {
    char host[kHostBytes];  // as the proxy's certificate must name it
    char path[kHostBytes];
    int port;
    const char *targetDomain;
};

// Servers by address, each once, with the transports they are listed for.
const int kMostServers = 16;
struct Server {
    struct sockaddr_storage address;
    socklen_t length;
    bool tcp, udp;
    bool tcpUnanswered;  // a connection was refused or not taken; the host may take UDP
    const Proxy *proxy;  // a KDC proxy there, reached over HTTPS only
};
struct ServerList {
    Server each[kMostServers];
    int count;
};

enum Transport { kTcp, kUdp };

// Room for a framed message of up to 64 KiB, or for an HTTPS POST or answer
// around one, with its envelope and HTTP.
const size_t kAnswerBytes = 0x14000;

// A connection to one server, and this end's address on it, which a
// message may have to name. Its owner gives it the room its answers are
// read into (kAnswerBytes), so that answers on two connections cannot mix.
struct Connection {
    int fd;  // -1 once closed
    Transport transport;
    struct sockaddr_storage local;
    Server *server;
    long long connectBy;  // while the connection is being made
    bool pending;
    const Proxy *proxy;  // through a KDC proxy: the TLS session on it
    void *tls;
    unsigned char *room;
    size_t received;  // of the answer under way, kept between waits
    bool ended;       // the server ended the connection, or its one answer
};

enum Reach {
    kReached,
    kNotReached,  // refused (which it notes), unreachable, not taken in time, no TLS
    kNotVerified  // a KDC proxy whose certificate does not verify
};

// Starts a connection to the server, to be taken within the time given;
// FinishConnection waits for it. OpenConnection does both. Unless reached,
// nothing can have reached the server.
void StartConnection(Server *server, Transport transport, int connectMilliseconds,
                     unsigned char *room, Connection *connection);
Reach FinishConnection(Connection *connection);
Reach OpenConnection(Server *server, Transport transport, int connectMilliseconds,
                     unsigned char *room, Connection *connection);
void CloseConnection(Connection *connection);

// How a wait for the answer to a message that left came out.
enum Exchange {
    kAnswered,         // an answer is in hand
    kNoAnswer,         // the connection ended, or its answer was not whole
    kNoAnswerInTime,   // none came by the time given; a later wait may see it
    kDatagramRefused   // the network said the datagram reached nothing that takes it
};

// The time of a clock that only goes forward, in milliseconds.
long long MonotonicMilliseconds(void);

// Sends the message once, framed as the transport frames it. False when no
// byte of it left: another server may be asked.
bool SendOnce(Connection *connection, const unsigned char *message, size_t length);

// Waits until answerBy (MonotonicMilliseconds) for the next answer on the
// connection: over TCP its 4 bytes of length and that many bytes, over UDP
// one datagram. A wait cut short by the time is taken up again by the next.
// A length that is no message's (0, or above 16 bits) comes as its 4 bytes
// alone. The answer stays valid until the next wait.
Exchange AwaitAnswer(Connection *connection, long long answerBy, const unsigned char **answer,
                     size_t *answerLength);

// The same through the server's KDC proxy (linux_https.cpp), over TLS on a
// TCP connection. The handshake ends within the time for a connection, and
// the proxy's certificate is checked against the anchors (libkrb5's
// http_anchors: FILE:, DIR:, ENV:) or, with none, the system's. Each message
// goes in one POST; where the proxy keeps the connection open, the next
// goes on it, else the answer ends the connection's use. An answer that is
// not the proxy's whole, well-formed answer with status 200 is none.
Reach OpenProxyConnection(Server *server, int connectMilliseconds, char *const *anchors,
                          unsigned char *room, Connection *connection);
bool SendThroughProxy(Connection *connection, const unsigned char *message, size_t length);
Exchange AwaitProxyAnswer(Connection *connection, long long answerBy,
                          const unsigned char **answer, size_t *answerLength);
// Open, and with no message waiting that was not asked for.
bool ProxyConnectionIsIdle(Connection *connection);
void CloseProxyConnection(Connection *connection);

// The message in a KDC proxy's HTTP answer: a status of 200, and a body that
// is exactly one KDC-PROXY-MESSAGE whose kerb-message holds one framed
// message. False when it is not that.
bool ReadProxyAnswer(const unsigned char *response, size_t length,
                     const unsigned char **message, size_t *messageLength);

// Messages to whichever of a list of servers answers (linux_server_set.cpp),
// as a realm's KDCs are asked: the one that answered last first, each of the others after a
// short wait for those before, every one asked listened to until one
// answers. A connection a server keeps open carries its next message too;
// where a message goes on a new TCP connection, a second one opens beside
// it for the next, as a server may end the first with its answer.
struct ServerSet {
    ServerList servers;
    Connection streams[kMostServers];  // TCP or HTTPS, fd -1 when none
    Connection spares[kMostServers];   // TCP, fd -1 when none
    int current;                       // the server that answered last
    char *const *anchors;              // for KDC proxies
    Reach worst;                       // kNotVerified once a proxy was not verified
};

// Takes the servers, and starts a TCP connection to the first that takes
// one, so that it is there when a message is ready.
void OpenServerSet(ServerSet *set, const ServerList *servers, char *const *anchors);
// Tells an answer that passes its server over as if none had come, as a
// KDC's that it cannot serve now.
typedef bool PassesOver(const void *with, const unsigned char *answer, size_t length);
// Sends the message until answerBy, as a datagram where it may go as one and
// no connection to the server is open, and gives the first answer that does
// not pass its server over; where none came, whether any server was reached
// at all. A server passed over is left at once for the next.
Exchange AskServerSet(ServerSet *set, const unsigned char *message, size_t length,
                      bool datagram, long long answerBy, PassesOver *passesOver,
                      const void *with, const unsigned char **answer, size_t *answerLength);
void CloseServerSet(ServerSet *set);
// Takes the set's connection to a KDC proxy out of it, where the proxy kept
// it open and the server is that proxy under the same name, so that its
// next message goes on it; its answers then go into the room given.
bool TakeProxyConnection(ServerSet *set, Server *server, unsigned char *room,
                         Connection *connection);

#endif
