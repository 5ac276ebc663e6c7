#include "policy_facts.h"

namespace kelvane::approvald {
service::PolicyFacts policy_facts(const service::Request& request,
                                  const service::VerifiedRequester& who,
                                  std::vector<std::string> groups) {
  service::PolicyFacts facts;
  facts.uid = who.verified.uid;
  facts.user = who.user;
  facts.groups = std::move(groups);
  facts.action = request.action;
  facts.target_host = request.target_host;
  if (who.verified.via_sudo && who.peer.uid == 0 && request.has_context)
    facts.sudo = service::sudo_facts_of(request.context);
  return facts;
}

}  // namespace kelvane::approvald
