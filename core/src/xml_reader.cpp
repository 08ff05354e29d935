#include "quorrel/core/xml_reader.hpp"

#include <array>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quorrel/core/error.hpp"

namespace quorrel::core {
namespace {

constexpr bool is_xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Bytes that end a name: white space, "/", ">" and "=".
constexpr std::array<bool, 256> make_name_stop() {
  std::array<bool, 256> t{};
  t[' '] = t['\t'] = t['\n'] = t['\r'] = t['/'] = t['>'] = t['='] = true;
  return t;
}
constexpr std::array<bool, 256> kNameStop = make_name_stop();

// The same, plus the quotes, which a well-formed attribute name never holds.
constexpr std::array<bool, 256> make_attribute_name_stop() {
  std::array<bool, 256> t = make_name_stop();
  t['"'] = t['\''] = true;
  return t;
}
constexpr std::array<bool, 256> kAttributeNameStop = make_attribute_name_stop();

// Bytes that matter while looking for the end of a start tag.
constexpr std::array<bool, 256> make_tag_stop() {
  std::array<bool, 256> t{};
  t['>'] = t['"'] = t['\''] = true;
  return t;
}
constexpr std::array<bool, 256> kTagStop = make_tag_stop();

inline unsigned char byte_at(std::string_view s, std::size_t i) noexcept {
  return static_cast<unsigned char>(s[i]);
}

// Whether every byte a table marks is at most '>'. The name scans below rely
// on it: a block of bytes above '>' (letters, non-ASCII bytes and "_", most of
// any name) holds no stop at all.
constexpr bool stops_at_most_gt(const std::array<bool, 256>& t) {
  for (std::size_t i = '>' + 1; i < t.size(); ++i) {
    if (t[i]) return false;
  }
  return true;
}
static_assert(stops_at_most_gt(kNameStop) && stops_at_most_gt(kAttributeNameStop));

// The first byte in [p, end) that `stops` marks, or end. Sixteen bytes at a
// time where SSE2 is available: the bytes at most '>' in a block are the only
// candidates, and each is looked up in the table in turn (a name's digits,
// ":", "-" and "." are candidates that do not stop it).
inline const char* scan_name(const char* p, const char* end, const std::array<bool, 256>& stops) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i top = _mm_set1_epi8('>');
    const char* const last = end - 16;  // the last place a whole block can be read
    do {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      auto low = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_min_epu8(block, top), block)));
      while (low != 0) {
        const int k = std::countr_zero(low);
        if (stops[static_cast<unsigned char>(p[k])]) return p + k;
        low &= low - 1;
      }
      p += 16;
    } while (p <= last);
  }
#endif
  while (p < end && !stops[static_cast<unsigned char>(*p)]) ++p;
  return p;
}

// The first `stop` in [p, end), or end; sets amp when an "&" comes before it.
// One pass does both: the reader needs the end of a run of text or of an
// attribute value, and the parser needs to know whether it holds a reference.
inline const char* scan_to(const char* p, const char* end, char stop, bool& amp) noexcept {
#if defined(__SSE2__)
  if (end - p >= 16) {
    const __m128i stops = _mm_set1_epi8(stop);
    const __m128i amps = _mm_set1_epi8('&');
    const char* const last = end - 16;  // the last place a whole block can be read
    do {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      const __m128i at_stop = _mm_cmpeq_epi8(block, stops);
      const auto hits = static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(at_stop, _mm_cmpeq_epi8(block, amps))));
      if (hits != 0) {
        const int k = std::countr_zero(hits);
        if (p[k] == stop) return p + k;
        // An "&" first: from here on only the stop matters.
        amp = true;
        const auto rest = static_cast<unsigned>(_mm_movemask_epi8(at_stop));
        if (rest != 0) return p + std::countr_zero(rest);
        p += 16;
        const void* found = std::memchr(p, stop, static_cast<std::size_t>(end - p));
        return found ? static_cast<const char*>(found) : end;
      }
      p += 16;
    } while (p <= last);
  }
