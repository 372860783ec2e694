/* Holds every packet that netfilter queues to it (queue 0) for a fixed time
 * before letting it go, so that loopback behaves like a slow link: what a
 * client sends at once arrives together, and what it sends after an answer
 * arrives a round trip later. This kernel has no netem.
 *
 *     delay MILLISECONDS     (prints "ready" once bound; runs until killed)
 */
#include <arpa/inet.h>
#include <errno.h>
#include <linux/netfilter.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#define HELD 4096

static struct {
    unsigned id;
    long long release;
} held[HELD];
static unsigned first, count;
static long long delay;

static long long now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static int take(struct nfq_q_handle *queue, struct nfgenmsg *message, struct nfq_data *packet,
                void *data)
{
    (void)message;
    (void)data;
    struct nfqnl_msg_packet_hdr *header = nfq_get_msg_packet_hdr(packet);
    if (header == NULL)
        return 0;
    unsigned id = ntohl(header->packet_id);
    if (count == HELD)
        return nfq_set_verdict(queue, id, NF_ACCEPT, 0, NULL);
    held[(first + count) % HELD].id = id;
    held[(first + count) % HELD].release = now() + delay;
    count++;
    return 0;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    delay = atoll(argv[1]);
    struct nfq_handle *handle = nfq_open();
    struct nfq_q_handle *queue = handle ? nfq_create_queue(handle, 0, take, NULL) : NULL;
    if (queue == NULL || nfq_set_mode(queue, NFQNL_COPY_META, 0) < 0) {
        perror("delay: nfqueue");
        return 1;
    }
    nfq_set_queue_maxlen(queue, HELD);
    printf("ready\n");
    fflush(stdout);
    int fd = nfq_fd(handle);
    char buffer[65536];
    for (;;) {
        while (count > 0 && held[first].release <= now()) {
            nfq_set_verdict(queue, held[first].id, NF_ACCEPT, 0, NULL);
            first = (first + 1) % HELD;
            count--;
        }
        long long wait = count > 0 ? held[first].release - now() : -1;
        struct pollfd ready = {fd, POLLIN, 0};
        if (poll(&ready, 1, wait < 0 ? -1 : (int)wait) <= 0)
            continue;
        int got = recv(fd, buffer, sizeof buffer, 0);
        if (got >= 0)
            nfq_handle_packet(handle, buffer, got);
        else if (errno != ENOBUFS && errno != EINTR)
            return 1;
    }
}
