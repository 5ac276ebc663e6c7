#include "operators/watch_console.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <ctime>
#include <optional>

#include "operators/exchange.h"
#include "operators/record_text.h"
#include "operators/request_screen.h"
#include "operators/terminal_mode.h"
#include "operators/vote_signing.h"
#include "operators/watch_queue.h"
#include "service/signed_vote.h"
#include "support/hex.h"
#include "support/utf8.h"
#include "support/visible_text.h"
#include "support/write_loop.h"

namespace kelvane::operators {
namespace {

using Clock = std::chrono::steady_clock;

// A reason is typed as one line of the terminal in canonical mode, whose
// buffer keeps 4095 bytes of a line and drops what is typed past them
// without telling the reader: a line that long may have been cut, so a
// reason stops one byte short of it and a longer one is refused.
constexpr std::size_t kTerminalLineBytes = 4095;
constexpr std::size_t kMaxReasonBytes = kTerminalLineBytes - 1;

constexpr std::string_view kKeys =
    "keys: y approve, n deny (asks the reason; an empty line goes back),\n"
    "      d details (the whole request), s skip (ask it later), q quit, ? this list\n";

volatile std::sig_atomic_t g_stop = 0;

void on_stop_signal(int) {
  g_stop = 1;
}

// SIGINT, SIGTERM and SIGHUP end the console, with the terminal restored.
// They are blocked except inside ppoll, so that none slips in between the
// check of the flag and the wait.
class StopSignals {
 public:
  StopSignals() {
    sigset_t stops;
    sigemptyset(&stops);
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
      sigaddset(&stops, s);
      ::sigaction(s, &action, nullptr);
    }
    ::sigprocmask(SIG_BLOCK, &stops, &previous_);
    waiting_ = previous_;
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigdelset(&waiting_, s);
  }
  ~StopSignals() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  const sigset_t& while_waiting() const { return waiting_; }

 private:
  sigset_t previous_;
  sigset_t waiting_;
};

std::string closed_announcement(const std::string& id, std::string_view state) {
  const std::string name = "request " + plain_or_quoted(id, "");
  if (state == "withdrawn") return "\n*** " + name + " was withdrawn by its requester ***\n";
  if (state == "expired") return "\n*** " + name + " expired unanswered ***\n";
  return "\n*** " + name + " was decided elsewhere: " + state_word(state) + " ***\n";
}

class Console {
 public:
  Console(DaemonLink& link, const TerminalMode& terminal, const Streams& streams,
          const std::optional<WatchSigning>& signing, std::string service_host)
      : link_(link),
        terminal_(terminal),
        streams_(streams),
        signing_(signing),
        service_host_(std::move(service_host)) {}

  // Until the operator quits (or a stop signal, or the terminal going
  // away); fails when the daemon goes away or garbles its lines.
  Result<void, Unreachable> run(const StopSignals& signals);

 private:
  enum class Mode { Keys, Reason, Voting };

  Result<void, Unreachable> handle_buffered_lines();
  Result<void, Unreachable> from_daemon();
  Result<void, Unreachable> from_terminal();
  Result<void, Unreachable> on_daemon_line(const std::string& line);
  void on_event(service::OperatorEvent& event);
  void on_reply(const service::OperatorAnswer& answer);
  Result<void, Unreachable> on_input(std::string_view bytes);
  Result<bool, Unreachable> on_key(char key);
  Result<void, Unreachable> on_reason(std::string line);
  Result<void, Unreachable> vote(std::string id, bool approve, std::optional<std::string> reason);
  bool sign(service::OperatorRequest& request);
  void shown_changed(std::string_view announcement);
  void present();
  void ask();
  void prompt();
  void say(std::string_view text) { (void)io::write_fully(streams_.out, text); }

