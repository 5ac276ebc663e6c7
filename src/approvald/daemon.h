// The daemon's event loop: the two listening sockets, every requester's and
// operator's connection, the pending requests with their timers, and the
// hand-over to the commit and lookup threads. Everything here runs on one
// thread and nothing here waits.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "accept_refusals.h"
#include "commit_thread.h"
#include "decision_journal.h"
#include "fleet_link.h"
#include "lookup_thread.h"
#include "mailbox.h"
#include "name_cache.h"
#include "notifier.h"
#include "operator_connection.h"
#include "owning_thread.h"
#include "requester.h"
#include "reuse.h"
#include "roles.h"
#include "service/config.h"
#include "service/listener.h"
#include "service/operator_protocol.h"
#include "service/policy.h"
#include "service/request.h"
#include "service/verified_requester.h"
#include "support/file_descriptor.h"
#include "timer_set.h"
#include "token/key_store.h"
#include "verdict.h"
#include "votes.h"

namespace kelvane::approvald {

struct Settings {
  std::string request_socket;
  std::string operator_socket;
  std::string config_path;
  bool config_named = false;
  service::Config config;
  // config.operator_keys, read at the start and again at each reload.
  std::vector<sshsig::AllowedSigner> operator_keys;
};

// What start-up hands the loop: its sockets, its record and its first ids.
struct Start {
  FileDescriptor requests;
  FileDescriptor operators;
  // The sockets' files, when the daemon made them (not systemd): removed
  // when the daemon stops listening.
  std::unique_ptr<service::Listener> request_file;
  std::unique_ptr<service::Listener> operator_file;
  std::unique_ptr<service::Store> store;
  std::uint64_t first_id = 0;
  std::uint64_t id_count = 0;
  // The approval tokens' keys, read or made before the loop starts.
  token::KeyPaths key_paths;
  std::unique_ptr<token::KeyState> keys;

  // With store = "postgresql": the link to the shared database, opened.
  std::unique_ptr<FleetLink> fleet;
};

class Daemon {
 public:
  Daemon(Settings settings, Start start, DecisionJournal& journal);
  ~Daemon();
  Daemon(const Daemon&) = delete;
  Daemon& operator=(const Daemon&) = delete;

  // False with a reason when the loop's own descriptors cannot be made.
  bool ready(std::string& error) const;
  // Serves until SIGTERM or SIGINT has been handled; returns the exit status
  // (1, logged, when the loop cannot go on). No exception leaves it.
  int run();

 private:
  // epoll keys of the loop's own descriptors; connections count from 16.
  static constexpr std::uint64_t kRequestListenerKey = 1;
  static constexpr std::uint64_t kOperatorListenerKey = 2;
  static constexpr std::uint64_t kSignalKey = 3;
  static constexpr std::uint64_t kMailboxKey = 4;
  // Timer keys of the loop's own tasks (timers_), beside the connections'.
  static constexpr std::uint64_t kPruneTimer = 5;
  static constexpr std::uint64_t kRewriteTimer = 6;
  static constexpr std::uint64_t kRefusalCountTimer = 7;
  static constexpr std::uint64_t kAcceptPauseTimer = 8;

  using Phase = RequesterPhase;

  // Set-up and the loop.
  int serve();
  // False, with the journal told, when epoll refuses (ENOSPC past
  // max_user_watches, ENOMEM): the caller lets go of the connection rather
  // than leave it unwatched or spinning. Removal is left to close(), which
  // always takes a descriptor out of the set.
  [[nodiscard]] bool watch_fd(int fd, std::uint64_t key, std::uint32_t events);
  [[nodiscard]] bool change_fd(int fd, std::uint64_t key, std::uint32_t events);
  // The listener for requesters paused (a moment, while descriptors are
  // short) or taken up again.
  void pause_accepting(std::chrono::milliseconds how_long);
  void dispatch(std::uint64_t key, std::uint32_t events);
  int next_timeout() const;
  void fire_timers();
  void fire(std::uint64_t timer);
  void handle_signals();
  void reload();
  void begin_stop();
  bool stopped() const;
  void schedule_prune();
  // keep_days in the fleet's shared database (fleet_glue.cc's link).
  void prune_fleet();

