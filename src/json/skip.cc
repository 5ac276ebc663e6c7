// Skipping one value: the member of a record that the record does not have.
// Nothing is built and nothing is visited; the walker checks the grammar,
// without a nesting limit (its stack of open brackets is on the heap, so a
// reply line nested millions deep costs memory, not the call stack).
#include <string>

#include "json/walker.h"

namespace kelvane::json::detail {

namespace {

// The Skip mode calls no visitor.
struct Nothing {};

}  // namespace

Status skip_value(Input& in) {
  std::string unused;  // strings are only checked
  Nothing nothing;
  return walk<Mode::Skip>(in, unused, nothing);
}

}  // namespace kelvane::json::detail
