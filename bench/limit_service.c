/* The limit for the approval service's figures: the least a service can do
 * and still make the same exchanges. It reads each request up to its line
 * feed without keeping or checking it, and
 *   - without --operator-socket, answers "approved" at once;
 *   - with it, gives the request a number, tells every watching operator
 *     ({"event":"pending","request":{"id":"N"}}), and answers when a vote for
 *     that number comes ({"op":"vote","id":"N",...}).
 * No record, no checks of who asks, no caps, no time limits: what the real
 * service does beyond this is what the figures put a price on.
 *
 *   limit_service --socket PATH [--operator-socket PATH]
 *
 * Prints "listening on PATH" once it accepts; stops on SIGTERM or SIGINT. */
#define _GNU_SOURCE
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static const char kApproved[] =
    "{\"verdict\":\"approved\",\"detail\":\"approved by the limit\",\"approvalToken\":\"0\","
    "\"tokenExpiresAt\":null}\n";

enum { kLineCap = 65536 };

enum kind { kRequestListener, kOperatorListener, kRequester, kOperator };

struct conn {
  enum kind kind;
  int fd;
  uint64_t id; /* requester: its number once its line is in, else 0 */
  size_t len;  /* operator: bytes in line */
  char* line;  /* operator: the line being read */
  struct conn* next_watcher;
};

static volatile sig_atomic_t g_stop;
static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

static int g_epoll;
static int g_hold; /* wait for votes */
static struct conn* g_watchers;
static struct conn* g_dead;
/* Waiting requesters by number; numbers are handed out in order. */
static struct conn** g_waiting;
static uint64_t g_waiting_cap, g_next_id = 1;

static void die(const char* what) {
  fprintf(stderr, "limit_service: %s: %s\n", what, strerror(errno));
  exit(1);
}

static int listen_on(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    fprintf(stderr, "limit_service: socket path too long: %s\n", path);
    exit(2);
  }
  strcpy(addr.sun_path, path);
  unlink(path);
  if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) die(path);
  chmod(path, 0666);
  if (listen(fd, 4096) != 0) die("listen");
  return fd;
}

static void add(struct conn* c) {
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
  if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, c->fd, &ev) != 0) die("epoll_ctl");
}

static void drop(struct conn* c) {
  if (c->kind == kRequester && c->id && c->id < g_waiting_cap) g_waiting[c->id] = NULL;
  if (c->kind == kOperator) {
    for (struct conn** w = &g_watchers; *w; w = &(*w)->next_watcher) {
      if (*w == c) {
        *w = c->next_watcher;
        break;
      }
    }
  }
  close(c->fd);
  c->fd = -1;
  /* Freed after the batch of events, which may still name it. */
  c->next_watcher = g_dead;
  g_dead = c;
}

/* Small lines to a peer that reads them at once; a peer that does not is
 * dropped rather than waited for. */
static int say(struct conn* c, const char* text, size_t n) {
  return send(c->fd, text, n, MSG_NOSIGNAL | MSG_DONTWAIT) == (ssize_t)n;
}

static void answer(struct conn* r) {
  say(r, kApproved, sizeof kApproved - 1);
  drop(r);
}

static void request_arrived(struct conn* r) {
  if (!g_hold) {
    answer(r);
    return;
  }
  r->id = g_next_id++;
  if (r->id >= g_waiting_cap) {
    uint64_t cap = g_waiting_cap ? g_waiting_cap * 2 : 4096;
    while (cap <= r->id) cap *= 2;
    g_waiting = realloc(g_waiting, cap * sizeof *g_waiting);
    if (!g_waiting) die("realloc");
    memset(g_waiting + g_waiting_cap, 0, (cap - g_waiting_cap) * sizeof *g_waiting);
    g_waiting_cap = cap;
  }
  g_waiting[r->id] = r;
  char event[96];
  int n = snprintf(event, sizeof event, "{\"event\":\"pending\",\"request\":{\"id\":\"%llu\"}}\n",
                   (unsigned long long)r->id);
  for (struct conn* w = g_watchers; w; w = w->next_watcher) say(w, event, (size_t)n);
}

/* A requester's bytes: only the line feed matters. */
static void requester_readable(struct conn* r) {
  char scratch[4096];
  for (;;) {
    ssize_t n = recv(r->fd, scratch, sizeof scratch, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      drop(r);
      return;
    }
    if (n == 0) { /* gone: withdrawn */
      drop(r);
      return;
    }
    if (r->id == 0 && memchr(scratch, '\n', (size_t)n)) {
      request_arrived(r);
      return;
    }
  }
}

