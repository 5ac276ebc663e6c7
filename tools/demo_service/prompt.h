// Asking the operator at the terminal while watching the client.
#pragma once

#include <chrono>
#include <string_view>

#include "demo_service/deadline.h"

namespace kelvane::demo {

enum class Answer {
  Approve,     // the operator typed y or yes
  Deny,        // the operator typed anything else
  NoOperator,  // standard input ended or failed
  ClientLeft,  // the client hung up before the answer
  TimedOut,    // the deadline passed first
  Stopped,     // the service is stopping
};

// After a question went unanswered (withdrawn, timed out), keys typed this
// long after the next one appears are dropped: they were most likely meant
// for the one that went away.
inline constexpr std::chrono::milliseconds kKeysIgnoredAfterChange{1000};

// Throws away whatever was typed before the question, asks it, and waits
// for a whole line on standard input. Meanwhile `client` is watched: if it
// hangs up, the question is withdrawn, also when its hang-up and the
// operator's answer come together, so that no approval is ever reported for
// a client that is gone. Bytes the client sends after its request are read
// and dropped. Input that arrives within `ignore_keys_for` of the question,
// and a line begun then, is thrown away too.
Answer ask_operator(std::string_view question, int client, const service::Deadline& deadline,
                    std::chrono::milliseconds ignore_keys_for = {});

// True while the client's end of the connection is open.
bool client_still_there(int client);

}  // namespace kelvane::demo
