#pragma once
// Fact normalization: a raw fact becomes a self-contained NormalizedFact with
// its context, unit and dimensions resolved and its value read as an exact
// decimal, a transformed text, or nil.

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quorrel/core/decimal.hpp"
#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"

namespace quorrel::core {

// Source of concept labels. Normalization asks once per successfully valued fact.
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

[[nodiscard]] NormalizeResult normalize_fact(const InstanceDocument& document, const TaxonomyResolver& resolver,
                                             std::string_view doc_id, const RawFact& fact);

// One result per fact of the document, in fact order; a failing fact does not stop the others.
[[nodiscard]] std::vector<NormalizeResult> normalize_facts(const InstanceDocument& document,
                                                           const TaxonomyResolver& resolver, std::string_view doc_id);

// The numeric value alone, with the same checks in the same order as
// normalize_fact (context, unit, value) but without copying the fact's
// identity or transforming text. Text and nil facts give no number. For many
// facts of one document, FactResolver answers the same with cheaper lookups.
[[nodiscard]] std::expected<std::optional<NumericValue>, XbrlError> normalize_number(
    const InstanceDocument& document, const RawFact& fact);

// The contexts and units of one document by id, for normalizing many of its
// facts: each is found by a binary search over 64-bit digests of the ids
// rather than by string comparisons down a tree. It answers exactly as the
// document's own maps do, and refers to the document, which must outlive it
// and stay unchanged.
class FactResolver {
 public:
  explicit FactResolver(const InstanceDocument& document);
  explicit FactResolver(const InstanceDocument&& document) = delete;

  [[nodiscard]] const Context* context(std::string_view id) const noexcept;
  [[nodiscard]] const Unit* unit(std::string_view id) const noexcept;

  // What normalize_number answers for a fact of this document, the same error
  // or the same decimal, without copying the fact's text.
  [[nodiscard]] std::expected<std::optional<Decimal>, XbrlError> decimal(const RawFact& fact) const;

 private:
  // Sorted by digest, then id.
  template <class T>
  struct Entry {
    std::uint64_t digest;  // of the id
    std::string_view id;   // the document map's own key
    const T* item;
  };
  template <class T>
  static const T* find(const std::vector<Entry<T>>& entries, std::string_view id) noexcept;

  std::vector<Entry<Context>> contexts_;
  std::vector<Entry<Unit>> units_;
};

// The numeric value of a fact text: cleaning, sign, decimal parse and scale.
// The error is InvalidDecimal carrying the untouched text.
[[nodiscard]] std::expected<Decimal, XbrlError> normalize_numeric(std::string_view raw_text,
                                                                  const std::optional<InlineMeta>& inline_meta);

}  // namespace quorrel::core