  // Requesters (requests.cc).
  void accept_requesters();
  void refuse_unread(FileDescriptor fd, const service::PeerCredentials& credentials, uid_t cap_uid,
                     std::string_view verdict, const std::string& detail);
  void on_requester_event(Requester& r, std::uint32_t events);
  void read_request(Requester& r);
  void line_complete(Requester& r, std::string line);
  void answer_unread(Requester& r, std::string_view verdict, const std::string& detail);
  // Caps (accept_requesters): the most one owner may hold, and the refusal
  // of a connection over a cap, which is counted, not recorded
  // (accept_refusals.h).
  std::uint64_t owner_cap() const;
  std::string over_owner_cap(std::size_t held) const;
  void refuse_at_accept(FileDescriptor fd, const service::PeerCredentials& credentials,
                        const service::Accountable& owner, const std::string& detail);
  void write_accept_refusals();
  void on_identified(std::uint64_t key, service::VerifiedRequester who);
  void start_waiting(Requester& r);
  void on_inserted(std::uint64_t key, bool ok);
  void set_deadline(Requester& r, std::optional<Clock::time_point> at);
  void on_deadline(Requester& r);
  void decide(Requester& r, Verdict verdict, std::string detail,
              std::optional<service::VoteRecord> vote, std::function<void(bool)> after);
  void on_recorded(std::uint64_t key, bool ok);
  // The verdict line of a decided request.
  std::string verdict_line(const Requester& r);
  static std::shared_ptr<EarlySend> send_once_durable(const Requester& r);
  void send_to_requester(Requester& r);
  void requester_left(Requester& r);
  void release_place(Requester& r);
  void close_requester(Requester& r);
  std::optional<RequestId> take_id();

  // Refusals (caps, bad requests, stopping) are recorded before they are
  // sent: each waits here, apart from the requesters and their caps, for
  // its commit, or kRefusalRecordWait at most.
  struct HeldRefusal {
    FileDescriptor fd;
    std::string id;
    std::string line;
  };
  static constexpr std::size_t kMaxHeldRefusals = 1024;
  static constexpr std::chrono::seconds kRefusalRecordWait{2};
  void hold_refusal(FileDescriptor fd, std::string id, std::string line,
                    service::RequestRecord record);
  // Sends it; `unrecorded_because` ("" when recorded) goes to the journal.
  void release_refusal(std::uint64_t serial, const std::string& unrecorded_because);
  void release_overdue_refusals(Clock::time_point now);
  // The waiting request an id names, or nullptr (for a text that names no
  // id too: operators and the record give the id as text).
  Requester* pending_request(RequestId id);
  Requester* pending_request(std::string_view id);
  const Requester* pending_request(std::string_view id) const;
  // R's text is written when it changes, so that a list of thousands is
  // one copy of each.
  static void refresh_json(Requester& r);
  static std::string pending_event(const Requester& r);

  // Policy rules (policy_steps.cc).
  void apply_policy(Requester& r, const service::VerifiedRequester& who);
  // What a deny or approve rule, or a reused approval, decides at once.
  struct PolicyVerdict {
    Verdict verdict;
    std::string detail;
  };
  std::optional<PolicyVerdict> policy_verdict(const Requester& r) const;
  bool act_on_policy(Requester& r);
  void remember_approval(const Requester& r);
  bool may_vote_on(const Requester& r, const Identity& identity) const;
  // The person an operator is when votes are counted (service::Person):
  // this host, the connection's uid, the uid's name. The one place that
  // says which uid a voter has.
  service::Person person_of(const Operator& o) const;
  void notify_waiting(const Requester& r);

