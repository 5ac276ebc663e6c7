/* Load for an approval service: many requesters at once, and one scripted
 * operator that approves each request as it appears, over the operators'
 * protocol on one connection ({"op":"watch"}, then a vote for every pending
 * event). One thread, one epoll loop; plain C so that the generator costs
 * as little as it can next to what it measures.
 *
 *   load_generator hold N          --socket PATH [--as-user NAME]
 *   load_generator throughput C S  --socket PATH [--operator-socket PATH] [--as-user NAME]
 *   load_generator latency R S     --socket PATH [--operator-socket PATH] [--as-user NAME]
 *
 * hold: opens N connections, sends one request on each, prints "holding N"
 *   once all are sent, and keeps them open until its standard input ends or
 *   SIGTERM/SIGINT; then prints how many were answered meanwhile.
 * throughput: C requesters, each sending its next request as soon as the
 *   previous one is answered, for S seconds: decisions per second.
 * latency: a new request every 1/R seconds (open loop), for S seconds: the
 *   time from sending a request to reading its verdict, p50, p99, max; and
 *   (vote_*) from queueing the operator's vote to reading the verdict of the
 *   request it names (requestId), which with two services is the time from
 *   the deciding vote on one host to the verdict on the other.
 *
 * --socket may be given up to 256 times (requests go to each in turn, as
 * to the services of many hosts) and --operator-socket up to 16 times
 * (one operator on each; each votes on the requests whose id modulo the
 * number of operators is its place, so that every request gets one vote).
 * Without --operator-socket the service must answer by itself. --as-user
 * drops to that user (from root) after the operator has connected, so the
 * requests are not the operator's own, which the service would refuse.
 * Every result is one line of "name value" pairs on standard output. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

static const char kRequest[] =
    "{\"id\":\"\",\"title\":\"Bench\",\"detail\":\"load generator\",\"action\":\"admin_operation\","
    "\"requester\":\"bench\",\"sourceHost\":\"bench\",\"targetHost\":\"bench\",\"timeoutSecs\":"
    "3600}\n";

enum { kReplyCap = 1024, kOperatorCap = 1 << 20 };

/* One requester connection. */
struct requester {
  int fd;
  uint64_t sent_ns;
  size_t got;
  char reply[kReplyCap];
};

/* Verdict counts. */
struct tally {
  uint64_t approved, denied, refused, other, broken;
};

static volatile sig_atomic_t g_stop;
static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

static uint64_t now_ns(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
}

static void die(const char* what) {
  fprintf(stderr, "load_generator: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void usage(void) {
  fputs(
      "usage: load_generator hold N --socket PATH [--as-user NAME]\n"
      "       load_generator throughput CONCURRENT SECONDS --socket PATH [--operator-socket PATH] "
      "[--as-user NAME]\n"
      "       load_generator latency PER_SECOND SECONDS --socket PATH [--operator-socket PATH] "
      "[--as-user NAME]\n",
      stderr);
  exit(2);
}

static void raise_fd_limit(void) {
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

static void drop_to(const char* name) {
  struct passwd* pw = getpwnam(name);
  if (!pw) {
    fprintf(stderr, "load_generator: no user %s\n", name);
    exit(2);
  }
  if (setgroups(0, NULL) != 0 || setresgid(pw->pw_gid, pw->pw_gid, pw->pw_gid) != 0 ||
      setresuid(pw->pw_uid, pw->pw_uid, pw->pw_uid) != 0)
    die("dropping to the requesting user");
}

/* A blocking connect (a Unix-domain connect completes as soon as the
 * listener's backlog has room), then non-blocking for the loop. */
static int connect_to(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    fprintf(stderr, "load_generator: socket path too long: %s\n", path);
    exit(2);
  }
  strcpy(addr.sun_path, path);
  while (connect(fd, (struct sockaddr*)&addr, sizeof addr) != 0) {
    if (errno == EINTR) continue;
    if (errno == EAGAIN) {
      struct timespec pause = {0, 1000000};
      nanosleep(&pause, NULL);
      continue;
    }
    die(path);
  }
  return fd;
}

static void send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      die("send");
    }
    p += w;
    n -= (size_t)w;
  }
}

static void set_nonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) die("fcntl");
}

static void watch(int epoll, int fd, void* tag, uint32_t events) {
  struct epoll_event ev = {.events = events, .data.ptr = tag};
  if (epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0) die("epoll_ctl");
}

