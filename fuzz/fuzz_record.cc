// Any UTF-8 line read as a request-shaped record twice: once with its
// context as a Value, once as compact text. The two must agree on whether
// and why the line is refused; when it is read, the compact text is what
// the writer makes of the Value; every refusal names its member and has a
// position, and a syntax error's offset lies within the line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>

#include "json/json.h"
#include "support/utf8.h"

namespace {

using namespace kelvane::json;

struct Request {
  std::string title;
  std::optional<std::string> digest;
  std::optional<std::string> token;
  std::optional<std::uint64_t> timeout;
};

template <class Context>
kelvane::Result<void, RecordError> read(std::string_view line, Request& r, Context& context,
                                        UnknownMembers unknown) {
  Field any = Field::text("x", r.title);  // replaced below
  if constexpr (std::is_same_v<Context, std::optional<Value>>) {
    any = Field::value("context", context);
  } else {
    any = Field::compact_text("context", context);
  }
  const Field fields[] = {
      Field::text("title", r.title),
      Field::text("operationDigest", r.digest),
      Field::text_or_null("token", r.token),
      any,
      Field::unsigned64("timeoutSecs", r.timeout),
  };
  return read_record(line, {.fields = fields,
                            .type_description = "a request",
                            .length_description = "a request of 5 elements",
                            .unknown = unknown});
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  if (!kelvane::utf8::is_valid(line)) return 0;
  for (const UnknownMembers unknown : {UnknownMembers::Skip, UnknownMembers::Refuse}) {
    Request a;
    Request b;
    std::optional<Value> value;
    std::optional<CompactText> compact;
    const auto by_value = read(line, a, value, unknown);
    const auto by_text = read(line, b, compact, unknown);
    if (by_value.ok() != by_text.ok()) std::abort();
    if (by_value.ok()) {
      if (value.has_value() != compact.has_value()) std::abort();
      if (value && to_json(*value) != compact->text()) std::abort();
      if (a.title != b.title || a.digest != b.digest || a.token != b.token ||
          a.timeout != b.timeout)
        std::abort();
      continue;
    }
    const RecordError& x = by_value.error();
    const RecordError& y = by_text.error();
    if (x.problem != y.problem || x.member != y.member || x.offset != y.offset ||
        x.error.to_string() != y.error.to_string())
      std::abort();
    if (!x.error.has_position() || x.offset > line.size()) std::abort();
    const bool names_member = x.problem != RecordProblem::Syntax &&
                              x.problem != RecordProblem::NotARecord &&
                              x.problem != RecordProblem::Length;
    if (names_member == x.member.empty() && x.problem != RecordProblem::UnknownMember) std::abort();
  }
  return 0;
}