  DaemonLink& link_;
  const TerminalMode& terminal_;
  Streams streams_;
  const std::optional<WatchSigning>& signing_;
  std::string service_host_;  // the daemon's, for a signed vote's message
  WatchQueue queue_;
  Mode mode_ = Mode::Keys;
  std::string voting_id_;   // the vote sent and not yet answered (Mode::Voting)
  std::string reason_;      // typed so far (Mode::Reason)
  std::string denying_id_;  // the request shown when n was pressed (Mode::Reason)
  Clock::time_point quiet_until_{};
  bool quit_ = false;
};

void Console::prompt() {
  const service::RequestRecord* shown = queue_.shown();
  if (shown == nullptr) {
    say("waiting for requests (q quits)\n");
    return;
  }
  std::string text = "approve request " + plain_or_quoted(shown->id, "") +
                     "? y approve, n deny, d details, s skip, q quit, ? keys";
  if (queue_.waiting() > 0) text += "; " + std::to_string(queue_.waiting()) + " more waiting";
  say(text + "\n");
}

// The question, under what it decides: every way back to it draws the
// request's summary again, so that whatever was said since (the keys, the
// whole request, an answer) never pushes what a key would decide off the
// screen.
void Console::ask() {
  if (const service::RequestRecord* shown = queue_.shown()) say(summarize_record(*shown));
  prompt();
}

void Console::present() {
  if (const service::RequestRecord* shown = queue_.shown()) {
    say(summarize_record(*shown));
    say("(keys count once the keyboard has been still for a second)\n");
  }
  prompt();
}

// Whatever was typed until now was meant for what was on the screen before,
// in whatever mode: a reason being typed is dropped with the rest.
void Console::shown_changed(std::string_view announcement) {
  terminal_.flush_input();
  if (mode_ == Mode::Reason) {
    terminal_.keys();
    reason_.clear();
    denying_id_.clear();
    mode_ = Mode::Keys;
  }
  say(announcement);
  present();
  // Counted from when the new request is on the screen, not from when it
  // started to be drawn.
  quiet_until_ = Clock::now() + kQuietAfterChange;
}

void Console::on_event(service::OperatorEvent& event) {
  if (event.kind == service::OperatorEvent::Kind::Pending) {
    if (!event.request) return;
    const bool idle = queue_.shown() == nullptr;
    queue_.arrived(std::move(*event.request));
    if (idle && queue_.shown() != nullptr) shown_changed("");
    return;
  }
  if (!queue_.closed(event.id)) return;
  // Closed by the vote on its way from here: its answer tells the rest.
  const bool ours = mode_ == Mode::Voting && event.id == voting_id_;
  shown_changed(ours ? "\n*** request " + plain_or_quoted(event.id, "") + " is now " +
                           state_word(event.state) + " ***\n"
                     : closed_announcement(event.id, event.state));
}

void Console::on_reply(const service::OperatorAnswer& answer) {
  if (mode_ != Mode::Voting) return;  // nothing of ours was waiting for it
  const std::string id = std::move(voting_id_);
  mode_ = Mode::Keys;
  std::string text = "request " + plain_or_quoted(id, "") + ": ";
  if (!answer.ok) {
    text += "your vote was not taken: " + message_text(answer.error);
  } else {
    const std::string state = state_word(answer.state.value_or("pending"));
    text += "your vote is recorded; it is now " + state;
    if (state == "pending" && answer.votes && answer.needed) {
      text += " (" + std::to_string(*answer.votes) + " of " + std::to_string(*answer.needed) +
              " approvals)";
    }
  }
  text += "\n";
  if (queue_.done_with(id)) {
    shown_changed(text);
  } else {
    say(text);
    ask();
  }
}

Result<void, Unreachable> Console::on_daemon_line(const std::string& line) {
  Result<service::DaemonLine, std::string> decoded = service::decode_daemon_line(line);
  if (!decoded.ok()) {
    return fail(
        Unreachable{"the approval daemon sent a line that does not read: " + decoded.error()});
  }
  if (auto* event = std::get_if<service::OperatorEvent>(&decoded.value())) {
    on_event(*event);
  } else {
    on_reply(std::get<service::OperatorAnswer>(decoded.value()));
  }
  return {};
}

// `id` is the request that was shown when the key was pressed.
Result<void, Unreachable> Console::vote(std::string id, bool approve,
                                        std::optional<std::string> reason) {
  service::OperatorRequest request;
  request.op = service::OperatorOp::Vote;
  request.id = std::move(id);
  request.approve = approve;
  request.reason = std::move(reason);
  if (signing_ && !sign(request)) {
    ask();
    return {};
  }
  voting_id_ = request.id;
  mode_ = Mode::Voting;
  say(std::string(approve ? "approving" : "denying") + " request " +
      plain_or_quoted(request.id, "") + "...\n");
  return link_.send(service::encode_operator_request(request));
}

// Signs the vote on the request shown, from the record the daemon showed;
// false (said) when it cannot be signed, and then nothing is sent.
bool Console::sign(service::OperatorRequest& request) {
  const service::RequestRecord* shown = queue_.shown();
  const auto refuse = [&](std::string_view why) {
    say("request " + plain_or_quoted(request.id, "") +
        ": your vote was not sent: " + message_text(why) + "\n");
    return false;
  };
  if (shown == nullptr || shown->id != request.id)
    return refuse("the request is no longer the one shown");
  const auto now = static_cast<std::int64_t>(std::time(nullptr));
  auto message = service::vote_message_for(*shown, service_host_, request.approve, request.reason,
                                           signing_->operator_user, now);
  if (!message.ok()) return refuse(message.error());
  auto signed_vote = sign_vote(message.value(), signing_->key, signing_->agent_socket,
                               [this](std::string_view line) { say(std::string(line) + "\n"); });
  if (!signed_vote.ok()) return refuse(signed_vote.error());
  request.signature = std::move(signed_vote.value().signature);
  request.signed_at = now;
  return true;
}

// True when the key was taken; the keys typed after it were meant for what
// it led to, and are dropped.
Result<bool, Unreachable> Console::on_key(char key) {
  const service::RequestRecord* shown = queue_.shown();
  switch (key) {
    case 'q':
    case 'Q':
    case 4:  // Ctrl-D
      quit_ = true;
      return true;
    case '?':
    case 'h':
      say(kKeys);
      ask();
      return true;
    default:
      break;
  }
  if (shown == nullptr) return false;
  switch (key) {
    case 'y':
    case 'Y': {
      Result<void, Unreachable> sent = vote(shown->id, true, std::nullopt);
      if (!sent.ok()) return fail(std::move(sent).error());
      return true;
    }
    case 'd':
    case 'D':
      say(describe_record(*shown));
      ask();
      return true;
    case 'n':
    case 'N':
      mode_ = Mode::Reason;
      reason_.clear();
      denying_id_ = shown->id;
      terminal_.lines();
      say("reason for denying request " + plain_or_quoted(shown->id, "") +
          " (an empty line goes back): ");
      return true;
    case 's':
    case 'S':
      if (queue_.waiting() == 0) {
        say("no other request is waiting\n");
        ask();
        return true;
      }
      queue_.skip_shown();
      shown_changed("");
      return true;
    default:
      return false;
  }
}

Result<void, Unreachable> Console::on_reason(std::string line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
  if (line.find_first_not_of(" \t") == std::string::npos) {
    terminal_.keys();
    mode_ = Mode::Keys;
    ask();
    return {};
  }
  if (line.size() > kMaxReasonBytes) {
    say("the reason is too long: at most " + std::to_string(kMaxReasonBytes) +
        " bytes (the terminal keeps no more of a line); type it again: ");
    return {};
  }
  if (!utf8::is_valid(line)) {
    say("a reason is UTF-8 text; type it again: ");
    return {};
  }
  // The daemon refuses such a reason, and a vote refused is not asked again
  // here: asked again now instead.
  if (const auto found = visible::first_unprintable(line)) {
    std::string code = "U+";
    hex::append_digits(code, found->c, found->c > 0xFFFF ? 6 : 4);
    say("a reason may hold no control, bidirectional or invisible character (" + code +
        "); type it again: ");
    return {};
  }
  terminal_.keys();
  return vote(denying_id_, false, std::move(line));
}

Result<void, Unreachable> Console::on_input(std::string_view bytes) {
  const Clock::time_point now = Clock::now();
  // Keys count only once the keyboard has been still for a whole second
  // since the request shown changed: typing that runs on across the change
  // (the rest of a reason, a word) starts that second again with every key,
  // so it never answers the question that replaced the one it was typed for.
  const bool settling = now < quiet_until_;
  if (settling) quiet_until_ = now + kQuietAfterChange;
  // Typed while the request shown had just changed, or while a vote is on
  // its way: meant for something else. Only quitting answers nothing.
  if (settling || mode_ == Mode::Voting) {
    if (mode_ != Mode::Reason && bytes.find_first_of("qQ\x04") != std::string_view::npos) {
      quit_ = true;
    }
    return {};
  }
  if (mode_ == Mode::Reason) {
    reason_.append(bytes);
    const std::size_t end = reason_.find('\n');
    if (end == std::string::npos) {
      // Past the limit only the length still matters; cleared, the rest of
      // the line would be sent as a reason of its own.
      if (reason_.size() > kMaxReasonBytes + 1) reason_.resize(kMaxReasonBytes + 1);
      return {};
    }
    std::string line = reason_.substr(0, end);
    reason_.clear();
    return on_reason(std::move(line));
  }
  for (const char key : bytes) {
    Result<bool, Unreachable> taken = on_key(key);
    if (!taken.ok()) return fail(std::move(taken).error());
    if (taken.value()) break;
  }
  return {};
}

Result<void, Unreachable> Console::handle_buffered_lines() {
  for (;;) {
    Result<std::optional<std::string>, Unreachable> line = link_.buffered_line();
    if (!line.ok()) return fail(std::move(line).error());
    if (!line.value()) return {};
    Result<void, Unreachable> handled = on_daemon_line(*line.value());
    if (!handled.ok()) return handled;
  }
}

Result<void, Unreachable> Console::from_daemon() {
  Result<bool, Unreachable> received = link_.receive_some();
  if (!received.ok()) return fail(std::move(received).error());
  if (!received.value()) return fail(Unreachable{"the approval daemon closed the connection"});
  return handle_buffered_lines();
}

Result<void, Unreachable> Console::from_terminal() {
  char buffer[1024];
  const ssize_t got = ::read(streams_.in, buffer, sizeof buffer);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return {};
  if (got <= 0) {
    quit_ = true;  // the terminal is gone
    return {};
  }
  return on_input(std::string_view(buffer, static_cast<std::size_t>(got)));
}

Result<void, Unreachable> Console::run(const StopSignals& signals) {
  terminal_.keys();
  present();
  // Events that came with the answer to "watch".
  Result<void, Unreachable> done = handle_buffered_lines();
  while (done.ok() && !quit_) {
    pollfd p[2] = {{link_.fd(), POLLIN, 0}, {streams_.in, POLLIN, 0}};
    const int n = ::ppoll(p, 2, nullptr, &signals.while_waiting());
    if (g_stop) break;
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) break;
    // The daemon first: a request that closed takes the keys typed for it
    // along, before they are read.
    if (p[0].revents != 0) done = from_daemon();
    if (done.ok() && p[1].revents != 0) done = from_terminal();
  }
  say("\n");
  return done;
}

}  // namespace

