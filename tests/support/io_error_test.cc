#include "support/io_error.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace kelvane::io {
namespace {

TEST(IoError, DisplayOfEachForm) {
  EXPECT_EQ(Error::os(ENOENT).to_string(), std::string(std::strerror(ENOENT)) + " (os error 2)");
  EXPECT_EQ(Error::os(EPIPE).to_string(), std::string(std::strerror(EPIPE)) + " (os error 32)");
  EXPECT_EQ(Error::fixed(ErrorKind::InvalidData, "stream did not contain valid UTF-8").to_string(),
            "stream did not contain valid UTF-8");
  EXPECT_EQ(Error::message(ErrorKind::InvalidData, "refused uid 7").to_string(), "refused uid 7");
  EXPECT_EQ(Error::bare(ErrorKind::OutOfMemory).to_string(), "out of memory");
}

// A bare kind shows its description; a kind outside the list shows as
// "other error" rather than nothing.
TEST(IoError, EveryKindHasItsText) {
  const std::pair<ErrorKind, std::string_view> cases[] = {
      {ErrorKind::InvalidInput, "invalid input parameter"},
      {ErrorKind::WriteZero, "write zero"},
      {ErrorKind::InvalidData, "invalid data"},
      {ErrorKind::UnexpectedEof, "unexpected end of file"},
      {ErrorKind::Interrupted, "operation interrupted"},
      {ErrorKind::OutOfMemory, "out of memory"},
      {ErrorKind::Other, "other error"},
      {static_cast<ErrorKind>(99), "other error"},
  };
  for (const auto& [kind, text] : cases) {
    EXPECT_EQ(kind_description(kind), text);
    EXPECT_EQ(Error::bare(kind).to_string(), text);
    EXPECT_EQ(Error::bare(kind).kind(), kind);
    EXPECT_EQ(Error::fixed(kind, "fixed").kind(), kind);
  }
}

TEST(IoError, Kinds) {
  EXPECT_EQ(Error::os(EINTR).kind(), ErrorKind::Interrupted);
  EXPECT_EQ(Error::os(EPIPE).kind(), ErrorKind::Other);
  EXPECT_EQ(Error::message(ErrorKind::UnexpectedEof, "x").kind(), ErrorKind::UnexpectedEof);
  EXPECT_EQ(Error::os(EPIPE).os_code(), EPIPE);
  EXPECT_EQ(Error::message(ErrorKind::Other, "x").os_code(), 0);
}

TEST(IoError, UnknownNumbersStillDisplay) {
  const std::string text = Error::os(99999).to_string();
  EXPECT_NE(text.find("(os error 99999)"), std::string::npos);
  EXPECT_LE(os_error_text(99999).size(), 127u * 3);  // replacements may widen bytes
}

}  // namespace
}  // namespace kelvane::io