/* --- the requesters --------------------------------------------------------- */

enum { kMaxSockets = 256, kMaxOperators = 16 };
static const char* g_sockets[kMaxSockets];
static size_t g_socket_count, g_next_socket;

static void start_request(int epoll, const char* unused, struct requester* r) {
  (void)unused;
  r->fd = connect_to(g_sockets[g_next_socket++ % g_socket_count]);
  r->got = 0;
  r->sent_ns = now_ns();
  send_all(r->fd, kRequest, sizeof kRequest - 1);
  set_nonblocking(r->fd);
  watch(epoll, r->fd, r, EPOLLIN | EPOLLRDHUP);
}

static void count_verdict(struct tally* t, const char* line) {
  if (strstr(line, "\"verdict\":\"approved\""))
    t->approved++;
  else if (strstr(line, "\"verdict\":\"denied\""))
    t->denied++;
  else if (strstr(line, "\"verdict\":\"refused\""))
    t->refused++;
  else if (strstr(line, "\"verdict\":"))
    t->other++;
  else
    t->broken++;
}

/* Reads what is there; returns 1 when the connection is finished (a whole
 * line, or the service closed it), counting its verdict. */
static int read_reply(struct requester* r, struct tally* t) {
  for (;;) {
    ssize_t n = recv(r->fd, r->reply + r->got, kReplyCap - 1 - r->got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return 0;
      t->broken++;
      return 1;
    }
    if (n == 0) {
      r->reply[r->got] = 0;
      count_verdict(t, r->reply);
      return 1;
    }
    r->got += (size_t)n;
    r->reply[r->got] = 0;
    if (memchr(r->reply, '\n', r->got) || r->got == kReplyCap - 1) {
      count_verdict(t, r->reply);
      return 1;
    }
  }
}

static void finish(struct requester* r) {
  close(r->fd);
  r->fd = -1;
}

/* --- when each vote went out, by request id ---------------------------------- */

/* Open addressing on the decimal id; enough for every vote of a run. */
enum { kVoteSlots = 1 << 20 };
static uint64_t g_vote_id[kVoteSlots];
static uint64_t g_vote_ns[kVoteSlots];

static int parse_id(const char* p, size_t n, uint64_t* id) {
  uint64_t v = 0;
  if (n == 0 || n > 19) return 0;
  for (size_t i = 0; i < n; i++) {
    if (p[i] < '0' || p[i] > '9') return 0;
    v = v * 10 + (uint64_t)(p[i] - '0');
  }
  *id = v + 1; /* 0 marks a free slot */
  return 1;
}

static size_t vote_slot(uint64_t id) {
  size_t i = (size_t)((id * 0x9E3779B97F4A7C15u) >> 44) & (kVoteSlots - 1);
  while (g_vote_id[i] != 0 && g_vote_id[i] != id) i = (i + 1) & (kVoteSlots - 1);
  return i;
}

static void note_vote(const char* p, size_t n) {
  uint64_t id;
  if (!parse_id(p, n, &id)) return;
  size_t i = vote_slot(id);
  g_vote_id[i] = id;
  g_vote_ns[i] = now_ns();
}

/* The time since the vote on the request a verdict line names, or 0. */
static uint64_t since_vote(const char* line, uint64_t now) {
  static const char kKey[] = "\"requestId\":\"";
  const char* p = strstr(line, kKey);
  if (!p) return 0;
  p += sizeof kKey - 1;
  const char* end = strchr(p, '"');
  uint64_t id;
  if (!end || !parse_id(p, (size_t)(end - p), &id)) return 0;
  size_t i = vote_slot(id);
  if (g_vote_id[i] != id) return 0;
  return now - g_vote_ns[i];
}

/* --- the scripted operator -------------------------------------------------- */

struct operator_link {
  int fd;
  int epoll;
  char in[kOperatorCap];
  size_t in_len;
  char* out;
  size_t out_len, out_cap;
  int writing;
  uint64_t votes;
  unsigned place, of; /* votes on ids whose value modulo `of` is `place` */
};

static void flush_votes(struct operator_link* op) {
  while (op->out_len > 0) {
    ssize_t w = send(op->fd, op->out, op->out_len, MSG_NOSIGNAL);
    if (w < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      die("writing to the operators' socket");
    }
    memmove(op->out, op->out + w, op->out_len - (size_t)w);
    op->out_len -= (size_t)w;
  }
  int want = op->out_len > 0;
  if (want != op->writing) {
    struct epoll_event ev = {.events = EPOLLIN | (want ? EPOLLOUT : 0), .data.ptr = op};
    if (epoll_ctl(op->epoll, EPOLL_CTL_MOD, op->fd, &ev) != 0) die("epoll_ctl");
    op->writing = want;
  }
}

