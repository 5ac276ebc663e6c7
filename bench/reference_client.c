/* The floor for one approval run: the least a program can do and still make
 * the same exchange. It connects, sends one fixed request line (or, built as
 * read_and_send, the fixed members plus a context file's bytes unchanged),
 * gathers one reply line through an 8192-byte buffer, closes, and writes the
 * verdict line and the token. No JSON work, no option reading, no checks
 * beyond what the system calls need. Plain C on purpose, linked statically. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

static const char kMembers[] =
    "{\"id\":\"\",\"title\":\"Reboot\",\"detail\":\"Kernel update\",\"action\":\"admin_operation\","
    "\"requester\":\"cli\",\"sourceHost\":\"unknown\",\"targetHost\":\"web-03\"";

static int send_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t sent = send(fd, p, n, 0);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (sent == 0) return -1;
    p += sent;
    n -= (size_t)sent;
  }
  return 0;
}

static void write_all(int fd, const char* p, size_t n) {
  while (n > 0) {
    ssize_t w = write(fd, p, n);
    if (w <= 0) {
      if (w < 0 && errno == EINTR) continue;
      return;
    }
    p += w;
    n -= (size_t)w;
  }
}

#ifdef READ_AND_SEND
/* The request line: the fixed members, ,"context": and the file's bytes as
 * they are, then }\n. One buffer sized from the file. */
static char* build_request(const char* path, size_t* len) {
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return NULL;
  struct stat st;
  if (fstat(fd, &st) != 0) return NULL;
  const size_t head = sizeof kMembers - 1 + 11;
  size_t cap = head + (size_t)st.st_size + 3;
  char* buf = malloc(cap);
  if (!buf) return NULL;
  memcpy(buf, kMembers, sizeof kMembers - 1);
  memcpy(buf + sizeof kMembers - 1, ",\"context\":", 11);
  size_t n = head;
  for (;;) {
    if (n + 2 >= cap) {
      cap *= 2;
      buf = realloc(buf, cap);
      if (!buf) return NULL;
    }
    ssize_t r = read(fd, buf + n, cap - n - 2);
    if (r < 0) {
      if (errno == EINTR) continue;
      return NULL;
    }
    if (r == 0) break;
    n += (size_t)r;
  }
  close(fd);
  buf[n++] = '}';
  buf[n++] = '\n';
  *len = n;
  return buf;
}
#endif

int main(int argc, char** argv) {
  (void)argc;
  (void)argv;
  const char* path = getenv("KELVANE_OPERATOR_APPROVAL_SOCK");
  if (!path || !*path) path = "/tmp/kelvane-operator-approval.sock";

#ifdef READ_AND_SEND
  if (argc < 2) return 2;
  size_t request_len = 0;
  char* request = build_request(argv[1], &request_len);
  if (!request) return 2;
#else
  static const char kLine[] = "}\n";
  char request[sizeof kMembers - 1 + sizeof kLine - 1];
  memcpy(request, kMembers, sizeof kMembers - 1);
  memcpy(request + sizeof kMembers - 1, kLine, sizeof kLine - 1);
  const size_t request_len = sizeof request;
#endif

  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd < 0) return 3;
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof addr);
  addr.sun_family = AF_UNIX;
  size_t path_len = strlen(path);
  if (path_len >= sizeof addr.sun_path) return 3;
  memcpy(addr.sun_path, path, path_len);
  if (connect(fd, (const struct sockaddr*)&addr,
              (socklen_t)(offsetof(struct sockaddr_un, sun_path) + path_len + 1)) != 0)
    return 3;
  if (send_all(fd, request, request_len) != 0) return 3;

  /* One line: a short reply stays in the receive buffer; a long one is
   * gathered on the heap. */
  char buf[8192];
  char* line = buf;
  size_t len = 0;
  size_t cap = 0;
  for (;;) {
    ssize_t r = recv(fd, buf, sizeof buf, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return 3;
    }
    if (r == 0) break;
    const char* nl = memchr(buf, '\n', (size_t)r);
    size_t take = nl ? (size_t)(nl - buf) + 1 : (size_t)r;
    if (len == 0 && nl) {
      len = take;
      break;
    }
    if (len + take > cap) {
      cap = cap ? cap * 2 : 65536;
      while (cap < len + take) cap *= 2;
      char* grown = realloc(line == buf ? NULL : line, cap);
      if (!grown) return 3;
      line = grown;
    }
    memcpy(line + len, buf, take);
    len += take;
    if (nl) break;
  }
  close(fd);

  static const char kVerdict[] = "kelvane operator approval: APPROVED (ok)\n";
  write_all(2, kVerdict, sizeof kVerdict - 1);
  static const char kToken[] = "\"approvalToken\":\"";
  const char* t = memmem(line, len, kToken, sizeof kToken - 1);
  if (t) {
    t += sizeof kToken - 1;
    const char* end = memchr(t, '"', (size_t)(line + len - t));
    if (end) {
      char* out = (char*)end;
      *out = '\n';
      write_all(1, t, (size_t)(end - t) + 1);
    }
  }
  return 0;
}