#endif
  for (; p < end; ++p) {
    if (*p == stop) return p;
    if (*p == '&') amp = true;
  }
  return end;
}

// Whether the len bytes at a and b are equal, where room bytes can be read at
// a and b lies before a in the same buffer. The names of end tags are short,
// so up to sixteen bytes are compared as one or two eight-byte words.
inline bool same_bytes(const char* a, const char* b, std::size_t len, std::size_t room) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (len - 1 < 16 && room >= 8) {
      std::uint64_t x = 0;
      std::uint64_t y = 0;
      std::memcpy(&x, a, 8);
      std::memcpy(&y, b, 8);
      if (len <= 8) return ((x ^ y) << (64 - 8 * len)) == 0;  // only the first len bytes count
      if (x != y) return false;
      std::memcpy(&x, a + len - 8, 8);
      std::memcpy(&y, b + len - 8, 8);
      return x == y;
    }
  }
  return std::memcmp(a, b, len) == 0;
}

std::string at_byte(std::uint64_t offset) { return " at byte " + std::to_string(offset); }

std::string_view trim_xml_space(std::string_view s) noexcept {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && is_xml_space(s[b])) ++b;
  while (e > b && is_xml_space(s[e - 1])) --e;
  return s.substr(b, e - b);
}

// Writes the UTF-8 form of a scalar value at w; returns the end.
char* put_utf8(char32_t cp, char* w) noexcept {
  if (cp < 0x80) {
    *w++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *w++ = static_cast<char>(0xC0 | (cp >> 6));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *w++ = static_cast<char>(0xE0 | (cp >> 12));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *w++ = static_cast<char>(0xF0 | (cp >> 18));
    *w++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *w++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *w++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return w;
}

int digit_value(char c, bool hex) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (hex && c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (hex && c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_entity_name_char(char c) noexcept {
  const auto b = static_cast<unsigned char>(c);
  return (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') || b == '_' || b == '-' ||
         b == '.' || b == ':' || b >= 0x80;
}

}  // namespace

namespace {

// Where decoding stopped: the bytes written, and for a fault its kind, the
// offset of its "&" in the raw text and the offset where reading it stopped.
struct Decoded {
  enum class Fault : std::uint8_t { None, MalformedCharacterReference, InvalidCharacterReference, BareAmpersand,
                                    NoSemicolon, UnknownEntity };
  char* begin;
  char* end;
  Fault fault = Fault::None;
  std::size_t amp = 0;
  std::size_t stop = 0;
};

// Decodes raw into the room at begin, which holds at least raw.size() bytes.
Decoded decode_references(std::string_view raw, char* const begin) noexcept {
  using Fault = Decoded::Fault;
  char* w = begin;
  std::size_t i = 0;
  const std::size_t n = raw.size();
  for (;;) {
    // Copy up to the next "&". Escaped markup holds a reference every few
    // bytes, so the text is copied as it is searched, 16 bytes at a time
    // where SSE2 is available: the block is stored whole and the write
    // position moves only past the bytes before the "&". The store stays
    // within the room the caller made, since w never runs ahead of i.
#if defined(__SSE2__)
    const __m128i amps = _mm_set1_epi8('&');
    while (n - i >= 16) {
      const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(raw.data() + i));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(w), block);
      const auto at_amp = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(block, amps)));
      if (at_amp != 0) {
        const auto before = static_cast<std::size_t>(std::countr_zero(at_amp));
        w += before;
        i += before;
        break;
      }
      w += 16;
      i += 16;
    }
#endif
    while (i < n && raw[i] != '&') *w++ = raw[i++];
    const std::size_t amp = i;
    if (amp == n) break;
    std::size_t j = amp + 1;
    // The predefined entities, by far the most common references, are told
    // apart by their first bytes before the general reading below.
    if (n - j >= 3 && raw[j + 2] == ';' && raw[j + 1] == 't' && (raw[j] == 'l' || raw[j] == 'g')) {
      *w++ = raw[j] == 'l' ? '<' : '>';
      i = j + 3;
      continue;
    }
    if (n - j >= 4 && raw[j] == 'a' && raw[j + 1] == 'm' && raw[j + 2] == 'p' && raw[j + 3] == ';') {
      *w++ = '&';
      i = j + 4;
      continue;
    }
    if (j < raw.size() && raw[j] == '#') {
      // &#123; or &#x1F;
      ++j;
      const bool hex = j < raw.size() && raw[j] == 'x';
      if (hex) ++j;
      const std::size_t digits = j;
      std::uint32_t value = 0;
      while (j < raw.size()) {
        const int d = digit_value(raw[j], hex);
        if (d < 0) break;
        // Saturate just past the largest scalar value so long inputs cannot overflow.
        value = value > 0x10FFFF ? 0x110000 : value * (hex ? 16U : 10U) + static_cast<std::uint32_t>(d);
        if (value > 0x10FFFF) value = 0x110000;
        ++j;
      }
      if (j == digits || j >= raw.size() || raw[j] != ';') {
        return {begin, w, Fault::MalformedCharacterReference, amp, j};
      }
      if (value == 0 || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) {
        return {begin, w, Fault::InvalidCharacterReference, amp, j};
      }
      w = put_utf8(value, w);
      i = j + 1;
      continue;
    }
    while (j < raw.size() && is_entity_name_char(raw[j])) ++j;
    if (j == amp + 1) return {begin, w, Fault::BareAmpersand, amp, j};
    if (j >= raw.size() || raw[j] != ';') {
      return {begin, w, Fault::NoSemicolon, amp, j};
    }
    const std::string_view name = raw.substr(amp + 1, j - amp - 1);
    if (name == "lt") {
      *w++ = '<';
    } else if (name == "gt") {
      *w++ = '>';
    } else if (name == "amp") {
      *w++ = '&';
    } else if (name == "apos") {
      *w++ = '\'';
    } else if (name == "quot") {
      *w++ = '"';
    } else {
      return {begin, w, Fault::UnknownEntity, amp, j};
    }
    i = j + 1;
  }
  return {begin, w};
}

}  // namespace

