// The codec's internals as the tests, fuzz targets and benchmarks reach
// them: the lexers and the walker with their plain references, the number
// and string text, the key order, the arena and the bytes of a Value. Not
// for the program itself, which uses json/json.h, json/value.h and
// json/error.h.
#pragma once

#include "json/internal/arena.h"
#include "json/internal/digits.h"
#include "json/internal/input.h"
#include "json/internal/key_order.h"
#include "json/internal/number_lexer.h"
#include "json/internal/number_text.h"
#include "json/internal/output_cursor.h"
#include "json/internal/plain_run.h"
#include "json/internal/shortest_decimal.h"
#include "json/internal/small_copy.h"
#include "json/internal/string_lexer.h"
#include "json/internal/string_sinks.h"
#include "json/internal/value_internals.h"
#include "json/internal/walker.h"
#include "json/json.h"
