// The peers that the client's codec is measured against: read a whole JSON
// text into the peer library's document, then write it back compactly with
// every object's members in ascending byte-wise key order, as the client
// does. Only built when the libraries are installed.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#ifdef KOA_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#endif
#ifdef KOA_HAVE_SIMDJSON
#include <simdjson.h>
#endif

namespace peers {

inline bool bytes_less(std::string_view a, std::string_view b) {
  const std::size_t n = std::min(a.size(), b.size());
  const int c = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  return c < 0 || (c == 0 && a.size() < b.size());
}

#ifdef KOA_HAVE_RAPIDJSON
namespace rj {

using Value = rapidjson::Value;

template <class Writer>
void write_sorted(const Value& v, Writer& w,
                  std::vector<const rapidjson::Value::Member*>& scratch) {
  if (v.IsObject()) {
    const std::size_t base = scratch.size();
    for (auto it = v.MemberBegin(); it != v.MemberEnd(); ++it) scratch.push_back(&*it);
    std::stable_sort(scratch.begin() + static_cast<std::ptrdiff_t>(base), scratch.end(),
                     [](const auto* a, const auto* b) {
                       return bytes_less({a->name.GetString(), a->name.GetStringLength()},
                                         {b->name.GetString(), b->name.GetStringLength()});
                     });
    w.StartObject();
    for (std::size_t i = base; i < scratch.size(); ++i) {
      const auto* m = scratch[i];
      w.Key(m->name.GetString(), m->name.GetStringLength());
      write_sorted(m->value, w, scratch);
    }
    w.EndObject();
    scratch.resize(base);
  } else if (v.IsArray()) {
    w.StartArray();
    for (const auto& e : v.GetArray()) write_sorted(e, w, scratch);
    w.EndArray();
  } else {
    v.Accept(w);
  }
}

inline void append(rapidjson::StringBuffer& buf, std::string_view bytes) {
  std::memcpy(buf.Push(bytes.size()), bytes.data(), bytes.size());
}

// Parses `text` and appends its sorted compact form to `buf`. False on a
// parse error.
inline bool reencode(std::string_view text, rapidjson::StringBuffer& buf) {
  rapidjson::Document doc;
  doc.Parse(text.data(), text.size());
  if (doc.HasParseError()) return false;
  rapidjson::Writer<rapidjson::StringBuffer> w(buf);
  std::vector<const rapidjson::Value::Member*> scratch;
  write_sorted(doc, w, scratch);
  return true;
}

}  // namespace rj
#endif

#ifdef KOA_HAVE_SIMDJSON
namespace sj {

// simdjson has no sorting writer, so this is a plain compact one: a table
// lookup per string byte, std::to_chars for numbers.
inline void write_string(std::string_view s, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  std::size_t run = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.data() + run, i - run);
    run = i + 1;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default: {
        const char u[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
        out.append(u, 6);
      }
    }
  }
  out.append(s.data() + run, s.size() - run);
  out += '"';
}

template <class T>
void write_number(T v, std::string& out) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

struct Entry {
  std::string_view key;
  simdjson::dom::element value;
};

inline void write_sorted(simdjson::dom::element e, std::string& out, std::vector<Entry>& scratch) {
  using simdjson::dom::element_type;
  switch (e.type()) {
    case element_type::OBJECT: {
      const std::size_t base = scratch.size();
      for (auto field : simdjson::dom::object(e)) scratch.push_back({field.key, field.value});
      std::stable_sort(scratch.begin() + static_cast<std::ptrdiff_t>(base), scratch.end(),
                       [](const Entry& a, const Entry& b) { return bytes_less(a.key, b.key); });
      out += '{';
      for (std::size_t i = base; i < scratch.size(); ++i) {
        if (i != base) out += ',';
        write_string(scratch[i].key, out);
        out += ':';
        write_sorted(scratch[i].value, out, scratch);
      }
      out += '}';
      scratch.resize(base);
      break;
    }
    case element_type::ARRAY: {
      out += '[';
      bool first = true;
      for (auto x : simdjson::dom::array(e)) {
        if (!first) out += ',';
        first = false;
        write_sorted(x, out, scratch);
      }
      out += ']';
      break;
    }
    case element_type::STRING:
      write_string(std::string_view(e), out);
      break;
    case element_type::INT64:
      write_number(int64_t(e), out);
      break;
    case element_type::UINT64:
      write_number(uint64_t(e), out);
      break;
    case element_type::DOUBLE:
      write_number(double(e), out);
      break;
    case element_type::BOOL:
      out += bool(e) ? "true" : "false";
      break;
    case element_type::NULL_VALUE:
      out += "null";
      break;
  }
}

// `text` must be followed by simdjson::SIMDJSON_PADDING readable bytes.
inline bool reencode(simdjson::dom::parser& parser, std::string_view text, std::string& out) {
  simdjson::dom::element doc;
  if (parser.parse(text.data(), text.size(), false).get(doc) != simdjson::SUCCESS) return false;
  std::vector<Entry> scratch;
  write_sorted(doc, out, scratch);
  return true;
}

}  // namespace sj
#endif

}  // namespace peers
