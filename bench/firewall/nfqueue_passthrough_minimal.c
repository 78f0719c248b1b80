/* The reference: a minimal passthrough written directly on libnetfilter_queue, with the
 * same queue set-up as the backend (copy 65535 bytes, fail-open, 4096 packets, 16 MiB
 * buffer) and the same verdict (accept with the packet's bytes). Same output protocol as
 * nfqueue_passthrough_backend. */
#include <arpa/inet.h>
#include <errno.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netlink.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>

static volatile sig_atomic_t stopping = 0;
static unsigned long long packets = 0;
static unsigned long long bytes = 0;

static void stop(int signal) {
    (void)signal;
    stopping = 1;
}

static int onPacket(struct nfq_q_handle* queue, struct nfgenmsg* message, struct nfq_data* packet, void* data) {
    (void)message;
    (void)data;
    struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(packet);
    unsigned char* payload = NULL;
    int length = nfq_get_payload(packet, &payload);
    if (header == NULL || length < 0) {
        return 0;
    }
    ++packets;
    bytes += (unsigned long long)length;
    return nfq_set_verdict(queue, ntohl(header->packet_id), NF_ACCEPT, (unsigned)length, payload);
}

int main(void) {
    struct sigaction action = {.sa_handler = stop}; /* no SA_RESTART: recv returns EINTR */
    if (sigaction(SIGTERM, &action, NULL) != 0 || sigaction(SIGINT, &action, NULL) != 0) {
        perror("sigaction");
        return 1;
    }

    struct nfq_handle* handle = nfq_open();
    struct nfq_q_handle* queue = handle ? nfq_create_queue(handle, 6715, onPacket, NULL) : NULL;
    if (queue == NULL || nfq_set_mode(queue, NFQNL_COPY_PACKET, 0xffff) < 0 ||
        nfq_set_queue_maxlen(queue, 4096) < 0 ||
        nfq_set_queue_flags(queue, NFQA_CFG_F_FAIL_OPEN | NFQA_CFG_F_GSO, NFQA_CFG_F_FAIL_OPEN) < 0) {
        fprintf(stderr, "nfqueue_passthrough_minimal: cannot open queue 6715: %s\n", strerror(errno));
        return 1;
    }
    nfnl_rcvbufsiz(nfq_nfnlh(handle), 16 * 1024 * 1024);
    int fd = nfq_fd(handle);
    int on = 1;
    setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof on);
    printf("ready\n");
    fflush(stdout);

    static char buffer[65535 + 8192];
    while (!stopping) {
        ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received < 0) {
            if (errno == EINTR || errno == ENOBUFS) {
                continue;
            }
            break;
        }
        nfq_handle_packet(handle, buffer, (int)received);
    }
    nfq_destroy_queue(queue);
    nfq_close(handle);
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    double cpu = (double)(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 (double)(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    printf("packets=%llu bytes=%llu cpu_seconds=%.3f\n", packets, bytes, cpu);
    return 0;
}