  // Operators (operators.cc).
  void accept_operators();
  void on_operator_event(Operator& o, std::uint32_t events);
  void serve_operator_lines(Operator& o);
  void handle_operator_request(Operator& o, Reply to, const service::OperatorRequest& request);
  // Answer the line `to` stands for, now or later: its text waits in its
  // slot until every earlier line is answered. Given outside the serving of
  // the operator's lines, the lines that waited for it are then served.
  void answer(Reply to, service::OperatorAnswer a);
  void refuse(Reply to, int status, std::string error);
  void answer_text(Reply to, std::string text);
  void fill_slot(Operator& o, std::uint64_t slot, std::string text);
  void write_to_operator(Operator& o, std::string_view text);
  // An event line: after the answer to the operator's watch line.
  void send_event(Operator& o, const std::string& line);
  void drop_slow_operator(Operator& o);
  // Ends the connection without a word (shut down; closed on its hang-up).
  void lose_operator(Operator& o);
  // Bounds of the operators' socket (operator_limits.cc).
  bool admit_operator(FileDescriptor& fd, const service::PeerCredentials& credentials,
                      service::Accountable& owner);
  void set_idle_deadline(Operator& o);
  void on_operator_idle(Operator& o);
  std::size_t backlog_cap(const Operator& o) const;
  static std::size_t unsent(const Operator& o) { return o.out.unsent(); }
  void flush_operator(Operator& o);
  void close_operator(Operator& o);
  void broadcast(const std::string& line);
  // Whether operators may be shown a waiting request (its row is durable;
  // in the fleet, the shared database held it before it waited).
  bool shown_to_operators(const Requester& r) const { return fleet_ || r.row_durable; }
  // Lists, broadcasts and notifies a request that has begun to wait.
  void show_waiting(Requester& r);
  // `may_read`: the asker may see requests (who waits, since when).
  service::OperatorAnswer status_answer(bool may_read) const;
  void list_pending(Operator& o, Reply to);
  void vote(Operator& o, Reply to, const service::OperatorRequest& request);
  void cancel(Operator& o, Reply to, const service::OperatorRequest& request);
  void describe_signing(service::OperatorAnswer& a) const;
  void show(Reply to, const service::OperatorRequest& request);
  void history(Operator& o, Reply to, const service::OperatorRequest& request);
  static constexpr std::size_t kHistoryPage = 512;
  void read_history_page(Operator& o);
  void add_history_page(HistoryStream& stream, std::vector<service::RequestRecord> records,
                        bool last) const;
  void pump_history(Operator& o);
  void about_decided(Reply to, const std::string& id);
  // Runs `read` with the record's read-only connection on the reader
  // thread, then `then` on the loop with its outcome.
  using RecordRead = std::function<Result<void, std::string>(service::Store&)>;
  void read_record(RecordRead read, std::function<void(const Result<void, std::string>&)> then);
  // Finds request `id` in the record, off the loop, and hands it to `then`
  // with the line's reply; answers the line itself when the record cannot
  // be read or has no such request.
  void with_recorded_request(Reply to, const std::string& id,
                             std::function<void(Reply, service::RequestRecord)> then);
  // Verdicts whose write failed (refusals sent to their requesters) are
  // written again, every kRewriteEvery, until the record takes them, so
  // that it says what the requester was told rather than "pending".
  static constexpr std::chrono::seconds kRewriteEvery{1};
  void rewrite_unrecorded();
  // The unrecorded verdict of request `id`, if any.
  const service::RequestRecord* unrecorded(const std::string& id) const;
  Role role(const Operator& o) const;

  // Approval tokens (tokens.cc): signing on the loop, key and revocation
  // files written on the commit thread.
  bool sign_approval(Requester& r, std::time_t now);
  void rotate_key(Reply to);
  void revoke(Reply to, const service::OperatorRequest& request);
  // `signer_lifetime`: the longest token lifetime of the host that signed,
  // when that is another host of the fleet.
  void revoke_approved(Reply to, const service::RequestRecord& record,
                       std::uint64_t signer_lifetime = 0);

  // The fleet (fleet_glue.cc), with store = "postgresql".
  void start_fleet();
  void reserve_fleet_ids();
  void fleet_insert(Requester& r);
  // Takes over a local decision of a request in the shared database (one
  // in_fleet and not fleet_settled) until the database has it, or has
  // another verdict, which is then the one decided.
  void fleet_settle(Requester& r, Verdict verdict, std::string detail,
                    std::optional<service::VoteRecord> vote, std::function<void(bool)> after);
  void fleet_vote(Operator& o, Reply to, const service::OperatorRequest& request);
  void on_fleet_verdict(const fleet::HostedRequest& hosted);
  void on_others_pending(std::vector<fleet::HostedRequest> others,
                         std::unordered_map<std::string, std::string> closed);
  void on_other_changed(std::vector<fleet::HostedRequest> changed,
                        std::unordered_map<std::string, std::string> closed);
  void on_fleet_reconnected();
  void append_others(std::string& line, service::RecordListAnswer& answer) const;
  void write_others_to(Operator& o);
  bool show_other(Reply to, const std::string& id);

