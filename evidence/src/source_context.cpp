#include "quorrel/evidence/source_context.hpp"

#include <algorithm>
#include <cstring>

#include "quorrel/core/digest64.hpp"
#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"

namespace quorrel::evidence {

namespace {

void append_length(std::size_t size, std::string& out) {
  char bytes[sizeof size];
  std::memcpy(bytes, &size, sizeof size);
  out.append(bytes, sizeof size);
}

// One key as one byte string: equal keys give equal strings and different
// keys different ones (the lengths delimit the first two texts, the marker
// tells an absent unit reference from an empty one).
void append_key(std::string_view concept_text, std::string_view context_ref,
                const std::optional<std::string_view>& unit_ref, std::string& out) {
  append_length(concept_text.size(), out);
  out.append(concept_text);
  append_length(context_ref.size(), out);
  out.append(context_ref);
  if (unit_ref) {
    out.push_back('\1');
    out.append(*unit_ref);
  } else {
    out.push_back('\0');
  }
}

// The key of a fact, written as append_key writes it for the text of its
// concept name ("prefix:local", "{namespace}local" or "local"), without
// rendering that text first.
void append_fact_key(const core::RawFact& fact, std::string& out) {
  const core::QName& name = fact.concept_name;
  const std::string_view local = name.local_name.view();
  if (name.prefix) {
    append_length(name.prefix->size() + 1 + local.size(), out);
    out.append(*name.prefix);
    out.push_back(':');
  } else if (name.namespace_uri) {
    const std::string_view uri = name.namespace_uri->view();
    append_length(uri.size() + 2 + local.size(), out);
    out.push_back('{');
    out.append(uri);
    out.push_back('}');
  } else {
    append_length(local.size(), out);
  }
  out.append(local);
  append_length(fact.context_ref.size(), out);
  out.append(fact.context_ref);
  if (fact.unit_ref) {
    out.push_back('\1');
    out.append(*fact.unit_ref);
  } else {
    out.push_back('\0');
  }
}

}  // namespace

FactIndex::FactIndex(const std::vector<core::RawFact>& facts) {
  const std::size_t count = facts.size();
  key_offsets_.reserve(count + 1);
  // Each fact's key goes into text_ in position order, and the facts are
  // sorted as (digest, position) pairs: sixteen bytes each, compared as
  // integers. Only a run of equal digests (facts under one key, or keys
  // whose digests collide) is then ordered by key bytes, range and position.
  // The facts are read once, in order; their ranges are copied into one
  // compact vector, which the steps below read in sorted order.
  std::vector<std::pair<std::uint64_t, std::size_t>> order;
  order.reserve(count);
  std::vector<std::optional<core::ByteRange>> ranges;
  ranges.reserve(count);
  text_.reserve(count * 64);
  for (std::size_t position = 0; position < count; ++position) {
    const std::size_t begin = text_.size();
    key_offsets_.push_back(begin);
    const core::RawFact& fact = facts[position];
    append_fact_key(fact, text_);
    ranges.push_back(fact.byte_range);
    order.emplace_back(core::digest64(std::string_view(text_).substr(begin)), position);
  }
  key_offsets_.push_back(text_.size());
  std::sort(order.begin(), order.end());
  const auto key_at = [this](std::size_t position) { return key_of_position(position); };
  for (std::size_t begin = 0; begin < count;) {
    std::size_t end = begin + 1;
    while (end < count && order[end].first == order[begin].first) ++end;
    if (end - begin > 1) {
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(begin), order.begin() + static_cast<std::ptrdiff_t>(end),
                [&](const auto& a, const auto& b) {
                  if (const auto c = key_at(a.second) <=> key_at(b.second); c != 0) return c < 0;
                  const std::optional<core::ByteRange>& a_range = ranges[a.second];
                  const std::optional<core::ByteRange>& b_range = ranges[b.second];
                  if (a_range != b_range) return a_range < b_range;
                  return a.second < b.second;
                });
    }
    begin = end;
  }

  entries_.reserve(count);
  digests_.reserve(count);
  key_facts_.resize(count);
  for (std::size_t begin = 0; begin < count;) {
    const std::string_view key = key_at(order[begin].second);
    std::size_t end = begin + 1;
    std::size_t lowest = order[begin].second;
    for (; end < count && order[end].first == order[begin].first && key_at(order[end].second) == key; ++end) {
      lowest = std::min(lowest, order[end].second);
    }
    for (std::size_t i = begin; i < end; ++i) {
      const std::size_t position = order[i].second;
      entries_.push_back(Entry{ranges[position], position, lowest, end});
      digests_.push_back(order[i].first);
      key_facts_[position] = end - begin;
    }
    ++key_count_;
    begin = end;
  }
}

