#include "service/request.h"

#include "json/json.h"
#include "service/syntax_words.h"
#include "support/quoting.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

// Names come from the client: shown escaped, like everything else it sends.
std::string quoted_name(std::string_view name) {
  return quoted(name);
}

// Where the request's own grammar fails, in the words of the splitter the
// service once had for it, with the byte where reading stopped.
std::string syntax_problem(const json::RecordError& e) {
  const std::optional<std::string_view> what = syntax_words(e.error.code());
  if (!what) return "the request is not valid JSON: " + e.error.to_string();
  return "the request is not valid JSON: " + std::string(*what) + " at byte " +
         std::to_string(e.offset);
}

std::string problem(const json::RecordError& e) {
  const std::string member = "the member " + quoted_name(e.member);
  switch (e.problem) {
    case json::RecordProblem::Syntax:
      return syntax_problem(e);
    case json::RecordProblem::NotARecord:
    case json::RecordProblem::Length:
      break;
    case json::RecordProblem::UnknownMember:
      return "the request has an unknown member " + quoted_name(e.member);
    case json::RecordProblem::DuplicateMember:
      return member + " appears twice";
    case json::RecordProblem::MissingMember:
      return member + " is missing";
    case json::RecordProblem::WrongType:
      if (e.member == "timeoutSecs")
        return member + " is not a whole number of seconds from 0 to 18446744073709551615";
      return member + " is not a string";
    case json::RecordProblem::BadValue:
      if (e.error.code() == json::ErrorCode::RecursionLimitExceeded)
        return member + " nests more than 127 levels deep";
      return member + " does not read as JSON: " + e.error.to_string();
  }
  return "the request is not a JSON object";
}

}  // namespace

Result<Request, std::string> parse_request(std::string_view line) {
  if (!utf8::is_valid(line)) return fail(std::string("the request line is not valid UTF-8"));
  const std::size_t first = line.find_first_not_of(" \t\n\r");
  if (first == std::string_view::npos || line[first] != '{')
    return fail(std::string("the request is not a JSON object"));
  Request request;
  std::optional<json::Value> context;
  const json::Field fields[] = {
      json::Field::text("id", request.id, json::Presence::Optional),
      json::Field::text("title", request.title),
      json::Field::text("detail", request.detail),
      json::Field::text("action", request.action),
      json::Field::text("requester", request.requester),
      json::Field::text("sourceHost", request.source_host),
      json::Field::text("targetHost", request.target_host),
      json::Field::text("operationDigest", request.operation_digest),
      json::Field::value("context", context),
      json::Field::unsigned64("timeoutSecs", request.timeout_secs),
  };
  const json::RecordShape shape = {
      .fields = fields, .type_description = "the request", .unknown = json::UnknownMembers::Refuse};
  if (auto read = json::read_record(line, shape); !read) return fail(problem(read.error()));
  if (context) {
    request.has_context = true;
    request.context = std::move(*context);
  }
  return request;
}

}  // namespace kelvane::service