static void queue_vote(struct operator_link* op, const char* id, size_t id_len) {
  char line[256];
  int n = snprintf(line, sizeof line, "{\"op\":\"vote\",\"id\":\"%.*s\",\"approve\":true}\n",
                   (int)id_len, id);
  if (n <= 0 || (size_t)n >= sizeof line) return;
  if (op->out_len + (size_t)n > op->out_cap) {
    op->out_cap = (op->out_len + (size_t)n) * 2;
    op->out = realloc(op->out, op->out_cap);
    if (!op->out) die("realloc");
  }
  memcpy(op->out + op->out_len, line, (size_t)n);
  op->out_len += (size_t)n;
  op->votes++;
  note_vote(id, id_len);
}

/* A pending event carries the request, whose members come in byte order:
 * {"event":"pending","request":{"action":...,"id":"17",...}}. The requests
 * made here have no context, so the first "id" inside is the request's. */
static void operator_line(struct operator_link* op, const char* line, size_t len) {
  static const char kPending[] = "\"event\":\"pending\"";
  static const char kRequest[] = "\"request\":{";
  static const char kId[] = "\"id\":\"";
  if (!memmem(line, len, kPending, sizeof kPending - 1)) return;
  const char* request = memmem(line, len, kRequest, sizeof kRequest - 1);
  if (!request) return;
  const char* id = memmem(request, (size_t)(line + len - request), kId, sizeof kId - 1);
  if (!id) return;
  id += sizeof kId - 1;
  const char* end = memchr(id, '"', (size_t)(line + len - id));
  if (!end) return;
  if (op->of > 1 && strtoull(id, NULL, 10) % op->of != op->place) return;
  queue_vote(op, id, (size_t)(end - id));
}

static void operator_readable(struct operator_link* op) {
  for (;;) {
    ssize_t n = recv(op->fd, op->in + op->in_len, kOperatorCap - op->in_len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      die("reading the operators' socket");
    }
    if (n == 0) {
      fputs("load_generator: the service closed the operators' connection\n", stderr);
      exit(1);
    }
    op->in_len += (size_t)n;
    size_t start = 0;
    for (;;) {
      char* nl = memchr(op->in + start, '\n', op->in_len - start);
      if (!nl) break;
      operator_line(op, op->in + start, (size_t)(nl - (op->in + start)));
      start = (size_t)(nl - op->in) + 1;
    }
    memmove(op->in, op->in + start, op->in_len - start);
    op->in_len -= start;
    if (op->in_len == kOperatorCap) {
      fputs("load_generator: an operator line over 1 MiB\n", stderr);
      exit(1);
    }
  }
  flush_votes(op);
}

static struct operator_link* operator_connect(int epoll, const char* path) {
  struct operator_link* op = calloc(1, sizeof *op);
  if (!op) die("calloc");
  op->epoll = epoll;
  op->fd = connect_to(path);
  static const char kWatch[] = "{\"op\":\"watch\"}\n";
  send_all(op->fd, kWatch, sizeof kWatch - 1);
  set_nonblocking(op->fd);
  watch(epoll, op->fd, op, EPOLLIN);
  return op;
}

/* --- latencies ---------------------------------------------------------------- */

static int compare_u64(const void* a, const void* b) {
  uint64_t x = *(const uint64_t*)a, y = *(const uint64_t*)b;
  return x < y ? -1 : x > y;
}

static uint64_t percentile(const uint64_t* sorted, size_t n, double p) {
  if (n == 0) return 0;
  size_t i = (size_t)(p * (double)(n - 1) + 0.5);
  return sorted[i];
}

/* --- the modes ------------------------------------------------------------------ */

struct options {
  const char* socket;
  const char* operator_socket;
  const char* operator_sockets[kMaxOperators];
  unsigned operator_count;
  const char* as_user;
};

