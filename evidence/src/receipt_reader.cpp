#include "quorrel/evidence/receipt_reader.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <system_error>
#include <type_traits>
#include <vector>


#include "json_special.hpp"

namespace quorrel::evidence {
namespace {

constexpr bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

int hex_value(unsigned char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void append_utf8(std::uint32_t cp, std::string& out) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

void append_hex_lower(std::uint32_t v, std::string& out) {
  char buf[8];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, 16);
  out.append(buf, static_cast<std::size_t>(res.ptr - buf));
}

// A string value as error messages show it: in double quotes, with quotes,
// backslashes and control characters escaped (\t, \r, \n, \0, otherwise
// \u{hex}); printable text, non-ASCII included, is shown as is.
void append_quoted_for_message(std::string_view text, std::string& out) {
  out.push_back('"');
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"':
        out.append("\\\"");
        continue;
      case '\\':
        out.append("\\\\");
        continue;
      case '\t':
        out.append("\\t");
        continue;
      case '\r':
        out.append("\\r");
        continue;
      case '\n':
        out.append("\\n");
        continue;
      case '\0':
        out.append("\\0");
        continue;
      default:
        break;
    }
    std::uint32_t control = 0x110000;
    if (c < 0x20 || c == 0x7F) {
      control = c;
    } else if (c == 0xC2 && i + 1 < text.size()) {
      // U+0080 to U+009F, the C1 controls.
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) {
        control = next;
        ++i;
      }
    }
    if (control != 0x110000) {
      out.append("\\u{");
      append_hex_lower(control, out);
      out.push_back('}');
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
}

// A finite double as error messages show it: positional notation with
// the shortest digits that read back to the same value, and ".0" when the text
// has no fraction ("1.5", "100000000000000000000.0", "-0.0").
void append_float_for_message(double value, std::string& out) {
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view sci(buf, static_cast<std::size_t>(res.ptr - buf));
  std::size_t p = 0;
  if (sci[p] == '-') {
    out.push_back('-');
    ++p;
  }
  std::string digits;
  while (p < sci.size() && sci[p] != 'e') {
    if (sci[p] != '.') digits.push_back(sci[p]);
    ++p;
  }
  int exponent = 0;
  if (p < sci.size()) {
    ++p;  // 'e'
    bool negative = false;
    if (sci[p] == '+' || sci[p] == '-') negative = sci[p++] == '-';
    std::from_chars(sci.data() + p, sci.data() + sci.size(), exponent);
    if (negative) exponent = -exponent;
  }
  const int count = static_cast<int>(digits.size());
  if (exponent >= count - 1) {
    out.append(digits);
    out.append(static_cast<std::size_t>(exponent - (count - 1)), '0');
    out.append(".0");
  } else if (exponent >= 0) {
    out.append(digits, 0, static_cast<std::size_t>(exponent + 1));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(exponent + 1));
  } else {
    out.append("0.");
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out.append(digits);
  }
}

// The position of a number's first significant digit relative to the decimal
// point, plus its exponent, saturated: positive for magnitudes of 1 and more.
// Only its sign is used, to tell overflow from underflow.
std::int64_t decimal_magnitude(std::string_view literal) {
  constexpr std::int64_t kCap = std::int64_t{1} << 40;
  std::size_t p = literal[0] == '-' ? 1 : 0;
  std::int64_t position = 0;
  bool found = false;
  std::int64_t int_digits_after_first = 0;
  for (; p < literal.size() && is_digit(static_cast<unsigned char>(literal[p])); ++p) {
    if (!found && literal[p] != '0') found = true;
    if (found && int_digits_after_first < kCap) ++int_digits_after_first;
  }
  if (found) {
    position = int_digits_after_first;
  } else if (p < literal.size() && literal[p] == '.') {
    ++p;
    std::int64_t zeros = 0;
    for (; p < literal.size() && literal[p] == '0'; ++p) {
      if (zeros < kCap) ++zeros;
    }
    position = -zeros;
  }
  while (p < literal.size() && literal[p] != 'e' && literal[p] != 'E') ++p;
  std::int64_t exponent = 0;
  if (p < literal.size()) {
    ++p;
    bool negative = false;
    if (literal[p] == '+' || literal[p] == '-') negative = literal[p++] == '-';
    for (; p < literal.size(); ++p) {
      if (exponent < kCap) exponent = exponent * 10 + (literal[p] - '0');
    }
    if (negative) exponent = -exponent;
  }
  return position + exponent;
}

// A number literal already checked against the JSON grammar.
struct NumberToken {
  std::string_view text;
  bool negative = false;
  bool integer = true;  // no fraction and no exponent
};

// Unsigned value of a non-negative integer literal, or nothing when it
// exceeds 64 bits.
std::optional<std::uint64_t> literal_to_u64(std::string_view digits) {
  std::uint64_t value = 0;
  for (const char ch : digits) {
    const auto d = static_cast<std::uint64_t>(ch - '0');
    if (value > (std::numeric_limits<std::uint64_t>::max() - d) / 10) return std::nullopt;
    value = value * 10 + d;
  }
  return value;
}

// A record's member: its key, whether it is required, and the key as the
// writer writes it, quoted and followed by its colon, kept in a fixed room
// (keys are at most 21 bytes) so that it can be compared a machine word at a
// time.
struct Field {
  constexpr Field(std::string_view key, bool is_required) : name(key), required(is_required) {
    written[0] = '"';
    for (std::size_t i = 0; i < key.size(); ++i) written[1 + i] = key[i];
    written[1 + key.size()] = '"';
    written[2 + key.size()] = ':';
    written_size = key.size() + 3;
  }

  std::string_view name;
  bool required;
  char written[24] = {};
  std::size_t written_size = 0;
};

// Whether the n bytes at `input` (all of them readable) are the key as
// written, n being 4 to 24: compared as overlapping four- or eight-byte words
// read in place rather than through a library call.
inline bool same_key(const char* input, const Field& field, std::size_t n) noexcept {
  const auto word_at = [&](std::size_t at, auto word) {
    decltype(word) a;
    decltype(word) b;
    std::memcpy(&a, input + at, sizeof a);
    std::memcpy(&b, field.written + at, sizeof b);
    return a == b;
  };
  if (n < 8) return word_at(0, std::uint32_t{}) && word_at(n - 4, std::uint32_t{});
  return word_at(0, std::uint64_t{}) && (n <= 16 || word_at(8, std::uint64_t{})) && word_at(n - 8, std::uint64_t{});
}

