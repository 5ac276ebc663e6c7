// Root's own command run through sudo with the approval plugin on: the note
// that tells root to use a root shell next time, and only then.
#include "operators/sudo_note.h"

#include <gtest/gtest.h>

#include <map>

#include "testing/service.h"

namespace kelvane::operators {
namespace {

TEST(SudoNote, ReadsWhetherSudoConfTurnsThePluginOn) {
  struct Case {
    const char* text;
    bool on;
  };
  const Case cases[] = {
      {"", false},
      {"Plugin sudoers_policy sudoers.so\n", false},
      {"Plugin sudoers_policy sudoers.so\nPlugin kelvane_approval kelvane_approval.so "
       "socket=/run/kelvane-operator-approval.sock timeout=300\n",
       true},
      {"\tPlugin  kelvane_approval kelvane_approval.so", true},
      {"#Plugin kelvane_approval kelvane_approval.so\n", false},
      {"# Plugin kelvane_approval kelvane_approval.so\n", false},
      {"Plugin kelvane_approval_old other.so\n", false},
      {"Path askpass /usr/bin/kelvane_approval\n", false},
  };
  for (const Case& c : cases) EXPECT_EQ(sudo_conf_names_plugin(c.text), c.on) << c.text;
}

TEST(SudoNote, OnlyForRootsOwnCommandRunBySudoWithThePluginOn) {
  testing::TempDir dir;
  const std::string on = dir.file("on.conf");
  const std::string off = dir.file("off.conf");
  testing::write_file(on, "Plugin kelvane_approval kelvane_approval.so\n");
  testing::write_file(off, "Plugin sudoers_policy sudoers.so\n");
  struct Case {
    const char* what;
    Subcommand subcommand;
    bool under_sudo;
    std::string conf;
    bool noted;
  };
  const Case cases[] = {
      {"rotate-key through sudo, plugin on", Subcommand::RotateKey, true, on, true},
      {"rotate-key from a root shell", Subcommand::RotateKey, false, on, false},
      {"rotate-key through sudo, plugin off", Subcommand::RotateKey, true, off, false},
      {"rotate-key through sudo, no sudo.conf", Subcommand::RotateKey, true,
       dir.file("missing.conf"), false},
      {"an operator's command through sudo", Subcommand::List, true, on, false},
  };
  for (const Case& c : cases) {
    const approval::EnvLookup env = [&](const char* name) -> std::optional<std::string_view> {
      if (c.under_sudo && std::string_view(name) == "SUDO_UID") return "1000";
      return std::nullopt;
    };
    const auto note = sudo_note(c.subcommand, env, c.conf);
    EXPECT_EQ(note.has_value(), c.noted) << c.what;
    if (note) {
      EXPECT_NE(note->find("from a root shell"), std::string::npos) << *note;
    }
  }
}

}  // namespace
}  // namespace kelvane::operators