  // Token keys in the fleet (fleet_keys.cc): this host's published in the
  // database, every host's in this host's published files.
  void fleet_publish_keys();
  void on_fleet_keys(std::vector<fleet::HostKeys> hosts);
  std::string public_keys_text(const token::KeyState& state) const;
  std::string revocations_text() const;
  void fleet_revoke(Reply to, const service::OperatorRequest& request);

  // Every member below is the loop's (the thread that made the daemon and
  // runs it), but for what a comment gives to another thread; helper
  // threads hand work back through mailbox_.
  OwningThread loop_;
  Settings settings_;
  DecisionJournal& journal_;
  FileDescriptor epoll_;
  FileDescriptor signals_;
  FileDescriptor requests_listener_;
  FileDescriptor operators_listener_;
  std::unique_ptr<service::Listener> request_file_;
  std::unique_ptr<service::Listener> operator_file_;
  Mailbox mailbox_;
  NameCache names_;  // before lookups_: its thread uses it
  LookupThread lookups_;
  std::size_t identifying_off_loop_ = 0;  // requesters whose identity the lookup thread finds
  std::unique_ptr<CommitThread> commits_;
  // Reads of the record for operators (show, history, late votes): a
  // read-only connection (opened on first use) and a thread of their own.
  std::unique_ptr<service::Store> reader_;  // reads_'s thread only
  std::string record_path_;
  LookupThread reads_{mailbox_};
  std::vector<service::RequestRecord> unrecorded_;  // state, decided_at, detail set
  bool rewriting_ = false;
  TimerSet::Held rewrite_at_;  // timers_: kRewriteTimer
  std::unique_ptr<FleetLink> fleet_;
  // This host's verdicts the database could not take when they were made
  // (it was unreachable): written there on the next reconnect, so that no
  // operator elsewhere votes on a request that is no longer waiting.
  struct Unclosed {
    std::string id, state, decided_at, detail;
  };
  std::vector<Unclosed> fleet_unclosed_;
  // Other hosts' pending requests with R's text, oldest first.
  std::vector<std::pair<service::RequestRecord, std::string>> others_;
  ReuseCache reuse_;
  Notifier notifier_;  // after the mailbox: stopped before it goes
  // This host's requests being inserted, and verdicts on them that the
  // listening session heard before the insert's answer came back (the two
  // sessions report on their own).
  std::unordered_set<std::string> fleet_inserting_;
  std::unordered_map<std::string, fleet::HostedRequest> early_verdicts_;
  // The other hosts' token keys and revocations, as the database has them.
  std::vector<fleet::HostKeys> fleet_keys_;
  std::string written_keys_, written_revocations_;  // the published files' texts

  std::uint64_t next_key_ = 16;
  std::unordered_map<std::uint64_t, std::unique_ptr<Requester>> requesters_;
  std::unordered_map<std::uint64_t, std::unique_ptr<Operator>> operators_;
  std::map<service::Accountable, std::size_t> per_owner_;
  std::map<service::Accountable, std::size_t> operators_per_owner_;
  AcceptRefusals accept_refusals_;
  TimerSet::Held
      refusal_count_at_;  // timers_: kRefusalCountTimer, when the counts go to the record
  std::map<RequestId, std::uint64_t> pending_;  // request id -> requester key
  // Every deadline of the loop but the stop's and the held refusals' (each
  // of those waits its fixed time, oldest first, in refusals_due_).
  TimerSet timers_;
  std::set<std::uint64_t> watchers_;
  std::map<std::uint64_t, HeldRefusal> refusals_;
  std::deque<std::pair<Clock::time_point, std::uint64_t>> refusals_due_;  // oldest first
  std::uint64_t next_refusal_ = 0;

  std::uint64_t next_id_ = 0;
  std::uint64_t id_limit_ = 0;
  bool reserving_ids_ = false;

  token::KeyPaths key_paths_;
  std::unique_ptr<token::KeyState> keys_;
  bool rotating_ = false;  // a new key is being written

  bool stopping_ = false;
  Clock::time_point stop_deadline_{};
  TimerSet::Held prune_at_;             // timers_: kPruneTimer
  TimerSet::Held accept_paused_until_;  // timers_: kAcceptPauseTimer
  bool watching_own_ = true;            // the loop's own descriptors are in the epoll set
  const Clock::time_point started_ = Clock::now();
};

}  // namespace kelvane::approvald