// Whether two short texts are equal, compared byte by byte: the variant
// names are a few bytes long, shorter than a library call is worth.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// How a record is read: its name in type errors, its name in positional length
// errors, its members in declaration order and whether the first member is a
// tag (which positional lengths do not count).
struct Shape {
  std::string_view type_name;
  std::string_view positional_name;
  const Field* fields;
  int count;
  bool tagged;
};

// A record tagged by a member: the tag's key, the names of its variants, and
// the record's name in type errors.
struct Tag {
  std::string_view key;
  const std::string_view* variants;
  int count;
  std::string_view type_name;
};

// The one receipt reader. With Text = std::string it fills a record that
// owns its texts; with Text = std::string_view (view mode) every text is a
// slice of the input, except a text written with escapes, which is decoded
// into `decoded`. View mode also notes whether the claim and the evidence
// list are written exactly as write_json writes them (members in declaration
// order, absent ones left out, no white space, no escapes), so that a
// receipt's canonical body can be put together from them as they stand.
template <class Text>
class Reader {
  static constexpr bool kViews = std::is_same_v<Text, std::string_view>;

 public:
  explicit Reader(std::string_view text, std::vector<char>* decoded = nullptr)
      : s_(text.data()), n_(text.size()), decoded_(decoded) {}

  bool read_document(BasicReceipt<Text>& receipt) {
    if (!read_receipt(receipt)) return false;
    if (peek_ws() >= 0) return fail_peek("trailing characters");
    return true;
  }

  // In view mode, after a successful read: the claim and evidence list as
  // written, when both are in the writer's form.
  std::optional<WrittenParts> written() const {
    if (!claim_written_ || !evidence_written_) return std::nullopt;
    return WrittenParts{*claim_written_, *evidence_written_};
  }

