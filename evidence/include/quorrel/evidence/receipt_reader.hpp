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

#include <expected>
#include <string>
#include <string_view>

#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

inline constexpr int kMaxJsonDepth = 128;

// Reads exactly one receipt; JSON white space may surround it, anything else
// after it is "trailing characters".
[[nodiscard]] std::expected<Receipt, std::string> read_receipt(std::string_view json_text);

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
[[nodiscard]] std::expected<void, std::string> read_receipt_into(std::string_view json_text, Receipt& out,
                                                                 CanonicalSlices* slices = nullptr);

}  // namespace quorrel::evidence
