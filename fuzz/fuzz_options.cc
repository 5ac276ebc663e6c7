// The option parser on arbitrary argument vectors: the input is split on NUL
// bytes into arguments. The first piece is the HOSTNAME value (an empty piece
// stands for an unset variable).
//
// File options read their file at once, so every path value is confined to a
// private directory holding a few small files: no fuzz input may name a
// device such as /dev/zero or the standard input. (The working directory is
// left alone: libFuzzer writes its corpus relative to it.)
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "approval/request_options.h"
#include "support/utf8.h"
#include "support/whitespace.h"

namespace {

std::string g_dir;

void write_file(const char* name, std::string_view content) {
  const std::string path = g_dir + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(content.data(), 1, content.size(), f) != content.size())
    std::abort();
  std::fclose(f);
}

constexpr const char* kFiles[] = {"d", "c", "j", "b", "e", "w"};

void remove_private_directory() {
  for (const char* name : kFiles) ::unlink((g_dir + "/" + name).c_str());
  ::rmdir(g_dir.c_str());
}

// Files that the inputs can name by their one-letter names (kFiles).
bool enter_private_directory() {
  char dir[] = "/tmp/koa-fuzz-options-XXXXXX";
  if (::mkdtemp(dir) == nullptr) std::abort();
  g_dir = dir;
  write_file("d", "Kernel update\n");
  write_file("c", "{\"ticket\": \"OPS-1\", \"n\": [1, 2.5, -0]}");
  write_file("j", "{\"a\":");
  write_file("b", "bad \xFF byte");
  write_file("e", "");
  write_file("w", " \n\t ");
  std::atexit(remove_private_directory);
  return true;
}

bool is_file_option(std::string_view arg) {
  return arg == "--detail-file" || arg == "--context-file";
}

// The other options that consume the next argument.
bool takes_value(std::string_view arg) {
  constexpr std::string_view kNames[] = {
      "--title",       "--detail",           "--action",  "--requester", "--source-host",
      "--target-host", "--operation-digest", "--context", "--timeout"};
  for (const std::string_view name : kNames) {
    if (arg == name) return true;
  }
  return false;
}

// Keeps the bytes (white space and all, which the parser's path check looks
// at) but turns every separator into '_', under the private directory.
// A blank path stays as it is: the parser refuses it before opening anything.
std::string confine_path(std::string_view path) {
  if (kelvane::is_blank(path)) return std::string(path);
  std::string out = g_dir + "/";
  for (const char c : path) out += c == '/' ? '_' : c;
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const bool ready = enter_private_directory();
  (void)ready;

  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string> pieces;
  std::size_t start = 0;
  while (true) {
    const std::size_t nul = input.find('\0', start);
    pieces.emplace_back(input.substr(start, nul - start));
    if (nul == std::string_view::npos) break;
    start = nul + 1;
  }
  // Paths are kept in the private directory, following the parser's own
  // left-to-right reading: only the argument right after a file option is a
  // path.
  for (std::size_t i = 1; i < pieces.size(); ++i) {
    if (is_file_option(pieces[i]) && i + 1 < pieces.size()) {
      pieces[i + 1] = confine_path(pieces[i + 1]);
      ++i;
    } else if (takes_value(pieces[i])) {
      ++i;
    }
  }

  const std::optional<std::string_view> hostname =
      pieces[0].empty() ? std::nullopt : std::optional<std::string_view>(pieces[0]);
  const std::vector<std::string_view> args(pieces.begin() + 1, pieces.end());

  auto result = kelvane::approval::parse_args(args, hostname);
  if (!result.ok()) {
    if (result.error().output.empty()) std::abort();
    return 0;
  }
  const kelvane::approval::OperatorApprovalRequest& r = result.value();
  if (kelvane::is_blank(r.title) || kelvane::is_blank(r.detail) ||
      kelvane::is_blank(r.target_host)) {
    std::abort();
  }
  if (!r.id.empty()) std::abort();
  // Whatever the arguments held, only UTF-8 text may travel on.
  for (const std::string* text :
       {&r.title, &r.detail, &r.action, &r.requester, &r.source_host, &r.target_host}) {
    if (!kelvane::utf8::is_valid(*text)) std::abort();
  }
  if (r.operation_digest && !kelvane::utf8::is_valid(*r.operation_digest)) std::abort();
  // The line the service gets: UTF-8, and one line feed, the last byte.
  const std::string line = kelvane::approval::encode_request_line(r);
  if (!kelvane::utf8::is_valid(line) || line.find('\n') != line.size() - 1) std::abort();
  if (!line.starts_with(R"({"id":"","title":)")) std::abort();
  return 0;
}