  ReceiptReadError error() const {
    ReceiptReadError out{error_, 1, 0};
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < error_offset_; ++i) {
      if (s_[i] == '\n') {
        ++out.line;
        line_start = i + 1;
      }
    }
    out.column = error_offset_ - line_start;
    return out;
  }

 private:
  // ---- errors -------------------------------------------------------------
  bool fail_at(std::size_t offset, std::string description) {
    error_ = std::move(description);
    error_offset_ = offset;
    return false;
  }
  // Found after consuming a token: the error point is the current index.
  bool fail_here(std::string description) { return fail_at(i_, std::move(description)); }
  // Found when looking at the next byte: the error point is just past it.
  bool fail_peek(std::string description) {
    return fail_at(i_ < n_ ? i_ + 1 : n_, std::move(description));
  }

  // As fail_peek, for the element and key readers that return -1 on error.
  int peek_error(std::string description) {
    fail_peek(std::move(description));
    return -1;
  }

  // ---- low-level scanning -------------------------------------------------
  // Skips JSON white space; the next byte, or -1 at the end.
  int peek_ws() {
    while (i_ < n_) {
      const char c = s_[i_];
      if (c != ' ' && c != '\n' && c != '\t' && c != '\r') return static_cast<unsigned char>(c);
      unlike_writer();
      ++i_;
    }
    return -1;
  }

  // The text read is not in the form write_json gives it.
  void unlike_writer() { ++unlike_writer_; }

  bool enter() {
    if (depth_ >= kMaxJsonDepth) return fail_peek("recursion limit exceeded");
    ++depth_;
    return true;
  }
  void leave() { --depth_; }

  // Reads the rest of a literal whose first byte has been consumed.
  bool expect_ident(std::string_view rest) {
    for (const char expected : rest) {
      if (i_ == n_) return fail_here("EOF while parsing a value");
      if (s_[i_++] != expected) return fail_here("expected ident");
    }
    return true;
  }

  // The first byte at or after i that ends a run of string content needing no escapes, or n_.
  std::size_t find_string_special(std::size_t i) const { return i + detail::find_json_special(s_ + i, n_ - i); }

  // Four hexadecimal digits of a \u escape.
  bool read_hex4(std::uint32_t& value) {
    if (n_ - i_ < 4) {
      i_ = n_;
      return fail_here("EOF while parsing a string");
    }
    value = 0;
    bool ok = true;
    for (int k = 0; k < 4; ++k) {
      const int h = hex_value(static_cast<unsigned char>(s_[i_ + static_cast<std::size_t>(k)]));
      if (h < 0) ok = false;
      value = (value << 4) | static_cast<std::uint32_t>(h < 0 ? 0 : h);
    }
    i_ += 4;
    if (!ok) return fail_here("invalid escape");
    return true;
  }

  // After the backslash of an escape.
  template <bool kDecode>
  bool read_escape() {
    if (i_ == n_) return fail_here("EOF while parsing a string");
    const char c = s_[i_++];
    char unescaped = 0;
    switch (c) {
      case '"':
        unescaped = '"';
        break;
      case '\\':
        unescaped = '\\';
        break;
      case '/':
        unescaped = '/';
        break;
      case 'b':
        unescaped = '\b';
        break;
      case 'f':
        unescaped = '\f';
        break;
      case 'n':
        unescaped = '\n';
        break;
      case 'r':
        unescaped = '\r';
        break;
      case 't':
        unescaped = '\t';
        break;
      case 'u':
        return read_unicode_escape<kDecode>();
      default:
        return fail_here("invalid escape");
    }
    if constexpr (kDecode) scratch_.push_back(unescaped);
    return true;
  }

  template <bool kDecode>
  bool read_unicode_escape() {
    std::uint32_t cp = 0;
    if (!read_hex4(cp)) return false;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return fail_here("lone leading surrogate in hex escape");
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A leading surrogate must be followed by a \u escape of a trailing one.
      for (const char expected : {'\\', 'u'}) {
        if (i_ == n_) return fail_here("EOF while parsing a string");
        if (s_[i_++] != expected) return fail_here("unexpected end of hex escape");
      }
      std::uint32_t low = 0;
      if (!read_hex4(low)) return false;
      if (low < 0xDC00 || low > 0xDFFF) return fail_here("lone leading surrogate in hex escape");
      cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
    }
    if constexpr (kDecode) append_utf8(cp, scratch_);
    return true;
  }

  // At the opening quote. When decoding, `out` views the text: a slice of the
  // input when it has no escapes, otherwise the scratch buffer (valid until
  // the next string is read); `decoded_last_` tells which.
  template <bool kDecode>
  bool scan_string(std::string_view* out) {
    ++i_;
    std::size_t start = i_;
    bool copied = false;
    if constexpr (kDecode) {
      scratch_.clear();
      decoded_last_ = false;
    }
    for (;;) {
      i_ = find_string_special(i_);
      if (i_ == n_) return fail_here("EOF while parsing a string");
      const char c = s_[i_];
      if (c == '"') {
        if constexpr (kDecode) {
          if (copied) {
            scratch_.append(s_ + start, i_ - start);
            *out = scratch_;
            decoded_last_ = true;
            unlike_writer();
          } else {
            *out = std::string_view(s_ + start, i_ - start);
          }
        }
        ++i_;
        return true;
      }
      if (c == '\\') {
        if constexpr (kDecode) {
          scratch_.append(s_ + start, i_ - start);
          copied = true;
        }
        ++i_;
        if (!read_escape<kDecode>()) return false;
        start = i_;
        continue;
      }
      // A string that is read is faulted past the character, one that is
      // skipped at it.
      if (kDecode || generic_) ++i_;
      return fail_here("control character (\\u0000-\\u001F) found while parsing a string");
    }
  }
  bool parse_string(std::string_view& out) {
    // A string without escapes (nearly every one) is a slice of the input,
    // found by one scan for its end; any other is read by scan_string.
    const std::size_t begin = i_ + 1;
    const std::size_t end = find_string_special(begin);
    if (end < n_ && s_[end] == '"') {
      out = std::string_view(s_ + begin, end - begin);
      decoded_last_ = false;
      i_ = end + 1;
      return true;
    }
    return scan_string<true>(&out);
  }
  bool skip_string() { return scan_string<false>(nullptr); }

  // At '-' or a digit.
  bool scan_number(NumberToken& token) {
    const std::size_t start = i_;
    token.negative = s_[i_] == '-';
    if (token.negative) ++i_;
    if (i_ == n_) return fail_here("EOF while parsing a value");
    const auto first = static_cast<unsigned char>(s_[i_++]);
    if (first == '0') {
      if (i_ < n_ && is_digit(static_cast<unsigned char>(s_[i_]))) return fail_peek("invalid number");
    } else if (is_digit(first)) {
      while (i_ < n_ && is_digit(static_cast<unsigned char>(s_[i_]))) ++i_;
    } else {
      return fail_here("invalid number");
    }
    token.integer = true;
    if (i_ < n_ && s_[i_] == '.') {
      token.integer = false;
      ++i_;
      const std::size_t digits = i_;
      while (i_ < n_ && is_digit(static_cast<unsigned char>(s_[i_]))) ++i_;
      if (i_ == digits) {
        return fail_peek(i_ == n_ ? "EOF while parsing a value" : "invalid number");
      }
    }
    if (i_ < n_ && (s_[i_] == 'e' || s_[i_] == 'E')) {
      token.integer = false;
      ++i_;
      if (i_ < n_ && (s_[i_] == '+' || s_[i_] == '-')) ++i_;
      if (i_ == n_) return fail_here("EOF while parsing a value");
      if (!is_digit(static_cast<unsigned char>(s_[i_++]))) return fail_here("invalid number");
      while (i_ < n_ && is_digit(static_cast<unsigned char>(s_[i_]))) ++i_;
    }
    token.text = std::string_view(s_ + start, i_ - start);
    return true;
  }

  // Describes a number for a type error ("integer `5`", "floating point `1.5`").
  // A number too large for a double cannot be described: "number out of range".
  bool describe_number(const NumberToken& token, std::string& out) {
    if (token.integer) {
      const std::string_view digits = token.negative ? token.text.substr(1) : token.text;
      const auto magnitude = literal_to_u64(digits);
      constexpr std::uint64_t kMinI64Magnitude = std::uint64_t{1} << 63;
      if (magnitude && (!token.negative || (*magnitude != 0 && *magnitude <= kMinI64Magnitude))) {
        out.append("integer `");
        out.append(token.text);
        out.push_back('`');
        return true;
      }
    }
    double value = 0;
    const auto res = std::from_chars(token.text.data(), token.text.data() + token.text.size(), value);
    if (res.ec == std::errc::result_out_of_range) {
      if (decimal_magnitude(token.text) > 0) return fail_here("number out of range");
      value = token.negative ? -0.0 : 0.0;
    }
    out.append("floating point `");
    append_float_for_message(value, out);
    out.push_back('`');
    return true;
  }

  // The error for a value of the wrong JSON type, read as far as the value's
  // kind needs: a scalar is consumed, an array or object is not.
  bool invalid_type(std::string_view expected) {
    std::string found;
    const int c = peek_ws();
    switch (c) {
      case 'n':
        ++i_;
        if (!expect_ident("ull")) return false;
        found = "null";
        break;
      case 't':
        ++i_;
        if (!expect_ident("rue")) return false;
        found = "boolean `true`";
        break;
      case 'f':
        ++i_;
        if (!expect_ident("alse")) return false;
        found = "boolean `false`";
        break;
      case '"': {
        std::string_view text;
        if (!parse_string(text)) return false;
        found = "string ";
        append_quoted_for_message(text, found);
        break;
      }
      case '[':
        found = "sequence";
        break;
      case '{':
        found = "map";
        break;
      default: {
        if (c == '-' || (c >= 0 && is_digit(static_cast<unsigned char>(c)))) {
          NumberToken token;
          if (!scan_number(token) || !describe_number(token, found)) return false;
          break;
        }
        if (c < 0) return fail_peek("EOF while parsing a value");
        return fail_peek("expected value");
      }
    }
    std::string description = "invalid type: ";
    description.append(found);
    description.append(", expected ");
    description.append(expected);
    return fail_here(std::move(description));
  }

  // ---- skipping -----------------------------------------------------------
  bool skip_scalar(int c) {
    switch (c) {
      case 'n':
        ++i_;
        return expect_ident("ull");
      case 't':
        ++i_;
        return expect_ident("rue");
      case 'f':
        ++i_;
        return expect_ident("alse");
      case '"':
        return skip_string();
      default:
        if (c == '-' || is_digit(static_cast<unsigned char>(c))) {
          // A number read as a generic value must fit a double.
          NumberToken token;
          std::string described;
          return scan_number(token) && (!generic_ || describe_number(token, described));
        }
        return fail_peek("expected value");
    }
  }

  // An object key and its colon, at the position where the key should start.
  bool skip_key_and_colon() {
    const int c = peek_ws();
    if (c < 0) return fail_peek("EOF while parsing an object");
    if (c != '"') return fail_peek("key must be a string");
    if (!skip_string()) return false;
    return object_colon();
  }

  // Skips one value of any shape, checking its syntax and nesting with an
  // explicit stack of open brackets. Read as a generic value (generic_), a
  // comma must be followed by a further element or member, as in a record.
  bool skip_value() {
    std::array<char, kMaxJsonDepth> open{};
    int top = 0;
    for (;;) {
      // A value is expected here.
      const int c = peek_ws();
      if (c < 0) return fail_peek("EOF while parsing a value");
      if (c == '[' || c == '{') {
        if (!enter()) return false;
        ++i_;
        open[static_cast<std::size_t>(top++)] = static_cast<char>(c);
        const int next = peek_ws();
        if (next == (c == '[' ? ']' : '}')) {
          ++i_;
          --top;
          leave();
        } else if (c == '[') {
          if (next < 0) return fail_peek("EOF while parsing a list");
          continue;
        } else {
          if (!skip_key_and_colon()) return false;
          continue;
        }
      } else if (!skip_scalar(c)) {
        return false;
      }
      // A value has ended: close brackets until a comma asks for the next one.
      for (;;) {
        if (top == 0) return true;
        const char frame = open[static_cast<std::size_t>(top - 1)];
        const int next = peek_ws();
        if (next == ',') {
          ++i_;
          if (generic_ && !after_comma(frame == '[' ? ']' : '}')) return false;
          if (frame == '{' && !skip_key_and_colon()) return false;
          break;
        }
        if (next == (frame == '[' ? ']' : '}')) {
          ++i_;
          --top;
          leave();
          continue;
        }
        if (next < 0) {
          return fail_peek(frame == '[' ? "EOF while parsing a list" : "EOF while parsing an object");
        }
        return fail_peek(frame == '[' ? "expected `,` or `]`" : "expected `,` or `}`");
      }
    }
  }

  // ---- arrays and objects -------------------------------------------------
  // After a comma between elements or members: something other than the
  // closing bracket.
  bool after_comma(int close) {
    const int c = peek_ws();
    if (c == close) return fail_peek("trailing comma");
    if (c < 0) return fail_peek("EOF while parsing a value");
    return true;
  }

  // Positions at the next element of an open array: 1 when there is one, 0 at
  // the closing bracket (not consumed), -1 on error.
  int next_element(bool& first) {
    const int c = peek_ws();
    if (c == ']') return 0;
    if (c < 0) return peek_error("EOF while parsing a list");
    if (first) {
      first = false;
    } else if (c == ',') {
      ++i_;
      if (!after_comma(']')) return -1;
    } else {
      return peek_error("expected `,` or `]`");
    }
    return 1;
  }

  // After the `taken` elements a record takes: the closing bracket. Further
  // elements are "trailing characters", or, in a record read whole first
  // (generic_), counted: "invalid length 3, expected 2 elements in sequence".
  bool end_array(int taken) {
    const int c = peek_ws();
    if (c == ']') {
      ++i_;
      return true;
    }
    if (c < 0) return fail_peek("EOF while parsing a list");
    if (generic_) {
      int more = 0;
      bool first = false;
      int r = 0;
      while ((r = next_element(first)) == 1) {
        if (!skip_value()) return false;
        ++more;
      }
      if (r < 0) return false;
      ++i_;
      return fail_invalid_length(taken + more, std::to_string(taken).append(taken == 1 ? " element in sequence"
                                                                                        : " elements in sequence"));
    }
    if (c == ',') {
      ++i_;
      if (peek_ws() == ']') return fail_peek("trailing comma");
    }
    return fail_peek("trailing characters");
  }

  // Reads the next key of an open object: 1 with `key` set, 0 at the closing
  // brace (not consumed), -1 on error.
  int next_key(bool& first, std::string_view& key) {
    int c = peek_ws();
    if (c == '}') return 0;
    if (c < 0) return peek_error("EOF while parsing an object");
    if (first) {
      first = false;
    } else if (c == ',') {
      ++i_;
      if (!after_comma('}')) return -1;
      c = peek_ws();
    } else {
      return peek_error("expected `,` or `}`");
    }
    if (c != '"') return peek_error("key must be a string");
    return parse_string(key) ? 1 : -1;
  }

  bool object_colon() {
    const int c = peek_ws();
    if (c == ':') {
      ++i_;
      return true;
    }
    if (c < 0) return fail_peek("EOF while parsing an object");
    return fail_peek("expected `:`");
  }

  // Members mostly come as the writer writes them: in declaration order,
  // absent optional ones left out, each key quoted without escapes and
  // followed by its colon, with no white space. Such a member is taken here
  // by comparing bytes: its index, with the colon consumed, or -1 when the
  // next bytes are anything else or a member already read (which the general
  // path reads as usual). Always inlined, into every record's loop.
  [[gnu::always_inline]] int next_member_as_written(const Shape& shape, int last, std::uint32_t seen, bool& first) {
    std::size_t at = i_;
    if (!first) {
      if (at == n_ || s_[at] != ',') return -1;
      ++at;
    }
    for (int k = last + 1; k < shape.count; ++k) {
      const Field& field = shape.fields[k];
      if (n_ - at >= field.written_size && same_key(s_ + at, field, field.written_size)) {
        if ((seen & (1u << k)) != 0) return -1;  // a duplicate, reported by the general path
        i_ = at + field.written_size;
        first = false;
        return k;
      }
      if (shape.fields[k].required) break;  // the writer leaves none of these out
    }
    return -1;
  }

  // Reads a record in either form. `read_field(k)` reads the value of member k
  // at the current position (white space not yet skipped).
  template <class ReadField>
  bool read_record(const Shape& shape, ReadField&& read_field) {
    const int c = peek_ws();
    if (c == '{') {
      if (!enter()) return false;
      ++i_;
      std::uint32_t seen = 0;
      int last = -1;  // the member read last, in declaration order
      bool first = true;
      for (;;) {
        int k = next_member_as_written(shape, last, seen, first);
        if (k < 0) {
          std::string_view key;
          const int r = next_key(first, key);
          if (r < 0) return false;
          if (r == 0) break;
          k = 0;
          while (k < shape.count && shape.fields[k].name != key) ++k;
          if (k < shape.count && (seen & (1u << k)) != 0) return fail_duplicate(shape.fields[k].name);
          if (!object_colon()) return false;
        }
        if (k <= last || k == shape.count) unlike_writer();
        if (k == shape.count) {
          if (!skip_value()) return false;
          continue;
        }
        last = k;
        seen |= 1u << k;
        if (!read_field(k)) return fail_after_member('}');
      }
      ++i_;
      leave();
      for (int k = 0; k < shape.count; ++k) {
        if (shape.fields[k].required && (seen & (1u << k)) == 0) {
          return fail_here(std::string("missing field `").append(shape.fields[k].name).append("`"));
        }
      }
      return true;
    }
    if (c == '[') {
      if (!enter()) return false;
      ++i_;
      unlike_writer();
      bool first = true;
      for (int k = 0; k < shape.count; ++k) {
        const int r = next_element(first);
        if (r < 0) return false;
        if (r == 0) {
          ++i_;
          leave();
          return fail_invalid_length(k - (shape.tagged ? 1 : 0), shape.positional_name);
        }
        if (!read_field(k)) return fail_after_member(']');
      }
      if (!end_array(shape.count - (shape.tagged ? 1 : 0))) return false;
      leave();
      return true;
    }
    if (c < 0) return fail_peek("EOF while parsing a value");
    return invalid_type(shape.type_name);
  }

  // A member given twice, found at its key: placed past the white space after
  // the key and, when it comes next, the record's closing brace.
  bool fail_duplicate(std::string_view name) {
    if (peek_ws() == '}') ++i_;
    return fail_here(std::string("duplicate field `").append(name).append("`"));
  }

  // After a member's value failed to read. An error found after a tagged
  // record was read whole has no place yet (unplaced_, see read_tagged): it
  // is placed where this record's own end is looked for, past the white
  // space and, when it comes next, the closing bracket, or in an array a
  // comma and the white space after it.
  bool fail_after_member(char close) {
    if (!unplaced_) return false;
    unplaced_ = false;
    const int c = peek_ws();
    if (c == close) {
      ++i_;
    } else if (c == ',' && close == ']') {
      ++i_;
      peek_ws();
    }
    error_offset_ = i_;
    return false;
  }

  bool fail_invalid_length(int length, std::string_view expected) {
    std::string description = "invalid length ";
    description.append(std::to_string(length));
    description.append(", expected ");
    description.append(expected);
    return fail_here(std::move(description));
  }

  // ---- typed values -------------------------------------------------------
  bool read_text(Text& out) {
    const int c = peek_ws();
    if (c != '"') {
      if (c < 0) return fail_peek("EOF while parsing a value");
      return invalid_type("a string");
    }
    // A text without escapes, found by one scan for its end, is kept as it
    // stands (assigned straight from the input: handing it over through a
    // view in memory would cost more than the scan).
    const std::size_t begin = i_ + 1;
    const std::size_t end = find_string_special(begin);
    if (end < n_ && s_[end] == '"') {
      i_ = end + 1;
      if constexpr (kViews) {
        out = std::string_view(s_ + begin, end - begin);
      } else {
        out.assign(s_ + begin, end - begin);
      }
      return true;
    }
    std::string_view text;
    if (!scan_string<true>(&text)) return false;
    if constexpr (!kViews) {
      out.assign(text);
    } else if (!decoded_last_) {
      out = text;
    } else {
      // Decoded texts are kept in `decoded`, whose room is made once for as
      // many bytes as the input has (no decoded text is longer than its
      // escaped form), so that it never moves and earlier views stay valid.
      if (decoded_->empty()) decoded_->reserve(n_);
      decoded_->insert(decoded_->end(), text.begin(), text.end());
      out = std::string_view(decoded_->data() + decoded_->size() - text.size(), text.size());
    }
    return true;
  }

  // Consumes a null if one comes next.
  bool read_null_if_present(bool& was_null) {
    was_null = peek_ws() == 'n';
    if (!was_null) return true;
    unlike_writer();
    ++i_;
    return expect_ident("ull");
  }

  bool read_optional_text(std::optional<Text>& out) {
    bool was_null = false;
    if (!read_null_if_present(was_null)) return false;
    if (was_null) {
      out.reset();
      return true;
    }
    out.emplace();
    return read_text(*out);
  }

  // A non-negative integer of at most `max`; `type_name` is "u64" or "u32".
  bool read_unsigned(std::uint64_t& out, std::uint64_t max, std::string_view type_name) {
    const int c = peek_ws();
    if (c < 0) return fail_peek("EOF while parsing a value");
    if (c != '-' && !is_digit(static_cast<unsigned char>(c))) return invalid_type(type_name);
    // Digits without a leading zero that end the number and fit (as
    // the writer writes every integer) are taken in one pass; anything else
    // is read again below as a number token.
    std::size_t end = i_;
    std::uint64_t value = 0;
    while (end < n_ && is_digit(static_cast<unsigned char>(s_[end])) && value <= (max - 9) / 10) {
      value = value * 10 + static_cast<std::uint64_t>(s_[end++] - '0');
    }
    if (end > i_ && (s_[i_] != '0' || end == i_ + 1) &&
        (end == n_ || (!is_digit(static_cast<unsigned char>(s_[end])) && s_[end] != '.' && s_[end] != 'e' &&
                       s_[end] != 'E'))) {
      i_ = end;
      out = value;
      return true;
    }
    NumberToken token;
    if (!scan_number(token)) return false;
    const bool negative_zero = token.negative && token.text == "-0";
    if (token.integer && !negative_zero) {
      // Read as a generic value, an integer beyond 64 bits (below -2^63 when
      // negative) is held as a floating point number, and described as one.
      const auto magnitude = literal_to_u64(token.negative ? token.text.substr(1) : token.text);
      if (!generic_ || (magnitude && (!token.negative || *magnitude <= std::uint64_t{1} << 63))) {
        if (!token.negative && magnitude && *magnitude <= max) {
          out = *magnitude;
          return true;
        }
        if (!token.negative && !magnitude) return fail_here("number out of range");
        return fail_here(std::string("invalid value: integer `")
                             .append(token.text)
                             .append("`, expected ")
                             .append(type_name));
      }
    }
    std::string found;
    if (!describe_number(token, found)) return false;
    return fail_here(std::string("invalid type: ").append(found).append(", expected ").append(type_name));
  }

  bool read_byte_range(std::optional<ByteRange>& out) {
    bool was_null = false;
    if (!read_null_if_present(was_null)) return false;
    if (was_null) {
      out.reset();
      return true;
    }
    const int c = peek_ws();
    if (c != '[') {
      if (c < 0) return fail_peek("EOF while parsing a value");
      return invalid_type("a tuple of size 2");
    }
    if (!enter()) return false;
    ++i_;
    std::uint64_t bounds[2] = {0, 0};
    bool first = true;
    for (int k = 0; k < 2; ++k) {
      const int r = next_element(first);
      if (r < 0) return false;
      if (r == 0) {
        ++i_;
        leave();
        return fail_invalid_length(k, "a tuple of size 2");
      }
      if (!read_unsigned(bounds[k], std::numeric_limits<std::uint64_t>::max(), "u64")) return false;
    }
    if (!end_array(2)) return false;
    leave();
    out = ByteRange{bounds[0], bounds[1]};
    return true;
  }

  // Null, written by the writer for a ratio or growth rate without rounding,
  // or an unsigned 32-bit integer.
  bool read_round_dp(std::optional<std::uint32_t>& out) {
    if (peek_ws() == 'n') {
      ++i_;
      out.reset();
      return expect_ident("ull");
    }
    std::uint64_t value = 0;
    if (!read_unsigned(value, std::numeric_limits<std::uint32_t>::max(), "u32")) return false;
    out = static_cast<std::uint32_t>(value);
    return true;
  }

  // A string naming one of `names`: its index in `out`.
  bool read_variant(const std::string_view* names, int count, int& out) {
    const int c = peek_ws();
    if (c != '"') return invalid_type("variant identifier");
    std::string_view text;
    if (!parse_string(text)) return false;
    for (int k = 0; k < count; ++k) {
      if (same_text(names[k], text)) {
        out = k;
        return true;
      }
    }
    // "expected `a`", "expected `a` or `b`", "expected one of `a`, `b`, `c`".
    std::string description = std::string("unknown variant `").append(text).append("`, expected ");
    if (count > 2) description.append("one of ");
    for (int k = 0; k < count; ++k) {
      if (k > 0) description.append(count > 2 ? ", " : " or ");
      description.append("`").append(names[k]).append("`");
    }
    return fail_here(std::move(description));
  }

  // The claim kind: its name as a string, or as the one member of an object
  // whose value is null ({"stated":null}); nothing else is a value here.
  bool read_claim_kind(ClaimKind& out) {
    static constexpr std::string_view kNames[] = {"stated", "derived"};
    int k = 0;
    const int c = peek_ws();
    if (c == '{') {
      unlike_writer();
      if (!enter()) return false;
      ++i_;
      if (!read_variant(kNames, 2, k) || !object_colon()) return false;
      if (peek_ws() != 'n') return invalid_type("unit");
      ++i_;
      if (!expect_ident("ull")) return false;
      const int end = peek_ws();
      if (end != '}') return fail_here(end < 0 ? "EOF while parsing an object" : "expected value");
      ++i_;
      leave();
    } else if (c != '"') {
      return fail_peek(c < 0 ? "EOF while parsing a value" : "expected value");
    } else if (!read_variant(kNames, 2, k)) {
      return false;
    }
    out = k == 0 ? ClaimKind::Stated : ClaimKind::Derived;
    return true;
  }

  // ---- tagged records ------------------------------------------------------
  // A record that names its variant in a member, its tag (the locator by
  // "profile", the operation by "op"). Such a record is read whole, as a
  // generic JSON value, before any other member is judged, so that whatever
  // is wrong with it as JSON (a bad token, a number beyond a double, nesting,
  // the end of the line) and a wrong, missing or repeated tag win over a
  // member of the wrong type; its members are then checked in the order they
  // come, and an error found in them is placed just past the record.
  //
  // `read_members(variant)` reads the members, with the tag's index known, or
  // with -1, reading the tag member into it. A record in the writer's form
  // (its tag first, members in order, nothing skipped, no white space or
  // escapes) reads alike both ways, so it is read once, member by member;
  // any other record, or one that fails so, is read again from its start: a
  // first pass over it as a generic value (generic_ set), then the members.
  template <class ReadMembers>
  bool read_tagged(const Tag& tag, ReadMembers&& read_members) {
    const int c = peek_ws();
    const std::size_t begin = i_;
    const int depth = depth_;
    const std::size_t unlike = unlike_writer_;
    const std::size_t decoded = decoded_ ? decoded_->size() : 0;
    bool member_by_member = c == '{';
    int variant = -1;
    std::size_t end = 0;
    for (;;) {
      if (!member_by_member) {
        unlike_writer();
        generic_ = true;
        if (!read_whole(tag, variant)) {
          generic_ = false;
          return false;
        }
        end = i_;
        i_ = begin;
      }
      // One call, so that the members' reader is made once.
      const bool read = read_members(variant);
      if (!member_by_member) {
        generic_ = false;
        unplaced_ = !read;
        i_ = end;
        return read;
      }
      if (read && unlike_writer_ == unlike) return true;
      i_ = begin;
      depth_ = depth;
      if (decoded_) decoded_->resize(decoded);  // within the room made once, so views stay put
      variant = -1;
      member_by_member = false;
    }
  }

  // The first pass over a tagged record: its syntax, nesting and numbers,
  // and its tag, the first element of an array or one member of an object. A
  // missing tag is found once the record is read, a repeated one at its key.
  bool read_whole(const Tag& tag, int& variant) {
    const int c = peek_ws();
    if (c != '{' && c != '[') return invalid_type(tag.type_name);
    if (!enter()) return false;
    ++i_;
    bool first = true;
    int r = 0;
    if (c == '[') {
      r = next_element(first);
      if (r == 1) {
        if (!read_variant(tag.variants, tag.count, variant)) return false;
        while ((r = next_element(first)) == 1) {
          if (!skip_value()) return false;
        }
      }
    } else {
      std::string_view key;
      while ((r = next_key(first, key)) == 1) {
        if (key == tag.key) {
          if (variant >= 0) return fail_duplicate(tag.key);
          if (!object_colon() || !read_variant(tag.variants, tag.count, variant)) return false;
        } else if (!object_colon() || !skip_value()) {
          return false;
        }
      }
    }
    if (r < 0) return false;
    ++i_;
    leave();
    if (variant < 0) return fail_here(std::string("missing field `").append(tag.key).append("`"));
    return true;
  }

  // The tag member in read_members: read when the variant is not known yet.
  bool read_tag(const Tag& tag, int& variant) {
    return variant >= 0 ? skip_value() : read_variant(tag.variants, tag.count, variant);
  }

  // ---- records ------------------------------------------------------------
  bool read_claim(BasicClaim<Text>& out) {
    static constexpr Field kFields[] = {
        {"value", true}, {"unit", false}, {"kind", true}, {"doc_id", true}};
    static constexpr Shape kShape{"struct Claim", "struct Claim with 4 elements", kFields, 4, false};
    out.unit.reset();
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_text(out.value);
        case 1:
          return read_optional_text(out.unit);
        case 2:
          return read_claim_kind(out.kind);
        default:
          return read_text(out.doc_id);
      }
    });
  }

  bool read_source_artifact(BasicSourceArtifact<Text>& out) {
    static constexpr Field kFields[] = {
        {"uri", true}, {"sha256", true}, {"retrieved_at", false}, {"authority", false}};
    static constexpr Shape kShape{"struct SourceArtifact", "struct SourceArtifact with 4 elements",
                                  kFields, 4, false};
    out.retrieved_at.reset();
    out.authority.reset();
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_text(out.uri);
        case 1:
          return read_text(out.sha256);
        case 2:
          return read_optional_text(out.retrieved_at);
        default:
          return read_optional_text(out.authority);
      }
    });
  }

  bool read_locator(BasicXbrlLocator<Text>& out) {
    static constexpr Field kFields[] = {{"profile", true},
                                        {"concept", true},
                                        {"context_ref", true},
                                        {"unit_ref", false},
                                        {"byte_range", false}};
    static constexpr Shape kShape{"internally tagged enum Locator", "struct XbrlLocator with 4 elements", kFields, 5, true};
    static constexpr std::string_view kProfiles[] = {"xbrl"};
    static constexpr Tag kTag{"profile", kProfiles, 1, "internally tagged enum Locator"};
    return read_tagged(kTag, [&](int& variant) {
      out.unit_ref.reset();
      out.byte_range.reset();
      return read_record(kShape, [&](int k) {
        switch (k) {
          case 0:
            return read_tag(kTag, variant);
          case 1:
            return read_text(out.concept_name);
          case 2:
            return read_text(out.context_ref);
          case 3:
            return read_optional_text(out.unit_ref);
          default:
            return read_byte_range(out.byte_range);
        }
      });
    });
  }

  bool read_extraction(BasicExtraction<Text>& out) {
    static constexpr Field kFields[] = {{"engine", true}};
    static constexpr Shape kShape{"struct Extraction", "struct Extraction with 1 element", kFields,
                                  1, false};
    return read_record(kShape, [&](int) { return read_text(out.engine); });
  }

  bool read_evidence(BasicEvidence<Text>& out) {
    static constexpr Field kFields[] = {
        {"source_artifact", true}, {"locator", true}, {"extraction", true}};
    static constexpr Shape kShape{"struct Evidence", "struct Evidence with 3 elements", kFields, 3,
                                  false};
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_source_artifact(out.source_artifact);
        case 1:
          return read_locator(out.locator);
        default:
          return read_extraction(out.extraction);
      }
    });
  }

  // A JSON array of records, each read by `read_item`.
  template <class T, class ReadItem>
  bool read_list(std::vector<T>& out, ReadItem&& read_item) {
    const int c = peek_ws();
    if (c != '[') {
      if (c < 0) return fail_peek("EOF while parsing a value");
      return invalid_type("a sequence");
    }
    if (!enter()) return false;
    ++i_;
    // Elements already in `out` are read over, so a reused record keeps
    // their buffers; each item reader sets every member it does not require.
    std::size_t count = 0;
    bool first = true;
    for (;;) {
      const int r = next_element(first);
      if (r < 0) return false;
      if (r == 0) break;
      if (count == out.size()) out.emplace_back();
      if (!read_item(out[count])) return false;
      ++count;
    }
    out.resize(count);
    ++i_;
    leave();
    return true;
  }

  // A ratio or growth rate takes a rounding, positionally its one element; a
  // difference takes nothing and ignores any member but its tag.
  bool read_operation(Operation& out) {
    static constexpr std::string_view kNames[] = {"ratio", "difference", "growth_rate"};
    static constexpr OperationKind kKinds[] = {OperationKind::Ratio, OperationKind::Difference,
                                               OperationKind::GrowthRate};
    static constexpr Field kFields[] = {{"op", true}, {"round_dp", false}};
    static constexpr std::string_view kType = "internally tagged enum Operation";
    static constexpr Tag kTag{"op", kNames, 3, kType};
    static constexpr Shape kRatio{kType, "struct variant Operation::Ratio with 1 element", kFields, 2, true};
    static constexpr Shape kDifference{kType, "unit variant Operation::Difference", kFields, 1, true};
    static constexpr Shape kGrowthRate{kType, "struct variant Operation::GrowthRate with 1 element", kFields, 2, true};
    return read_tagged(kTag, [&](int& variant) {
      out.round_dp.reset();
      const Shape& shape = variant == 1 ? kDifference : variant == 2 ? kGrowthRate : kRatio;
      const bool read = read_record(shape, [&](int k) {
        if (k == 0) return read_tag(kTag, variant);
        if (variant == 1 || variant < 0) {
          // Member by member, a rounding after a difference's tag or before
          // any tag leaves the writer's form, and the record is read again.
          unlike_writer();
          return skip_value();
        }
        return read_round_dp(out.round_dp);
      });
      if (!read) return false;
      out.kind = kKinds[variant];
      if (variant == 1) out.round_dp.reset();
      return true;
    });
  }

  bool read_derivation_input(BasicDerivationInput<Text>& out) {
    static constexpr Field kFields[] = {{"receipt_id", true}, {"value", true}, {"role", true}};
    static constexpr Shape kShape{"struct DerivationInput", "struct DerivationInput with 3 elements",
                                  kFields, 3, false};
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_text(out.receipt_id);
        case 1:
          return read_text(out.value);
        default:
          return read_text(out.role);
      }
    });
  }

  bool read_derivation(BasicDerivation<Text>& out) {
    static constexpr Field kFields[] = {{"operation", true}, {"inputs", true}};
    static constexpr Shape kShape{"struct Derivation", "struct Derivation with 2 elements", kFields,
                                  2, false};
    return read_record(kShape, [&](int k) {
      if (k == 0) return read_operation(out.operation);
      return read_list(out.inputs, [&](BasicDerivationInput<Text>& input) { return read_derivation_input(input); });
    });
  }

  bool read_attestation(BasicAttestation<Text>& out) {
    static constexpr Field kFields[] = {{"alg", true}, {"public_key", true}, {"sig", true}};
    static constexpr Shape kShape{"struct Attestation", "struct Attestation with 3 elements", kFields,
                                  3, false};
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_text(out.alg);
        case 1:
          return read_text(out.public_key);
        default:
          return read_text(out.sig);
      }
    });
  }

  template <class T, class ReadInner>
  bool read_optional_record(std::optional<T>& out, ReadInner&& read_inner) {
    bool was_null = false;
    if (!read_null_if_present(was_null)) return false;
    if (was_null) {
      out.reset();
      return true;
    }
    out.emplace();
    return read_inner(*out);
  }

  bool read_receipt(BasicReceipt<Text>& out) {
    static constexpr Field kFields[] = {{"schema", true},      {"receipt_id", true},
                                        {"claim", true},       {"evidence", true},
                                        {"derivation", false}, {"attestation", false}};
    static constexpr Shape kShape{"struct Receipt", "struct Receipt with 6 elements", kFields, 6,
                                  false};
    out.derivation.reset();
    out.attestation.reset();
    return read_record(kShape, [&](int k) {
      switch (k) {
        case 0:
          return read_text(out.schema);
        case 1:
          return read_text(out.receipt_id);
        case 2:
          return read_written(claim_written_, [&] { return read_claim(out.claim); });
        case 3:
          return read_written(evidence_written_, [&] {
            return read_list(out.evidence, [&](BasicEvidence<Text>& e) { return read_evidence(e); });
          });
        case 4:
          return read_optional_record(out.derivation,
                                      [&](BasicDerivation<Text>& d) { return read_derivation(d); });
        default:
          return read_optional_record(out.attestation,
                                      [&](BasicAttestation<Text>& a) { return read_attestation(a); });
      }
    });
  }

  // Reads a member's value with `read`; in view mode, `written` is then the
  // value's text when it is in the writer's form, else empty.
  template <class Read>
  bool read_written(std::optional<WrittenJson>& written, Read&& read) {
    if constexpr (kViews) {
      peek_ws();
      const std::size_t begin = i_;
      const std::size_t unlike = unlike_writer_;
      if (!read()) return false;
      if (unlike_writer_ == unlike) {
        written = WrittenJson{std::string_view(s_ + begin, i_ - begin)};
      } else {
        written.reset();
      }
      return true;
    } else {
      return read();
    }
  }

  const char* s_;
  std::size_t n_;
  std::size_t i_ = 0;
  int depth_ = 0;
  std::string scratch_;
  bool decoded_last_ = false;  // the last string read came through scratch_
  std::vector<char>* decoded_;  // view mode: where decoded texts are kept
  std::size_t unlike_writer_ = 0;  // places where the text is not in the writer's form
  bool generic_ = false;           // reading a tagged record as a generic value (read_tagged)
  bool unplaced_ = false;          // the error is to be placed past the tagged record read last
  std::optional<WrittenJson> claim_written_;
  std::optional<WrittenJson> evidence_written_;
  std::string error_;
  std::size_t error_offset_ = 0;
};

}  // namespace

std::string ReceiptReadError::render() const {
  std::string out = description;
  out.append(" at line ");
  out.append(std::to_string(line));
  out.append(" column ");
  out.append(std::to_string(column));
  return out;
}

std::expected<Receipt, ReceiptReadError> read_receipt(std::string_view json_text) {
  Reader<std::string> reader(json_text);
  Receipt receipt;
  if (!reader.read_document(receipt)) return std::unexpected(reader.error());
  return receipt;
}

std::expected<void, ReceiptReadError> read_receipt(std::string_view json_text, ViewedReceipt& out) {
  out.decoded.clear();
  Reader<std::string_view> reader(json_text, &out.decoded);
  if (!reader.read_document(out.receipt)) return std::unexpected(reader.error());
  out.written = reader.written();
  return {};
}

}  // namespace quorrel::evidence
