#include "sshsig/allowed_signers.h"

#include <array>
#include <cctype>
#include <ctime>

#include "sshsig/base64.h"
#include "sshsig/shown.h"

namespace kelvane::sshsig {
namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t';
}

bool same_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// '*' any run of characters, '?' any one. Backtracks only to the last '*',
// so that no pattern takes more than length × length steps.
bool pattern_matches(std::string_view pattern, std::string_view name) {
  std::size_t p = 0, n = 0, star = std::string_view::npos, star_n = 0;
  while (n < name.size()) {
    if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
      ++p;
      ++n;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      star_n = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++star_n;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The fields of one line, cut without copying.
class LineCursor {
 public:
  explicit LineCursor(std::string_view line) : rest_(line) {}

  void skip_space() {
    while (!rest_.empty() && is_space(rest_.front())) rest_.remove_prefix(1);
  }
  bool at_end() const { return rest_.empty(); }

  // Up to the next space or tab outside double quotes; `\"` inside quotes
  // is a quote. Fails on a quote left open.
  Result<std::string_view, std::string> field() {
    bool quoted = false;
    std::size_t i = 0;
    for (; i < rest_.size() && (quoted || !is_space(rest_[i])); ++i) {
      if (quoted && rest_[i] == '\\' && i + 1 < rest_.size() && rest_[i + 1] == '"') {
        ++i;
      } else if (rest_[i] == '"') {
        quoted = !quoted;
      }
    }
    if (quoted) return fail(std::string("a double quote left open"));
    const std::string_view out = rest_.substr(0, i);
    rest_.remove_prefix(i);
    return out;
  }

 private:
  std::string_view rest_;
};

// The principals field: a quoted list (which may hold spaces) or a bare one.
Result<std::string, std::string> read_principals(std::string_view field) {
  if (field.empty()) return fail(std::string("no principals"));
  if (field.front() != '"') {
    if (field.find('"') != std::string_view::npos)
      return fail(std::string("a double quote inside the principals"));
    return std::string(field);
  }
  if (field.size() < 2 || field.back() != '"' ||
      field.substr(1, field.size() - 2).find('"') != std::string_view::npos)
    return fail(std::string("principals with stray double quotes"));
  return std::string(field.substr(1, field.size() - 2));
}

// A quoted option value, its `\"` made quotes.
Result<std::string, std::string> unquote(std::string_view name, std::string_view value) {
  if (value.size() < 2 || value.front() != '"' || value.back() != '"')
    return fail("the value of option " + shown(name) + " must be in double quotes");
  std::string out;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && value[i + 1] == '"') ++i;
    out += value[i];
  }
  return out;
}

// Commas outside quotes split the options.
std::vector<std::string_view> split_options(std::string_view text) {
  std::vector<std::string_view> out;
  bool quoted = false;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || (!quoted && text[i] == ',')) {
      out.push_back(text.substr(start, i - start));
      start = i + 1;
    } else if (quoted && text[i] == '\\' && i + 1 < text.size()) {
      ++i;
    } else if (text[i] == '"') {
      quoted = !quoted;
    }
  }
  return out;
}

Result<void, std::string> set_time(std::optional<std::int64_t>& slot, std::string_view name,
                                   std::string_view value) {
  KOA_TRY(text, unquote(name, value));
  auto when = read_signer_time(text);
  if (!when.ok()) return fail("option " + shown(name) + ": " + when.error());
  slot = when.value();
  return {};
}

Result<void, std::string> apply_option(AllowedSigner& signer, std::string_view option) {
  const std::size_t equals = option.find('=');
  const std::string_view name = option.substr(0, equals);
  const bool has_value = equals != std::string_view::npos;
  const std::string_view value = has_value ? option.substr(equals + 1) : std::string_view();
  const auto once = [&](bool given) -> Result<void, std::string> {
    if (given) return fail("option " + shown(name) + " given twice");
    if (!has_value) return fail("option " + shown(name) + " needs a value");
    return {};
  };
  if (same_ignoring_case(name, "namespaces")) {
    KOA_TRY_VOID(once(signer.namespaces.has_value()));
    KOA_TRY(list, unquote(name, value));
    signer.namespaces = std::move(list);
    return {};
  }
  if (same_ignoring_case(name, "valid-after")) {
    KOA_TRY_VOID(once(signer.valid_after.has_value()));
    return set_time(signer.valid_after, name, value);
  }
  if (same_ignoring_case(name, "valid-before")) {
    KOA_TRY_VOID(once(signer.valid_before.has_value()));
    return set_time(signer.valid_before, name, value);
  }
  if (same_ignoring_case(name, "cert-authority"))
    return fail(std::string("cert-authority is not supported: name each operator's own key"));
  if (same_ignoring_case(name, "no-touch-required"))
    return fail(std::string(
        "no-touch-required is not accepted (nor by ssh-keygen): a security key's vote needs a "
        "touch"));
  return fail("unknown option " + shown(name));
}

Result<PublicKey, std::string> read_key(std::string_view type_field,
                                        std::string_view base64_field) {
  if (!type_named(type_field))
    return fail("key type " + shown(type_field) +
                " is not supported (ssh-ed25519, ecdsa-sha2-nistp256 and their sk- forms are)");
  auto blob = base64::decode(base64_field);
  if (!blob.ok()) return fail("the key is not base64: " + blob.error());
  auto key = read_public_key(blob.value());
  if (!key.ok()) return fail("the key cannot be read: " + key.error());
  if (type_name(key.value().type) != type_field)
    return fail("the key is of type " + std::string(type_name(key.value().type)) + ", not " +
                shown(type_field));
  return std::move(key).value();
}