int watch(const std::string& path, const Streams& streams,
          const std::optional<WatchSigning>& signing) {
  auto complain = [&](std::string_view message, int status) {
    (void)io::write_fully(streams.err,
                          "kelvane-operator-approvals: " + std::string(message) + "\n");
    return status;
  };
  std::optional<TerminalMode> terminal = TerminalMode::take(streams.in);
  if (!terminal) return complain("watch needs a terminal on standard input", kUsage);
  // A background job would be stopped at its first read.
  if (::tcgetpgrp(streams.in) != ::getpgrp()) {
    return complain("watch needs to run in the foreground of its terminal", kUsage);
  }
  Result<DaemonLink, Unreachable> link = DaemonLink::connect(path);
  if (!link.ok()) return complain(link.error().message, kUnreachable);
  service::OperatorRequest request;
  request.op = service::OperatorOp::Watch;
  Result<service::OperatorAnswer, Unreachable> answered = exchange(link.value(), request);
  if (!answered.ok()) return complain(answered.error().message, kUnreachable);
  const service::OperatorAnswer& answer = answered.value();
  if (!answer.ok) {
    return complain(message_text(answer.error),
                    answer.status == service::kOperatorBadLine ? kUsage : kRefused);
  }
  if (signing && !answer.service_host) {
    return complain("--key: this approval daemon takes no signed votes (it has no operator_keys)",
                    kRefused);
  }
  const StopSignals signals;
  Console console(link.value(), *terminal, streams, signing, answer.service_host.value_or(""));
  Result<void, Unreachable> ran = console.run(signals);
  if (!ran.ok()) return complain(ran.error().message, kUnreachable);
  return kDone;
}

}  // namespace kelvane::operators
