// Every real filing of the shared corpus parses, except four that are broken
// on purpose; every fact's byte range slices out exactly its element, with or
// without a byte-order mark; every fact normalizes into exactly one bucket
// with the message for its cause.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

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

// The element starts with the fact's own tag and ends with "/>" or the end tag of that name.
void check_element(std::string_view element, const RawFact& fact, const std::string& where) {
  ASSERT_EQ(element.front(), '<') << where;
  ASSERT_EQ(element.back(), '>') << where;
  std::size_t name_end = 1;
  while (name_end < element.size() && std::string_view(" \t\r\n/>").find(element[name_end]) == std::string_view::npos) {
    ++name_end;
  }
  const std::string_view tag = element.substr(1, name_end - 1);
  if (!fact.inline_meta) {
    EXPECT_EQ(tag.substr(tag.find(':') + 1), fact.concept_name.local_name) << where;
  }
  if (element.ends_with("/>")) return;
  const std::size_t close = element.rfind("</");
  ASSERT_NE(close, std::string_view::npos) << where;
  EXPECT_EQ(trim_unicode_white_space(element.substr(close + 2, element.size() - close - 3)), tag) << where;
}

// A bare number the decimal parser reads as it stands, with nothing to clean.
bool is_plain_number_text(std::string_view t) {
  return !t.empty() && t.find_first_not_of("0123456789.-+eE") == std::string_view::npos;
}

std::string_view raw_text(const RawFact& fact) {
  if (const auto* n = std::get_if<NumericText>(&fact.value)) return n->text.view();
  if (const auto* t = std::get_if<NonNumericText>(&fact.value)) return t->text.view();
  return {};
}

void check_normalized(const InstanceDocument& doc, const RawFact& fact, const NormalizeResult& result,
                      const std::string& where) {
  if (!result) {
    const std::string message = result.error().render();
    switch (result.error().kind()) {
      case XbrlError::Kind::MissingContext:
        EXPECT_EQ(message, "missing context: " + fact.context_ref) << where;
        EXPECT_FALSE(doc.contexts.contains(fact.context_ref)) << where;
        break;
      case XbrlError::Kind::MissingUnit:
        EXPECT_EQ(message, "missing unit: " + fact.unit_ref.value_or("?")) << where;
        EXPECT_TRUE(doc.contexts.contains(fact.context_ref)) << where;  // the context is looked up first
        break;
      case XbrlError::Kind::InvalidDecimal:
        EXPECT_TRUE(std::holds_alternative<NumericText>(fact.value)) << where;
        EXPECT_EQ(message, "invalid decimal value: " + std::string(raw_text(fact))) << where;
        break;
      default: ADD_FAILURE() << where << ": unexpected error: " << message;
    }
    return;
  }
  EXPECT_EQ(result->provenance.byte_range, fact.byte_range) << where;
  EXPECT_EQ(result->concept_name, fact.concept_name) << where;
  const Context& context = doc.contexts.at(fact.context_ref);
  EXPECT_EQ(result->dimensions.size(), context.segment.size() + context.scenario.size()) << where;
  if (const auto* numeric = std::get_if<NumericValue>(&result->value)) {
    ASSERT_TRUE(std::holds_alternative<NumericText>(fact.value)) << where;
    ASSERT_TRUE(numeric->value.has_value()) << where;
    const std::string rendered = numeric->value->render();
    const auto again = Decimal::parse(rendered);
    ASSERT_TRUE(again && again->same_representation(*numeric->value)) << where << ": " << rendered;
    const std::string_view trimmed = trim_unicode_white_space(numeric->raw);
    if (!fact.inline_meta && is_plain_number_text(trimmed)) {
      const auto direct = Decimal::parse(trimmed);
      EXPECT_TRUE(direct && direct->same_representation(*numeric->value)) << where << ": " << trimmed;
    }
  } else if (const auto* text = std::get_if<TextValue>(&result->value)) {
    ASSERT_TRUE(std::holds_alternative<NonNumericText>(fact.value)) << where;
    if (!fact.inline_meta || !fact.inline_meta->format) {
      EXPECT_EQ(text->text, raw_text(fact)) << where;
    }
  } else {
    EXPECT_TRUE(std::holds_alternative<NilValue>(fact.value)) << where;
  }
}

}  // namespace

TEST(Corpus, EveryFilingParsesRangesSliceTheirElementsAndFactsNormalize) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "corpus absent";
  const std::map<std::string, std::string> expected_failures = {
      {"nl/nt20/fr_nl__1-05-invalid-encoding.xbrl",
       "XML parse error at byte Some(0): invalid utf-8 sequence of 1 bytes from index 0"},
      {"nl/nt20/fr_nl__2-03-missing-lang.xbrl",
       "XML error: mismatched end tag: expected </xbrli:xbrl>, found </xbrl> at byte 628"},
      {"esef/ixbrl-viewer-samples/valeo.html", "XML error: mismatched end tag: expected </h3>, found </h2> at byte 10195"},
      {"nl/nt20/fr_nl__5-06-invalid-precision.xbrl", "XML parse error at byte None: invalid precision value: -1"},
  };
  std::size_t parsed = 0, failed = 0, facts = 0, numeric = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
    if (!entry.is_regular_file() || !is_document(entry.path())) continue;
    const std::string rel = fs::relative(entry.path(), kCorpus).generic_string();
    const std::string bytes = read_file(entry.path());
    const auto doc = parse_instance(bytes);
    if (const auto expected = expected_failures.find(rel); expected != expected_failures.end()) {
      ++failed;
      ASSERT_FALSE(doc.has_value()) << rel;
      EXPECT_EQ(doc.error().render(), expected->second) << rel;
      continue;
    }
    ASSERT_TRUE(doc.has_value()) << rel << ": " << doc.error().render();
    ++parsed;
    const bool has_bom = bytes.starts_with("\xEF\xBB\xBF");
    const std::string_view source = has_bom ? std::string_view(bytes).substr(3) : bytes;
    const auto other = parse_instance(has_bom ? std::string(source) : "\xEF\xBB\xBF" + bytes);
    ASSERT_TRUE(other.has_value()) << rel;
    ASSERT_EQ(other->facts, doc->facts) << rel;
    const std::vector<NormalizeResult> results = normalize_facts(*doc, NoLabels{}, rel);
    ASSERT_EQ(results.size(), doc->facts.size()) << rel;
    for (std::size_t i = 0; i < results.size(); ++i) {
      const RawFact& fact = doc->facts[i];
      const std::string where = rel + " fact " + std::to_string(i);
      ++facts;
      ASSERT_TRUE(fact.byte_range.has_value()) << where;
      const auto [start, end] = *fact.byte_range;
      ASSERT_TRUE(start < end && end <= source.size()) << where;
      check_element(source.substr(start, end - start), fact, where);
      check_normalized(*doc, fact, results[i], where);
      numeric += results[i] && std::holds_alternative<NumericValue>(results[i]->value) ? 1 : 0;
    }
  }
  EXPECT_EQ(failed, expected_failures.size());
  EXPECT_GT(parsed, 200U);
  EXPECT_GT(facts, 1000U);
  EXPECT_GT(numeric, 5000U);
}
