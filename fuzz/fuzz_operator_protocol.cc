// The operators' protocol over any line, both ways: the daemon's reading of
// an operator's request and the command's reading of the daemon's lines.
// Whatever the bytes, a line is refused with a reason or read; what is read
// is written back as canonical JSON that reads to the same thing. And the
// other way: what the daemon writes a record at a time (list and history
// answers, pending events, from the records' kept text) is byte for byte
// what the encoder writes, and reads back to the records it was made of.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "json/json.h"
#include "service/operator_protocol.h"

namespace {

using namespace kelvane;

std::string_view without_line_feed(const std::string& line) {
  if (line.empty() || line.back() != '\n') std::abort();
  return std::string_view(line).substr(0, line.size() - 1);
}

void check_canonical(std::string_view line) {
  auto value = json::parse_value(line);
  // A deep context can be past the reader's limit inside a whole line; the
  // codec reads such lines in parts, so only lines the reader takes whole
  // are compared here.
  if (!value.ok()) {
    if (value.error().code() != json::ErrorCode::RecursionLimitExceeded) std::abort();
    return;
  }
  if (json::to_json(value.value()) != line) std::abort();
}

std::string encode(const service::DaemonLine& line) {
  if (const auto* answer = std::get_if<service::OperatorAnswer>(&line))
    return service::encode_answer(*answer);
  return service::encode_event(std::get<service::OperatorEvent>(line));
}

void check_request(std::string_view line) {
  auto request = service::decode_operator_request(line);
  if (!request.ok()) {
    if (request.error().empty()) std::abort();
    return;
  }
  const std::string written = service::encode_operator_request(request.value());
  check_canonical(without_line_feed(written));
  auto again = service::decode_operator_request(without_line_feed(written));
  if (!again.ok()) std::abort();
  if (service::encode_operator_request(again.value()) != written) std::abort();
}

// Every record a line carries, written as the daemon writes it.
void check_written_by_record(const service::DaemonLine& line) {
  std::vector<service::RequestRecord> records;
  if (const auto* answer = std::get_if<service::OperatorAnswer>(&line)) {
    if (answer->requests) records = *answer->requests;
    if (answer->records)
      records.insert(records.end(), answer->records->begin(), answer->records->end());
    if (answer->request) records.push_back(*answer->request);
  } else if (const auto& event = std::get<service::OperatorEvent>(line); event.request) {
    records.push_back(*event.request);
  }
  using Member = service::RecordListAnswer::Member;
  for (const Member member : {Member::Requests, Member::Records}) {
    for (const bool reply : {false, true}) {
      service::OperatorAnswer expected;
      expected.reply = reply;
      (member == Member::Requests ? expected.requests : expected.records) = records;
      service::RecordListAnswer answer(member, reply);
      std::string written;
      answer.open(written);
      for (const service::RequestRecord& record : records) {
        std::string json;
        service::append_request_record(json, record);
        answer.add_text(written, json);
      }
      answer.close(written);
      const std::string encoded = service::encode_answer(expected);
      if (written != encoded) std::abort();
      auto back = service::decode_daemon_line(without_line_feed(written));
      if (!back.ok()) std::abort();
      const auto* read = std::get_if<service::OperatorAnswer>(&back.value());
      if (read == nullptr || read->reply != reply) std::abort();
      if ((member == Member::Requests ? read->requests : read->records) != records) std::abort();
    }
  }
  for (const service::RequestRecord& record : records) {
    std::string json;
    service::append_request_record(json, record);
    const std::string event = service::encode_pending_event_of(json);
    if (event != service::encode_event({service::OperatorEvent::Kind::Pending, record, "", ""}))
      std::abort();
    auto back = service::decode_daemon_line(without_line_feed(event));
    if (!back.ok()) std::abort();
    const auto* read = std::get_if<service::OperatorEvent>(&back.value());
    if (read == nullptr || read->request != record) std::abort();
  }
}

void check_daemon_line(std::string_view line) {
  auto read = service::decode_daemon_line(line);
  if (!read.ok()) {
    if (read.error().empty()) std::abort();
    return;
  }
  check_written_by_record(read.value());
  const std::string written = encode(read.value());
  check_canonical(without_line_feed(written));
  auto again = service::decode_daemon_line(without_line_feed(written));
  if (!again.ok()) std::abort();
  if (encode(again.value()) != written) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view line(reinterpret_cast<const char*>(data), size);
  check_request(line);
  check_daemon_line(line);
  return 0;
}
