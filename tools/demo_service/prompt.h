// Asking the operator at the terminal while watching the client.
#pragma once

#include <string_view>

#include "service/deadline.h"

namespace kelvane::demo {

enum class Answer {
  Approve,     // the operator typed y or yes
  Deny,        // the operator typed anything else
  NoOperator,  // standard input ended or failed
  ClientLeft,  // the client hung up before the answer
  TimedOut,    // the deadline passed first
  Stopped,     // the service is stopping
};

// Throws away whatever was typed before the question, asks it, and waits
// for a whole line on standard input. Meanwhile `client` is watched: if it
// hangs up, the question is withdrawn, also when its hang-up and the
// operator's answer come together, so that no approval is ever reported for
// a client that is gone. Bytes the client sends after its request are read
// and dropped.
Answer ask_operator(std::string_view question, int client, const service::Deadline& deadline);

// True while the client's end of the connection is open.
bool client_still_there(int client);

}  // namespace kelvane::demo
