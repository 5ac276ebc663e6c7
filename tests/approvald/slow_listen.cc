// Preloaded into the daemon by a test: each listen() returns only after a
// pause, which holds open the moment between a socket's bind and what the
// daemon does to its file next, for the test to put a link in its place.
#include <dlfcn.h>
#include <sys/socket.h>
#include <unistd.h>

extern "C" int listen(int fd, int backlog) {
  using Listen = int (*)(int, int);
  static const auto real = reinterpret_cast<Listen>(::dlsym(RTLD_NEXT, "listen"));
  const int done = real(fd, backlog);
  ::usleep(200 * 1000);
  return done;
}