std::expected<void, std::string> unescape_xml(std::string_view raw, std::uint64_t raw_offset, std::string& out) {
  // Decoded text is never longer than its source: every reference is at least
  // as long as the UTF-8 bytes it stands for ("&#128;" is six bytes for two,
  // "&#65536;" eight for four). So the room is made once, without filling it
  // first, and written through a pointer, instead of one append per piece of
  // text or decoded character; what was decoded before a fault is kept.
  const std::size_t base = out.size();
  Decoded decoded{nullptr, nullptr};
  out.resize_and_overwrite(base + raw.size(), [&](char* buffer, std::size_t) noexcept {
    decoded = decode_references(raw, buffer + base);
    return base + static_cast<std::size_t>(decoded.end - decoded.begin);
  });
  using Fault = Decoded::Fault;
  const std::size_t amp = decoded.amp;
  const std::size_t j = decoded.stop;
  const std::uint64_t where = raw_offset + amp;
  switch (decoded.fault) {
    case Fault::None: return {};
    case Fault::MalformedCharacterReference: return std::unexpected("malformed character reference" + at_byte(where));
    case Fault::InvalidCharacterReference:
      return std::unexpected("invalid character reference " + std::string(raw.substr(amp, j + 1 - amp)) +
                             at_byte(where));
    case Fault::BareAmpersand: return std::unexpected("bare '&' not followed by an entity name" + at_byte(where));
    case Fault::NoSemicolon: return std::unexpected("entity reference without ';'" + at_byte(where));
    case Fault::UnknownEntity:
      return std::unexpected("unknown entity &" + std::string(raw.substr(amp + 1, j - amp - 1)) + ";" +
                             at_byte(where));
  }
  return {};
}

