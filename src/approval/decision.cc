#include "approval/decision.h"

#include <array>
#include <utility>

#include "json/record.h"

namespace kelvane::approval {

namespace {

constexpr std::array<json::RecordField, 4> kFields = {{
    {"verdict", json::FieldKind::Text},
    {"detail", json::FieldKind::Text},
    {"approvalToken", json::FieldKind::OptionalText},
    {"tokenExpiresAt", json::FieldKind::OptionalText},
}};

constexpr json::RecordShape kShape = {
    kFields,
    "struct OperatorApprovalDecision",
    "struct OperatorApprovalDecision with 4 elements",
};

}  // namespace

Result<OperatorApprovalDecision, json::Error> decode_decision(std::string_view text) {
  std::array<std::optional<std::string>, kFields.size()> slots;
  KOA_TRY_VOID(json::read_record(text, kShape, slots));
  return OperatorApprovalDecision{
      std::move(*slots[0]),
      std::move(*slots[1]),
      std::move(slots[2]),
      std::move(slots[3]),
  };
}

io::Error io_error_from_json(const json::Error& error) {
  return io::Error::message(
      error.is_eof() ? io::ErrorKind::UnexpectedEof : io::ErrorKind::InvalidData,
      error.to_string());
}

}  // namespace kelvane::approval
