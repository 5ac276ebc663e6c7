// Every file of the parsing conformance corpus: y_ files must be accepted,
// n_ files rejected, and i_ files go the way recorded below, so that a
// change of behaviour is noticed. Input that is not UTF-8 is refused before
// reading, as the program does with every text it reads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "approval/decision.h"
#include "json/json.h"
#include "support/utf8.h"

namespace kelvane::json {
namespace {

namespace fs = std::filesystem;

fs::path corpus_dir() {
  const char* root = std::getenv("KOA_TEST_DATA");
  return fs::path(root != nullptr ? root : KOA_TEST_DATA_DIR) / "jsontestsuite" / "test_parsing";
}

std::string slurp(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  // Sized read: the stream-iterator form trips g++'s null-dereference
  // warning at -O2 (the slow preset).
  std::string bytes(fs::file_size(path), '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

bool accepted(const std::string& bytes) {
  return utf8::is_valid(bytes) && parse_value(bytes).ok();
}

// The implementation-defined files and whether they are accepted.
const std::map<std::string, bool> kImplementationDefined = {
    {"i_number_double_huge_neg_exp.json", true},      // underflows to 0.0
    {"i_number_huge_exp.json", false},                // 0.4e+(huge): out of range
    {"i_number_neg_int_huge_exp.json", false},        // out of range
    {"i_number_pos_double_huge_exp.json", false},     // out of range
    {"i_number_real_neg_overflow.json", false},       // out of range
    {"i_number_real_pos_overflow.json", false},       // out of range
    {"i_number_real_underflow.json", true},           // underflows to 0.0
    {"i_number_too_big_neg_int.json", true},          // becomes a double
    {"i_number_too_big_pos_int.json", true},          // becomes a double
    {"i_number_very_big_negative_int.json", true},    // becomes a double
    {"i_object_key_lone_2nd_surrogate.json", false},  // lone surrogate escape
    {"i_string_1st_surrogate_but_2nd_missing.json", false},
    {"i_string_1st_valid_surrogate_2nd_invalid.json", false},
    {"i_string_UTF-16LE_with_BOM.json", false},       // not UTF-8
    {"i_string_UTF-8_invalid_sequence.json", false},  // not UTF-8
    {"i_string_UTF8_surrogate_U+D800.json", false},   // not UTF-8
    {"i_string_incomplete_surrogate_and_escape_valid.json", false},
    {"i_string_incomplete_surrogate_pair.json", false},
    {"i_string_incomplete_surrogates_escape_valid.json", false},
    {"i_string_invalid_lonely_surrogate.json", false},
    {"i_string_invalid_surrogate.json", false},
    {"i_string_invalid_utf-8.json", false},
    {"i_string_inverted_surrogates_U+1D11E.json", false},
    {"i_string_iso_latin_1.json", false},
    {"i_string_lone_second_surrogate.json", false},
    {"i_string_lone_utf8_continuation_byte.json", false},
    {"i_string_not_in_unicode_range.json", false},
    {"i_string_overlong_sequence_2_bytes.json", false},
    {"i_string_overlong_sequence_6_bytes.json", false},
    {"i_string_overlong_sequence_6_bytes_null.json", false},
    {"i_string_truncated-utf-8.json", false},
    {"i_string_utf16BE_no_BOM.json", false},
    {"i_string_utf16LE_no_BOM.json", false},
    {"i_structure_500_nested_arrays.json", false},  // deeper than 127
    {"i_structure_UTF-8_BOM_empty_object.json", false},
};

std::vector<fs::path> corpus_files() {
  std::vector<fs::path> files;
  for (const fs::directory_entry& e : fs::directory_iterator(corpus_dir())) {
    if (e.is_regular_file()) files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

TEST(Conformance, EveryFileGoesTheExpectedWay) {
  const std::vector<fs::path> files = corpus_files();
  ASSERT_GE(files.size(), 300u) << corpus_dir();
  std::size_t seen_implementation_defined = 0;
  for (const fs::path& path : files) {
    const std::string name = path.filename().string();
    const std::string bytes = slurp(path);
    const bool ok = accepted(bytes);
    if (name.starts_with("y_")) {
      EXPECT_TRUE(ok) << name;
    } else if (name.starts_with("n_")) {
      EXPECT_FALSE(ok) << name;
    } else if (name.starts_with("i_")) {
      ++seen_implementation_defined;
      const auto it = kImplementationDefined.find(name);
      ASSERT_NE(it, kImplementationDefined.end()) << "no expectation recorded for " << name;
      EXPECT_EQ(ok, it->second) << name;
    } else {
      ADD_FAILURE() << "unexpected file " << name;
    }
  }
  EXPECT_EQ(seen_implementation_defined, kImplementationDefined.size());
}

// The same documents as a record's unknown member: what reads as a value
// must also skip, and nothing may crash either way.
TEST(Conformance, SkippingAcceptsWhatReadingAccepts) {
  for (const fs::path& path : corpus_files()) {
    const std::string bytes = slurp(path);
    if (!utf8::is_valid(bytes)) continue;
    const std::string line = R"({"verdict":"a","detail":"b","x":)" + bytes + "}";
    const bool skipped = approval::decode_decision(line).ok();
    const bool read = parse_value(bytes).ok();
    if (read) {
      EXPECT_TRUE(skipped) << path.filename();
    }
    // Used as the whole decision line, every file fails cleanly (none is a decision).
    EXPECT_FALSE(approval::decode_decision(bytes).ok()) << path.filename();
  }
}

}  // namespace
}  // namespace kelvane::json
