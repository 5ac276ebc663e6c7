#include "approval/text_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <string_view>
#include <thread>
#include <vector>

#include "testing/sanitizer.h"
#include "testing/service.h"

namespace kelvane::approval {
namespace {

using testing::TempDir;
using testing::write_file;

std::string os_text(int code) {
  return io::Error::os(code).to_string();
}

struct FileCase {
  std::string path;
  std::string expected;  // the content, or everything written on failure
  bool ok;
};

TEST(ReadTextArg, ContentAndMessages) {
  TempDir dir;
  const std::string usage(kUsageText);
  const std::string bom = "\xEF\xBB\xBF";
  write_file(dir.file("plain"), "stop \"api\" now\n\tC:\\temp\r\n");
  write_file(dir.file("empty"), "");
  write_file(dir.file("bom"), bom);
  write_file(dir.file("latin1"), "caf\xE9 ok\n");
  write_file(dir.file("trailing "), "spaces kept in the name");
  std::string big(100000, 'x');
  big.replace(50000, 2, "\xC3\xA9");
  write_file(dir.file("big"), big);

  const FileCase cases[] = {
      {dir.file("plain"), "stop \"api\" now\n\tC:\\temp\r\n", true},
      {dir.file("empty"), "", true},
      {dir.file("bom"), bom, true},
      {dir.file("big"), big, true},
      {dir.file("trailing "), "spaces kept in the name", true},
      {"/dev/null", "", true},
      {"", "--detail-file requires a path\n" + usage, false},
      {" \t\xE3\x80\x80", "--detail-file requires a path\n" + usage, false},
      {dir.file("missing"),
       "could not read --detail-file " + dir.file("missing") + ": " + os_text(ENOENT) + "\n",
       false},
      {" " + dir.file("plain"),
       "could not read --detail-file  " + dir.file("plain") + ": " + os_text(ENOENT) + "\n", false},
      {dir.path(), "could not read --detail-file " + dir.path() + ": " + os_text(EISDIR) + "\n",
       false},
      {dir.file("latin1"),
       "could not read --detail-file " + dir.file("latin1") +
           ": stream did not contain valid UTF-8\n",
       false},
  };
  const std::size_t before = testing::open_descriptor_count();
  for (const FileCase& c : cases) {
    auto r = read_text_arg("--detail-file", c.path);
    ASSERT_EQ(r.ok(), c.ok) << c.path;
    EXPECT_EQ(r.ok() ? r.value() : r.error().output, c.expected) << c.path;
  }
  EXPECT_EQ(testing::open_descriptor_count(), before);
}

TEST(ReadTextFile, PipeWithoutSizeIsReadToItsEnd) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const std::string text = "piped\n" + std::string(20000, 'p');
  // A write to a pipe may take less than it was given; a short one shows up
  // below as content that does not match.
  std::thread writer([&] {
    std::string_view rest = text;
    while (!rest.empty()) {
      const ssize_t n = ::write(fds[1], rest.data(), rest.size());
      if (n <= 0) break;
      rest.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fds[1]);
  });
  auto r = read_text_file("/proc/self/fd/" + std::to_string(fds[0]));
  writer.join();
  ::close(fds[0]);
  ASSERT_TRUE(r.ok()) << r.error().to_string();
  EXPECT_EQ(r.value(), text);
}

// The reported size is read at once, then a small probe looks for more; the
// content must come out whole at every size around those steps, behind any
// room asked for in front, and from a file the system reports as empty (as
// it does for /proc files).
TEST(ReadTextFile, EverySizeIsReadWhole) {
  TempDir dir;
  for (const std::size_t size :
       {0u, 1u, 63u, 64u, 65u, 127u, 8191u, 8192u, 8193u, 8256u, 70000u, 1u << 20}) {
    std::string text(size, 'x');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    const std::string path = dir.file("sized");
    write_file(path, text);
    for (const std::size_t headroom : {0u, 5u, 4096u}) {
      auto r = read_text_file(path, headroom);
      ASSERT_TRUE(r.ok()) << size << " after " << headroom;
      EXPECT_EQ(r.value(), std::string(headroom, '\0') + text) << size << " after " << headroom;
    }
  }
  auto status = read_text_file("/proc/self/status");
  ASSERT_TRUE(status.ok());
  EXPECT_NE(status.value().find("\nPid:\t"), std::string::npos);
  EXPECT_EQ(status.value().back(), '\n');
}

TEST(ReadTextFile, SizeBeyondMemoryIsOutOfMemory) {
  // A sparse file claims terabytes; reserving that much must fail cleanly.
  // Only meaningful where the kernel refuses such an allocation up front.
  if (testing::kAddressSanitizer) GTEST_SKIP() << "the sanitizer's allocator aborts on such a size";
  std::ifstream overcommit("/proc/sys/vm/overcommit_memory");
  int mode = 1;
  if (!(overcommit >> mode) || mode == 1) GTEST_SKIP() << "allocations are always granted here";
  TempDir dir;
  const std::string path = dir.file("sparse");
  write_file(path, "");
  if (::truncate(path.c_str(), off_t{1} << 43) != 0) GTEST_SKIP() << "no sparse files here";
  auto r = read_text_file(path);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "out of memory");
}