std::pair<std::size_t, std::size_t> FactIndex::run_of(std::string_view key) const {
  const std::uint64_t digest = core::digest64(key);
  // The digests alone narrow the search to one digest's entries, usually a single key.
  const auto [lo, hi] = std::equal_range(digests_.begin(), digests_.end(), digest);
  const auto begin = entries_.begin() + (lo - digests_.begin());
  const auto end = entries_.begin() + (hi - digests_.begin());
  const auto it = std::partition_point(begin, end, [&](const Entry& entry) { return key_of(entry) < key; });
  if (it == end || key_of(*it) != key) return {0, 0};
  return {static_cast<std::size_t>(it - entries_.begin()), it->run_end};
}

FactMatch FactIndex::locate(const FactKeyView& key, const std::optional<core::ByteRange>& range,
                            std::string& key_buffer, std::size_t* next_position) const {
  key_buffer.clear();
  append_key(key.concept_text, key.context_ref, key.unit_ref, key_buffer);
  if (next_position != nullptr) {
    // A fact alone under its key is the match whatever range is recorded.
    constexpr std::size_t kTried = 3;
    const std::size_t facts = key_facts_.size();
    for (std::size_t p = *next_position; p < facts && p - *next_position < kTried; ++p) {
      if (key_facts_[p] == 1 && key_of_position(p) == std::string_view(key_buffer)) {
        *next_position = p + 1;
        return {1, p};
      }
    }
  }
  const auto [lo, hi] = run_of(key_buffer);
  if (lo == hi) return {};
  if (hi - lo >= 2 && range) {
    const auto begin = entries_.begin() + static_cast<std::ptrdiff_t>(lo);
    const auto end = entries_.begin() + static_cast<std::ptrdiff_t>(hi);
    const auto at = std::partition_point(begin, end, [&](const Entry& entry) { return entry.range < *range; });
    const auto past = std::partition_point(at, end, [&](const Entry& entry) { return entry.range == *range; });
    if (at != past) {
      if (next_position != nullptr) *next_position = at->position + 1;
      return {static_cast<std::size_t>(past - at), at->position};
    }
  }
  if (next_position != nullptr) *next_position = entries_[lo].lowest + 1;
  return {hi - lo, entries_[lo].lowest};
}

std::vector<std::size_t> FactIndex::positions(const FactKeyView& key) const {
  std::string key_buffer;
  append_key(key.concept_text, key.context_ref, key.unit_ref, key_buffer);
  const auto [lo, hi] = run_of(key_buffer);
  std::vector<std::size_t> out;
  out.reserve(hi - lo);
  for (std::size_t i = lo; i < hi; ++i) out.push_back(entries_[i].position);
  std::sort(out.begin(), out.end());
  return out;
}

std::expected<SourceContext, EvidenceError> SourceContext::load(std::string_view source_bytes) {
  std::expected<core::InstanceDocument, core::XbrlError> parsed = core::parse_instance(source_bytes);
  if (!parsed) return std::unexpected(EvidenceError::source_parse(parsed.error().render()));

  SourceContext context;
  context.document = std::move(*parsed);
  const std::vector<core::RawFact>& facts = context.document.facts;
  context.index = FactIndex(facts);

  const core::ReferenceIndex references(context.document);
  context.values.reserve(facts.size());
  for (const core::RawFact& fact : facts) {
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    if (resolved && resolved->number) {
      context.values.push_back(canonical_value(*resolved->number));
    } else {
      context.values.emplace_back(std::nullopt);
    }
  }

  context.sha256 = sha256_hex(source_bytes);
  return context;
}

std::expected<std::vector<Receipt>, EvidenceError> build_receipts(const core::InstanceDocument& document,
                                                                  std::string_view doc_id,
                                                                  const SourceArtifact& source_artifact) {
  std::vector<Receipt> receipts;
  Sha256 sha;
  std::string body;
  const core::ReferenceIndex references(document);
  for (const core::RawFact& fact : document.facts) {
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    if (!resolved || !resolved->number) continue;  // failed normalization, or a text or nil value
    if (!fact.byte_range) continue;

    Receipt receipt;
    receipt.schema = std::string(kSchema);
    append_canonical_text(*resolved->number, receipt.claim.value);
    receipt.claim.unit = fact.unit_ref;
    receipt.claim.kind = ClaimKind::Stated;
    receipt.claim.doc_id = std::string(doc_id);

    Evidence& evidence = receipt.evidence.emplace_back();
    evidence.source_artifact = source_artifact;
    evidence.locator.concept_name = fact.concept_name.to_string();
    evidence.locator.context_ref = fact.context_ref;
    evidence.locator.unit_ref = fact.unit_ref;
    evidence.locator.byte_range = fact.byte_range;
    evidence.extraction.engine = std::string(kEngine);

    body.clear();
    append_canonical_body(receipt.claim, receipt.evidence, receipt.derivation, body);
    receipt.receipt_id = receipt_id_of_body(body, sha);
    receipts.push_back(std::move(receipt));
  }
  return receipts;
}

