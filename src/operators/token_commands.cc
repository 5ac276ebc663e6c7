#include "operators/token_commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "operators/signed_token.h"
#include "support/read_up_to.h"
#include "support/write_loop.h"
#include "token/token.h"
#include "token/token_with_votes.h"

namespace kelvane::operators {
namespace {

constexpr std::string_view kPrefix = "kelvane-operator-approvals: ";

int say(const Streams& streams, int fd, std::string_view text, int status) {
  if (io::write_fully(fd, text).ok()) return status;
  if (fd != streams.err)
    (void)io::write_fully(streams.err, std::string(kPrefix) + "cannot write the output\n");
  return status == kDone ? kRefused : status;
}

int refused(const Streams& streams, std::string_view line) {
  return say(streams, streams.err, std::string(kPrefix).append(line) + "\n", kRefused);
}

std::string public_keys_path(const Invocation& invocation) {
  return invocation.public_keys.value_or(std::string(kDefaultPublicKeysPath));
}

}  // namespace

Result<std::string, std::string> read_token_input(int fd, std::size_t limit) {
  auto read = read_up_to(fd, limit);
  if (!read.ok())
    return fail(std::string("cannot read standard input: ") + std::strerror(read.error()));
  std::string text = std::move(read).value();
  if (text.size() > limit) return fail(std::string("malformed: longer than any token"));
  if (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

int verify_command(const Invocation& invocation, const Streams& streams, std::uint64_t now) {
  std::string token = invocation.token.value_or("");
  if (token == "-") {
    // One line feed more than a token may hold, for the one that ends it.
    auto read = read_token_input(streams.in, token::kMaxTokenWithVotesBytes + 1);
    if (!read.ok()) return refused(streams, read.error());
    token = std::move(read).value();
  }
  auto files = token::load_published(public_keys_path(invocation));
  if (!files.ok()) return refused(streams, "cannot read the published keys: " + files.error());
  if (needs_vote_checks(invocation, token)) {
    auto line =
        verify_signed_token(invocation, token, files.value(), public_keys_path(invocation), now);
    if (!line.ok()) return refused(streams, line.error());
    return say(streams, streams.out, line.value(), kDone);
  }
  token::Expectations expected;
  expected.digest = invocation.digest;
  expected.target_host = invocation.target_host;
  expected.now = now;
  auto verified = token::verify_token(token, files.value().keys, files.value().revoked, expected);
  if (!verified.ok()) return refused(streams, verified.error().line);
  return say(streams, streams.out, token::write_claims(verified.value()) + "\n", kDone);
}

int public_key_command(const Invocation& invocation, const Streams& streams) {
  auto files = token::load_published(public_keys_path(invocation));
  if (!files.ok()) return refused(streams, "cannot read the published keys: " + files.error());
  return say(streams, streams.out, token::write_public_keys(files.value().keys), kDone);
}

}  // namespace kelvane::operators