TEST(ReadTextFile, InteriorNulIsRefused) {
  TempDir dir;
  write_file(dir.file("a"), "must not be read");
  auto r = read_text_file(dir.file("a") + std::string(1, '\0') + "b");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().to_string(), "paths must not contain interior null bytes");
}

TEST(ParseArgs, DetailFileIsReadWhenMet) {
  TempDir dir;
  const std::string usage(kUsageText);
  const std::string good = dir.file("good");
  const std::string blank = dir.file("blank");
  const std::string bom = dir.file("bom");
  const std::string missing = dir.file("missing");
  write_file(good, "from file\n");
  write_file(blank, "\n  \n\t\n");
  write_file(bom, "\xEF\xBB\xBF");
  const std::string latin1_name = dir.file("caf\xE9");  // a path need not be UTF-8
  write_file(latin1_name, "named in Latin-1");
  using Args = std::vector<std::string_view>;
  const std::string missing_message =
      "could not read --detail-file " + missing + ": " + os_text(ENOENT) + "\n";
  struct Case {
    Args args;
    std::string detail_or_output;
    bool ok;
  };
  const Case cases[] = {
      {{"--title", "t", "--target-host", "h", "--detail-file", good}, "from file\n", true},
      {{"--title", "t", "--target-host", "h", "--detail-file", bom}, "\xEF\xBB\xBF", true},
      {{"--title", "t", "--target-host", "h", "--detail-file", latin1_name},
       "named in Latin-1",
       true},
      {{"--detail-file", good, "--detail", "d", "--title", "t", "--target-host", "h"}, "d", true},
      {{"--detail", "d", "--detail-file", good, "--title", "t", "--target-host", "h"},
       "from file\n",
       true},
      {{"--title", "t", "--target-host", "h", "--detail-file"},
       "--detail-file requires a path\n" + usage,
       false},
      {{"--title", "t", "--target-host", "h", "--detail-file", blank}, usage, false},
      {{"--detail-file", missing, "--help"}, missing_message, false},
      {{"--detail-file", missing, "--detail", "d", "--title", "t", "--target-host", "h"},
       missing_message,
       false},
  };
  for (const Case& c : cases) {
    auto r = parse_args(c.args, std::nullopt);
    ASSERT_EQ(r.ok(), c.ok) << (r.ok() ? r.value().detail : r.error().output);
    EXPECT_EQ(r.ok() ? r.value().detail : r.error().output, c.detail_or_output);
  }
}

}  // namespace
}  // namespace kelvane::approval
