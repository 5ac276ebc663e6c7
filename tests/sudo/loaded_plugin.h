// The built plugin, loaded as sudo loads it (dlopen, then the symbol named
// on its sudo.conf line), and called with synthetic vectors.
#pragma once

#include <sudo_plugin.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace kelvane::testing {

// A NULL-terminated vector of C strings, as sudo passes them.
class Strings {
 public:
  Strings() { point(); }
  Strings(std::initializer_list<std::string> items) : items_(items) { point(); }
  explicit Strings(std::vector<std::string> items) : items_(std::move(items)) { point(); }
  Strings(const Strings& other) : items_(other.items_) { point(); }
  Strings& operator=(const Strings& other) {
    items_ = other.items_;
    pointers_.clear();
    point();
    return *this;
  }

  char* const* get() const { return pointers_.data(); }
  Strings with(const std::string& item) const {
    std::vector<std::string> items = items_;
    items.push_back(item);
    return Strings(std::move(items));
  }

 private:
  void point() {
    for (std::string& item : items_) pointers_.push_back(item.data());
    pointers_.push_back(nullptr);
  }
  std::vector<std::string> items_;
  std::vector<char*> pointers_;
};

// What sudo would have received and shown for one command.
struct CheckRun {
  int open = 0;
  int check = 0;        // not called (0) when open failed
  std::string printed;  // every printf, in order
  std::vector<int> message_types;
  std::string errstr;  // "(none)" when the plugin left it unset
};

struct Facts {
  Facts(Strings options_, Strings user_info_, Strings command_info_, Strings argv_)
      : options(std::move(options_)),
        user_info(std::move(user_info_)),
        command_info(std::move(command_info_)),
        argv(std::move(argv_)) {}

  Strings options;
  Strings user_info;
  Strings command_info;
  Strings argv;
  Strings envp;
  unsigned int api_version = SUDO_API_VERSION;
};

class LoadedPlugin {
 public:
  LoadedPlugin();
  ~LoadedPlugin();
  LoadedPlugin(const LoadedPlugin&) = delete;
  LoadedPlugin& operator=(const LoadedPlugin&) = delete;

  // open, then check if open succeeded, then close.
  CheckRun run(const Facts& facts);
  // open, show_version, close; what was printed.
  std::string version();
  // The entry points themselves, for calls that sudo would not make.
  approval_plugin& entry_points() { return *plugin_; }

 private:
  void* handle_ = nullptr;
  approval_plugin* plugin_ = nullptr;
};

}  // namespace kelvane::testing
