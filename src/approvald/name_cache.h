// User and group names, kept for a short while: a look-up may wait on the
// name service (LDAP, say), and each request and each operator's connection
// needs one. An entry is used for kLifetime after it was looked up; a reload
// (SIGHUP) forgets them all, so that a change to the user or group database
// counts at once when the administrator says so.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "roles.h"

namespace kelvane::approvald {

class NameCache {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kLifetime{30};

  using UserLookup = std::function<std::string(uid_t)>;
  using IdentityLookup = std::function<Identity(uid_t, gid_t)>;

  // The look-ups and the clock are the system's unless given (tests).
  NameCache(UserLookup user = nullptr, IdentityLookup identity = nullptr,
            std::function<Clock::time_point()> now = nullptr);

  // Without waiting, from any thread: the name of `uid` if a fresh one is
  // kept ("" is a name too: the uid has none).
  std::optional<std::string> kept_user_name(uid_t uid);
  // May wait (the lookup thread): the kept name, or a new look-up.
  std::string user_name(uid_t uid);
  // May wait: an operator's name and groups, kept or looked up.
  Identity identity(uid_t uid, gid_t gid);
  void clear();

 private:
  template <typename T>
  struct Entry {
    T value;
    Clock::time_point until;
  };

  static constexpr std::size_t kKeptBeforeSweep = 4096;
  void forget_expired();  // with mutex_ held

  UserLookup look_up_user_;
  IdentityLookup look_up_identity_;
  std::function<Clock::time_point()> now_;
  std::mutex mutex_;
  std::map<uid_t, Entry<std::string>> users_;
  std::map<std::pair<uid_t, gid_t>, Entry<Identity>> identities_;
};

}  // namespace kelvane::approvald