static void operator_line(struct conn* op, const char* line) {
  static const char kOk[] = "{\"ok\":true}\n";
  if (strstr(line, "\"op\":\"watch\"")) {
    op->next_watcher = g_watchers;
    g_watchers = op;
    say(op, kOk, sizeof kOk - 1);
    return;
  }
  const char* id = strstr(line, "\"id\":\"");
  if (strstr(line, "\"op\":\"vote\"") && id) {
    uint64_t n = strtoull(id + 6, NULL, 10);
    static const char kVoted[] =
        "{\"ok\":true,\"state\":\"approved\",\"votes\":1,\"needed\":1,\"reply\":true}\n";
    static const char kGone[] =
        "{\"ok\":false,\"status\":1,\"error\":\"not pending\",\"reply\":true}\n";
    if (n && n < g_waiting_cap && g_waiting[n]) {
      answer(g_waiting[n]);
      say(op, kVoted, sizeof kVoted - 1);
    } else {
      say(op, kGone, sizeof kGone - 1);
    }
    return;
  }
  static const char kBad[] = "{\"ok\":false,\"status\":2,\"error\":\"not taken by the limit\"}\n";
  say(op, kBad, sizeof kBad - 1);
}

static void operator_readable(struct conn* op) {
  for (;;) {
    ssize_t n = recv(op->fd, op->line + op->len, kLineCap - 1 - op->len, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      drop(op);
      return;
    }
    if (n == 0) {
      drop(op);
      return;
    }
    op->len += (size_t)n;
    op->line[op->len] = 0;
    char* start = op->line;
    char* nl;
    while ((nl = strchr(start, '\n'))) {
      *nl = 0;
      operator_line(op, start);
      start = nl + 1;
    }
    op->len -= (size_t)(start - op->line);
    memmove(op->line, start, op->len);
    if (op->len == kLineCap - 1) {
      drop(op);
      return;
    }
  }
}

static void accept_all(struct conn* listener) {
  for (;;) {
    int fd = accept4(listener->fd, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return; /* EAGAIN, or out of descriptors until one closes */
    }
    struct conn* c = calloc(1, sizeof *c);
    if (!c) die("calloc");
    c->fd = fd;
    c->kind = listener->kind == kRequestListener ? kRequester : kOperator;
    if (c->kind == kOperator) {
      c->line = malloc(kLineCap);
      if (!c->line) die("malloc");
    }
    add(c);
  }
}

int main(int argc, char** argv) {
  const char* socket_path = NULL;
  const char* operator_path = NULL;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--socket") == 0)
      socket_path = argv[i + 1];
    else if (strcmp(argv[i], "--operator-socket") == 0)
      operator_path = argv[i + 1];
  }
  if (!socket_path || argc % 2 == 0) {
    fputs("usage: limit_service --socket PATH [--operator-socket PATH]\n", stderr);
    return 2;
  }
  struct rlimit lim;
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
  signal(SIGPIPE, SIG_IGN);
  struct sigaction sa;
  memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_signal;
  sigaction(SIGTERM, &sa, NULL);
  sigaction(SIGINT, &sa, NULL);

  g_epoll = epoll_create1(EPOLL_CLOEXEC);
  if (g_epoll < 0) die("epoll_create1");
  struct conn requests = {.kind = kRequestListener, .fd = listen_on(socket_path)};
  add(&requests);
  struct conn operators = {.kind = kOperatorListener, .fd = -1};
  if (operator_path) {
    g_hold = 1;
    operators.fd = listen_on(operator_path);
    add(&operators);
  }
  printf("limit_service: listening on %s\n", socket_path);
  fflush(stdout);

  struct epoll_event evs[512];
  while (!g_stop) {
    int k = epoll_wait(g_epoll, evs, 512, -1);
    if (k < 0) {
      if (errno == EINTR) continue;
      die("epoll_wait");
    }
    for (int i = 0; i < k; i++) {
      struct conn* c = evs[i].data.ptr;
      if (c->fd < 0) continue;
      switch (c->kind) {
        case kRequestListener:
        case kOperatorListener:
          accept_all(c);
          break;
        case kRequester:
          requester_readable(c);
          break;
        case kOperator:
          operator_readable(c);
          break;
      }
    }
    while (g_dead) {
      struct conn* c = g_dead;
      g_dead = c->next_watcher;
      free(c->line);
      free(c);
    }
  }
  unlink(socket_path);
  if (operator_path) unlink(operator_path);
  return 0;
}