// "ssh-rsa", "ecdsa-sha2-nistp384", "sk-...": a key type, not options.
bool looks_like_key_type(std::string_view field) {
  return field.find_first_of(",=\"") == std::string_view::npos &&
         (field.starts_with("ssh-") || field.starts_with("ecdsa-") || field.starts_with("sk-"));
}

Result<AllowedSigner, std::string> read_line(std::string_view line) {
  LineCursor cursor(line);
  cursor.skip_space();
  AllowedSigner signer;
  KOA_TRY(principals_field, cursor.field());
  KOA_TRY(principals, read_principals(principals_field));
  signer.principals = std::move(principals);
  cursor.skip_space();
  KOA_TRY(field, cursor.field());
  // Options come first when the field is not a key type; a field that
  // names some other type of key is reported as that.
  if (!field.empty() && !type_named(field)) {
    if (looks_like_key_type(field)) return fail(read_key(field, "").error());
    for (const std::string_view option : split_options(field))
      KOA_TRY_VOID(apply_option(signer, option));
    cursor.skip_space();
    KOA_TRY(type_field, cursor.field());
    field = type_field;
  }
  if (field.empty()) return fail(std::string("no key"));
  cursor.skip_space();
  KOA_TRY(base64_field, cursor.field());
  if (base64_field.empty()) return fail(std::string("a key type without its key"));
  KOA_TRY(key, read_key(field, base64_field));
  signer.key = std::move(key);
  return signer;
}

}  // namespace

bool pattern_list_matches(std::string_view list, std::string_view name) {
  bool matched = false;
  for (const std::string_view pattern : split_options(list)) {
    const bool negated = pattern.starts_with('!');
    if (!pattern_matches(negated ? pattern.substr(1) : pattern, name)) continue;
    if (negated) return false;
    matched = true;
  }
  return matched;
}

Result<std::int64_t, std::string> read_signer_time(std::string_view text) {
  const bool utc = text.ends_with('Z');
  const std::string_view digits = utc ? text.substr(0, text.size() - 1) : text;
  if ((digits.size() != 8 && digits.size() != 12 && digits.size() != 14) ||
      digits.find_first_not_of("0123456789") != std::string_view::npos)
    return fail(std::string("a time that is not YYYYMMDD[HHMM[SS]][Z]"));
  const auto number = [&](std::size_t at, std::size_t length) {
    int value = 0;
    for (std::size_t i = at; i < at + length && i < digits.size(); ++i)
      value = value * 10 + (digits[i] - '0');
    return value;
  };
  std::tm parts{};
  parts.tm_year = number(0, 4) - 1900;
  parts.tm_mon = number(4, 2) - 1;
  parts.tm_mday = number(6, 2);
  parts.tm_hour = number(8, 2);
  parts.tm_min = number(10, 2);
  parts.tm_sec = number(12, 2);
  parts.tm_isdst = -1;
  const std::tm asked = parts;
  const std::time_t when = utc ? ::timegm(&parts) : std::mktime(&parts);
  // The conversion normalises (the 31st of April is the 1st of May): a
  // time it had to move did not exist.
  if (when == static_cast<std::time_t>(-1) || parts.tm_year != asked.tm_year ||
      parts.tm_mon != asked.tm_mon || parts.tm_mday != asked.tm_mday ||
      parts.tm_hour != asked.tm_hour || parts.tm_min != asked.tm_min ||
      parts.tm_sec != asked.tm_sec)
    return fail(std::string("a time that does not exist"));
  return static_cast<std::int64_t>(when);
}

Result<std::vector<AllowedSigner>, std::string> read_allowed_signers(std::string_view text) {
  if (text.size() > kMaxAllowedSignersBytes) return fail(std::string("the file is too long"));
  std::vector<AllowedSigner> signers;
  std::size_t number = 0;
  for (std::size_t pos = 0; pos < text.size();) {
    const std::size_t end = std::min(text.find('\n', pos), text.size());
    std::string_view line = text.substr(pos, end - pos);
    pos = end + 1;
    ++number;
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos || line[first] == '#') continue;
    auto signer = read_line(line);
    if (!signer.ok()) return fail("line " + std::to_string(number) + ": " + signer.error());
    signer.value().line = number;
    signers.push_back(std::move(signer).value());
  }
  return signers;
}

Result<const AllowedSigner*, std::string> find_signer(std::span<const AllowedSigner> signers,
                                                      std::string_view principal,
                                                      const PublicKey& key,
                                                      std::string_view name_space,
                                                      std::int64_t when) {
  std::string reason = "no key " + fingerprint(key) + " for " + shown(principal);
  for (const AllowedSigner& signer : signers) {
    if (signer.key != key || !pattern_list_matches(signer.principals, principal)) continue;
    const std::string at = "line " + std::to_string(signer.line) + ": ";
    if (signer.namespaces && !pattern_list_matches(*signer.namespaces, name_space)) {
      reason = at + "the key may not sign in namespace " + shown(name_space);
    } else if (signer.valid_after && when < *signer.valid_after) {
      reason = at + "the key is not yet valid";
    } else if (signer.valid_before && when > *signer.valid_before) {
      reason = at + "the key has expired";
    } else {
      return &signer;
    }
  }
  return fail(std::move(reason));
}

}  // namespace kelvane::sshsig
