/* The durable, signing minimum for the approval service's figures with an
 * approve rule: the least a service can do and still keep what the daemon
 * keeps before it answers. One epoll loop; each turn it
 *   - reads the requests whose lines are in (each up to its line feed,
 *     the first 1 KB kept),
 *   - writes one row per request in one SQLite transaction (WAL,
 *     synchronous=FULL: the commit is on disk when COMMIT returns),
 *   - signs each approval's claims with Ed25519 (nettle, on this thread),
 *   - and only then answers each requester "approved" with its token.
 * No checks of who asks, no policy, no caps, no journal, no operators: what
 * the daemon does beyond this is what the ratio to it puts a price on.
 *
 *   durable_service --socket PATH --record PATH
 *
 * Prints "listening on PATH" once it accepts; stops on SIGTERM or SIGINT. */
#define _GNU_SOURCE
#include <errno.h>
#include <nettle/base64.h>
#include <nettle/eddsa.h>
#include <signal.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

enum { kKept = 1024, kBatch = 512 };

struct conn {
  int fd; /* -1 for the listener's entry */
  size_t len;
  int complete;
  char line[kKept];
};

static volatile sig_atomic_t g_stop;
static void on_signal(int sig) {
  (void)sig;
  g_stop = 1;
}

static int g_epoll;
static sqlite3* g_db;
static sqlite3_stmt* g_insert;
static uint8_t g_public[ED25519_KEY_SIZE], g_secret[ED25519_KEY_SIZE];
static uint64_t g_next_id = 1;

static void die(const char* what) {
  fprintf(stderr, "durable_service: %s: %s\n", what, strerror(errno));
  exit(1);
}

static void db_or_die(int rc, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    fprintf(stderr, "durable_service: %s: %s\n", what, sqlite3_errmsg(g_db));
    exit(1);
  }
}

static void exec_or_die(const char* sql) {
  db_or_die(sqlite3_exec(g_db, sql, NULL, NULL, NULL), sql);
}

static int listen_on(const char* path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) die("socket");
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  if (strlen(path) >= sizeof addr.sun_path) {
    fprintf(stderr, "durable_service: socket path too long: %s\n", path);
    exit(2);
  }
  strcpy(addr.sun_path, path);
  unlink(path);
  if (bind(fd, (struct sockaddr*)&addr, sizeof addr) != 0) die(path);
  chmod(path, 0666);
  if (listen(fd, 4096) != 0) die("listen");
  return fd;
}

static void open_record(const char* path) {
  if (sqlite3_open(path, &g_db) != SQLITE_OK) {
    fprintf(stderr, "durable_service: cannot open %s\n", path);
    exit(1);
  }
  exec_or_die("PRAGMA journal_mode=WAL");
  exec_or_die("PRAGMA synchronous=FULL");
  exec_or_die(
      "CREATE TABLE IF NOT EXISTS requests (id INTEGER PRIMARY KEY, line TEXT NOT NULL, "
      "state TEXT NOT NULL, decided_at INTEGER NOT NULL, token TEXT NOT NULL)");
  db_or_die(sqlite3_prepare_v2(g_db, "INSERT INTO requests VALUES (?, ?, 'approved', ?, ?)", -1,
                               &g_insert, NULL),
            "prepare");
}

/* The claims as the daemon's token carries them (id, digest, uid, user,
 * host, expiry), signed, then base64url: "claims.signature". */
static size_t make_token(uint64_t id, char* out, size_t cap) {
  char claims[512];
  const long expires = (long)time(NULL) + 300;
  int n = snprintf(claims, sizeof claims,
                   "{\"aud\":\"kelvane-approval\",\"digest\":\"sha256:0000000000000000000000000000"
                   "000000000000000000000000000000000000\",\"exp\":%ld,\"host\":\"bench\",\"id\":"
                   "\"%llu\",\"uid\":65534,\"user\":\"nobody\"}",
                   expires, (unsigned long long)id);
  uint8_t signature[ED25519_SIGNATURE_SIZE];
  ed25519_sha512_sign(g_public, g_secret, (size_t)n, (const uint8_t*)claims, signature);
  if (BASE64_ENCODE_RAW_LENGTH((size_t)n) + BASE64_ENCODE_RAW_LENGTH(sizeof signature) + 2 > cap)
    return 0;
  char* at = out;
  base64_encode_raw(at, (size_t)n, (const uint8_t*)claims);
  at += BASE64_ENCODE_RAW_LENGTH((size_t)n);
  *at++ = '.';
  base64_encode_raw(at, sizeof signature, signature);
  at += BASE64_ENCODE_RAW_LENGTH(sizeof signature);
  *at = 0;
  return (size_t)(at - out);
}

static void drop(struct conn* c) {
  close(c->fd);
  free(c);
}

