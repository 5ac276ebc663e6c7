// The policy rules over any bytes: a configuration (the input up to the
// first NUL) and a request line (the rest). Whatever the bytes, the file is
// read or refused with its errors; a request that reads is decided by the
// rules, with its explanation, and the decision is one the file allows:
// an approve rule never decides on declared text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "json/json.h"
#include "service/config.h"
#include "service/glob.h"
#include "service/policy.h"
#include "service/request.h"

namespace {

using namespace kelvane;

void decide(const service::Config& config, std::string_view line) {
  auto request = service::parse_request(line);
  if (!request.ok()) return;
  const service::Request& q = request.value();
  service::PolicyFacts facts;
  facts.uid = 1000;
  facts.user = q.requester;  // any text as a user name
  facts.groups = {q.source_host, q.title};
  if (q.has_context) facts.sudo = service::sudo_facts_of(q.context);
  facts.action = q.action;
  facts.target_host = q.target_host;
  const service::PolicyDecision decision = service::decide_by_policy(config, facts, true);
  const service::PolicyDecision quiet = service::decide_by_policy(config, facts, false);
  if (decision.outcome.rule_name != quiet.outcome.rule_name) std::abort();
  if (decision.outcome.effect == service::Effect::Approve) {
    for (const service::Rule& rule : config.rules) {
      if (rule.name == decision.outcome.rule_name && rule.matches_declared_text()) std::abort();
    }
  }
  // The glob reader and matcher on the request's own texts.
  (void)service::glob_matches(q.title, q.detail);
  (void)service::glob_problem(q.title);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const std::size_t split = input.find('\0');
  const std::string_view text = input.substr(0, split);
  auto config = service::parse_config(text, "fuzz.toml");
  if (!config.ok()) {
    if (config.error().empty()) std::abort();
    return 0;
  }
  if (split != std::string_view::npos) decide(config.value(), input.substr(split + 1));
  return 0;
}
