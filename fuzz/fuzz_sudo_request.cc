// The sudo plugin's request building on arbitrary facts: the input is split
// on NUL bytes into the user, host, working directory, terminal, command
// path, run-as user, run-as uid and run-as gid, then the arguments. The
// terminal is also given as a command_info entry of its own, known or not.
//
// Whatever they hold: a text that is not UTF-8 is refused; otherwise the
// request line is UTF-8 with one line feed at its end, the title fits its
// limit, the detail has no control character but its line breaks (one a
// line, one a setting),
// the digest is "sha256:" and 64 hex digits, and every argument quoted for
// the operator reads back as exactly itself.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "approval/request.h"
#include "sudo/operation.h"
#include "sudo/shell_quote.h"
#include "sudo/sudo_request.h"
#include "support/utf8.h"

namespace {

void require(bool condition) {
  if (!condition) std::abort();
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

void append_utf8(std::string& out, std::uint32_t c) {
  char bytes[4];
  out.append(bytes, kelvane::utf8::encode(static_cast<char32_t>(c), bytes));
}

// Reads $'...' back, as a shell would; nullopt for anything it would not
// read the same way.
std::optional<std::string> read_ansi_c(std::string_view q) {
  std::string out;
  std::size_t i = 2;
  while (i < q.size() - 1) {
    if (q[i] == '\'') return std::nullopt;
    if (q[i] != '\\') {
      out += q[i++];
      continue;
    }
    const char e = q[i + 1];
    const std::size_t digits = e == 'x' ? 2 : e == 'u' ? 4 : e == 'U' ? 8 : 0;
    if (digits == 0) {
      const std::string_view simple = "n\nt\tr\r\\\\''";
      const std::size_t at = simple.find(e);
      if (at == std::string_view::npos || at % 2 != 0) return std::nullopt;
      out += simple[at + 1];
      i += 2;
      continue;
    }
    std::uint32_t value = 0;
    for (std::size_t k = 0; k < digits; ++k) {
      const int h = i + 2 + k < q.size() ? hex_value(q[i + 2 + k]) : -1;
      if (h < 0) return std::nullopt;
      value = value * 16 + static_cast<std::uint32_t>(h);
    }
    if (e == 'x') {
      out += static_cast<char>(value);
    } else {
      append_utf8(out, value);
    }
    i += 2 + digits;
  }
  return out;
}

std::optional<std::string> read_quoted(std::string_view q) {
  if (q.starts_with("$'") && q.size() >= 3 && q.back() == '\'') return read_ansi_c(q);
  if (q.starts_with('\'') && q.size() >= 2 && q.back() == '\'') {
    std::string out;
    for (std::size_t i = 1; i < q.size() - 1;) {
      if (q.substr(i).starts_with("'\\''")) {
        out += '\'';
        i += 4;
      } else if (q[i] == '\'') {
        return std::nullopt;
      } else {
        out += q[i++];
      }
    }
    return out;
  }
  return std::string(q);
}

bool has_control_character(std::string_view text) {
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if ((b < 0x20 && b != '\n') || b == 0x7F) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t nul = input.find('\0', start);
    pieces.emplace_back(input.substr(start, nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  if (pieces.size() < 9) return 0;

  std::vector<std::string> user_info{"user=" + pieces[0], "uid=1000",         "host=" + pieces[1],
                                     "cwd=" + pieces[2],  "tty=" + pieces[3], "pid=4242"};
  std::vector<std::string> command_info{"command=" + pieces[4], "runas_user=" + pieces[5],
                                        "runas_uid=" + pieces[6], "runas_gid=" + pieces[7],
                                        pieces[3]};
  std::vector<std::string> argv(pieces.begin() + 8, pieces.end());
  std::vector<std::string> env{"TERM=" + pieces[3]};
  auto vector_of = [](std::vector<std::string>& items) {
    std::vector<char*> pointers;
    for (std::string& item : items) pointers.push_back(item.data());
    pointers.push_back(nullptr);
    return pointers;
  };
  std::vector<char*> user_vector = vector_of(user_info);
  std::vector<char*> command_vector = vector_of(command_info);
  std::vector<char*> argv_vector = vector_of(argv);
  std::vector<char*> env_vector = vector_of(env);

  auto operation = kelvane::sudo::read_operation(user_vector.data(), command_vector.data(),
                                                 argv_vector.data(), env_vector.data());
  // Every piece the plugin reads must be text. user_info's cwd= (pieces[2])
  // is read only when command_info names no directory of its own: the
  // setting made of pieces[3] may be runcwd= or cwd=.
  const bool cwd_from_command_info =
      pieces[3].starts_with("runcwd=") || pieces[3].starts_with("cwd=");
  bool all_text = true;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i == 2 && cwd_from_command_info) continue;
    all_text = all_text && kelvane::utf8::is_valid(pieces[i]);
  }
  if (!operation.ok()) return 0;
  require(all_text);
  require(operation.value().cwd.starts_with('/'));
  // As the plugin has it once the file is examined, without the file system.
  operation.value().resolved_command = operation.value().command;

  const kelvane::approval::OperatorApprovalRequest request =
      kelvane::sudo::build_request(operation.value(), kelvane::sudo::PluginOptions{});
  require(request.title.size() <= kelvane::sudo::kTitleLimit &&
          request.title.starts_with(operation.value().sudoedit ? "sudoedit: " : "sudo: "));
  require(!has_control_character(request.title) && request.title.find('\n') == std::string::npos);
  require(!has_control_character(request.detail));
  std::size_t breaks = 0;
  for (const char c : request.detail) breaks += c == '\n';
  // Eight lines, one more for each setting past "settings: (empty)" and
  // for sudoedit's second run-as line.
  const std::size_t settings = operation.value().settings.size();
  require(breaks == 7 + settings + (operation.value().sudoedit ? 1 : 0));
  const std::string& digest = *request.operation_digest;
  require(digest.size() == 7 + 64 && digest.starts_with("sha256:"));
  for (const char c : std::string_view(digest).substr(7)) require(hex_value(c) >= 0);
  for (const std::string& arg : operation.value().argv) {
    const std::optional<std::string> back = read_quoted(kelvane::sudo::shell_quote(arg));
    require(back.has_value() && *back == arg);
  }

  const std::string line = kelvane::approval::encode_request_line(request);
  require(kelvane::utf8::is_valid(line) && line.find('\n') == line.size() - 1);
  require(line.starts_with(R"({"id":"","title":"sudo)"));
  return 0;
}