XmlReader::XmlReader(std::string_view input) noexcept : data_(input) {
  if (data_.size() >= 3 && data_.substr(0, 3) == "\xEF\xBB\xBF") data_.remove_prefix(3);
}

std::expected<XmlEvent, std::string> XmlReader::next() {
  const std::size_t n = data_.size();
  for (;;) {
    if (pos_ >= n) return XmlEvent::Eof;
    if (data_[pos_] != '<') {
      bool amp = false;
      const char* const lt = scan_to(data_.data() + pos_, data_.data() + n, '<', amp);
      const std::size_t end = static_cast<std::size_t>(lt - data_.data());
      const std::string_view raw(data_.data() + pos_, end - pos_);
      const std::size_t start = pos_;
      pos_ = end;
      const std::string_view trimmed = trim_xml_space(raw);
      if (trimmed.empty()) continue;
      event_start_ = start;
      text_ = trimmed;
      text_escaped_ = amp;
      text_offset_ = static_cast<std::uint64_t>(trimmed.data() - data_.data());
      return XmlEvent::Text;
    }
    const std::size_t before = pos_;
    const Markup markup = read_markup();
    if (markup == Markup::Failed) return std::unexpected(std::move(error_));
    if (pos_ == before) return std::unexpected(std::string("reader made no progress"));  // cannot happen
    switch (markup) {
      case Markup::Start: return XmlEvent::Start;
      case Markup::End: return XmlEvent::End;
      case Markup::Empty: return XmlEvent::Empty;
      case Markup::CData: return XmlEvent::CData;
      case Markup::Skipped:
      case Markup::Failed: break;
    }
  }
}

XmlReader::Markup XmlReader::fail(std::string message) {
  error_ = std::move(message);
  return Markup::Failed;
}

// Reads the ` name="value"` pairs of a start tag from p into attrs_.
// kFindEnd: the list runs to the ">" or "/>" that closes the tag, whose ">"
// is returned; anything a plainly well-formed list does not hold (a fault, a
// quote in a name, the end of the input) gives null instead. Otherwise the
// list runs to end, the tag's end already found, and the first malformed
// attribute ends it with its fault noted in attribute_error_.
template <bool kFindEnd>
[[gnu::always_inline]] inline const char* XmlReader::scan_attributes(const char* p, const char* const end) {
  // A well-formed name holds no quote: finding one, the fast reading sees no
  // "=" after the name and gives up.
  const std::array<bool, 256>& stops = kFindEnd ? kAttributeNameStop : kNameStop;
  attrs_.clear();
  bool escaped = false;
  const auto fault = [&](const char* at, std::string_view head, std::string_view name = {},
                         std::string_view tail = {}) -> const char* {
    if constexpr (!kFindEnd) {
      attribute_error_.assign(head).append(name).append(tail).append(at_byte(at - data_.data()));
      values_escaped_ = escaped;
    }
    return nullptr;
  };
  for (;;) {
    const char* const before = p;
    const char* name_start;
    if (end - p >= 2 && *p == ' ' && !stops[static_cast<unsigned char>(p[1])]) {
      // Most attributes follow a single space.
      name_start = p + 1;
      p = scan_name(p + 2, end, stops);
    } else {
      while (p < end && is_xml_space(*p)) ++p;
      if constexpr (kFindEnd) {
        if (p >= end) return nullptr;
        if (*p == '>' || (*p == '/' && end - p >= 2 && p[1] == '>')) {
          values_escaped_ = escaped;
          return *p == '>' ? p : p + 1;
        }
      } else if (p >= end) {
        values_escaped_ = escaped;
        return end;
      }
      name_start = p;
      p = scan_name(p, end, stops);
    }
    const std::string_view name(name_start, static_cast<std::size_t>(p - name_start));
    if (name.empty()) return fault(name_start, "expected an attribute name");
    if (name_start == before) return fault(name_start, "missing white space before attribute ", name);
    if (p >= end || *p != '=') {
      while (p < end && is_xml_space(*p)) ++p;
      if (p >= end || *p != '=') return fault(p, "attribute ", name, " has no '='");
    }
    ++p;
    if (p >= end || (*p != '"' && *p != '\'')) {
      while (p < end && is_xml_space(*p)) ++p;
      if (p >= end || (*p != '"' && *p != '\'')) return fault(p, "attribute ", name, " has no quoted value");
    }
    const char* const value = p + 1;
    const char* const close = scan_to(value, end, *p, escaped);
    if (close == end) return fault(p, "unterminated value of attribute ", name);
    attrs_.push_back(XmlAttribute{name, std::string_view(value, static_cast<std::size_t>(close - value)),
                                  static_cast<std::uint64_t>(value - data_.data())});
    p = close + 1;
  }
}

