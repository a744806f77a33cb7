// The sample engine's reading of a request: the members of one top-level JSON
// object. Strings are unescaped to UTF-8 (a lone \uD8xx escape is kept as an
// encoded surrogate so it survives to UTF-16); numbers and literals keep their
// text; nested objects and arrays are checked and skipped. Portable.
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <map>
#include <string>

#include "utf16.h"

namespace sample_engine {

struct JsonValue {
  enum Kind { kString, kNumber, kTrue, kFalse, kNull, kObject, kArray };
  Kind kind = kNull;
  std::string text;  // decoded string, or the number's text
};

class JsonRequest {
 public:
  bool ok = false;                           // a well-formed object
  std::map<std::string, JsonValue> members;  // a repeated name: the last wins

  const JsonValue* Find(const std::string& name) const {
    auto it = members.find(name);
    return it == members.end() ? nullptr : &it->second;
  }
  bool String(const std::string& name, std::string& out) const {
    const JsonValue* v = Find(name);
    if (!v || v->kind != JsonValue::kString) return false;
    out = v->text;
    return true;
  }
  // A whole number, given as a JSON number or as a string ("0x0E7F" too).
  bool Integer(const std::string& name, long long& out) const {
    const JsonValue* v = Find(name);
    if (!v || (v->kind != JsonValue::kNumber && v->kind != JsonValue::kString)) return false;
    if (v->text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(v->text.c_str(), &end, v->kind == JsonValue::kString ? 0 : 10);
    if (errno != 0 || !end || *end != '\0') return false;
    out = value;
    return true;
  }
  bool True(const std::string& name) const {
    const JsonValue* v = Find(name);
    return v && v->kind == JsonValue::kTrue;
  }
};

namespace detail {

class JsonReader {
 public:
  JsonReader(const char* text, std::size_t length) : p_(text), end_(text + length) {}

  bool ReadObject(JsonRequest& request) {
    SkipSpace();
    if (!Eat('{')) return false;
    SkipSpace();
    if (Eat('}')) return AtEnd();
    for (;;) {
      SkipSpace();
      std::string name;
      if (!Peek('"') || !ReadString(name)) return false;
      SkipSpace();
      if (!Eat(':')) return false;
      SkipSpace();
      JsonValue value;
      if (!ReadValue(value, 0)) return false;
      request.members[name] = value;
      SkipSpace();
      if (Eat(',')) continue;
      if (Eat('}')) return AtEnd();
      return false;
    }
  }

 private:
  static constexpr int kMaxDepth = 200;

  bool AtEnd() {
    SkipSpace();
    return p_ == end_;
  }
  void SkipSpace() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\t' || *p_ == '\n' || *p_ == '\r')) ++p_;
  }
  bool Peek(char c) const { return p_ < end_ && *p_ == c; }
  bool Eat(char c) {
    if (!Peek(c)) return false;
    ++p_;
    return true;
  }
  bool EatWord(const char* word) {
    const char* q = p_;
    for (; *word; ++word, ++q) {
      if (q >= end_ || *q != *word) return false;
    }
    p_ = q;
    return true;
  }

  bool ReadValue(JsonValue& value, int depth) {
    if (p_ >= end_) return false;
    switch (*p_) {
      case '"':
        value.kind = JsonValue::kString;
        return ReadString(value.text);
      case '{':
        value.kind = JsonValue::kObject;
        return SkipContainer('{', '}', true, depth);
      case '[':
        value.kind = JsonValue::kArray;
        return SkipContainer('[', ']', false, depth);
      case 't':
        value.kind = JsonValue::kTrue;
        return EatWord("true");
      case 'f':
        value.kind = JsonValue::kFalse;
        return EatWord("false");
      case 'n':
        value.kind = JsonValue::kNull;
        return EatWord("null");
      default:
        value.kind = JsonValue::kNumber;
        return ReadNumber(value.text);
    }
  }

