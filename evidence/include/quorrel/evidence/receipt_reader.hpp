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
// The two records tagged by a member, the locator ("profile") and the
// operation ("op"), are read whole as generic JSON values before their
// members are judged: a syntax error anywhere in them, a number beyond a
// double, and a wrong, missing or repeated tag come first, and an error in
// their members is placed just past the record (and past the white space and
// closing bracket of the record around it, when they come next). Inside
// them, a positional record with too many elements gives "invalid length 3,
// expected 2 elements in sequence".
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
#include <vector>

#include "quorrel/evidence/json_writer.hpp"
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

// A receipt read without copying its text (view mode of the same reader):
// every text is a slice of the text read, except a text written with
// escapes, which is decoded into `decoded`. When the text holds the claim and
// the evidence list exactly as write_json writes them, `written` holds them
// as they stand, so that the canonical body can be put together from them.
// Valid while the text read is and until the next read into the same object.
struct ViewedReceipt {
  ReceiptView receipt;
  std::optional<WrittenParts> written;
  std::vector<char> decoded;
};

[[nodiscard]] std::expected<void, ReceiptReadError> read_receipt(std::string_view json_text, ViewedReceipt& out);

}  // namespace quorrel::evidence