[[gnu::always_inline]] inline XmlReader::Markup XmlReader::read_markup() {
  const std::size_t n = data_.size();
  const std::size_t lt = pos_;
  event_start_ = lt;
  if (n - lt < 2) return fail("unexpected end of input after '<'" + at_byte(lt));
  const char second = data_[lt + 1];

  if (second == '/') {
    // </name>: most end tags close the innermost element exactly as it was
    // named, with the ">" right after the name.
    if (!open_.empty()) {
      const std::string_view expected = open_.back();
      const std::size_t close = lt + 2 + expected.size();
      if (close < n && data_[close] == '>' && same_bytes(data_.data() + lt + 2, expected.data(), expected.size(), n - lt - 2)) {
        pos_ = close + 1;
        name_ = std::string_view(data_.data() + lt + 2, expected.size());
        open_.pop_back();
        return Markup::End;
      }
    }
    const void* gt = std::memchr(data_.data() + lt + 2, '>', n - lt - 2);
    if (!gt) return fail("unexpected end of input inside end tag" + at_byte(lt));
    const std::size_t close = static_cast<std::size_t>(static_cast<const char*>(gt) - data_.data());
    std::string_view name = data_.substr(lt + 2, close - lt - 2);
    while (!name.empty() && is_xml_space(name.back())) name.remove_suffix(1);
    if (name.empty()) return fail("empty end tag name" + at_byte(lt));
    pos_ = close + 1;
    name_ = name;
    if (!open_.empty()) {
      if (open_.back() != name) {
        return fail("mismatched end tag: expected </" + std::string(open_.back()) + ">, found </" +
                               std::string(name) + ">" + at_byte(lt));
      }
      open_.pop_back();
    }
    return Markup::End;
  }

  if (second == '!') {
    const std::string_view rest = data_.substr(lt);
    if (rest.starts_with("<!--")) {
      const std::size_t close = data_.find("-->", lt + 4);
      if (close == std::string_view::npos) return fail("unterminated comment" + at_byte(lt));
      pos_ = close + 3;
      return Markup::Skipped;
    }
    if (rest.starts_with("<![CDATA[")) {
      const std::size_t close = data_.find("]]>", lt + 9);
      if (close == std::string_view::npos) return fail("unterminated CDATA section" + at_byte(lt));
      text_ = data_.substr(lt + 9, close - lt - 9);
      text_offset_ = lt + 9;
      pos_ = close + 3;
      return Markup::CData;
    }
    if (rest.starts_with("<!DOCTYPE")) {
      auto skipped = skip_doctype();
      if (!skipped) return fail(std::move(skipped.error()));
      return Markup::Skipped;
    }
    return fail("unsupported markup declaration" + at_byte(lt));
  }

  if (second == '?') {
    // Processing instruction or XML declaration, wherever it stands.
    const std::size_t close = data_.find("?>", lt + 2);
    if (close == std::string_view::npos) {
      return fail("unterminated processing instruction" + at_byte(lt));
    }
    pos_ = close + 2;
    return Markup::Skipped;
  }

  // <name attributes> or <name attributes/>
  const char* const base = data_.data();
  const char* const name_end = scan_name(base + lt + 1, base + n, kNameStop);
  if (name_end == base + lt + 1) return fail("empty element name" + at_byte(lt));
  attribute_error_.clear();
  // A plainly well-formed attribute list is read in the same pass that finds
  // the tag's end. Anything else is read again once the end is known, which
  // is where the quotes put it: the first fault in the list is then noted.
  const char* gt = scan_attributes<true>(name_end, base + n);
  const bool plain = gt != nullptr;
  if (!plain) {
    std::size_t i = static_cast<std::size_t>(name_end - base);
    for (;;) {
      while (i < n && !kTagStop[byte_at(data_, i)]) ++i;
      if (i >= n) return fail("unexpected end of input inside tag" + at_byte(lt));
      const char c = data_[i];
      if (c == '>') break;
      const void* q = std::memchr(data_.data() + i + 1, c, n - i - 1);
      if (!q) return fail("unexpected end of input inside attribute value" + at_byte(i));
      i = static_cast<std::size_t>(static_cast<const char*>(q) - data_.data()) + 1;
    }
    gt = base + i;
  }
  const bool empty = gt[-1] == '/' && gt - 1 >= name_end;
  if (!plain) scan_attributes<false>(name_end, empty ? gt - 1 : gt);
  // The name goes on the stack from a local: read back from name_, its two
  // halves just stored would be loaded as one and stall the store buffer.
  const std::string_view name(base + lt + 1, static_cast<std::size_t>(name_end - base - lt - 1));
  name_ = name;
  pos_ = static_cast<std::size_t>(gt - base) + 1;
  if (empty) return Markup::Empty;
  open_.push_back(name);
  return Markup::Start;
}