static void hold(const struct options* o, long n) {
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) die("epoll_create1");
  if (o->as_user) drop_to(o->as_user);
  struct requester* rs = calloc((size_t)n, sizeof *rs);
  if (!rs) die("calloc");
  for (long i = 0; i < n; i++) start_request(epoll, o->socket, &rs[i]);
  printf("holding %ld\n", n);
  fflush(stdout);
  /* Wait for standard input to end or a signal, counting early answers. */
  watch(epoll, 0, NULL, EPOLLIN);
  struct tally t = {0};
  struct epoll_event evs[256];
  while (!g_stop) {
    int k = epoll_wait(epoll, evs, 256, -1);
    if (k < 0) {
      if (errno == EINTR) continue;
      die("epoll_wait");
    }
    for (int i = 0; i < k; i++) {
      struct requester* r = evs[i].data.ptr;
      if (!r) {
        char sink[256];
        if (read(0, sink, sizeof sink) <= 0) g_stop = 1;
        continue;
      }
      if (r->fd >= 0 && read_reply(r, &t)) finish(r);
    }
  }
  printf("answered_while_held %llu approved %llu refused %llu other %llu\n",
         (unsigned long long)(t.approved + t.denied + t.refused + t.other + t.broken),
         (unsigned long long)t.approved, (unsigned long long)t.refused,
         (unsigned long long)(t.other + t.denied + t.broken));
}

/* throughput (rate == 0: closed loop with `count` requesters) and latency
 * (rate > 0: open loop, one request every 1/rate s). */
static void run_load(const struct options* o, long count, double rate, double seconds) {
  int epoll = epoll_create1(EPOLL_CLOEXEC);
  if (epoll < 0) die("epoll_create1");
  struct operator_link* ops[kMaxOperators];
  for (unsigned i = 0; i < o->operator_count; i++) {
    ops[i] = operator_connect(epoll, o->operator_sockets[i]);
    ops[i]->place = i;
    ops[i]->of = o->operator_count;
  }
  if (o->as_user) drop_to(o->as_user);

  /* Requester slots, reused. */
  size_t slots = rate > 0 ? (size_t)(rate * 10) + 64 : (size_t)count;
  struct requester* rs = calloc(slots, sizeof *rs);
  size_t* free_slots = calloc(slots, sizeof *free_slots);
  size_t free_count = 0;
  if (!rs || !free_slots) die("calloc");
  for (size_t i = slots; i > 0; i--) {
    rs[i - 1].fd = -1;
    free_slots[free_count++] = i - 1;
  }
  size_t lat_cap = 1 << 16, lat_n = 0;
  uint64_t* lat = malloc(lat_cap * sizeof *lat);
  uint64_t* from_vote = malloc(lat_cap * sizeof *from_vote);
  size_t from_vote_n = 0;
  if (!lat || !from_vote) die("malloc");

  int timer = -1;
  if (rate > 0) {
    timer = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (timer < 0) die("timerfd_create");
    uint64_t period = (uint64_t)(1e9 / rate);
    struct itimerspec every = {{(time_t)(period / 1000000000u), (long)(period % 1000000000u)},
                               {0, 1000}};
    if (timerfd_settime(timer, 0, &every, NULL) != 0) die("timerfd_settime");
    watch(epoll, timer, &timer, EPOLLIN);
  }

  struct tally t = {0};
  uint64_t begin = now_ns();
  uint64_t end = begin + (uint64_t)(seconds * 1e9);
  uint64_t missed = 0, in_flight = 0;
  if (rate == 0) {
    for (long i = 0; i < count; i++) {
      start_request(epoll, o->socket, &rs[free_slots[--free_count]]);
      in_flight++;
    }
  }
  struct epoll_event evs[512];
  while (!g_stop) {
    uint64_t now = now_ns();
    if (now >= end && (rate == 0 || in_flight == 0)) break;
    if (now >= end + 30000000000u) break; /* stragglers of the open loop */
    int k = epoll_wait(epoll, evs, 512, 100);
    if (k < 0) {
      if (errno == EINTR) continue;
      die("epoll_wait");
    }
    for (int i = 0; i < k; i++) {
      void* tag = evs[i].data.ptr;
      struct operator_link* from = NULL;
      for (unsigned j = 0; j < o->operator_count && !from; j++)
        if (tag == ops[j]) from = ops[j];
      if (from) {
        if (evs[i].events & EPOLLIN) operator_readable(from);
        if (evs[i].events & EPOLLOUT) flush_votes(from);
        continue;
      }
      if (tag == &timer) {
        uint64_t ticks = 0;
        if (read(timer, &ticks, sizeof ticks) != sizeof ticks) continue;
        for (uint64_t j = 0; j < ticks && now_ns() < end; j++) {
          if (free_count == 0) {
            missed++;
            continue;
          }
          start_request(epoll, o->socket, &rs[free_slots[--free_count]]);
          in_flight++;
        }
        continue;
      }
      struct requester* r = tag;
      if (r->fd < 0 || !read_reply(r, &t)) continue;
      uint64_t done_ns = now_ns();
      uint64_t took = done_ns - r->sent_ns;
      uint64_t after_vote = since_vote(r->reply, done_ns);
      finish(r);
      in_flight--;
      if (lat_n == lat_cap) {
        lat_cap *= 2;
        lat = realloc(lat, lat_cap * sizeof *lat);
        from_vote = realloc(from_vote, lat_cap * sizeof *from_vote);
        if (!lat || !from_vote) die("realloc");
      }
      lat[lat_n++] = took;
      if (after_vote) from_vote[from_vote_n++] = after_vote;
      size_t slot = (size_t)(r - rs);
      if (rate == 0 && now_ns() < end) {
        start_request(epoll, o->socket, r);
        in_flight++;
      } else {
        free_slots[free_count++] = slot;
      }
    }
  }
  double elapsed = (double)(now_ns() - begin) / 1e9;
  if (rate == 0) elapsed = seconds < elapsed ? elapsed : seconds;
  qsort(lat, lat_n, sizeof *lat, compare_u64);
  qsort(from_vote, from_vote_n, sizeof *from_vote, compare_u64);
  uint64_t decided = t.approved + t.denied + t.refused + t.other;
  uint64_t votes = 0;
  for (unsigned j = 0; j < o->operator_count; j++) votes += ops[j]->votes;
  printf(
      "decisions %llu seconds %.2f per_second %.0f approved %llu refused %llu other %llu broken "
      "%llu "
      "votes %llu missed_starts %llu p50_us %.0f p99_us %.0f max_us %.0f "
      "vote_p50_us %.0f vote_p99_us %.0f vote_max_us %.0f\n",
      (unsigned long long)decided, elapsed, (double)decided / elapsed,
      (unsigned long long)t.approved, (unsigned long long)t.refused,
      (unsigned long long)(t.other + t.denied), (unsigned long long)t.broken,
      (unsigned long long)votes, (unsigned long long)missed,
      (double)percentile(lat, lat_n, 0.50) / 1e3, (double)percentile(lat, lat_n, 0.99) / 1e3,
      lat_n ? (double)lat[lat_n - 1] / 1e3 : 0.0,
      (double)percentile(from_vote, from_vote_n, 0.50) / 1e3,
      (double)percentile(from_vote, from_vote_n, 0.99) / 1e3,
      from_vote_n ? (double)from_vote[from_vote_n - 1] / 1e3 : 0.0);
}

