#include "JsonValue.h"

#include <cstdlib>
#include <cctype>
#include <cstring>

namespace pathmon::testing {

namespace {

const JsonValue& Null() {
  static const JsonValue null;
  return null;
}

class Reader {
 public:
  explicit Reader(const std::string& s) : s_(s) {}

  bool Document(JsonValue& out, std::string& error) {
    bool ok = Value(out, 0);
    Space();
    if (ok && i_ != s_.size()) ok = Fail("text after the document");
    if (!ok) error = error_ + " at offset " + std::to_string(i_);
    return ok;
  }

 private:
  bool Fail(const char* why) {
    if (error_.empty()) error_ = why;
    return false;
  }
  void Space() {
    while (i_ < s_.size() && std::strchr(" \t\r\n", s_[i_]) != nullptr && s_[i_] != '\0') ++i_;
  }
  bool Literal(const char* word) {
    std::size_t n = std::strlen(word);
    if (s_.compare(i_, n, word) != 0) return Fail("bad literal");
    i_ += n;
    return true;
  }
  bool Value(JsonValue& v, int depth) {
    if (depth > 64) return Fail("too deep");
    Space();
    if (i_ >= s_.size()) return Fail("unexpected end");
    char c = s_[i_];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.kind = JsonValue::Kind::kString;
      return String(v.text);
    }
    if (c == 't' || c == 'f') {
      v.kind = JsonValue::Kind::kBool;
      v.boolean = c == 't';
      return Literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') return Literal("null");
    return Number(v);
  }
  bool Object(JsonValue& v, int depth) {
    v.kind = JsonValue::Kind::kObject;
    ++i_;
    Space();
    if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
    while (true) {
      Space();
      std::string key;
      if (i_ >= s_.size() || s_[i_] != '"' || !String(key)) return Fail("bad key");
      Space();
      if (i_ >= s_.size() || s_[i_] != ':') return Fail("':' expected");
      ++i_;
      if (v.members.count(key) != 0) return Fail("duplicate key");
      if (!Value(v.members[key], depth + 1)) return false;
      Space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == '}') return ++i_, true;
      return Fail("',' or '}' expected");
    }
  }
  bool Array(JsonValue& v, int depth) {
    v.kind = JsonValue::Kind::kArray;
    ++i_;
    Space();
    if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
    while (true) {
      v.items.emplace_back();
      if (!Value(v.items.back(), depth + 1)) return false;
      Space();
      if (i_ < s_.size() && s_[i_] == ',') {
        ++i_;
        continue;
      }
      if (i_ < s_.size() && s_[i_] == ']') return ++i_, true;
      return Fail("',' or ']' expected");
    }
  }
  static void Utf8(unsigned code, std::string& out) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  bool Hex4(unsigned& code) {
    if (i_ + 4 > s_.size()) return Fail("short \\u escape");
    code = 0;
    for (int k = 0; k < 4; ++k) {
      char h = s_[i_++];
      code <<= 4;
      if (h >= '0' && h <= '9') code |= static_cast<unsigned>(h - '0');
      else if (h >= 'a' && h <= 'f') code |= static_cast<unsigned>(h - 'a' + 10);
      else if (h >= 'A' && h <= 'F') code |= static_cast<unsigned>(h - 'A' + 10);
      else return Fail("bad hex digit");
    }
    return true;
  }
  bool String(std::string& out) {
    ++i_;  // the opening quote
    out.clear();
    while (i_ < s_.size()) {
      unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') return ++i_, true;
      if (c < 0x20) return Fail("raw control character in a string");
      if (c >= 0x80) {
        // Raw bytes must be well-formed UTF-8.
        std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 ? 2 : 0;
        if (n == 0 || c > 0xF4 || i_ + n > s_.size()) return Fail("bad UTF-8");
        for (std::size_t k = 1; k < n; ++k) {
          if ((static_cast<unsigned char>(s_[i_ + k]) & 0xC0) != 0x80) return Fail("bad UTF-8");
        }
        out.append(s_, i_, n);
        i_ += n;
        continue;
      }
      ++i_;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (i_ >= s_.size()) return Fail("bad escape");
      char e = s_[i_++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned code = 0;
          if (!Hex4(code)) return false;
          if (code >= 0xD800 && code <= 0xDBFF) {
            unsigned low = 0;
            if (s_.compare(i_, 2, "\\u") != 0) return Fail("lone surrogate");
            i_ += 2;
            if (!Hex4(low) || low < 0xDC00 || low > 0xDFFF) return Fail("lone surrogate");
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return Fail("lone surrogate");
          }
          Utf8(code, out);
          break;
        }
        default: return Fail("bad escape");
      }
    }
    return Fail("unterminated string");
  }
  bool Number(JsonValue& v) {
    std::size_t start = i_;
    if (i_ < s_.size() && s_[i_] == '-') ++i_;
    if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) {
      return Fail("bad value");
    }
    if (s_[i_] == '0') {
      ++i_;
    } else {
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    if (i_ < s_.size() && s_[i_] == '.') {
      ++i_;
      if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) {
        return Fail("bad fraction");
      }
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    if (i_ < s_.size() && (s_[i_] == 'e' || s_[i_] == 'E')) {
      ++i_;
      if (i_ < s_.size() && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (i_ >= s_.size() || !std::isdigit(static_cast<unsigned char>(s_[i_]))) {
        return Fail("bad exponent");
      }
      while (i_ < s_.size() && std::isdigit(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    v.kind = JsonValue::Kind::kNumber;
    v.number = std::strtod(s_.substr(start, i_ - start).c_str(), nullptr);
    return true;
  }

  const std::string& s_;
  std::size_t i_ = 0;
  std::string error_;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
  auto it = members.find(key);
  return it == members.end() ? Null() : it->second;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
  return index < items.size() ? items[index] : Null();
}

bool ParseJson(const std::string& text, JsonValue& out, std::string& error) {
  out = JsonValue{};
  return Reader(text).Document(out, error);
}

}  // namespace pathmon::testing