void append_receipt_lines(const core::InstanceDocument& document, std::string_view doc_id,
                          const SourceArtifact& source_artifact, std::string& out) {
  // A stated receipt's line holds its canonical body's claim and evidence list
  // verbatim: {"schema":"er/0.2","receipt_id":"er_…","claim":C,"evidence":E}
  // against the body ["er/0.2",C,E,null]. So each body is written once into
  // one of two reused buffers, hashed, and its two slices copied into the
  // line. Everything that is the same for every receipt of the call is
  // written once up front.
  std::string body_head;  // ["er/0.2",
  body_head.push_back('[');
  write_json_string(kSchema, body_head);
  body_head.push_back(',');
  std::string line_head;  // {"schema":"er/0.2","receipt_id":"er_
  line_head.append("{\"schema\":");
  write_json_string(kSchema, line_head);
  line_head.append(",\"receipt_id\":\"er_");
  std::string claim_tail;  // ,"kind":"stated","doc_id":"…"}
  claim_tail.append(",\"kind\":\"");
  claim_tail.append(claim_kind_name(ClaimKind::Stated));
  claim_tail.append("\",\"doc_id\":");
  write_json_string(doc_id, claim_tail);
  claim_tail.push_back('}');
  std::string evidence_head;  // [{"source_artifact":{…},"locator":{"profile":"xbrl","concept":
  evidence_head.append("[{\"source_artifact\":");
  write_source_artifact(source_artifact, evidence_head);
  evidence_head.append(",\"locator\":{\"profile\":\"xbrl\",\"concept\":");
  std::string evidence_tail;  // },"extraction":{"engine":"…"}}]
  evidence_tail.append("},\"extraction\":");
  write_extraction(Extraction{std::string(kEngine)}, evidence_tail);
  evidence_tail.append("}]");

  // Bodies are hashed two at a time (two consecutive receipts, written into
  // two buffers), which with the SHA instructions costs little more than one;
  // their lines then go out in order. An odd last body is hashed alone.
  struct Body {
    std::string text;
    std::size_t claim_begin = 0;
    std::size_t claim_end = 0;
    std::size_t evidence_begin = 0;
    std::size_t evidence_end = 0;
  };
  const auto emit = [&](const Body& body, const Digest& digest) {
    const std::string_view written(body.text);
    out.append(line_head);
    append_hex(digest.data(), digest.size(), out);
    out.append("\",\"claim\":");
    out.append(written.substr(body.claim_begin, body.claim_end - body.claim_begin));
    out.append(",\"evidence\":");
    out.append(written.substr(body.evidence_begin, body.evidence_end - body.evidence_begin));
    out.append("}\n");
  };

  Sha256 sha;
  Body bodies[2];
  std::size_t held = 0;  // bodies written and not yet hashed
  Digest digests[2]{};
  std::string concept_text;
  const core::ReferenceIndex references(document);
  for (const core::RawFact& fact : document.facts) {
    if (!fact.byte_range) continue;
    const std::expected<core::ResolvedFact, core::XbrlError> resolved = core::normalize_fact(references, fact);
    if (!resolved || !resolved->number) continue;  // failed normalization, or a text or nil value

    Body& next = bodies[held];
    std::string& body = next.text;
    body.assign(body_head);
    next.claim_begin = body.size();
    body.append("{\"value\":\"");
    append_canonical_text(*resolved->number, body);
    body.push_back('"');
    if (fact.unit_ref) {
      body.append(",\"unit\":");
      write_json_string(*fact.unit_ref, body);
    }
    body.append(claim_tail);
    next.claim_end = body.size();
    body.push_back(',');
    next.evidence_begin = body.size();
    body.append(evidence_head);
    fact.concept_name.render_into(concept_text);
    write_json_string(concept_text, body);
    body.append(",\"context_ref\":");
    write_json_string(fact.context_ref, body);
    if (fact.unit_ref) {
      body.append(",\"unit_ref\":");
      write_json_string(*fact.unit_ref, body);
    }
    body.append(",\"byte_range\":[");
    write_json_uint(fact.byte_range->first, body);
    body.push_back(',');
    write_json_uint(fact.byte_range->second, body);
    body.push_back(']');
    body.append(evidence_tail);
    next.evidence_end = body.size();
    body.append(",null]");

    if (++held == 2) {
      sha.digest_pair(bodies[0].text, bodies[1].text, digests[0], digests[1]);
      emit(bodies[0], digests[0]);
      emit(bodies[1], digests[1]);
      held = 0;
    }
  }
  if (held == 1) emit(bodies[0], sha.digest(bodies[0].text));
}

}  // namespace quorrel::evidence