int main(int argc, char** argv) {
  if (argc < 3) usage();
  const char* mode = argv[1];
  int positional = strcmp(mode, "hold") == 0 ? 1 : 2;
  if (argc < 2 + positional) usage();
  struct options o = {0};
  for (int i = 2 + positional; i < argc; i++) {
    if (i + 1 >= argc) usage();
    if (strcmp(argv[i], "--socket") == 0) {
      if (g_socket_count == kMaxSockets) usage();
      o.socket = g_sockets[g_socket_count++] = argv[++i];
    } else if (strcmp(argv[i], "--operator-socket") == 0) {
      if (o.operator_count == kMaxOperators) usage();
      o.operator_socket = o.operator_sockets[o.operator_count++] = argv[++i];
    } else if (strcmp(argv[i], "--as-user") == 0)
      o.as_user = argv[++i];
    else
      usage();
  }
  if (!o.socket) usage();
  raise_fd_limit();
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  if (strcmp(mode, "hold") == 0) {
    long n = strtol(argv[2], NULL, 10);
    if (n <= 0) usage();
    hold(&o, n);
  } else if (strcmp(mode, "throughput") == 0) {
    long c = strtol(argv[2], NULL, 10);
    double s = strtod(argv[3], NULL);
    if (c <= 0 || s <= 0) usage();
    run_load(&o, c, 0, s);
  } else if (strcmp(mode, "latency") == 0) {
    double r = strtod(argv[2], NULL);
    double s = strtod(argv[3], NULL);
    if (r <= 0 || s <= 0) usage();
    run_load(&o, 0, r, s);
  } else {
    usage();
  }
  return 0;
}
