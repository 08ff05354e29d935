// Normalizes every fact of every real filing of the shared corpus that parses.
// Nothing may crash, every fact lands in exactly one bucket (numeric, text,
// nil, failed), and each result is checked against the raw fact it came from:
// numbers render and re-read to the same decimal, failures carry the exact
// message for their cause, untransformed text stays as written, and the lean
// numeric path used for receipts agrees with the full one.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quorrel/core/normalize.hpp"
#include "quorrel/core/parser.hpp"
#include "quorrel/core/text.hpp"

namespace fs = std::filesystem;
using namespace quorrel::core;

namespace {

const fs::path kCorpus = fs::path(QUORREL_SHARED_DIR) / "corpus";

std::string read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool is_document(const fs::path& p) {
  const std::string ext = p.extension().string();
  return ext == ".xml" || ext == ".xbrl" || ext == ".html" || ext == ".htm" || ext == ".xhtml";
}

struct Counts {
  std::size_t facts = 0;
  std::size_t numeric = 0;
  std::size_t text = 0;
  std::size_t nil = 0;
  std::size_t missing_context = 0;
  std::size_t missing_unit = 0;
  std::size_t invalid_decimal = 0;

  std::size_t failed() const { return missing_context + missing_unit + invalid_decimal; }
  void add(const Counts& o) {
    facts += o.facts;
    numeric += o.numeric;
    text += o.text;
    nil += o.nil;
    missing_context += o.missing_context;
    missing_unit += o.missing_unit;
    invalid_decimal += o.invalid_decimal;
  }
};

// A text the decimal parser reads as it stands: digits with at most a sign,
// a point and an exponent, nothing that cleaning would remove or rewrite.
bool is_plain_number_text(std::string_view t) {
  if (t.empty()) return false;
  for (const char c : t) {
    const bool ok = (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
    if (!ok) return false;
  }
  return true;
}

std::string_view raw_text(const RawFact& fact) {
  if (const auto* n = std::get_if<NumericText>(&fact.value)) return n->text.view();
  if (const auto* t = std::get_if<NonNumericText>(&fact.value)) return t->text.view();
  return {};
}

// Checks one failed fact; the bucket it belongs to is counted in `counts`.
void check_failure(const InstanceDocument& doc, const RawFact& fact, const XbrlError& error, Counts& counts,
                   const std::string& where) {
  const std::string message = error.render();
  switch (error.kind()) {
    case XbrlError::Kind::MissingContext:
      ++counts.missing_context;
      EXPECT_EQ(message, "missing context: " + fact.context_ref) << where;
      EXPECT_FALSE(doc.contexts.contains(fact.context_ref)) << where;
      break;
    case XbrlError::Kind::MissingUnit:
      ++counts.missing_unit;
      ASSERT_TRUE(fact.unit_ref.has_value()) << where;
      EXPECT_EQ(message, "missing unit: " + *fact.unit_ref) << where;
      EXPECT_TRUE(doc.contexts.contains(fact.context_ref)) << where;  // the context is looked up first
      EXPECT_FALSE(doc.units.contains(*fact.unit_ref)) << where;
      break;
    case XbrlError::Kind::InvalidDecimal:
      ++counts.invalid_decimal;
      ASSERT_TRUE(std::holds_alternative<NumericText>(fact.value)) << where;
      // The message carries the text exactly as read, untrimmed.
      EXPECT_EQ(message, "invalid decimal value: " + std::string(raw_text(fact))) << where;
      break;
    default:
      ADD_FAILURE() << where << ": unexpected error kind: " << message;
  }
}

void check_success(const InstanceDocument& doc, const RawFact& fact, const NormalizedFact& nf, Counts& counts,
                   const std::string& where) {
  const Context& context = doc.contexts.at(fact.context_ref);
  EXPECT_EQ(nf.provenance.byte_range, fact.byte_range) << where;
  EXPECT_EQ(nf.provenance.context_ref, fact.context_ref) << where;
  EXPECT_EQ(nf.provenance.fact_id, fact.id) << where;
  EXPECT_EQ(nf.concept_name, fact.concept_name) << where;
  EXPECT_EQ(nf.entity, context.entity) << where;
  EXPECT_EQ(nf.period, context.period) << where;
  EXPECT_EQ(nf.dimensions.size(), context.segment.size() + context.scenario.size()) << where;
  EXPECT_FALSE(nf.label.has_value()) << where;
  ASSERT_EQ(nf.unit.has_value(), fact.unit_ref.has_value()) << where;
  if (nf.unit) {
    EXPECT_EQ(nf.unit->id, *fact.unit_ref) << where;
  }

  if (const auto* numeric = std::get_if<NumericValue>(&nf.value)) {
    ++counts.numeric;
    ASSERT_TRUE(std::holds_alternative<NumericText>(fact.value)) << where;
    EXPECT_EQ(numeric->raw, raw_text(fact)) << where;
    EXPECT_EQ(numeric->decimals, fact.decimals) << where;
    ASSERT_TRUE(numeric->value.has_value()) << where;
    // The rendered decimal reads back to the very same representation.
    const std::string rendered = numeric->value->render();
    const std::optional<Decimal> again = Decimal::parse(rendered);
    ASSERT_TRUE(again.has_value()) << where << ": " << rendered;
    EXPECT_TRUE(again->same_representation(*numeric->value)) << where << ": " << rendered;
    // A plain fact written as a bare number is exactly what the parser reads.
    if (!fact.inline_meta) {
      const std::string_view trimmed = trim_unicode_white_space(numeric->raw);
      if (is_plain_number_text(trimmed)) {
        const std::optional<Decimal> direct = Decimal::parse(trimmed);
        ASSERT_TRUE(direct.has_value()) << where << ": " << trimmed;
        EXPECT_TRUE(direct->same_representation(*numeric->value)) << where << ": " << trimmed;
      }
    }
  } else if (const auto* text = std::get_if<TextValue>(&nf.value)) {
    ++counts.text;
    ASSERT_TRUE(std::holds_alternative<NonNumericText>(fact.value)) << where;
    EXPECT_EQ(text->lang, fact.lang) << where;
    const bool has_format = fact.inline_meta && fact.inline_meta->format;
    if (!has_format) {
      EXPECT_EQ(text->text, raw_text(fact)) << where;
    }
  } else {
    ++counts.nil;
    EXPECT_TRUE(std::holds_alternative<NilValue>(fact.value)) << where;
  }
}

// The receipt path's numeric-only normalization must reach the same verdict.
void check_lean_path_agrees(const InstanceDocument& doc, const RawFact& fact, const NormalizeResult& full,
                            const std::string& where) {
  const auto lean = normalize_number(doc, fact);
  if (!full) {
    ASSERT_FALSE(lean.has_value()) << where;
    EXPECT_EQ(lean.error(), full.error()) << where;
    return;
  }
  ASSERT_TRUE(lean.has_value()) << where << ": " << lean.error().render();
  const auto* numeric = std::get_if<NumericValue>(&full->value);
  ASSERT_EQ(lean->has_value(), numeric != nullptr) << where;
  if (numeric == nullptr) return;
  EXPECT_EQ((*lean)->raw, numeric->raw) << where;
  EXPECT_EQ((*lean)->decimals, numeric->decimals) << where;
  ASSERT_TRUE((*lean)->value.has_value()) << where;
  EXPECT_TRUE((*lean)->value->same_representation(*numeric->value)) << where;
}

}  // namespace

TEST(NormalizeCorpus, EveryFactOfEveryFilingLandsInOneBucket) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "corpus absent";
  std::vector<fs::path> paths;
  for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
    if (entry.is_regular_file() && is_document(entry.path())) paths.push_back(entry.path());
  }
  std::sort(paths.begin(), paths.end());

  std::printf("%-64s %7s %7s %6s %5s %6s %5s %5s %5s\n", "document", "facts", "numeric", "text", "nil", "failed",
              "ctx", "unit", "dec");
  Counts total;
  std::size_t documents = 0;
  std::size_t unparsed = 0;
  for (const fs::path& path : paths) {
    const std::string rel = fs::relative(path, kCorpus).generic_string();
    const std::string bytes = read_file(path);
    const auto doc = parse_instance(bytes);
    if (!doc) {
      ++unparsed;
      continue;
    }
    ++documents;
    const std::vector<NormalizeResult> results = normalize_facts(*doc, NoLabels{}, rel);
    ASSERT_EQ(results.size(), doc->facts.size()) << rel;
    Counts counts;
    counts.facts = doc->facts.size();
    for (std::size_t i = 0; i < results.size(); ++i) {
      const RawFact& fact = doc->facts[i];
      const std::string where = rel + " fact " + std::to_string(i);
      if (results[i]) {
        EXPECT_EQ(results[i]->provenance.doc_id, rel) << where;
        check_success(*doc, fact, *results[i], counts, where);
      } else {
        check_failure(*doc, fact, results[i].error(), counts, where);
      }
      check_lean_path_agrees(*doc, fact, results[i], where);
    }
    EXPECT_EQ(counts.numeric + counts.text + counts.nil + counts.failed(), counts.facts) << rel;
    std::printf("%-64s %7zu %7zu %6zu %5zu %6zu %5zu %5zu %5zu\n", rel.c_str(), counts.facts, counts.numeric,
                counts.text, counts.nil, counts.failed(), counts.missing_context, counts.missing_unit,
                counts.invalid_decimal);
    total.add(counts);
  }
  std::printf("%-64s %7zu %7zu %6zu %5zu %6zu %5zu %5zu %5zu\n", "TOTAL", total.facts, total.numeric, total.text,
              total.nil, total.failed(), total.missing_context, total.missing_unit, total.invalid_decimal);
  std::printf("%zu documents normalized, %zu did not parse\n", documents, unparsed);
  EXPECT_EQ(total.numeric + total.text + total.nil + total.failed(), total.facts);
  EXPECT_GT(documents, 200U);
  EXPECT_GT(total.numeric, 5000U);
}
