#include "sshsig/fake_agent.h"

#include <sys/socket.h>

#include <algorithm>
#include <thread>

#include "sshsig/wire.h"

namespace kelvane::sshsig::testing {
namespace {

bool read_exactly(int fd, std::string& out, std::size_t size) {
  char buffer[4096];
  while (size > 0) {
    const ssize_t n = ::recv(fd, buffer, std::min(size, sizeof buffer), 0);
    if (n <= 0) return false;
    out.append(buffer, static_cast<std::size_t>(n));
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

kelvane::testing::Behaviour answer_each(std::vector<std::string> answers,
                                        std::chrono::milliseconds pause) {
  return [answers = std::move(answers), pause](int fd, std::string& received) {
    for (const std::string& answer : answers) {
      std::string length;
      if (!read_exactly(fd, length, 4)) return;
      WireReader reader(length);
      if (!read_exactly(fd, received, reader.uint32().value())) return;
      std::this_thread::sleep_for(pause);
      (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
    }
    ::shutdown(fd, SHUT_WR);
    std::string rest;
    while (read_exactly(fd, rest, 1)) rest.clear();
  };
}

std::string framed(std::string_view payload) {
  WireWriter writer;
  writer.string(payload);
  return std::move(writer).bytes();
}

std::string identities_answer(const std::vector<std::string>& blobs) {
  WireWriter payload;
  payload.byte(12);
  payload.uint32(static_cast<std::uint32_t>(blobs.size()));
  for (const std::string& blob : blobs) {
    payload.string(blob);
    payload.string("comment");
  }
  return framed(payload.bytes());
}

std::string sign_answer(std::string_view signature) {
  WireWriter payload;
  payload.byte(14);
  payload.string(signature);
  return framed(payload.bytes());
}

}  // namespace kelvane::sshsig::testing
