#pragma once
// Fact normalization: a raw fact becomes a NormalizedFact with its context,
// unit and dimensions resolved and its value read as an exact decimal, a
// transformed text, or nil. Its names view the document's texts, so it is
// read while the document lives.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/digest64.hpp"
#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Source of concept labels. Normalization asks once per fact that normalizes.
class TaxonomyResolver {
 public:
  virtual ~TaxonomyResolver() = default;
  virtual std::optional<std::string> label(const QName& concept_name,
                                           const std::optional<std::string>& selector,
                                           const std::optional<std::string>& lang) const = 0;
};

// A resolver that knows no labels: receipts carry none and no taxonomy is loaded.
class NoLabels final : public TaxonomyResolver {
 public:
  std::optional<std::string> label(const QName&, const std::optional<std::string>&,
                                   const std::optional<std::string>&) const override {
    return std::nullopt;
  }
};

struct Provenance {
  std::optional<ByteRange> byte_range;
  std::string doc_id;
  std::string context_ref;
  std::optional<std::string> fact_id;
  // Reserved for richer provenance (page, section, extractor note); never filled here.
  std::optional<std::string> page;
  std::optional<std::string> section;
  std::optional<std::string> note;
  bool operator==(const Provenance&) const = default;
};

struct NumericValue {
  std::string raw;                  // the fact text exactly as read
  std::optional<Accuracy> decimals;
  std::optional<Decimal> value;     // always present when normalization produced it
};
struct TextValue {
  std::string text;
  std::optional<std::string> lang;
  bool operator==(const TextValue&) const = default;
};
using NormalizedValue = std::variant<NumericValue, TextValue, NilValue>;

struct NormalizedFact {
  Provenance provenance;
  QName concept_name;
  Entity entity;
  std::vector<Dimension> dimensions;  // segment members first, then scenario members
  std::optional<std::string> label;
  std::optional<Unit> unit;
  NormalizedValue value;
  Period period;
};

using NormalizeResult = std::expected<NormalizedFact, XbrlError>;

// The contexts and units of one document by id, indexed once for normalizing
// its facts: each is found by a binary search over 64-bit digests of the ids,
// whose bytes the index keeps side by side in its own text, so that a lookup
// reads a few compact arrays rather than the records; it starts from the run
// of digests that share the id's top bits (DigestRuns). It refers to the
// document, which must outlive it and stay unchanged.
class ReferenceIndex {
 public:
  explicit ReferenceIndex(const InstanceDocument& document);
  explicit ReferenceIndex(const InstanceDocument&& document) = delete;

  [[nodiscard]] const Context* context(std::string_view id) const noexcept;
  [[nodiscard]] const Unit* unit(std::string_view id) const noexcept;

 private:
  // Sorted by digest, then id.
  struct Entry {
    std::uint64_t digest;  // of the id
    std::size_t at;        // the id's bytes in text
    std::size_t size;
    std::size_t item;      // the record's position in the document
  };
  // Entries sorted by digest, and where the run of each top bits starts.
  struct Table {
    std::vector<Entry> entries;
    DigestRuns runs;
  };
  template <class T>
  static Table make_table(const ById<T>& items, std::string& text);
  static constexpr std::size_t kMissing = static_cast<std::size_t>(-1);
  // The position of the record of that id, or kMissing.
  std::size_t find(const Table& table, std::string_view id) const noexcept;

  const InstanceDocument& document_;
  std::string text_;
  Table contexts_;
  Table units_;
};

// What normalizing one fact resolved, pointing into its document.
struct ResolvedFact {
  const Context* context = nullptr;
  const Unit* unit = nullptr;     // null when the fact names no unit
  std::optional<Decimal> number;  // numeric facts only
};

// Normalizes one fact of the indexed document, checking in this order: its
// context exists, its unit exists when it names one, and a numeric fact's
// text gives a decimal (cleaning, sign, parse, then scale). The first check
// that fails is the error: MissingContext, MissingUnit, or InvalidDecimal
// with the untouched text. This is all a caller that needs only the numbers
// pays for; normalize_facts copies the rest out.
[[nodiscard]] std::expected<ResolvedFact, XbrlError> normalize_fact(const ReferenceIndex& index,
                                                                    const RawFact& fact);

// Every fact of a document through normalize_fact, then copied out in full
// (identity, entity, period, dimensions, unit, value, label; text facts
// transformed), one result per fact in fact order. A failing fact does not
// stop the others.
[[nodiscard]] std::vector<NormalizeResult> normalize_facts(const InstanceDocument& document,
                                                           const TaxonomyResolver& labels, std::string_view doc_id);

}  // namespace quorrel::core