std::expected<void, std::string> XmlReader::skip_doctype() {
  const std::size_t n = data_.size();
  const std::size_t start = pos_;
  std::size_t i = pos_ + 9;
  bool in_subset = false;
  while (i < n) {
    const char c = data_[i];
    if (c == '"' || c == '\'') {
      const std::size_t close = data_.find(c, i + 1);
      if (close == std::string_view::npos) break;
      i = close + 1;
    } else if (c == '[') {
      in_subset = true;
      ++i;
    } else if (c == ']') {
      in_subset = false;
      ++i;
    } else if (c == '>' && !in_subset) {
      pos_ = i + 1;
      return {};
    } else if (c == '<' && in_subset && data_.substr(i).starts_with("<!--")) {
      const std::size_t close = data_.find("-->", i + 4);
      if (close == std::string_view::npos) break;
      i = close + 3;
    } else if (c == '<' && in_subset && data_.substr(i).starts_with("<?")) {
      const std::size_t close = data_.find("?>", i + 2);
      if (close == std::string_view::npos) break;
      i = close + 2;
    } else {
      ++i;
    }
  }
  return std::unexpected("unterminated DOCTYPE" + at_byte(start));
}

std::expected<std::string_view, std::string> XmlReader::read_raw_inner() {
  if (open_.empty()) return std::unexpected(std::string("no open element to read"));
  const std::size_t target = open_.size() - 1;
  const std::string_view element = open_.back();
  const std::uint64_t opened_at = event_start_;
  const std::size_t content_start = pos_;
  for (;;) {
    QUORREL_TRY(event, next());
    if (event == XmlEvent::Eof) {
      return std::unexpected("unexpected end of input before </" + std::string(element) +
                             "> closing the element opened" + at_byte(opened_at));
    }
    if (event == XmlEvent::End && open_.size() == target) {
      return data_.substr(content_start, event_start_ - content_start);
    }
  }
}

}  // namespace quorrel::core
