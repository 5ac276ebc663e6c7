#include "approval/decision.h"

#include <utility>

#include "json/json.h"

namespace kelvane::approval {

Result<OperatorApprovalDecision, json::Error> decode_decision(std::string_view text) {
  OperatorApprovalDecision decision;
  const json::Field fields[] = {
      json::Field::text("verdict", decision.verdict),
      json::Field::text("detail", decision.detail),
      json::Field::text_or_null("approvalToken", decision.approval_token),
      json::Field::text_or_null("tokenExpiresAt", decision.token_expires_at),
  };
  const json::RecordShape shape = {
      .fields = fields,
      .type_description = "struct OperatorApprovalDecision",
      .length_description = "struct OperatorApprovalDecision with 4 elements",
  };
  if (auto read = json::read_record(text, shape); !read) return fail(std::move(read).error().error);
  return decision;
}

}  // namespace kelvane::approval
