#include "quorrel/evidence/source_context.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "quorrel/core/parser.hpp"
#include "quorrel/evidence/crypto.hpp"
#include "quorrel/evidence/json_writer.hpp"

namespace ev = quorrel::evidence;

namespace {

// The receipt lines the slow way: records first, then one write_receipt each.
std::string lines_from_records(const quorrel::core::InstanceDocument& doc, std::string_view doc_id,
                               const ev::SourceArtifact& artifact) {
  auto receipts = ev::build_receipts(doc, doc_id, artifact);
  EXPECT_TRUE(receipts.has_value());
  std::string out;
  if (!receipts) return out;
  for (const ev::Receipt& r : *receipts) {
    ev::write_receipt(r, out);
    out.push_back('\n');
  }
  return out;
}

std::string lines_direct(const quorrel::core::InstanceDocument& doc, std::string_view doc_id,
                         const ev::SourceArtifact& artifact) {
  std::string out = "kept:";  // appended to, never replaced
  ev::append_receipt_lines(doc, doc_id, artifact, out);
  EXPECT_TRUE(out.starts_with("kept:"));
  return out.substr(5);
}

const std::string kInstance =
    "<xbrl xmlns='urn:default' xmlns:ex='urn:ex'>"
    "<context id='c1'><entity><identifier scheme='s'>X</identifier></entity>"
    "<period><instant>2024-12-31</instant></period></context>"
    "<context id='c\"q'><entity><identifier scheme='s'>X</identifier></entity><period><forever/></period></context>"
    "<unit id='u1'><measure>iso4217:USD</measure></unit>"
    "<unit id='u&#10;2'><measure>pure</measure></unit>"
    "<ex:Revenue contextRef='c1' unitRef='u1' decimals='0'>1,200.50</ex:Revenue>"
    "<ex:Revenue contextRef='c1' unitRef='u1' decimals='0'>1200.50</ex:Revenue>"
    "<Plain contextRef='c\"q' unitRef='u&#10;2' decimals='INF'>-0.000</Plain>"  // default namespace: {urn:default}Plain
    "<ex:NoUnit contextRef='c1' precision='3'>12</ex:NoUnit>"
    "<ex:Text contextRef='c1'>words</ex:Text>"                        // text: no receipt
    "<ex:Nil contextRef='c1' unitRef='u1' xsi:nil='true'/>"            // nil: no receipt
    "<ex:Lost contextRef='missing' unitRef='u1' decimals='0'>1</ex:Lost>"  // unknown context: skipped
    "<ex:Big contextRef='c1' unitRef='u1' decimals='-3'>79228162514264337593543950335</ex:Big>"
    "</xbrl>";

}  // namespace

TEST(ReceiptLines, SameBytesAsWritingBuiltRecords) {
  const auto doc = quorrel::core::parse_instance(kInstance);
  ASSERT_TRUE(doc.has_value());
  struct Case {
    std::string doc_id;
    ev::SourceArtifact artifact;
  };
  const Case cases[] = {
      {"d", {"u", ev::sha256_hex(kInstance), std::nullopt, std::nullopt}},
      {"", {"", "", std::nullopt, std::string()}},  // empty texts, present empty authority
      {"doc \"1\"\\\n\x01\xC3\xA9", {"https://x/a b?\"q\"\t", "abc", std::nullopt, std::string("auth\x1F\"")}},
      {"d", {"u", "h", std::string("2024-01-01T00:00:00Z"), std::string("a")}},  // retrieved_at is carried too
  };
  for (const Case& c : cases) {
    const std::string expected = lines_from_records(*doc, c.doc_id, c.artifact);
    EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 5);
    EXPECT_EQ(lines_direct(*doc, c.doc_id, c.artifact), expected) << c.doc_id;
  }
}

