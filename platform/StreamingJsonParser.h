#pragma once

#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace tvr::json_stream {

// A strict JSON (RFC 8259) event parser over text that arrives in pieces, for documents too
// large to hold: the events and the accepted inputs are those of nlohmann::json::sax_parse
// in strict mode (a UTF-8 byte order mark at the start is skipped; strings must be valid
// UTF-8 without raw control characters; integers that fit go to number_integer (negative)
// or number_unsigned, any other number to number_float; a number that is not finite is an
// error; only white space may follow the value; a NUL byte outside a string ends the
// text), several times faster, because text
// without escapes is copied in runs instead of character by character.
//
// `Source` gives the pieces in order: bool next(const char*& data, std::size_t& size),
// false at the end; a piece stays valid until the next call. `Events` has the methods of
// nlohmann's SAX interface, with syntaxError() in place of parse_error; a method returning
// false stops the parse. parse returns false after a syntax error or a stop.
template <class Source, class Events>
class Parser {
 public:
  Parser(Source& source, Events& events) : source_(source), events_(events) {}

  bool parse() {
    if (!skipByteOrderMark()) return fail();
    enum class Container : std::uint8_t { object, array };
    std::vector<Container> stack;
    for (;;) {
      // A value.
      skipWhiteSpace();
      int c = peek();
      switch (c) {
        case '{':
          ++cursor_;
          if (!events_.start_object(static_cast<std::size_t>(-1))) return false;
          skipWhiteSpace();
          if (peek() == '}') {
            ++cursor_;
            if (!events_.end_object()) return false;
            break;
          }
          if (!readKey()) return false;
          stack.push_back(Container::object);
          continue;
        case '[':
          ++cursor_;
          if (!events_.start_array(static_cast<std::size_t>(-1))) return false;
          skipWhiteSpace();
          if (peek() == ']') {
            ++cursor_;
            if (!events_.end_array()) return false;
            break;
          }
          stack.push_back(Container::array);
          continue;
        case '"':
          ++cursor_;
          if (!readString()) return fail();
          if (!events_.string(text_)) return false;
          break;
        case 't':
          if (!literal("true")) return fail();
          if (!events_.boolean(true)) return false;
          break;
        case 'f':
          if (!literal("false")) return fail();
          if (!events_.boolean(false)) return false;
          break;
        case 'n':
          if (!literal("null")) return fail();
          if (!events_.null()) return false;
          break;
        default:
          if (c == '-' || (c >= '0' && c <= '9')) {
            if (!readNumber()) return false;
            break;
          }
          return fail();
      }
      // After a value: the next member or element, or the ends of containers.
      for (;;) {
        skipWhiteSpace();
        if (stack.empty()) return peek() == kEnd ? true : fail();
        c = peek();
        if (c == ',') {
          ++cursor_;
          if (stack.back() == Container::object) {
            skipWhiteSpace();
            if (!readKey()) return false;
          }
          break;
        }
        if (stack.back() == Container::object ? c != '}' : c != ']') return fail();
        ++cursor_;
        bool wasObject = stack.back() == Container::object;
        stack.pop_back();
        if (!(wasObject ? events_.end_object() : events_.end_array())) return false;
      }
    }
  }

 private:
  static constexpr int kEnd = -1;

  bool fail() {
    events_.syntaxError();
    return false;
  }

  // The next byte without taking it, or kEnd. A NUL byte ends the text, as for nlohmann's
  // lexer (inside a string it is an error either way).
  int peek() {
    if (cursor_ == end_ && !refill()) return kEnd;
    int c = static_cast<unsigned char>(*cursor_);
    return c == 0 ? kEnd : c;
  }
  int take() {
    int c = peek();
    if (c != kEnd) ++cursor_;
    return c;
  }
  bool refill() {
    while (cursor_ == end_) {
      if (ended_) return false;
      const char* data = nullptr;
      std::size_t size = 0;
      if (!source_.next(data, size)) {
        ended_ = true;
        return false;
      }
      cursor_ = data;
      end_ = data + size;
    }
    return true;
  }

  bool skipByteOrderMark() {
    if (peek() != 0xEF) return true;
    ++cursor_;
    return take() == 0xBB && take() == 0xBF;
  }

  void skipWhiteSpace() {
    for (;;) {
      while (cursor_ != end_) {
        char c = *cursor_;
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
        ++cursor_;
      }
      if (!refill()) return;
    }
  }

  bool literal(const char* word) {
    for (const char* p = word; *p; ++p) {
      if (take() != static_cast<unsigned char>(*p)) return false;
    }
    return true;
  }

  bool readKey() {
    if (take() != '"' || !readString()) return fail();
    if (!events_.key(text_)) return false;
    skipWhiteSpace();
    if (take() != ':') return fail();
    return true;
  }