/* A requester's bytes: the first kKept kept, complete at the line feed. */
static void requester_readable(struct conn* r, struct conn** ready, int* count) {
  char scratch[4096];
  for (;;) {
    ssize_t n = recv(r->fd, scratch, sizeof scratch, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN) return;
      epoll_ctl(g_epoll, EPOLL_CTL_DEL, r->fd, NULL);
      drop(r);
      return;
    }
    if (n == 0) {
      epoll_ctl(g_epoll, EPOLL_CTL_DEL, r->fd, NULL);
      drop(r);
      return;
    }
    const size_t room = kKept - 1 - r->len;
    const size_t take = (size_t)n < room ? (size_t)n : room;
    memcpy(r->line + r->len, scratch, take);
    r->len += take;
    if (memchr(scratch, '\n', (size_t)n)) {
      r->line[r->len] = 0;
      r->complete = 1;
      epoll_ctl(g_epoll, EPOLL_CTL_DEL, r->fd, NULL);
      ready[(*count)++] = r;
      return;
    }
  }
}

/* One turn's requests: rows and tokens, one commit, then the answers. */
static void decide(struct conn** ready, int count) {
  static char tokens[kBatch][512];
  if (count == 0) return;
  exec_or_die("BEGIN IMMEDIATE");
  const long now = (long)time(NULL);
  for (int i = 0; i < count; i++) {
    const uint64_t id = g_next_id++;
    if (make_token(id, tokens[i], sizeof tokens[i]) == 0) die("token");
    sqlite3_bind_int64(g_insert, 1, (sqlite3_int64)id);
    sqlite3_bind_text(g_insert, 2, ready[i]->line, (int)ready[i]->len, SQLITE_STATIC);
    sqlite3_bind_int64(g_insert, 3, now);
    sqlite3_bind_text(g_insert, 4, tokens[i], -1, SQLITE_STATIC);
    db_or_die(sqlite3_step(g_insert), "insert");
    sqlite3_reset(g_insert);
  }
  exec_or_die("COMMIT");
  for (int i = 0; i < count; i++) {
    char answer[768];
    const int n = snprintf(answer, sizeof answer,
                           "{\"verdict\":\"approved\",\"detail\":\"approved by the durable "
                           "minimum\",\"approvalToken\":\"%s\",\"tokenExpiresAt\":null}\n",
                           tokens[i]);
    (void)send(ready[i]->fd, answer, (size_t)n, MSG_NOSIGNAL | MSG_DONTWAIT);
    drop(ready[i]);
  }
}

static void accept_all(int listener) {
  for (;;) {
    int fd = accept4(listener, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      return;
    }
    struct conn* c = calloc(1, sizeof *c);
    if (!c) die("calloc");
    c->fd = fd;
    struct epoll_event ev = {.events = EPOLLIN, .data.ptr = c};
    if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, fd, &ev) != 0) die("epoll_ctl");
  }
}

int main(int argc, char** argv) {
  const char* socket_path = NULL;
  const char* record_path = NULL;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--socket") == 0)
      socket_path = argv[i + 1];
    else if (strcmp(argv[i], "--record") == 0)
      record_path = argv[i + 1];
  }
  if (!socket_path || !record_path || argc % 2 == 0) {
    fputs("usage: durable_service --socket PATH --record PATH\n", stderr);
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
  if (getrandom(g_secret, sizeof g_secret, 0) != (ssize_t)sizeof g_secret) die("getrandom");
  ed25519_sha512_public_key(g_public, g_secret);
  open_record(record_path);

  g_epoll = epoll_create1(EPOLL_CLOEXEC);
  if (g_epoll < 0) die("epoll_create1");
  const int listener = listen_on(socket_path);
  struct conn listener_entry = {.fd = -1};
  struct epoll_event ev = {.events = EPOLLIN, .data.ptr = &listener_entry};
  if (epoll_ctl(g_epoll, EPOLL_CTL_ADD, listener, &ev) != 0) die("epoll_ctl");
  printf("durable_service: listening on %s\n", socket_path);
  fflush(stdout);

  struct epoll_event evs[kBatch];
  struct conn* ready[kBatch];
  while (!g_stop) {
    int k = epoll_wait(g_epoll, evs, kBatch, -1);
    if (k < 0) {
      if (errno == EINTR) continue;
      die("epoll_wait");
    }
    int count = 0;
    for (int i = 0; i < k; i++) {
      struct conn* c = evs[i].data.ptr;
      if (c == &listener_entry)
        accept_all(listener);
      else
        requester_readable(c, ready, &count);
    }
    decide(ready, count);
  }
  sqlite3_finalize(g_insert);
  sqlite3_close(g_db);
  unlink(socket_path);
  return 0;
}
