// Approval tokens in the fleet: each service signs with its own key and
// publishes its public keys, its revocations and its longest token lifetime
// in its own row of the database; every service writes every host's into
// its published files, so that `verify` on any host accepts a token from
// any of them, and a revocation made on any host is refused everywhere.
// The database tells every service when a row changes; a reconnect reads
// them all again (a notification is lost while the session is down).
#include <algorithm>
#include <ctime>
#include <unordered_map>
#include <unordered_set>

#include "daemon.h"

namespace kelvane::approvald {
namespace {

// A request's decision time in the database is the server's clock, or
// another host's, which may lag the signing host's: a revocation of a
// request found there is kept this much longer, so that it never ends
// before the token does.
constexpr std::uint64_t kClockSlackSecs = 300;

std::uint64_t now_seconds() {
  return static_cast<std::uint64_t>(std::max<std::time_t>(std::time(nullptr), 0));
}

}  // namespace

std::string Daemon::public_keys_text(const token::KeyState& state) const {
  std::vector<token::PublicKey> keys = token::published_keys(state);
  std::unordered_set<std::string> listed;
  for (const token::PublicKey& key : keys) listed.insert(key.kid);
  const std::uint64_t now = now_seconds();
  for (const fleet::HostKeys& host : fleet_keys_) {
    for (const token::PublicKey& key : host.keys) {
      if (key.retire_at && *key.retire_at <= now) continue;
      if (listed.insert(key.kid).second) keys.push_back(key);
    }
  }
  return token::write_public_keys(keys);
}

std::string Daemon::revocations_text() const {
  std::vector<token::Revocation> revoked = keys_->revoked;
  std::unordered_map<std::string, std::size_t> at;
  for (std::size_t i = 0; i < revoked.size(); ++i) at.emplace(revoked[i].request_id, i);
  const std::uint64_t now = now_seconds();
  for (const fleet::HostKeys& host : fleet_keys_) {
    for (const token::Revocation& revocation : host.revoked) {
      if (revocation.exp <= now) continue;
      const auto [found, added] = at.emplace(revocation.request_id, revoked.size());
      if (added) {
        revoked.push_back(revocation);
      } else {
        revoked[found->second].exp = std::max(revoked[found->second].exp, revocation.exp);
      }
    }
  }
  return token::write_revocations(revoked);
}

void Daemon::fleet_publish_keys() {
  if (!keys_) return;
  fleet_->submit([this, keys = token::published_keys(*keys_), revoked = keys_->revoked,
                  lifetime = keys_->longest_lifetime](fleet::FleetStore* store) {
    if (store == nullptr) return;  // published again on the reconnect
    auto published = store->publish_keys(keys, revoked, lifetime);
    auto hosts = published.ok()
                     ? store->host_keys()
                     : fleet::StoreResult<std::vector<fleet::HostKeys>>(fail(published.error()));
    mailbox_.post([this, hosts = std::move(hosts)]() mutable {
      if (!hosts.ok()) {
        journal_.note("cannot publish the token keys in the fleet's database: " +
                      hosts.error().message);
        return;
      }
      on_fleet_keys(std::move(hosts).value());
    });
  });
}

void Daemon::on_fleet_keys(std::vector<fleet::HostKeys> hosts) {
  if (!keys_) return;
  std::vector<fleet::HostKeys> others;
  for (fleet::HostKeys& host : hosts) {
    if (host.host_name == fleet_->host_name()) continue;
    if (host.error) {
      // Its tokens are refused here as of an unknown key; the other
      // hosts' still verify.
      journal_.note("the token keys host " + host.host_name +
                    " published do not read: " + *host.error);
      continue;
    }
    others.push_back(std::move(host));
  }
  fleet_keys_ = std::move(others);
  std::string keys_text = public_keys_text(*keys_);
  std::string revoked_text = revocations_text();
  if (keys_text == written_keys_ && revoked_text == written_revocations_) return;
  written_keys_ = keys_text;
  written_revocations_ = revoked_text;
  commits_->submit(
      [paths = key_paths_, keys_text = std::move(keys_text),
       revoked_text = std::move(revoked_text)](service::Store&) -> Result<void, std::string> {
        KOA_TRY_VOID(token::save_public_keys(paths, keys_text));
        return token::save_revocations(paths, revoked_text);
      },
      [this](const Result<void, std::string>& done) {
        if (done.ok()) return;
        written_keys_.clear();  // written again on the next change
        journal_.note("cannot write the fleet's published keys: " + done.error());
      });
}

void Daemon::fleet_revoke(Reply to, const service::OperatorRequest& request) {
  // Any host's approval may be revoked here: the database has them all.
  fleet_->submit([this, to, id = request.id](fleet::FleetStore* store) {
    auto found = store ? store->find(id)
                       : fleet::StoreResult<std::optional<fleet::HostedRequest>>(
                             fail(fleet::StoreError{fleet_->last_error(), false, true}));
    mailbox_.post([this, to, id, found = std::move(found)] {
      // Nothing is done for an operator that has gone meanwhile.
      if (operators_.count(to.operator_key) == 0) return;
      if (!found.ok()) {
        refuse(to, service::kOperatorRefused,
               "the fleet's database cannot be reached (" + found.error().message + ")");
      } else if (!found.value()) {
        refuse(to, service::kOperatorRefused, "there is no request " + id);
      } else {
        std::uint64_t lifetime = keys_->longest_lifetime;
        for (const fleet::HostKeys& host : fleet_keys_) {
          // Another host's setting, from the database: kept within range.
          if (host.host_name == found.value()->host_name)
            lifetime =
                std::max(lifetime, std::min(host.token_lifetime, service::kMaxTokenLifetimeSecs));
        }
        revoke_approved(to, found.value()->record, lifetime + kClockSlackSecs);
      }
    });
  });
}

}  // namespace kelvane::approvald