  // The rest of a string after its opening quote, unescaped into text_.
  bool readString() {
    text_.clear();
    for (;;) {
      // Plain printable ASCII is copied in runs, found eight bytes at a time.
      const char* run = cursor_;
      while (end_ - cursor_ >= 8) {
        std::uint64_t word;
        std::memcpy(&word, cursor_, 8);
        if (hasSpecialByte(word)) break;
        cursor_ += 8;
      }
      while (cursor_ != end_) {
        unsigned char c = static_cast<unsigned char>(*cursor_);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) break;
        ++cursor_;
      }
      text_.append(run, static_cast<std::size_t>(cursor_ - run));
      int c = peek();
      if (c == kEnd || c < 0x20) return false;
      if (c != '"' && c != '\\' && c < 0x80) continue;  // a new piece: its run goes on
      ++cursor_;
      if (c == '"') return true;
      if (c == '\\') {
        if (!readEscape()) return false;
      } else if (!readMultiByte(c)) {
        return false;
      }
    }
  }

  // Whether any of the eight bytes is a quote, a backslash, a control character or not
  // ASCII (the classic bit tricks for a zero byte and for a byte below a bound).
  static bool hasSpecialByte(std::uint64_t word) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
    constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
    auto hasZero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
    std::uint64_t below = (word - kOnes * 0x20) & ~word & kHighs;
    return (below | hasZero(word ^ (kOnes * '"')) | hasZero(word ^ (kOnes * '\\')) | (word & kHighs)) != 0;
  }

  bool readEscape() {
    int c = take();
    switch (c) {
      case '"': text_ += '"'; return true;
      case '\\': text_ += '\\'; return true;
      case '/': text_ += '/'; return true;
      case 'b': text_ += '\b'; return true;
      case 'f': text_ += '\f'; return true;
      case 'n': text_ += '\n'; return true;
      case 'r': text_ += '\r'; return true;
      case 't': text_ += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    int first = hex4();
    if (first < 0) return false;
    std::uint32_t codePoint = static_cast<std::uint32_t>(first);
    if (first >= 0xD800 && first <= 0xDBFF) {
      if (take() != '\\' || take() != 'u') return false;
      int second = hex4();
      if (second < 0xDC00 || second > 0xDFFF) return false;
      codePoint = 0x10000 + ((static_cast<std::uint32_t>(first) - 0xD800) << 10) +
                  (static_cast<std::uint32_t>(second) - 0xDC00);
    } else if (first >= 0xDC00 && first <= 0xDFFF) {
      return false;
    }
    appendUTF8(codePoint);
    return true;
  }

  int hex4() {
    int value = 0;
    for (int i = 0; i < 4; ++i) {
      int c = take();
      int digit = c >= '0' && c <= '9'   ? c - '0'
                  : c >= 'a' && c <= 'f' ? c - 'a' + 10
                  : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                         : -1;
      if (digit < 0) return -1;
      value = value * 16 + digit;
    }
    return value;
  }

  void appendUTF8(std::uint32_t codePoint) {
    if (codePoint < 0x80) {
      text_ += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
      text_ += static_cast<char>(0xC0 | (codePoint >> 6));
      text_ += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
      text_ += static_cast<char>(0xE0 | (codePoint >> 12));
      text_ += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      text_ += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
      text_ += static_cast<char>(0xF0 | (codePoint >> 18));
      text_ += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
      text_ += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
      text_ += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
  }

  // One UTF-8 sequence whose first byte `lead` is taken; the well-formed sequences of
  // RFC 3629 only (no overlong forms, no surrogates, nothing above U+10FFFF).
  bool readMultiByte(int lead) {
    int count = 0;
    int low = 0x80, high = 0xBF;  // range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
      count = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      count = 2;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      count = 3;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    } else {
      return false;
    }
    text_ += static_cast<char>(lead);
    for (int i = 0; i < count; ++i) {
      int c = take();
      if (c < (i == 0 ? low : 0x80) || c > (i == 0 ? high : 0xBF)) return false;
      text_ += static_cast<char>(c);
    }
    return true;
  }

  bool readNumber() {
    number_.clear();
    bool integer = true;
    auto digits = [&] {
      std::size_t before = number_.size();
      for (int c = peek(); c >= '0' && c <= '9'; c = peek()) {
        number_ += static_cast<char>(c);
        ++cursor_;
      }
      return number_.size() > before;
    };
    if (peek() == '-') {
      number_ += '-';
      ++cursor_;
    }
    int c = peek();
    if (c == '0') {
      number_ += '0';
      ++cursor_;
    } else if (!digits()) {
      return fail();
    }
    if (peek() == '.') {
      integer = false;
      number_ += '.';
      ++cursor_;
      if (!digits()) return fail();
    }
    c = peek();
    if (c == 'e' || c == 'E') {
      integer = false;
      number_ += static_cast<char>(c);
      ++cursor_;
      c = peek();
      if (c == '+' || c == '-') {
        number_ += static_cast<char>(c);
        ++cursor_;
      }
      if (!digits()) return fail();
    }
    const char* first = number_.data();
    const char* last = first + number_.size();
    if (integer) {
      if (number_[0] == '-') {
        std::int64_t value = 0;
        auto result = std::from_chars(first, last, value);
        if (result.ec == std::errc() && result.ptr == last) return events_.number_integer(value);
      } else {
        std::uint64_t value = 0;
        auto result = std::from_chars(first, last, value);
        if (result.ec == std::errc() && result.ptr == last) return events_.number_unsigned(value);
      }
    }
    // Correctly rounded, as the C library's conversion that nlohmann uses, and several times
    // faster; a value out of range (an overflow, an underflow to zero) goes to the C
    // library's conversion in the "C" locale, which says what nlohmann says. No infinity.
    double value = 0;
    auto converted = std::from_chars(first, last, value);
    if (converted.ec != std::errc() || converted.ptr != last) {
      static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
      value = strtod_l(first, nullptr, cLocale);
    }
    if (!std::isfinite(value)) return fail();
    return events_.number_float(value, number_);
  }

  Source& source_;
  Events& events_;
  const char* cursor_ = nullptr;
  const char* end_ = nullptr;
  bool ended_ = false;
  std::string text_;
  std::string number_;
};

// The whole text as one piece.
struct WholeText {
  const char* data;
  std::size_t size;
  bool given = false;
  bool next(const char*& piece, std::size_t& pieceSize) {
    if (given) return false;
    given = true;
    piece = data;
    pieceSize = size;
    return true;
  }
};

}  // namespace tvr::json_stream
