// One operator request from a shell script, as another uid: the real-sudo
// test's operator. Usage: approvald_operator SOCKET UID LINE
// Prints the daemon's answer line; exit 0 when one came.
#include <pwd.h>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "harness.h"

int main(int argc, char** argv) {
  using namespace kelvane::approvald_test;
  if (argc != 4) {
    std::fprintf(stderr, "usage: approvald_operator SOCKET UID LINE\n");
    return 2;
  }
  const uid_t uid = static_cast<uid_t>(std::strtoul(argv[2], nullptr, 10));
  std::optional<Account> as;
  if (uid != 0) {
    const passwd* entry = ::getpwuid(uid);
    if (entry == nullptr) return 2;
    as = Account{entry->pw_name, uid, entry->pw_gid};
  }
  const kelvane::FileDescriptor fd = connect_as(argv[1], as);
  if (!fd.is_open() || !send_all(fd.get(), std::string(argv[3]) + "\n")) return 1;
  std::string buffer;
  const auto line = read_line(fd.get(), buffer);
  if (!line) return 1;
  std::printf("%s\n", line->c_str());
  return 0;
}
