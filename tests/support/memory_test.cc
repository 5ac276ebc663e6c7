#include "support/memory.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvane {
namespace {

TEST(ByteBuffer, AppendsAcrossGrowthAndKeepsEveryByte) {
  ByteBuffer buffer;
  std::string expected;
  // Pieces of every size up to past the first allocation and a few megabytes
  // in all, so the block moves and, past the huge-page threshold, is remapped.
  for (std::size_t i = 0; expected.size() < (std::size_t{6} << 20); ++i) {
    const std::string piece((i * 37) % 9000, static_cast<char>('a' + i % 26));
    buffer.append(piece.data(), piece.size());
    expected += piece;
  }
  ASSERT_EQ(buffer.size(), expected.size());
  EXPECT_GE(buffer.capacity(), buffer.size());
  EXPECT_TRUE(buffer.view() == expected);
}

TEST(ByteBuffer, ResizeOnlyShortens) {
  ByteBuffer buffer;
  EXPECT_EQ(buffer.view(), "");
  buffer.append("kept:", 5);
  buffer.append("dropped", 7);
  buffer.resize(5);
  EXPECT_EQ(buffer.view(), "kept:");
  buffer.resize(50);
  EXPECT_EQ(buffer.view(), "kept:");
  buffer.append("", 0);
  buffer.clear();
  EXPECT_EQ(buffer.size(), 0u);
}

TEST(PreferHugePages, AnyBufferIsAccepted) {
  // Advice only: small, unaligned and empty ranges are all fine.
  std::string small(100, 'x');
  prefer_huge_pages(small.data(), small.size());
  prefer_huge_pages(nullptr, 0);
  std::string big(std::size_t{9} << 20, 'y');
  prefer_huge_pages(big.data() + 1, big.size() - 1);
  EXPECT_EQ(big[12345], 'y');
}

}  // namespace
}  // namespace kelvane
