// A request's context laid out for reading: an object as one "key: value"
// line per member, an array as one "- value" line per item, nested
// containers indented under their key or dash.
#pragma once

#include <cstddef>

#include "json/value.h"
#include "service/block.h"

namespace kelvane::service {

// Adds the context's lines, the outermost level at `indent` columns. A
// scalar context takes one line (or its pieces) of its own.
void add_context(Block& block, const json::Value& context, std::size_t indent);

}  // namespace kelvane::service
