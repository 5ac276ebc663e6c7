// A scripted SSH agent for FakeService, and the framed answers it sends.
#pragma once

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "testing/service.h"

namespace kelvane::sshsig::testing {

// Reads one framed request after another and sends the next of `answers`
// raw (already framed) for each, after `pause`; then ends its side of the
// stream and waits for the client to close (a close with unread bytes would
// reset the client's connection instead).
kelvane::testing::Behaviour answer_each(std::vector<std::string> answers,
                                        std::chrono::milliseconds pause = {});

// A uint32 length and `payload`.
std::string framed(std::string_view payload);
// An identities answer listing `blobs`, each with the comment "comment".
std::string identities_answer(const std::vector<std::string>& blobs);
std::string sign_answer(std::string_view signature);

}  // namespace kelvane::sshsig::testing
