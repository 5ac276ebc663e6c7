#include "loaded_plugin.h"

#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>
#include <stdexcept>

namespace kelvane::testing {
namespace {

// sudo's printf, recording instead of printing.
std::string* g_printed = nullptr;
std::vector<int>* g_types = nullptr;

__attribute__((format(printf, 2, 3))) int record_printf(int msg_type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  const int size = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<std::size_t>(size > 0 ? size : 0) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  if (g_printed != nullptr) g_printed->append(text);
  if (g_types != nullptr) g_types->push_back(msg_type);
  return size;
}

}  // namespace

LoadedPlugin::LoadedPlugin() {
  handle_ = ::dlopen(KOA_SUDO_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) throw std::runtime_error(std::string("dlopen: ") + ::dlerror());
  plugin_ = static_cast<approval_plugin*>(::dlsym(handle_, "kelvane_approval"));
  if (plugin_ == nullptr) throw std::runtime_error("no symbol kelvane_approval");
}

LoadedPlugin::~LoadedPlugin() {
  ::dlclose(handle_);
}

CheckRun LoadedPlugin::run(const Facts& facts) {
  CheckRun result;
  g_printed = &result.printed;
  g_types = &result.message_types;
  const char* errstr = nullptr;
  static char* const submit_argv[] = {const_cast<char*>("sudo"), nullptr};
  result.open = plugin_->open(facts.api_version, nullptr, record_printf, Strings{}.get(),
                              facts.user_info.get(), 1, submit_argv, facts.envp.get(),
                              facts.options.get(), &errstr);
  if (result.open == 1) {
    result.check =
        plugin_->check(facts.command_info.get(), facts.argv.get(), facts.envp.get(), &errstr);
  }
  // errstr lives until close.
  result.errstr = errstr != nullptr ? errstr : "(none)";
  plugin_->close();
  g_printed = nullptr;
  g_types = nullptr;
  return result;
}

std::string LoadedPlugin::version() {
  std::string printed;
  g_printed = &printed;
  const char* errstr = nullptr;
  static char* const submit_argv[] = {const_cast<char*>("sudo"), const_cast<char*>("-V"), nullptr};
  if (plugin_->open(SUDO_API_VERSION, nullptr, record_printf, Strings{}.get(), Strings{}.get(), 2,
                    submit_argv, Strings{}.get(), nullptr, &errstr) == 1) {
    plugin_->show_version(0);
  }
  plugin_->close();
  g_printed = nullptr;
  return printed;
}

}  // namespace kelvane::testing
