#pragma once
// Stated receipts built from a parsed document: one per fact that normalizes
// to a number and has a byte range, in fact order.

#include <cstddef>
#include <expected>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/error.hpp"
#include "quorrel/core/normalize.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// The receipts as records.
[[nodiscard]] std::vector<Receipt> build_receipts(const core::InstanceDocument& document, std::string_view doc_id,
                                                  const SourceArtifact& source_artifact);

// Told, for every fact the receipts walk normalizes, the outcome and the
// index it resolved the fact's references with, before the fact's receipt
// (if any) is written.
using FactAccount = std::function<void(const core::RawFact&, const std::expected<core::ResolvedFact, core::XbrlError>&,
                                       const core::ReferenceIndex&)>;

// Where a receipt's line begins in the text, and the position of its fact
// in the document's facts.
struct ReceiptLine {
  std::size_t fact;
  std::size_t offset;
};

// The same receipts, each written as write_receipt writes it and ended by a
// line feed, appended to out; with `account`, each fact's normalization is
// told to it, and with `lines`, where each receipt's line begins.
void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out,
                          const FactAccount* account = nullptr, std::vector<ReceiptLine>* lines = nullptr);

// A parsed source and the SHA-256 of its bytes in hexadecimal, both made in
// one pass over the bytes.
struct ParsedSource {
  core::InstanceDocument document;
  std::string sha256;
};
[[nodiscard]] std::expected<ParsedSource, core::XbrlError> parse_source(std::string_view source_bytes);

// The receipts text of an already parsed source of `source_size` bytes with
// the digest `source_sha256`, as receipts_jsonl gives it.
[[nodiscard]] std::string receipts_text(const core::InstanceDocument& document, std::string_view source_sha256,
                                        std::size_t source_size,
                                        std::string_view doc_id, std::string_view uri,
                                        const std::optional<std::string_view>& authority,
                                        const FactAccount* account = nullptr,
                                        std::vector<ReceiptLine>* lines = nullptr);

// receipts_for_bytes: the JSONL of the receipts of the parsed source, citing
// it by uri, its digest and the authority when given; or the parse error.
[[nodiscard]] std::expected<std::string, core::XbrlError> receipts_jsonl(
    std::string_view source_bytes, std::string_view doc_id, std::string_view uri,
    const std::optional<std::string_view>& authority);

}  // namespace quorrel::evidence
