#pragma once
// Stated receipts built from a parsed document: one per fact that normalizes
// to a number and has a byte range, in fact order.

#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/evidence/receipt.hpp"

namespace quorrel::evidence {

// The receipts as records.
[[nodiscard]] std::vector<Receipt> build_receipts(const core::InstanceDocument& document, std::string_view doc_id,
                                                  const SourceArtifact& source_artifact);

// The same receipts, each written as write_receipt writes it and ended by a
// line feed, appended to out.
void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out);

// receipts_for_bytes: the JSONL of the receipts of the parsed source, citing
// it by uri, its digest and the authority when given; or the parse error.
[[nodiscard]] std::expected<std::string, core::XbrlError> receipts_jsonl(
    std::string_view source_bytes, std::string_view doc_id, std::string_view uri,
    const std::optional<std::string_view>& authority);

}  // namespace quorrel::evidence
