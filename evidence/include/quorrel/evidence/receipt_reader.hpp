#pragma once
// Reading one receipt from its JSON text.
//
// The reader is driven by the receipt's shape: members may come in any order,
// unknown members are skipped at every level (still checked for syntax and
// nesting), a member given twice is an error, the first missing required
// member in declaration order is reported, and a null optional member reads as
// absent. Records may also be given positionally, as an array of their field
// values in declaration order (a tagged record starts with its tag value).
//
// Errors read "{description} at line {line} column {column}", where the line is
// 1 plus the line feeds before the error point and the column the number of
// bytes between the start of that line and the error point, e.g.
// "missing field `schema` at line 1 column 2" for "{}".
//
// Arrays and objects nest at most 128 levels deep, the receipt's own object
// being the first. Skipped members use an explicit stack, so no input makes the
// reader recurse deeper than the receipt's own fixed shape.

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

inline constexpr int kMaxJsonDepth = 128;

// Why a text does not read as a receipt, and where.
struct ReceiptReadError {
  std::string description;
  std::size_t line = 1;
  std::size_t column = 0;

  // "{description} at line {line} column {column}".
  std::string render() const;
  bool operator==(const ReceiptReadError&) const = default;
};

// Reads exactly one receipt; JSON white space may surround it, anything else
// after it is "trailing characters".
[[nodiscard]] std::expected<Receipt, ReceiptReadError> read_receipt(std::string_view json_text);

// A receipt's claim and evidence list as slices of its text, when the text
// holds them exactly as write_receipt writes them; both empty otherwise.
struct CanonicalSlices {
  std::string_view claim;
  std::string_view evidence;
  bool present() const noexcept { return !claim.empty(); }
};

// The same, reading over a receipt the caller reuses for many texts, so that
// its buffers are kept: on success `out` equals what read_receipt gives; after
// an error its content is unspecified. With `slices`, a text written as
// write_receipt writes a receipt without derivation or attestation is read
// by a direct path that also gives the slices; any other text is read as
// read_receipt reads it, and the slices stay empty.
[[nodiscard]] std::expected<void, ReceiptReadError> read_receipt_into(std::string_view json_text, Receipt& out,
                                                                 CanonicalSlices* slices = nullptr);

// One evidence item of a receipt read by read_plain_receipt, as slices of its text.
struct PlainEvidenceView {
  std::string_view uri;
  std::string_view sha256;
  std::optional<std::string_view> retrieved_at;
  std::optional<std::string_view> authority;
  std::string_view concept_name;
  std::string_view context_ref;
  std::optional<std::string_view> unit_ref;
  std::optional<ByteRange> byte_range;
  std::string_view engine;
};

// A receipt with exactly one evidence item and neither derivation nor
// attestation, as slices of its text (valid while the text is).
struct PlainReceiptView {
  std::string_view schema;
  std::string_view receipt_id;
  std::string_view value;
  std::optional<std::string_view> unit;
  ClaimKind kind = ClaimKind::Stated;
  std::string_view doc_id;
  PlainEvidenceView evidence;
  CanonicalSlices slices;

  // The receipt record read_receipt gives for the same text.
  void to_receipt(Receipt& out) const;
};

// Reads, without copying a byte, a text written as write_receipt writes a
// receipt with one evidence item and neither derivation nor attestation;
// false for any other text (which read_receipt_into reads as usual), leaving
// `out` in no particular state. A text read here has no escapes in its
// strings, so its slices are the receipt's texts exactly.
[[nodiscard]] bool read_plain_receipt(std::string_view json_text, PlainReceiptView& out);

}  // namespace quorrel::evidence
