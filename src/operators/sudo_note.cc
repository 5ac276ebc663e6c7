#include "operators/sudo_note.h"

#include <fcntl.h>

#include <algorithm>

#include "support/file_descriptor.h"
#include "support/read_up_to.h"

namespace kelvane::operators {
namespace {

// sudo.conf is a few lines; a larger one is read this far.
constexpr std::size_t kMaxSudoConfBytes = 64 * 1024;

std::string_view next_word(std::string_view& line) {
  std::size_t start = 0;
  while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
  std::size_t end = start;
  while (end < line.size() && line[end] != ' ' && line[end] != '\t') ++end;
  const std::string_view word = line.substr(start, end - start);
  line.remove_prefix(end);
  return word;
}

}  // namespace

bool sudo_conf_names_plugin(std::string_view text) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(end == text.size() ? end : end + 1);
    if (next_word(line) == "Plugin" && next_word(line) == "kelvane_approval") return true;
  }
  return false;
}

std::optional<std::string> sudo_note(Subcommand subcommand, const approval::EnvLookup& env,
                                     const std::string& sudo_conf_path) {
  if (subcommand != Subcommand::RotateKey || !env("SUDO_UID")) return std::nullopt;
  const FileDescriptor fd(::open(sudo_conf_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.is_open()) return std::nullopt;
  auto text = read_up_to(fd.get(), kMaxSudoConfBytes);
  if (!text.ok() || !sudo_conf_names_plugin(text.value())) return std::nullopt;
  return "rotate-key is root's own command: run it as root from a root shell, not through sudo, "
         "which asks the approval service first now that " +
         sudo_conf_path + " turns the kelvane_approval plugin on\n";
}

}  // namespace kelvane::operators
