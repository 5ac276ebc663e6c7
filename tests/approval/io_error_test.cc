#include "approval/io_error.h"

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
  EXPECT_EQ(Error::from_json(json::Error(json::ErrorCode::EofWhileParsingValue, 1, 0)).to_string(),
            "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(Error::bare(ErrorKind::OutOfMemory).to_string(), "out of memory");
}

TEST(IoError, KindOfJsonErrors) {
  EXPECT_EQ(Error::from_json(json::Error(json::ErrorCode::EofWhileParsingString, 1, 3)).kind(),
            ErrorKind::UnexpectedEof);
  EXPECT_EQ(Error::from_json(json::Error(json::ErrorCode::TrailingComma, 1, 3)).kind(),
            ErrorKind::InvalidData);
  EXPECT_EQ(Error::from_json(json::Error::message("missing field `verdict`")).kind(),
            ErrorKind::InvalidData);
  EXPECT_EQ(Error::os(EINTR).kind(), ErrorKind::Interrupted);
}

TEST(IoError, UnknownNumbersStillDisplay) {
  const std::string text = Error::os(99999).to_string();
  EXPECT_NE(text.find("(os error 99999)"), std::string::npos);
  EXPECT_LE(os_error_text(99999).size(), 127u * 3);  // replacements may widen bytes
}

TEST(IoError, MalformedPlatformTextGetsOneReplacementPerMaximalPiece) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string_view, std::string> cases[] = {
      {"plain", "plain"},
      {"\xEF\xBF\xBD", r},                   // a real U+FFFD stays one
      {"\xE2\x82" "A", r + "A"},              // truncated three-byte sequence
      {"x\xF0\x9F\x98", "x" + r},            // truncated four-byte sequence at the end
      {"\xC0\x80", r + r},                    // overlong lead, stray continuation
      {"\xED\xA0\x80", r + r + r},           // surrogate: the lead alone is the piece
      {"\xF4\x90\x80\x80", r + r + r + r},  // above U+10FFFF
      {"\xC3\xA9\xFF", "\xC3\xA9" + r},
  };
  for (const auto& [bytes, expected] : cases) EXPECT_EQ(to_valid_utf8(bytes), expected);
}

}  // namespace
}  // namespace kelvane::io
