#include "quorrel/evidence/receipts.hpp"

#include <array>
#include <span>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/canonical.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/error.hpp"
#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

namespace {

// The stated receipts of a document, in fact order: each handed to `emit` as
// its id, its claim and locator as views, and its claim and evidence list as
// its canonical body holds them. The source artifact and the extraction are
// the same for every receipt, so they are written once. Receipts go through
// a batch at a time, so that their bodies are hashed together.
template <class Emit>
void for_each_stated_receipt(const core::InstanceDocument& document, std::string_view doc_id,
                             const SourceArtifact& source_artifact, Emit&& emit,
                             const FactAccount* account = nullptr) {
  std::string artifact;
  write_json(source_artifact, artifact);
  std::string extraction;
  write_json(BasicExtraction<std::string_view>{kEngine}, extraction);

  struct Pending {
    const core::RawFact* fact = nullptr;
    std::string value;
    std::string concept_text;
    std::string body;
    WrittenParts written;
  };
  constexpr std::size_t kBatch = 16;
  std::array<Pending, kBatch> batch;
  std::array<std::string_view, kBatch> bodies;
  std::array<Digest, kBatch> digests;
  std::size_t held = 0;
  const auto views = [doc_id](const Pending& p) {
    std::optional<std::string_view> unit_ref;
    if (p.fact->unit_ref) unit_ref = *p.fact->unit_ref;
    return std::pair{ClaimView{p.value, unit_ref, ClaimKind::Stated, doc_id},
                     LocatorView{p.concept_text, p.fact->context_ref, unit_ref, p.fact->byte_range}};
  };
  Sha256 sha;
  std::string id;
  const auto hand_on = [&] {
    for (std::size_t i = 0; i < held; ++i) bodies[i] = batch[i].body;
    sha.digest_batch(std::span(bodies).first(held), digests.data());
    for (std::size_t i = 0; i < held; ++i) {
      id.assign("er_");
      append_hex(digests[i].data(), digests[i].size(), id);
      const auto [claim, locator] = views(batch[i]);
      emit(*batch[i].fact, id, claim, locator, batch[i].written.claim, batch[i].written.evidence);
    }
    held = 0;
  };

  const core::ReferenceIndex references(document);
  for (const core::RawFact& fact : document.facts) {
    if (!fact.byte_range) continue;
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    if (account != nullptr) (*account)(fact, resolved, references);
    if (!resolved || !resolved->number) continue;  // failed normalization, or a text or nil value

    Pending& p = batch[held];
    p.fact = &fact;
    p.value.clear();
    append_canonical_text(*resolved->number, p.value);
    fact.concept_name.render_into(p.concept_text);
    const auto [claim, locator] = views(p);
    p.body.clear();
    p.written = append_canonical_body(claim, OneEvidence{WrittenJson{artifact}, locator, WrittenJson{extraction}},
                                      std::nullopt, p.body);
    if (++held == kBatch) hand_on();
  }
  hand_on();
}

}  // namespace

std::vector<Receipt> build_receipts(const core::InstanceDocument& document, std::string_view doc_id,
                                    const SourceArtifact& source_artifact) {
  std::vector<Receipt> receipts;
  for_each_stated_receipt(document, doc_id, source_artifact,
                          [&](const core::RawFact&, std::string_view id, const ClaimView& claim,
                              const LocatorView& locator, WrittenJson, WrittenJson) {
                            Receipt& r = receipts.emplace_back();
                            r.schema = kSchema;
                            r.receipt_id = id;
                            r.claim = with_texts<std::string>(claim);
                            r.evidence.push_back(with_texts<std::string>(EvidenceView{
                                {source_artifact.uri, source_artifact.sha256, source_artifact.retrieved_at,
                                 source_artifact.authority},
                                locator,
                                {kEngine}}));
                          });
  return receipts;
}

void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out, const FactAccount* account,
                          std::vector<ReceiptLine>* lines) {
  for_each_stated_receipt(
      document, doc_id, source_artifact,
      [&](const core::RawFact& fact, std::string_view id, const ClaimView&, const LocatorView&, WrittenJson claim,
          WrittenJson evidence) {
        if (lines != nullptr) {
          lines->push_back(ReceiptLine{static_cast<std::size_t>(&fact - document.facts.data()), out.size()});
        }
        write_receipt(kSchema, id, claim, evidence, out);
        out.push_back('\n');
      },
      account);
}

std::expected<ParsedSource, core::XbrlError> parse_source(std::string_view source_bytes) {
  struct Hashing final : core::InputPieces {
    Hashing() : InputPieces(Sha256::grain()) {}
    Sha256 sha;
    void take(std::string_view piece) override { sha.update(piece); }
  } hashing;
  hashing.sha.start();
  QUORREL_TRY(document, core::parse_instance(source_bytes, &hashing));
  return ParsedSource{std::move(document), hashing.sha.finish_hex()};
}

std::string receipts_text(const core::InstanceDocument& document, std::string_view source_sha256,
                          std::size_t source_size,
                          std::string_view doc_id, std::string_view uri,
                          const std::optional<std::string_view>& authority, const FactAccount* account,
                          std::vector<ReceiptLine>* lines) {
  SourceArtifact artifact;
  artifact.uri = std::string(uri);
  artifact.sha256 = std::string(source_sha256);
  if (authority) artifact.authority = std::string(*authority);

  std::string out;
  // A line is about 400 bytes besides its texts. Reserving a line for every
  // fact saves regrowing the buffer and costs nothing for pages never written;
  // the reservation is capped by a multiple of the input so that a huge uri
  // cannot make it absurd (the buffer still grows as needed).
  const std::size_t per_line = 512 + uri.size() + doc_id.size() + (authority ? authority->size() : 0);
  const std::size_t cap = 8 * source_size + per_line;
  const std::size_t facts = document.facts.size();
  out.reserve(facts != 0 && per_line > cap / facts ? cap : facts * per_line);
  core::advise_huge_pages(out.data(), out.capacity());
  append_receipt_lines(document, doc_id, artifact, out, account, lines);
  return out;
}

std::expected<std::string, core::XbrlError> receipts_jsonl(std::string_view source_bytes, std::string_view doc_id,
                                                          std::string_view uri,
                                                          const std::optional<std::string_view>& authority) {
  QUORREL_TRY(source, parse_source(source_bytes));
  return receipts_text(source.document, source.sha256, source_bytes.size(), doc_id, uri, authority);
}

}  // namespace quorrel::evidence
