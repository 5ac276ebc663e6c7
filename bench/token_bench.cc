// Approval tokens: signing one (what the daemon does on its loop for each
// approval) and verifying one (what verify and verify_token do), for a
// token of a typical request.
#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <ctime>
#include <fstream>

#include "token/token.h"

namespace {

using namespace kelvane;

const token::SigningKey& key() {
  static const token::SigningKey k = [] {
    std::array<std::uint8_t, token::kKeyBytes> secret{};
    secret.fill(3);
    return token::SigningKey::from_secret(secret);
  }();
  return k;
}

token::Claims typical() {
  token::Claims c;
  c.request_id = "357696971038785538";
  c.operation_digest = "sha256:9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08";
  c.uid = 1000;
  c.user = "alice";
  c.target_host = "web-03.example.org";
  c.action = "sudo";
  c.approvers = {"bob"};
  c.iat = 1'800'000'000;
  c.exp = c.iat + 600;
  c.kid = key().kid();
  return c;
}

void BM_Sign(benchmark::State& state) {
  const token::Claims c = typical();
  for (auto _ : state) benchmark::DoNotOptimize(token::sign_token(c, key()));
}
BENCHMARK(BM_Sign);

void BM_Verify(benchmark::State& state) {
  const std::string text = token::sign_token(typical(), key());
  const token::PublicKey keys[] = {{key().kid(), key().public_key(), std::nullopt}};
  token::Expectations expected;
  expected.target_host = "web-03.example.org";
  expected.now = 1'800'000'001;
  for (auto _ : state) benchmark::DoNotOptimize(token::verify_token(text, keys, {}, expected));
}
BENCHMARK(BM_Verify);

// --publish DIR: the published files and a token good for a day, for
// timing verify as a whole process (bench/run.sh).
int publish(const std::string& dir) {
  token::Claims c = typical();
  c.iat = static_cast<std::uint64_t>(std::time(nullptr));
  c.exp = c.iat + 86400;
  const std::vector<token::PublicKey> keys = {{key().kid(), key().public_key(), std::nullopt}};
  std::ofstream(dir + "/public-keys.json") << token::write_public_keys(keys);
  std::ofstream(dir + "/revoked.json") << token::write_revocations({{"1", c.exp}});
  std::ofstream(dir + "/token") << token::sign_token(c, key());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--publish") == 0) return publish(argv[2]);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
