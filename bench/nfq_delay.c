// Holds every packet that netfilter queues to QUEUE for DELAY_MS, then lets
// it go, in the order the packets came: a fixed one-way delay for a link in
// a network namespace on a kernel without netem.
//   nfq_delay QUEUE DELAY_MS
// Only the verdict goes back, so the packets are never copied here (metadata
// only), and segmentation offload packets stay whole.
#include <arpa/inet.h>
#include <errno.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <time.h>

#define HELD 65536  // far more than 25 ms of a 20 Mbit/s link in packets

static struct {
  uint32_t id;
  int64_t due;
} held[HELD];
static unsigned head, tail;
static int64_t delay_ns;

static int64_t now_ns(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

static int queued(struct nfq_q_handle* q, struct nfgenmsg* msg, struct nfq_data* nfa, void* data) {
  (void)msg, (void)data;
  struct nfqnl_msg_packet_hdr* header = nfq_get_msg_packet_hdr(nfa);
  if (!header) return 0;
  uint32_t id = ntohl(header->packet_id);
  if (tail - head == HELD) return nfq_set_verdict(q, id, NF_ACCEPT, 0, NULL);  // never held back forever
  held[tail % HELD].id = id;
  held[tail % HELD].due = now_ns() + delay_ns;
  tail++;
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: nfq_delay QUEUE DELAY_MS\n");
    return 2;
  }
  delay_ns = (int64_t)(atof(argv[2]) * 1e6);
  struct nfq_handle* h = nfq_open();
  if (!h) return perror("nfq_open"), 1;
  struct nfq_q_handle* q = nfq_create_queue(h, (uint16_t)atoi(argv[1]), queued, NULL);
  if (!q) return perror("nfq_create_queue"), 1;
  if (nfq_set_mode(q, NFQNL_COPY_META, 0) < 0) return perror("nfq_set_mode"), 1;
  nfq_set_queue_maxlen(q, HELD);
  nfq_set_queue_flags(q, NFQA_CFG_F_GSO, NFQA_CFG_F_GSO);
  nfnl_rcvbufsiz(nfq_nfnlh(h), 8 << 20);
  int fd = nfq_fd(h);
  char buffer[65536];
  fprintf(stderr, "nfq_delay: holding queue %s for %s ms\n", argv[1], argv[2]);
  for (;;) {
    int64_t now = now_ns();
    while (head != tail && held[head % HELD].due <= now) nfq_set_verdict(q, held[head++ % HELD].id, NF_ACCEPT, 0, NULL);
    int wait_ms = head == tail ? 1000 : (int)((held[head % HELD].due - now + 999999) / 1000000);
    struct pollfd p = {fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) < 0 && errno != EINTR) return perror("poll"), 1;
    if (!(p.revents & POLLIN)) continue;
    int n = recv(fd, buffer, sizeof(buffer), MSG_DONTWAIT);
    if (n > 0) nfq_handle_packet(h, buffer, n);
    else if (n < 0 && errno == ENOBUFS) fprintf(stderr, "nfq_delay: the kernel dropped queued messages\n");
  }
}
