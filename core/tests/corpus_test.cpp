// Every real filing of the shared corpus parses, except four that are broken
// on purpose; every fact's byte range slices out exactly its element.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "quorrel/core/parser.hpp"

namespace fs = std::filesystem;
using quorrel::core::parse_instance;

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

// Local name of a tag's written name ("ix:nonFraction" -> "nonFraction").
std::string_view local_part(std::string_view name) {
  const auto colon = name.find(':');
  return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

}  // namespace

TEST(Corpus, EveryFilingParsesExceptTheBrokenOnes) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "corpus absent";
  const std::map<std::string, std::string> expected_failures = {
      {"nl/nt20/fr_nl__1-05-invalid-encoding.xbrl",
       "XML parse error at byte Some(0): invalid utf-8 sequence of 1 bytes from index 0"},
      {"nl/nt20/fr_nl__2-03-missing-lang.xbrl",
       "XML error: mismatched end tag: expected </xbrli:xbrl>, found </xbrl> at byte 628"},
      {"esef/ixbrl-viewer-samples/valeo.html",
       "XML error: mismatched end tag: expected </h3>, found </h2> at byte 10195"},
      {"nl/nt20/fr_nl__5-06-invalid-precision.xbrl",
       "XML parse error at byte None: invalid precision value: -1"},
  };
  std::size_t parsed = 0;
  std::size_t failed = 0;
  std::size_t facts = 0;
  for (const auto& entry : fs::recursive_directory_iterator(kCorpus)) {
    if (!entry.is_regular_file() || !is_document(entry.path())) continue;
    const std::string rel = fs::relative(entry.path(), kCorpus).generic_string();
    const std::string bytes = read_file(entry.path());
    auto doc = parse_instance(bytes);
    const auto expected = expected_failures.find(rel);
    if (expected != expected_failures.end()) {
      ++failed;
      ASSERT_FALSE(doc.has_value()) << rel;
      EXPECT_EQ(doc.error().render(), expected->second) << rel;
      continue;
    }
    ASSERT_TRUE(doc.has_value()) << rel << ": " << doc.error().render();
    ++parsed;
    const bool has_bom = std::string_view(bytes).starts_with("\xEF\xBB\xBF");
    const std::string_view source = has_bom ? std::string_view(bytes).substr(3) : bytes;
    // With or without a byte-order mark the ranges are the same.
    const auto other = parse_instance(has_bom ? std::string(source) : "\xEF\xBB\xBF" + bytes);
    ASSERT_TRUE(other.has_value()) << rel;
    ASSERT_EQ(other->facts.size(), doc->facts.size()) << rel;
    for (std::size_t i = 0; i < doc->facts.size(); ++i) {
      ASSERT_EQ(other->facts[i].byte_range, doc->facts[i].byte_range) << rel;
    }
    for (const auto& fact : doc->facts) {
      ++facts;
      ASSERT_TRUE(fact.byte_range.has_value()) << rel;
      const auto [start, end] = *fact.byte_range;
      ASSERT_LT(start, end) << rel;
      ASSERT_LE(end, source.size()) << rel;
      const std::string_view element = source.substr(start, end - start);
      ASSERT_EQ(element.front(), '<') << rel;
      ASSERT_EQ(element.back(), '>') << rel;
      // The element starts with the fact's own tag name...
      std::size_t name_end = 1;
      while (name_end < element.size() && std::string_view(" \t\r\n/>").find(element[name_end]) == std::string_view::npos) {
        ++name_end;
      }
      const std::string_view tag = element.substr(1, name_end - 1);
      if (!fact.inline_meta) {
        EXPECT_EQ(local_part(tag), fact.concept_name.local_name) << rel;
      }
      // ...and ends with "/>" or with the end tag of that same name.
      if (!element.ends_with("/>")) {
        const std::size_t close = element.rfind("</");
        ASSERT_NE(close, std::string_view::npos) << rel;
        std::string_view closing = element.substr(close + 2, element.size() - close - 3);
        while (!closing.empty() && std::string_view(" \t\r\n").find(closing.back()) != std::string_view::npos) {
          closing.remove_suffix(1);
        }
        EXPECT_EQ(closing, tag) << rel;
      }
    }
  }
  EXPECT_EQ(failed, expected_failures.size());
  EXPECT_GT(parsed, 200U);
  EXPECT_GT(facts, 1000U);
}
