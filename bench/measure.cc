// Times whole processes, interleaved, and reports medians.
//
//   measure [-r ROUNDS] [-w WARMUP] [-s SIZE_BYTES] NAME COMMAND [NAME COMMAND]...
//
// COMMAND is split on spaces (single quotes keep a part whole) and run
// without a shell, with standard input, output and error on /dev/null. Each
// round runs every command once, in an
// order that rotates from round to round so that none always runs first.
// The wall time (microseconds, from just before the spawn to the return of
// wait4) of each run is kept; a run that does not exit with status 0 stops
// the measurement. The peak resident set is taken in a separate pass, from
// the process's own high-water mark (VmHWM) read while it is stopped at its
// exit under ptrace: ru_maxrss would also count the spawning process, whose
// memory the child had before exec. The report gives
// per command the median and range of both, and for each later command its
// per-round time ratio to every earlier one: median [min-max]. With -s, the
// peak RSS is also given as a multiple of SIZE_BYTES. Last come "summary NAME
// MEDIAN_US PEAK_RSS_KB" lines for scripts.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern char** environ;

namespace {

struct Command {
  std::string name;
  std::vector<std::string> argv;
  std::vector<double> micros;
  std::vector<long> rss_kb;
};

// Splits on spaces; a part in single quotes keeps its spaces.
std::vector<std::string> split(const char* text) {
  std::vector<std::string> out;
  std::string cur;
  bool quoted = false;
  bool any = false;
  for (const char* p = text;; ++p) {
    if (*p == '\'') {
      quoted = !quoted;
      any = true;
    } else if ((*p == ' ' && !quoted) || *p == '\0') {
      if (any) out.push_back(cur);
      cur.clear();
      any = false;
      if (*p == '\0') break;
    } else {
      cur += *p;
      any = true;
    }
  }
  return out;
}

double now_us() {
  const auto since = std::chrono::steady_clock::now().time_since_epoch();
  return std::chrono::duration<double, std::micro>(since).count();
}

std::vector<char*> argv_of(Command& c) {
  std::vector<char*> argv;
  for (auto& a : c.argv) argv.push_back(a.data());
  argv.push_back(nullptr);
  return argv;
}

long high_water_kb(pid_t pid) {
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", static_cast<int>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (!f) return -1;
  char line[256];
  long kb = -1;
  while (std::fgets(line, sizeof line, f)) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kb) == 1) break;
  }
  std::fclose(f);
  return kb;
}

// Runs the command once under ptrace and returns its peak RSS in KB.
long peak_rss_once(Command& c) {
  auto argv = argv_of(c);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null_fd = open("/dev/null", O_RDWR);
    dup2(null_fd, 0);
    dup2(null_fd, 1);
    dup2(null_fd, 2);
    ptrace(PTRACE_TRACEME, 0, nullptr, nullptr);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  long kb = -1;
  waitpid(pid, &status, 0);  // stopped at exec
  ptrace(PTRACE_SETOPTIONS, pid, nullptr, reinterpret_cast<void*>(PTRACE_O_TRACEEXIT));
  ptrace(PTRACE_CONT, pid, nullptr, nullptr);
  for (;;) {
    waitpid(pid, &status, 0);
    if (WIFEXITED(status) || WIFSIGNALED(status)) break;
    int deliver = 0;
    if (status >> 8 == (SIGTRAP | (PTRACE_EVENT_EXIT << 8))) {
      kb = high_water_kb(pid);
    } else if (WIFSTOPPED(status) && WSTOPSIG(status) != SIGTRAP) {
      deliver = WSTOPSIG(status);
    }
    ptrace(PTRACE_CONT, pid, nullptr, reinterpret_cast<void*>(static_cast<long>(deliver)));
  }
  return kb;
}

bool run_once(Command& c, bool keep) {
  auto argv = argv_of(c);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const double start = now_us();
  pid_t pid = 0;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) {
    std::fprintf(stderr, "measure: cannot start %s\n", argv[0]);
    return false;
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);  // reaps at once, unlike waitpid plus getrusage
  const double end = now_us();
  posix_spawn_file_actions_destroy(&actions);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "measure: %s ended with status %d\n", c.name.c_str(), status);
    return false;
  }
  if (keep) c.micros.push_back(end - start);
  return true;
}

template <class T>
T median(std::vector<T> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

std::string human_time(double us) {
  char buf[32];
  if (us >= 1e6) {
    std::snprintf(buf, sizeof buf, "%.3f s", us / 1e6);
  } else if (us >= 1e3) {
    std::snprintf(buf, sizeof buf, "%.2f ms", us / 1e3);
  } else {
    std::snprintf(buf, sizeof buf, "%.0f us", us);
  }
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 21;
  int warmup = 2;
  double size = 0;
  int i = 1;
  for (; i + 1 < argc && argv[i][0] == '-'; i += 2) {
    if (std::strcmp(argv[i], "-r") == 0)
      rounds = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "-w") == 0)
      warmup = std::atoi(argv[i + 1]);
    else if (std::strcmp(argv[i], "-s") == 0)
      size = std::atof(argv[i + 1]);
  }
  std::vector<Command> commands;
  for (; i + 1 < argc; i += 2) commands.push_back({argv[i], split(argv[i + 1]), {}, {}});
  if (commands.empty() || rounds < 1) {
    std::fputs("usage: measure [-r ROUNDS] [-w WARMUP] [-s SIZE] NAME COMMAND...\n", stderr);
    return 2;
  }

  const std::size_t n = commands.size();
  for (int r = -warmup; r < rounds; ++r) {
    for (std::size_t k = 0; k < n; ++k) {
      Command& c = commands[(k + static_cast<std::size_t>(r + warmup)) % n];
      if (!run_once(c, r >= 0)) return 1;
    }
  }

  for (Command& c : commands) {
    for (int r = 0; r < std::min(rounds, 5); ++r) c.rss_kb.push_back(peak_rss_once(c));
  }

  std::printf("%-22s %11s %11s %11s %10s %10s", "command", "median", "min", "max", "rss(med)",
              "rss(max)");
  if (size > 0) std::printf(" %8s", "rss/size");
  std::printf("\n");
  for (const Command& c : commands) {
    const auto [lo, hi] = std::minmax_element(c.micros.begin(), c.micros.end());
    const long rss_max = *std::max_element(c.rss_kb.begin(), c.rss_kb.end());
    std::printf("%-22s %11s %11s %11s %7ld KB %7ld KB", c.name.c_str(),
                human_time(median(c.micros)).c_str(), human_time(*lo).c_str(),
                human_time(*hi).c_str(), median(c.rss_kb), rss_max);
    if (size > 0) std::printf(" %8.2f", static_cast<double>(rss_max) * 1024.0 / size);
    std::printf("\n");
  }
  for (std::size_t a = 1; a < n; ++a) {
    for (std::size_t b = 0; b < a; ++b) {
      std::vector<double> ratio;
      for (std::size_t r = 0; r < commands[a].micros.size(); ++r)
        ratio.push_back(commands[a].micros[r] / commands[b].micros[r]);
      const auto [lo, hi] = std::minmax_element(ratio.begin(), ratio.end());
      std::printf("time %s / %s: %.3f [%.3f-%.3f]\n", commands[a].name.c_str(),
                  commands[b].name.c_str(), median(ratio), *lo, *hi);
    }
  }
  // For scripts: one line per command with its median time and peak RSS.
  for (const Command& c : commands) {
    std::printf("summary %s %.0f %ld\n", c.name.c_str(), median(c.micros),
                *std::max_element(c.rss_kb.begin(), c.rss_kb.end()));
  }
  return 0;
}
