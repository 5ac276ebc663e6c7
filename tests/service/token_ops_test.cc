// The operators' protocol's token ops: rotate-key and revoke, and the kid
// a rotation answers with.
#include <gtest/gtest.h>

#include "service/operator_protocol.h"

namespace kelvane::service {
namespace {

TEST(TokenOps, LinesBothWays) {
  OperatorRequest rotate;
  rotate.op = OperatorOp::RotateKey;
  EXPECT_EQ(encode_operator_request(rotate), "{\"op\":\"rotate-key\"}\n");
  OperatorRequest revoke;
  revoke.op = OperatorOp::Revoke;
  revoke.id = "17";
  EXPECT_EQ(encode_operator_request(revoke), "{\"id\":\"17\",\"op\":\"revoke\"}\n");
  auto read = decode_operator_request(R"({"op":"revoke","id":"17"})");
  ASSERT_TRUE(read.ok()) << read.error();
  EXPECT_EQ(read.value().op, OperatorOp::Revoke);
  EXPECT_EQ(read.value().id, "17");

  const struct {
    const char* line;
    const char* error;
  } refused[] = {
      {R"({"op":"rotate-key","id":"1"})", "the op \"rotate-key\" takes no \"id\""},
      {R"({"op":"revoke"})", "the op \"revoke\" needs an \"id\""},
      {R"({"op":"revoke","id":"x"})", "the member \"id\" is not a request id"},
      {R"({"op":"revoke","id":"1","approve":true})", "the op \"revoke\" takes no \"approve\""},
  };
  for (const auto& c : refused) {
    auto decoded = decode_operator_request(c.line);
    ASSERT_FALSE(decoded.ok()) << c.line;
    EXPECT_NE(decoded.error().find(c.error), std::string::npos) << decoded.error();
  }

  OperatorAnswer rotated;
  rotated.kid = "0123456789abcdef";
  const std::string line = encode_answer(rotated);
  EXPECT_EQ(line, "{\"kid\":\"0123456789abcdef\",\"ok\":true}\n");
  auto back = decode_daemon_line(std::string_view(line).substr(0, line.size() - 1));
  ASSERT_TRUE(back.ok()) << back.error();
  EXPECT_EQ(std::get<OperatorAnswer>(back.value()).kid, "0123456789abcdef");
}

}  // namespace
}  // namespace kelvane::service