  bool SkipContainer(char open, char close, bool named, int depth) {
    if (depth >= kMaxDepth || !Eat(open)) return false;
    SkipSpace();
    if (Eat(close)) return true;
    for (;;) {
      SkipSpace();
      if (named) {
        std::string ignored;
        if (!Peek('"') || !ReadString(ignored)) return false;
        SkipSpace();
        if (!Eat(':')) return false;
        SkipSpace();
      }
      JsonValue ignored;
      if (!ReadValue(ignored, depth + 1)) return false;
      SkipSpace();
      if (Eat(',')) continue;
      return Eat(close);
    }
  }

  bool ReadNumber(std::string& out) {
    const char* start = p_;
    Eat('-');
    if (Eat('0')) {
    } else if (!ReadDigits()) {
      return false;
    }
    if (Eat('.') && !ReadDigits()) return false;
    if (Peek('e') || Peek('E')) {
      ++p_;
      if (!Eat('+')) Eat('-');
      if (!ReadDigits()) return false;
    }
    out.assign(start, p_);
    return true;
  }
  bool ReadDigits() {
    const char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') ++p_;
    return p_ > start;
  }

  bool ReadHex4(unsigned& out) {
    if (end_ - p_ < 4) return false;
    out = 0;
    for (int i = 0; i < 4; ++i, ++p_) {
      const char c = *p_;
      out <<= 4;
      if (c >= '0' && c <= '9') out |= static_cast<unsigned>(c - '0');
      else if (c >= 'a' && c <= 'f') out |= static_cast<unsigned>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F') out |= static_cast<unsigned>(c - 'A' + 10);
      else return false;
    }
    return true;
  }

  bool ReadString(std::string& out) {
    out.clear();
    if (!Eat('"')) return false;
    while (p_ < end_) {
      const char c = *p_++;
      if (c == '"') return true;
      if (c != '\\') {
        out.push_back(c);
        continue;
      }
      if (p_ >= end_) return false;
      const char e = *p_++;
      switch (e) {
        case '"': out.push_back('"'); break;
        case '\\': out.push_back('\\'); break;
        case '/': out.push_back('/'); break;
        case 'b': out.push_back('\b'); break;
        case 'f': out.push_back('\f'); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 'u': {
          unsigned unit = 0;
          if (!ReadHex4(unit)) return false;
          char32_t cp = unit;
          // A high surrogate joins a following \u low surrogate; alone, it
          // is kept as it is.
          if (unit >= 0xD800 && unit <= 0xDBFF && end_ - p_ >= 6 && p_[0] == '\\' &&
              p_[1] == 'u') {
            const char* save = p_;
            p_ += 2;
            unsigned low = 0;
            if (ReadHex4(low) && low >= 0xDC00 && low <= 0xDFFF) {
              cp = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
            } else {
              p_ = save;
            }
          }
          AppendUtf8(out, cp);
          break;
        }
        default:
          return false;
      }
    }
    return false;
  }

  const char* p_;
  const char* end_;
};

}  // namespace detail

inline JsonRequest ParseRequest(const char* text, std::size_t length) {
  JsonRequest request;
  if (!text) return request;
  detail::JsonReader reader(text, length);
  request.ok = reader.ReadObject(request);
  if (!request.ok) request.members.clear();
  return request;
}

// Text as a JSON string literal, quotes included. Control characters are
// escaped; everything else, non-ASCII included, is kept.
inline std::string JsonQuote(const std::string& s) {
  static const char kHex[] = "0123456789abcdef";
  std::string out = "\"";
  for (const char c : s) {
    const unsigned char b = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default:
        if (b < 0x20) {
          out += "\\u00";
          out.push_back(kHex[b >> 4]);
          out.push_back(kHex[b & 15]);
        } else {
          out.push_back(c);
        }
    }
  }
  out += '"';
  return out;
}

}  // namespace sample_engine
