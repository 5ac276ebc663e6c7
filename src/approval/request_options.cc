#include "approval/request_options.h"

#include <array>

#include "approval/text_file.h"
#include "json/json.h"
#include "support/decimal.h"
#include "support/utf8.h"
#include "support/whitespace.h"

namespace kelvane::approval {

const std::string_view kUsageText =
    "usage: kelvane-operator-approve --title T (--detail D|--detail-file PATH) --action A \\\n"
    "+         --requester R --source-host H --target-host H [--operation-digest D] \\\n"
    "+         [--context JSON|--context-file PATH] [--timeout SECS]\n";

namespace {

enum class Option {
  Title,
  Detail,
  DetailFile,
  Action,
  Requester,
  SourceHost,
  TargetHost,
  OperationDigest,
  Context,
  ContextFile,
  Timeout,
  Help,
};

struct OptionName {
  std::string_view name;
  Option option;
};

constexpr std::array<OptionName, 13> kOptions = {{
    {"--title", Option::Title},
    {"--detail", Option::Detail},
    {"--detail-file", Option::DetailFile},
    {"--action", Option::Action},
    {"--requester", Option::Requester},
    {"--source-host", Option::SourceHost},
    {"--target-host", Option::TargetHost},
    {"--operation-digest", Option::OperationDigest},
    {"--context", Option::Context},
    {"--context-file", Option::ContextFile},
    {"--timeout", Option::Timeout},
    {"-h", Option::Help},
    {"--help", Option::Help},
}};

std::optional<Option> find_option(std::string_view arg) {
  for (const OptionName& o : kOptions) {
    if (o.name == arg) return o.option;
  }
  return std::nullopt;
}

// A context that is not one JSON text is dropped without a message. Text
// that is not UTF-8 is not JSON text either: the reader copies string bytes
// unchanged and would otherwise pass it on to the service.
std::optional<json::CompactText> read_context(std::optional<std::string_view> text) {
  if (!text || !utf8::is_valid(*text)) return std::nullopt;
  Result<json::CompactText, json::Error> context = json::CompactText::read(*text);
  if (!context) return std::nullopt;
  return std::move(context).value();
}

// Unlike --context, a context file that is not JSON is an error: the caller
// named a file on purpose, and sending the request without its context would
// hide that the file is broken.
// Only the compact form of the file's text is kept, written over the text
// itself where it can be.
Result<json::CompactText, UsageError> read_context_file(std::string_view option,
                                                        std::string_view path) {
  constexpr std::size_t kHeadroom = json::CompactText::kHeadroom;
  KOA_TRY(text, read_text_arg(option, path, kHeadroom));
  Result<json::CompactText, json::Error> context =
      json::CompactText::read_in_place(std::move(text), kHeadroom);
  if (context.ok()) return std::move(context).value();
  UsageError error;
  error.output.append("could not parse ").append(option) += ' ';
  error.output.append(path).append(" as JSON: ").append(context.error().to_string()) += '\n';
  return fail(std::move(error));
}

UsageError usage_error(std::string_view message = {}) {
  UsageError e;
  e.output.reserve(message.size() + kUsageText.size());
  e.output.append(message);
  e.output.append(kUsageText);
  return e;
}

// Options whose value is sent to the service as text. The request line must be
// valid UTF-8, and quietly repairing a title or a host name would send the
// operator something other than what the caller wrote, so such a value is
// refused instead. A --context value is not such text: like a --timeout that
// is not a number, a context that is not JSON text is dropped silently.
bool takes_text(Option option) {
  // A file path goes to the system unchanged; the file's content is checked.
  return option != Option::Timeout && option != Option::Context && option != Option::Help &&
         option != Option::DetailFile && option != Option::ContextFile;
}

UsageError invalid_text(std::string_view option, std::string_view value) {
  std::string message(option);
  message.append(" value is not valid UTF-8: ").append(value) += '\n';
  return usage_error(message);
}

std::string default_source_host(std::optional<std::string_view> hostname) {
  if (hostname && !hostname->empty() && utf8::is_valid(*hostname)) return std::string(*hostname);
  return "unknown";
}

}  // namespace

std::optional<std::uint64_t> parse_timeout(std::string_view text) noexcept {
  if (text.starts_with('+')) text.remove_prefix(1);
  return parse_decimal(text);
}

Result<OperatorApprovalRequest, UsageError> parse_args(std::span<const std::string_view> args,
                                                       std::optional<std::string_view> hostname) {
  OperatorApprovalRequest fields;
  fields.action = "admin_operation";
  fields.requester = "cli";
  fields.source_host = default_source_host(hostname);

  std::size_t i = 0;
  while (i < args.size()) {
    const std::string_view arg = args[i++];
    const std::optional<Option> option = find_option(arg);
    if (!option) {
      std::string message = "unexpected argument: ";
      message.append(arg);
      message += '\n';
      return fail(usage_error(message));
    }
    if (*option == Option::Help) return fail(usage_error());

    // Every other option takes the next argument, whatever it holds.
    const std::optional<std::string_view> value =
        i < args.size() ? std::optional<std::string_view>(args[i++]) : std::nullopt;
    if (value && takes_text(*option) && !utf8::is_valid(*value)) {
      return fail(invalid_text(arg, *value));
    }
    const std::string text(value.value_or(std::string_view{}));
    switch (*option) {
      case Option::Title:
        fields.title = text;
        break;
      case Option::Detail:
        fields.detail = text;
        break;
      case Option::DetailFile: {
        // Read now, even if a later option replaces the detail again.
        KOA_TRY(content, read_text_arg(arg, text));
        fields.detail = std::move(content);
        break;
      }
      case Option::Action:
        fields.action = text;
        break;
      case Option::Requester:
        fields.requester = text;
        break;
      case Option::SourceHost:
        fields.source_host = text;
        break;
      case Option::TargetHost:
        fields.target_host = text;
        break;
      case Option::OperationDigest:
        fields.operation_digest = value ? std::optional<std::string>(text) : std::nullopt;
        break;
      case Option::Context:
        fields.context = read_context(value);
        break;
      case Option::ContextFile: {
        KOA_TRY(context, read_context_file(arg, text));
        fields.context = std::move(context);
        break;
      }
      case Option::Timeout:
        fields.timeout_secs = value ? parse_timeout(*value) : std::nullopt;
        break;
      case Option::Help:
        break;
    }
  }

  if (is_blank(fields.title) || is_blank(fields.detail) || is_blank(fields.target_host)) {
    return fail(usage_error());
  }
  return fields;
}

}  // namespace kelvane::approval
