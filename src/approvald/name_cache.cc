#include "name_cache.h"

#include "service/peer.h"

namespace kelvane::approvald {

NameCache::NameCache(UserLookup user, IdentityLookup identity,
                     std::function<Clock::time_point()> now)
    : look_up_user_(user ? std::move(user) : UserLookup(service::user_name_of)),
      look_up_identity_(identity ? std::move(identity) : IdentityLookup([](uid_t uid, gid_t gid) {
        return look_up_identity(uid, gid);
      })),
      now_(now ? std::move(now) : std::function<Clock::time_point()>(Clock::now)) {}

std::optional<std::string> NameCache::kept_user_name(uid_t uid) {
  const std::lock_guard lock(mutex_);
  const auto found = users_.find(uid);
  if (found == users_.end() || now_() >= found->second.until) return std::nullopt;
  return found->second.value;
}

std::string NameCache::user_name(uid_t uid) {
  if (auto kept = kept_user_name(uid)) return std::move(*kept);
  // Looked up without the lock: the loop may ask meanwhile.
  std::string name = look_up_user_(uid);
  const std::lock_guard lock(mutex_);
  forget_expired();
  users_[uid] = {name, now_() + kLifetime};
  return name;
}

Identity NameCache::identity(uid_t uid, gid_t gid) {
  {
    const std::lock_guard lock(mutex_);
    const auto found = identities_.find({uid, gid});
    if (found != identities_.end() && now_() < found->second.until) return found->second.value;
  }
  Identity identity = look_up_identity_(uid, gid);
  const std::lock_guard lock(mutex_);
  forget_expired();
  identities_[{uid, gid}] = {identity, now_() + kLifetime};
  users_[uid] = {identity.name, now_() + kLifetime};
  return identity;
}

// Only past a size: entries of uids that never come back go.
void NameCache::forget_expired() {
  if (users_.size() + identities_.size() < kKeptBeforeSweep) return;
  const Clock::time_point now = now_();
  std::erase_if(users_, [&](const auto& entry) { return entry.second.until <= now; });
  std::erase_if(identities_, [&](const auto& entry) { return entry.second.until <= now; });
}

void NameCache::clear() {
  const std::lock_guard lock(mutex_);
  users_.clear();
  identities_.clear();
}

}  // namespace kelvane::approvald
