#include "service/config.h"

#include <fcntl.h>
#include <unistd.h>

#include <toml++/toml.h>
#include <array>
#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"
#include "support/retry.h"
#include "support/utf8.h"

namespace kelvane::service {
namespace {

// Larger than any sensible configuration; a bigger file is a mistake.
constexpr std::size_t kMaxConfigBytes = 1 << 20;

std::string where(std::string_view path, const toml::source_region& source) {
  return std::string(path) + ":" + std::to_string(source.begin.line) + ":" +
         std::to_string(source.begin.column) + ": ";
}

struct Count {
  std::string_view key;
  std::uint64_t Config::*slot;
  std::uint64_t least;  // the smallest value that makes sense
};

constexpr std::array<Count, 7> kCounts = {{
    {"approvals", &Config::approvals, 1},
    {"max_pending_per_user", &Config::max_pending_per_user, 1},
    {"max_pending", &Config::max_pending, 1},
    {"default_timeout", &Config::default_timeout, 1},
    {"max_timeout", &Config::max_timeout, 1},
    {"token_lifetime", &Config::token_lifetime, 1},
    {"keep_days", &Config::keep_days, 1},
}};

struct Path {
  std::string_view key;
  std::optional<std::string> Config::*slot;
};

constexpr std::array<Path, 4> kPaths = {{
    {"socket", &Config::socket},
    {"operator_socket", &Config::operator_socket},
    {"state_dir", &Config::state_dir},
    {"public_dir", &Config::public_dir},
}};

// A user or group name as the system's tools accept it: no white space,
// colon, comma or control character, and not empty.
bool is_account_name(std::string_view name) {
  if (name.empty() || name.size() > 256) return false;
  for (const char c : name) {
    const auto b = static_cast<unsigned char>(c);
    if (b <= ' ' || b == 0x7f || c == ':' || c == ',' || c == '/') return false;
  }
  return true;
}

Result<std::vector<std::string>, std::string> read_names(const toml::node& node,
                                                         std::string_view key,
                                                         std::string_view path) {
  const toml::array* array = node.as_array();
  if (array == nullptr)
    return fail(where(path, node.source()) + std::string(key) + " must be an array of names");
  std::vector<std::string> names;
  for (const toml::node& element : *array) {
    const auto* text = element.as_string();
    const std::string_view name = text ? std::string_view(text->get()) : std::string_view();
    const std::string_view bare = name.starts_with('@') ? name.substr(1) : name;
    if (text == nullptr || !is_account_name(bare)) {
      return fail(where(path, element.source()) + std::string(key) +
                  " takes user names and @group names");
    }
    names.emplace_back(name);
  }
  return names;
}

// The fleet's keys.
bool is_fleet_key(std::string_view key) {
  return key == "store" || key == "connection_file" || key == "host_name";
}

Result<void, std::string> read_fleet_key(Config& config, std::string_view key,
                                         const toml::node& node, std::string_view path) {
  const auto* text = node.as_string();
  const std::string value = text ? text->get() : std::string();
  if (key == "store") {
    if (value != "sqlite" && value != "postgresql")
      return fail(where(path, node.source()) + "store must be \"sqlite\" or \"postgresql\"");
    config.store = value;
  } else if (key == "connection_file") {
    if (!value.starts_with('/') || value.find('\0') != std::string::npos)
      return fail(where(path, node.source()) + "connection_file must be an absolute path");
    config.connection_file = value;
  } else {
    if (!is_host_name(value))
      return fail(where(path, node.source()) +
                  "host_name takes letters, digits, \".\", \"_\" and \"-\" (at most 253)");
    config.host_name = value;
  }
  return {};
}

Result<void, std::string> check_fleet(const Config& config, std::string_view path) {
  if (config.store == "postgresql" && !config.connection_file)
    return fail(std::string(path) + ": store = \"postgresql\" needs connection_file");
  return {};
}

Result<void, std::string> read_key(Config& config, std::string_view key, const toml::node& node,
                                   std::string_view path) {
  for (const Count& count : kCounts) {
    if (count.key != key) continue;
    const auto* integer = node.as_integer();
    if (integer == nullptr || integer->get() < 0 ||
        static_cast<std::uint64_t>(integer->get()) < count.least) {
      return fail(where(path, node.source()) + std::string(key) + " must be a whole number from " +
                  std::to_string(count.least));
    }
    config.*count.slot = static_cast<std::uint64_t>(integer->get());
    return {};
  }
  for (const Path& entry : kPaths) {
    if (entry.key != key) continue;
    const auto* text = node.as_string();
    if (text == nullptr || !text->get().starts_with('/') ||
        text->get().find('\0') != std::string::npos)
      return fail(where(path, node.source()) + std::string(key) + " must be an absolute path");
    config.*entry.slot = text->get();
    return {};
  }
  if (is_fleet_key(key)) return read_fleet_key(config, key, node, path);
  if (key == "approvers" || key == "auditors") {
    auto names = read_names(node, key, path);
    if (!names.ok()) return fail(std::move(names).error());
    (key == "approvers" ? config.approvers : config.auditors) = std::move(names).value();
    return {};
  }
  return fail(where(path, node.source()) + "unknown key \"" + std::string(key) + "\"");
}

bool is_known_key(std::string_view key) {
  if (is_fleet_key(key)) return true;
  for (const Count& count : kCounts) {
    if (count.key == key) return true;
  }
  for (const Path& entry : kPaths) {
    if (entry.key == key) return true;
  }
  return key == "approvers" || key == "auditors";
}

}  // namespace

Result<Config, std::string> parse_config(std::string_view text, std::string_view path) {
  if (!utf8::is_valid(text)) return fail(std::string(path) + ": the file is not UTF-8 text");
  toml::table table;
  try {
    table = toml::parse(text, path);
  } catch (const toml::parse_error& error) {
    return fail(where(path, error.source()) + std::string(error.description()));
  }
  Config config;
  for (const auto& [key, node] : table) {
    // An unknown key is shown where the key itself is (a table's value
    // would point at its header or its first member).
    if (!is_known_key(key.str()))
      return fail(where(path, key.source()) + "unknown key \"" + std::string(key.str()) + "\"");
    if (auto read = read_key(config, key.str(), node, path); !read.ok())
      return fail(std::move(read).error());
  }
  if (auto fleet = check_fleet(config, path); !fleet.ok()) return fail(std::move(fleet).error());
  if (config.default_timeout > config.max_timeout) {
    return fail(std::string(path) + ": default_timeout (" + std::to_string(config.default_timeout) +
                ") is longer than max_timeout (" + std::to_string(config.max_timeout) + ")");
  }
  return config;
}

bool is_host_name(std::string_view name) {
  if (name.empty() || name.size() > 253) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const char c = name[i];
    const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && (i == 0 || (c != '.' && c != '_' && c != '-'))) return false;
  }
  return true;
}

std::string host_name_of(const Config& config) {
  if (config.host_name) return *config.host_name;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return "localhost";
  return name;
}

Result<Config, std::string> load_config(const std::string& path, bool named) {
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) {
    if (errno == ENOENT && !named) return Config{};
    return fail(path + ": " + std::strerror(errno));
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    const ssize_t n =
        repeat_if_interrupted([&] { return ::read(fd.get(), buffer, sizeof buffer); });
    if (n < 0) return fail(path + ": " + std::strerror(errno));
    if (n == 0) break;
    text.append(buffer, static_cast<std::size_t>(n));
    if (text.size() > kMaxConfigBytes) return fail(path + ": the file is larger than 1 MiB");
  }
  return parse_config(text, path);
}

}  // namespace kelvane::service
