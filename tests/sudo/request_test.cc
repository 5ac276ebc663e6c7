// The pieces of the sudo request: quoting, reading sudo's vectors, the
// title's cut, the digest's canonical encoding, the plugin options.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <vector>

#include "sudo/command_info_table.h"
#include "sudo/operation.h"
#include "sudo/operation_digest.h"
#include "sudo/plugin_options.h"
#include "sudo/shell_quote.h"
#include "sudo/sudo_request.h"
#include "sudo/verdict.h"
#include "support/hex.h"
#include "support/utf8.h"
#include "testing/service.h"

namespace kelvane::sudo {
namespace {

// A NULL-terminated vector of C strings, as sudo passes them.
class Vector {
 public:
  Vector(std::initializer_list<std::string> items) : items_(items) {
    for (std::string& item : items_) pointers_.push_back(item.data());
    pointers_.push_back(nullptr);
  }
  char* const* get() const { return pointers_.data(); }

 private:
  std::vector<std::string> items_;
  std::vector<char*> pointers_;
};

TEST(SudoShellQuote, QuotesOnlyWhatNeedsIt) {
  const struct {
    std::string word;
    std::string quoted;
  } cases[] = {
      {"nginx", "nginx"},
      {"/usr/bin/id", "/usr/bin/id"},
      {"--user=a@b,c:d%e+f_g.h", "--user=a@b,c:d%e+f_g.h"},
      {"", "''"},
      {"two words", "'two words'"},
      {"it's", "'it'\\''s'"},
      {"$HOME", "'$HOME'"},
      {"a;rm -rf /", "'a;rm -rf /'"},
      {"*", "'*'"},
      {"~root", "'~root'"},
      {"B\u00fccher", "'B\u00fccher'"},
      {"\"quoted\"", "'\"quoted\"'"},
      {"back\\slash", "'back\\slash'"},
      // Control characters, and then every quote and backslash, escaped.
      {"line\nbreak", "$'line\\nbreak'"},
      {"tab\there", "$'tab\\there'"},
      {"cr\r", "$'cr\\r'"},
      {"it's\n", "$'it\\'s\\n'"},
      {"a\\b\n", "$'a\\\\b\\n'"},
      {std::string("nul\0byte", 8), "$'nul\\x00byte'"},
      {"\x1b[2Jclear", "$'\\x1b[2Jclear'"},
      {"del\x7f", "$'del\\x7f'"},
      // Bytes that are not UTF-8, one escape each.
      {"caf\xe9", "$'caf\\xe9'"},
      {"\xc3", "$'\\xc3'"},
      {"\xed\xa0\x80", "$'\\xed\\xa0\\x80'"},
      // Invisible and reordering characters.
      {"abc\u202e"
       "def",
       "$'abc\\u202edef'"},
      {"zero\u200bwidth", "$'zero\\u200bwidth'"},
      {"\u2066isolate\u2069", "$'\\u2066isolate\\u2069'"},
      {"c1\u0085", "$'c1\\u0085'"},
      {"\ufeffbom", "$'\\ufeffbom'"},
      {"tag\U000E0041", "$'tag\\U000e0041'"},
      // A real replacement character is a character like any other.
      {"\ufffd", "'\ufffd'"},
      {"\u65e5\u672c", "'\u65e5\u672c'"},
      {"\U0001f600", "'\U0001f600'"},
      // What the operator's screen escapes: a space that is not U+0020, a
      // combining mark (it would sit on the closing quote), a variation
      // selector, private-use and unassigned code points.
      {"a\u00a0b", "$'a\\u00a0b'"},
      {"\u3000", "$'\\u3000'"},
      {"x\u0338", "$'x\\u0338'"},
      {"e\u0301", "$'e\\u0301'"},
      {"\u034f", "$'\\u034f'"},
      {"passwd\ufe0f", "$'passwd\\ufe0f'"},
      {"\ue000", "$'\\ue000'"},
      {"\u0378", "$'\\u0378'"},
      {"\U0010ffff", "$'\\U0010ffff'"},
  };
  for (const auto& c : cases) EXPECT_EQ(shell_quote(c.word), c.quoted) << c.word;
}

// Every character that the plugin escaped before it took the screen's rule
// is escaped still: C1 controls, the soft hyphen, zero-width and joiner
// characters, line and paragraph separators, the bidirectional embeddings,
// overrides and isolates, the byte order mark, interlinear annotations and
// the tag characters; and every character a terminal draws as blank.
TEST(SudoShellQuote, EscapesEveryHiddenOrReorderingCharacter) {
  const struct {
    char32_t first;
    char32_t last;
  } ranges[] = {
      {0x80, 0x9F},
      {0xAD, 0xAD},
      {0x61C, 0x61C},
      {0x180E, 0x180E},
      {0x200B, 0x200F},
      {0x2028, 0x202E},
      {0x2060, 0x206F},
      {0xFEFF, 0xFEFF},
      {0xFFF9, 0xFFFB},
      {0xE0000, 0xE007F},
      // Drawn as blank or as nothing: the Hangul fillers, the conjoining
      // Hangul vowels and finals, the Khmer inherent vowels, the braille
      // blank, the musical null notehead and format characters.
      {0x115F, 0x11FF},
      {0x17B4, 0x17B5},
      {0x2800, 0x2800},
      {0x3164, 0x3164},
      {0xFFA0, 0xFFA0},
      {0x1D159, 0x1D159},
      {0x1D173, 0x1D17A},
  };
  for (const auto& range : ranges) {
    for (char32_t c = range.first; c <= range.last; ++c) {
      char bytes[4];
      const std::string word = "a" + std::string(bytes, utf8::encode(c, bytes)) + "b";
      std::string escape = c > 0xFFFF ? "\\U" : "\\u";
      hex::append_digits(escape, c, c > 0xFFFF ? 8 : 4);
      EXPECT_EQ(shell_quote(word), "$'a" + escape + "b'") << std::hex << "U+" << +c;
    }
  }
}

TEST(SudoShellQuote, JoinsWithSingleSpaces) {
  const std::vector<std::string> words{"rm", "-f", "a b", ""};
  EXPECT_EQ(shell_join(words), "rm -f 'a b' ''");
  EXPECT_EQ(shell_join({}), "");
}

const Vector kAlice{"user=alice",  "uid=1000",       "cwd=/home/alice",
                    "host=web-03", "tty=/dev/pts/3", "pid=4242"};

TEST(SudoReadOperation, TakesWhatSudoSettled) {
  const Vector command_info{"command=/usr/bin/id", "runas_user=backup", "runas_uid=34",
                            "runas_gid=35",        "runas_euid=34",     "runas_egid=35"};
  const Vector argv{"id", "-u"};
  const Vector envp{"PATH=/usr/bin", "PYTHONPATH=/tmp/x y"};
  Result<Operation, std::string> read =
      read_operation(kAlice.get(), command_info.get(), argv.get(), envp.get());
  ASSERT_TRUE(read.ok()) << read.error();
  const Operation& op = read.value();
  EXPECT_EQ(op.env, (std::vector<std::string>{"PATH=/usr/bin", "PYTHONPATH=/tmp/x y"}));
  EXPECT_EQ(op.command, "/usr/bin/id");
  EXPECT_EQ(op.argv, (std::vector<std::string>{"id", "-u"}));
  EXPECT_EQ(op.runas_user, "backup");
  EXPECT_EQ(op.runas_uid, 34u);
  EXPECT_EQ(op.runas_gid, 35u);
  EXPECT_EQ(op.cwd, "/home/alice");
  EXPECT_EQ(op.user, "alice");
  EXPECT_EQ(op.host, "web-03");
  EXPECT_EQ(op.tty, "/dev/pts/3");
  EXPECT_EQ(op.pid, 4242u);
}

TEST(SudoReadOperation, ThePolicysDirectoryWinsAndTtyAndPidMayBeMissing) {
  const Vector user_info{"user=alice", "uid=1000", "cwd=/home/alice", "host=web-03", "tty="};
  const Vector command_info{"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0",
                            "cwd=/srv"};
  const Vector argv{"id"};
  Result<Operation, std::string> read =
      read_operation(user_info.get(), command_info.get(), argv.get(), nullptr);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value().cwd, "/srv");
  EXPECT_TRUE(read.value().env.empty());
  EXPECT_EQ(read.value().tty, "");
  EXPECT_FALSE(read.value().pid.has_value());
}

TEST(SudoReadOperation, RefusesWhatTheRequestCouldNotShowTruly) {
  const Vector good_command{"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"};
  const Vector good_argv{"id"};
  const struct {
    Vector user_info;
    Vector command_info;
    Vector argv;
    std::string reason;
    Vector envp = {};
  } cases[] = {
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave no command= in command_info"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave an empty command="},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave no runas_user= in command_info"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_gid=0"},
       {"id"},
       "sudo gave no runas_uid= in command_info"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=-1"},
       {"id"},
       "sudo gave runas_gid=-1, not a number"},
      {{"uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave no user= in user_info"},
      {{"user=alice", "uid=1000", "cwd=/"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave no host= in user_info"},
      {{"user=alice", "uid=1000", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the working directory is not known: sudo gave no runcwd= or cwd= in command_info nor "
       "cwd= in user_info"},
      {{"user=alice", "uid=1000", "host=h", "cwd=/"},
       {"command=./id", "runas_user=root", "runas_uid=0", "runas_gid=0", "runcwd=bin"},
       {"id"},
       "the working directory is not known: sudo gave runcwd=bin"},
      {{"user=alice", "host=h", "cwd=/"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave no uid= in user_info"},
      {{"user=alice", "uid=-1", "host=h", "cwd=/"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "sudo gave uid=-1 in user_info, not a number"},
      {{"user=alice", "uid=1000", "host=h", "cwd=/"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0", "x_new=caf\xe9"},
       {"id"},
       "command_info entry is not valid UTF-8: $'x_new=caf\\xe9'"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {},
       "sudo gave an empty argument vector"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0", "chroot=/srv/jail"},
       {"id"},
       "the command would run under chroot=/srv/jail, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=1000", "runas_gid=0", "runas_euid=0"},
       {"id"},
       "the command would run with runas_euid=0, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0", "runas_egid=4"},
       {"id"},
       "the command would run with runas_egid=4, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/caf\xe9", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the command path is not valid UTF-8: $'/usr/bin/caf\\xe9'"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id", "ok", "\xff\xfe"},
       "argv[2] is not valid UTF-8: $'\\xff\\xfe'"},
      {{"user=alice", "uid=1000", "cwd=/home/\xe9t\xe9", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the working directory is not valid UTF-8: $'/home/\\xe9t\\xe9'"},
      {{"user=\xe9", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the user name is not valid UTF-8: $'\\xe9'"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h", "tty=/dev/\xff"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the terminal is not valid UTF-8: $'/dev/\\xff'"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0"},
       {"id"},
       "the environment[1] is not valid UTF-8: $'LC_ALL=caf\\xe9'",
       {"PATH=/usr/bin", "LC_ALL=caf\xe9"}},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0",
        "selinux_role=sysadm_r"},
       {"id"},
       "the command would run under selinux_role=sysadm_r, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0",
        "selinux_type=unconfined_t"},
       {"id"},
       "the command would run under selinux_type=unconfined_t, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0",
        "apparmor_profile=unconfined"},
       {"id"},
       "the command would run under apparmor_profile=unconfined, which the request cannot show"},
      {{"user=alice", "uid=1000", "cwd=/", "host=h"},
       {"command=/usr/bin/id", "runas_user=root", "runas_uid=0", "runas_gid=0",
        "preserve_groups=true"},
       {"id"},
       "the command would run with preserve_groups=true, which the request cannot show"},
  };
  for (const auto& c : cases) {
    Result<Operation, std::string> read =
        read_operation(c.user_info.get(), c.command_info.get(), c.argv.get(), c.envp.get());
    ASSERT_FALSE(read.ok()) << c.reason;
    EXPECT_EQ(read.error(), c.reason);
  }
  // No vector at all is refused the same way.
  EXPECT_FALSE(read_operation(nullptr, good_command.get(), good_argv.get(), nullptr).ok());
  EXPECT_FALSE(read_operation(kAlice.get(), nullptr, good_argv.get(), nullptr).ok());
  EXPECT_FALSE(read_operation(kAlice.get(), good_command.get(), nullptr, nullptr).ok());
}

Operation operation_with(std::vector<std::string> argv) {
  Operation op;
  op.command = "/usr/bin/echo";
  op.argv = std::move(argv);
  op.runas_user = "root";
  op.cwd = "/";
  return op;
}

TEST(SudoRequestTitle, CutsAt80BytesNeverInsideACharacter) {
  const std::string e_acute = "\u00e9";  // two bytes
  const struct {
    std::vector<std::string> argv;
    std::string title;
  } cases[] = {
      {{"echo", "hi"}, "sudo: echo hi"},
      // 80 bytes exactly: kept whole.
      {{"echo", std::string(69, 'x')}, "sudo: echo " + std::string(69, 'x')},
      // 81 bytes: 77 of them and the ellipsis.
      {{"echo", std::string(70, 'x')}, "sudo: echo " + std::string(66, 'x') + "\u2026"},
      // The 77-byte cut falls inside a character: the character goes.
      {{"echo", "'" +
                    [&] {
                      std::string s;
                      for (int i = 0; i < 40; ++i) s += e_acute;
                      return s;
                    }()},
       "sudo: echo ''\\''" +
           [&] {
             std::string s;
             for (int i = 0; i < 30; ++i) s += e_acute;
             return s;
           }() +
           "\u2026"},
  };
  for (const auto& c : cases) {
    const std::string title = request_title(operation_with(c.argv));
    EXPECT_EQ(title, c.title);
    EXPECT_LE(title.size(), kTitleLimit);
  }
}

// The expected digests were computed apart from this code, from the
// encoding as documented:
//   printf '%s' 'ENCODING' | sha256sum
// /usr/bin/id -u run as root in /, by alice: the example of the manual page.
Operation plain_id() {
  Operation plain = operation_with({"id", "-u"});
  plain.command = "/usr/bin/id";
  plain.resolved_command = "/usr/bin/id";
  plain.env = {"PATH=/usr/bin"};
  plain.settings = {"umask=022"};
  plain.user = "alice";
  plain.user_uid = 1000;
  return plain;
}

TEST(SudoOperationDigest, CanonicalEncodingAndItsSha256) {
  const Operation plain = plain_id();

  Operation changeable = operation_with({"tool"});
  changeable.command = "bin/tool";
  changeable.cwd = "/home/alice";
  changeable.resolved_command = "/opt/t/tool";
  changeable.links = {{"/home/alice/bin/tool", "/opt/t/tool"}};
  changeable.user = "alice";
  changeable.user_uid = 1000;
  changeable.user_writable = Operation::UserWritable{
      "the file /opt/t/tool is owned by nobody",
      {65534, 0755, "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}};

  const struct {
    const char* name;
    const Operation& operation;
    std::string encoding;
    std::string digest;
  } cases[] = {
      {"plain", plain,
       "25:kelvane-sudo-operation-v3,11:/usr/bin/id,11:/usr/bin/id,1:0,1:0,1:0,1:/,1:2,2:id,2:-u,"
       "1:1,13:PATH=/usr/bin,1:1,9:umask=022,4:1000,5:alice,1:0,",
       "sha256:cc2590a5797e0b2eee952232134755bf60d8bc8d1f0767273c271a77073727b0"},
      {"a link and a file others could change", changeable,
       "25:kelvane-sudo-operation-v3,8:bin/tool,11:/opt/t/tool,1:1,20:/home/alice/bin/tool,11:/"
       "opt/t/tool,1:0,1:0,11:/home/alice,1:1,4:tool,1:0,1:0,4:1000,5:alice,1:3,5:65534,4:0755,"
       "64:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855,",
       "sha256:5e92f95cf4d9b24bcc7574705d88076a3cd6a8d95901220fe313b7319ba99994"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(canonical_encoding(c.operation), c.encoding);
    EXPECT_EQ(operation_digest(c.operation), c.digest);
  }
}

// The shell lines of kelvane_approval(8), as man shows them, typed at a
// shell: the single-quoted pieces run together give the encoding, and the
// line after them its digest. A quoted piece must not hold a line break (a
// backslash-newline between single quotes is two bytes of the string).
TEST(SudoOperationDigest, TheManualPagesExampleGivesItsDigest) {
  std::string page = testing::read_file(KOA_SUDO_MAN_PAGE);
  const auto unescape = [&page](std::string_view roff, std::string_view text) {
    for (std::size_t at = page.find(roff); at != std::string::npos; at = page.find(roff, at)) {
      page.replace(at, roff.size(), text);
      at += text.size();
    }
  };
  unescape("\\(aq", "'");
  unescape("\\-", "-");
  unescape("\\e", "\\");
  const std::size_t start = page.find("$ printf %s ");
  const std::size_t end = page.find(" | sha256sum\n", start);
  ASSERT_NE(start, std::string::npos);
  ASSERT_NE(end, std::string::npos);
  // Quoted pieces, and between them blanks and line continuations only.
  std::string encoding;
  for (std::size_t at = start + std::string_view("$ printf %s ").size(); at < end;) {
    if (page[at] == '\'') {
      const std::size_t close = page.find('\'', at + 1);
      ASSERT_LT(close, end);
      const std::string piece = page.substr(at + 1, close - at - 1);
      EXPECT_EQ(piece.find('\n'), std::string::npos) << piece;
      encoding += piece;
      at = close + 1;
    } else if (page.compare(at, 2, "\\\n") == 0) {
      at += 2;
    } else {
      ASSERT_EQ(page[at], ' ') << page.substr(at, 20);
      ++at;
    }
  }
  const std::size_t after = end + std::string_view(" | sha256sum\n").size();
  const std::string printed_hash = page.substr(after, page.find(' ', after) - after);
  const Operation plain = plain_id();
  EXPECT_EQ(encoding, canonical_encoding(plain));
  EXPECT_EQ("sha256:" + printed_hash, operation_digest(plain));
}

// Moving bytes between neighbouring fields changes the encoding: each pair
// below would encode alike if the fields were simply run together.
TEST(SudoOperationDigest, NeighbouringFieldsCannotTradeBytes) {
  const auto with = [](std::vector<std::string> argv, auto&& change) {
    Operation op = operation_with(std::move(argv));
    change(op);
    return canonical_encoding(op);
  };
  const auto same = [](Operation&) {};
  // uid 1, gid 10 against uid 11, gid 0.
  EXPECT_NE(with({"echo"},
                 [](Operation& op) {
                   op.runas_uid = 1;
                   op.runas_gid = 10;
                 }),
            with({"echo"}, [](Operation& op) { op.runas_uid = 11; }));
  // An argument's byte moved into its neighbour.
  EXPECT_NE(with({"echo", "ab"}, same), with({"echoa", "b"}, same));
  // The last argument against the first environment entry.
  EXPECT_NE(with({"echo", "A=1"}, same), with({"echo"}, [](Operation& op) { op.env = {"A=1"}; }));
  // The last environment entry against the first setting.
  EXPECT_NE(with({"echo"}, [](Operation& op) { op.env = {"A=1"}; }),
            with({"echo"}, [](Operation& op) { op.settings = {"A=1"}; }));
  // A link's target against the run-as uid that follows.
  EXPECT_NE(with({"echo"},
                 [](Operation& op) {
                   op.links = {{"/a", "b1"}};
                 }),
            with({"echo"}, [](Operation& op) {
              op.links = {{"/a", "b"}};
              op.runas_uid = 10;
            }));
}

// Each entry sudo may send, by the table: kept as a setting (shown and
// digested) in sudo's order, or left out; an entry nobody knows is kept as
// it stands, and one without '=' too.
TEST(SudoReadOperation, EveryCommandInfoEntryIsShownOrLeftOutByTheTable) {
  const Vector command_info{"command=/usr/bin/id",
                            "runas_user=root",
                            "runas_uid=0",
                            "runas_gid=0",
                            "runas_euid=0",
                            "runas_groups=0,4",
                            "runcwd=/srv",
                            "cwd=/var",
                            "closefrom=7",
                            "timeout=5",
                            "umask=077",
                            "umask_override=true",
                            "nice=-5",
                            "login_class=daemon",
                            "rlimit_core=0,0",
                            "preserve_groups=false",
                            "use_pty=true",
                            "set_utmp=true",
                            "iolog_path=/var/log/x",
                            "log_servers=a:1",
                            "log_server_keepalive=true",
                            "maxseq=1",
                            "use_ptrace=true",
                            "intercept=true",
                            "x_from_a_newer_sudo=yes",
                            "bare entry"};
  const Vector argv{"id"};
  Result<Operation, std::string> read =
      read_operation(kAlice.get(), command_info.get(), argv.get(), nullptr);
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value().settings,
            (std::vector<std::string>{"runas_groups=0,4", "closefrom=7", "timeout=5", "umask=077",
                                      "umask_override=true", "nice=-5", "login_class=daemon",
                                      "rlimit_core=0,0", "preserve_groups=false", "intercept=true",
                                      "x_from_a_newer_sudo=yes", "bare entry"}));
  EXPECT_EQ(read.value().cwd, "/srv") << "runcwd= before cwd=";
  EXPECT_EQ(read.value().user_uid, 1000u);
  EXPECT_FALSE(read.value().sudoedit);
}

// Every row says why; the names are those sudo sends, and each is in the
// table once.
TEST(SudoCommandInfoTable, EveryRowIsAccountedFor) {
  std::vector<std::string_view> names;
  for (const CommandInfoEntry& entry : command_info_table()) {
    EXPECT_FALSE(entry.why.empty()) << entry.name;
    EXPECT_EQ(std::count(names.begin(), names.end(), entry.name), 0) << entry.name;
    names.push_back(entry.name);
  }
  const struct {
    std::string_view name;
    Handling handling;
  } cases[] = {
      {"command", Handling::kField},       {"runcwd", Handling::kField},
      {"cwd", Handling::kField},           {"chroot", Handling::kRefused},
      {"timeout", Handling::kShown},       {"closefrom", Handling::kShown},
      {"umask", Handling::kShown},         {"sudoedit", Handling::kShown},
      {"login_class", Handling::kShown},   {"nice", Handling::kShown},
      {"rlimit_nofile", Handling::kShown}, {"runas_groups", Handling::kShown},
      {"use_pty", Handling::kIgnored},     {"iolog_ttyout", Handling::kIgnored},
      {"log_servers", Handling::kIgnored}, {"log_server_verify", Handling::kIgnored},
  };
  for (const auto& c : cases) {
    const CommandInfoEntry* entry = command_info_entry(c.name);
    ASSERT_NE(entry, nullptr) << c.name;
    EXPECT_EQ(entry->handling, c.handling) << c.name;
  }
  EXPECT_EQ(command_info_entry("x_from_a_newer_sudo"), nullptr);
  // The manual page lists every row, each as a tagged paragraph of its own.
  const std::string man = testing::read_file(KOA_SUDO_MAN_PAGE);
  ASSERT_FALSE(man.empty()) << KOA_SUDO_MAN_PAGE;
  for (const CommandInfoEntry& entry : command_info_table()) {
    EXPECT_NE(man.find(".TP\n.B " + std::string(entry.name) + "\n"), std::string::npos)
        << entry.name << " is not in " << KOA_SUDO_MAN_PAGE;
  }
  EXPECT_EQ(command_info_entry("iolog"), nullptr) << "a prefix row needs its whole prefix";
}

TEST(SudoPluginOptions, DefaultsAndSettings) {
  Result<PluginOptions, std::string> none = parse_plugin_options(nullptr);
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none.value().socket, "/run/kelvane-operator-approval.sock");
  EXPECT_FALSE(none.value().service_uid.has_value());
  EXPECT_FALSE(none.value().timeout_secs.has_value());

  const Vector words{"socket=/run/x=y.sock", "service_uid=4294967294",
                     "timeout=18446744073709551615"};
  Result<PluginOptions, std::string> all = parse_plugin_options(words.get());
  ASSERT_TRUE(all.ok()) << all.error();
  EXPECT_EQ(all.value().socket, "/run/x=y.sock");
  EXPECT_EQ(all.value().service_uid, 4294967294u);
  EXPECT_EQ(all.value().timeout_secs, 18446744073709551615u);
  EXPECT_EQ(all.value().user_writable, UserWritable::kRefuse) << "refused unless asked for";

  const Vector ask{"user_writable=ask"};
  EXPECT_EQ(parse_plugin_options(ask.get()).value().user_writable, UserWritable::kAsk);
  const Vector refuse{"user_writable=refuse"};
  EXPECT_EQ(parse_plugin_options(refuse.get()).value().user_writable, UserWritable::kRefuse);
}

// A relative command runs from the working directory, which may be "/".
TEST(SudoReadOperation, ACommandPathIsMadeAbsoluteFromTheDirectory) {
  const struct {
    const char* command;
    const char* cwd;
    const char* absolute;
  } cases[] = {
      {"/usr/bin/id", "/home/alice", "/usr/bin/id"},
      {"bin/tool", "/home/alice", "/home/alice/bin/tool"},
      {"bin/tool", "/srv/", "/srv/bin/tool"},
      {"bin/tool", "/", "/bin/tool"},
      {"./tool", "/opt", "/opt/./tool"},
  };
  for (const auto& c : cases) {
    Operation op;
    op.command = c.command;
    op.cwd = c.cwd;
    EXPECT_EQ(absolute_command(op), c.absolute) << c.command << " in " << c.cwd;
  }
}

// Each signal that ends the wait is named, and a refusal says why; the
// message is the reason and a line feed, and the command does not run.
TEST(SudoVerdict, InterruptionsAndRefusalsSayWhatHappened) {
  const struct {
    Verdict verdict;
    const char* reason;
  } cases[] = {
      {interruption(SIGINT), "interrupted by SIGINT before the operator answered"},
      {interruption(SIGQUIT), "interrupted by SIGQUIT before the operator answered"},
      {interruption(SIGTERM), "interrupted by SIGTERM before the operator answered"},
      {interruption(SIGHUP), "interrupted by SIGHUP before the operator answered"},
      {interruption(SIGUSR1), "interrupted by a signal before the operator answered"},
      {refusal("sudo gave no uid= in user_info"), "refused: sudo gave no uid= in user_info"},
  };
  for (const auto& c : cases) {
    const std::string reason =
        "kelvane operator approval: " + std::string(c.reason) + "; the command was not run";
    EXPECT_EQ(c.verdict.status, kError) << c.reason;
    EXPECT_EQ(c.verdict.reason, reason);
    EXPECT_EQ(c.verdict.message, reason + "\n");
  }
}

}  // namespace
}  // namespace kelvane::sudo
