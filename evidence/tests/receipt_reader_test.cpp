#include "quorrel/evidence/receipt_reader.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "quorrel/evidence/json_writer.hpp"

namespace ev = quorrel::evidence;

namespace {

// The outcome as one text: "ok" or the error message.
std::string outcome(std::string_view json) {
  const auto r = ev::read_receipt(json);
  return r ? "ok" : r.error();
}

// Members of a valid receipt, to build variants from.
const std::string kClaim = R"({"value":"1","kind":"stated","doc_id":"d"})";
const std::string kEvidence =
    R"({"source_artifact":{"uri":"u","sha256":"h"},"locator":{"profile":"xbrl","concept":"c","context_ref":"x"},"extraction":{"engine":"e"}})";

std::string receipt_with(std::string_view claim, std::string_view evidence_list,
                         std::string_view extra = "") {
  return R"({"schema":"er/0.2","receipt_id":"er_x","claim":)" + std::string(claim) +
         R"(,"evidence":)" + std::string(evidence_list) + std::string(extra) + "}";
}

std::string with_locator(std::string_view locator) {
  return receipt_with(kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h"},"locator":)" +
                                  std::string(locator) + R"(,"extraction":{"engine":"e"}}])");
}

std::string with_operation(std::string_view operation) {
  return receipt_with(R"({"value":"1","kind":"derived","doc_id":"d"})", "[]",
                      R"(,"derivation":{"operation":)" + std::string(operation) + R"(,"inputs":[]})");
}

// Column just past the first occurrence of `marker` in `text`.
std::string after(const std::string& text, std::string_view marker) {
  return std::to_string(text.find(marker) + marker.size());
}

}  // namespace

TEST(ReadReceipt, ReadsEveryMember) {
  const std::string json =
      R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"-1.50","unit":"usd","kind":"derived","doc_id":"d"},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","retrieved_at":"t","authority":"a"},)"
      R"("locator":{"profile":"xbrl","concept":"p:c","context_ref":"x","unit_ref":"usd","byte_range":[7,18446744073709551615]},)"
      R"("extraction":{"engine":"e"}}],"derivation":{"operation":{"op":"growth_rate","round_dp":4294967295},)"
      R"("inputs":[{"receipt_id":"er_a","value":"2","role":"base"}]},"attestation":{"alg":"ed25519","public_key":"k","sig":"s"}})";
  const auto r = ev::read_receipt(json);
  ASSERT_TRUE(r.has_value()) << r.error();
  ev::Receipt expected;
  expected.schema = "er/0.2";
  expected.receipt_id = "er_x";
  expected.claim = {"-1.50", "usd", ev::ClaimKind::Derived, "d"};
  expected.evidence.push_back({{"u", "h", "t", "a"},
                               {"p:c", "x", "usd", ev::ByteRange{7, 18446744073709551615ull}},
                               {"e"}});
  expected.derivation = ev::Derivation{{ev::OperationKind::GrowthRate, 4294967295u}, {{"er_a", "2", "base"}}};
  expected.attestation = ev::Attestation{"ed25519", "k", "s"};
  EXPECT_EQ(*r, expected);
}

TEST(ReadReceipt, MembersInAnyOrderAndWhiteSpaceAround) {
  const std::string json =
      " \t\r\n{ \"evidence\" : [ ] ,\n\"claim\":{\"doc_id\":\"d\",\"kind\":\"stated\",\"value\":\"1\"},"
      "\"receipt_id\":\"er_x\",\"schema\":\"s\" } \r\n\t ";
  const auto r = ev::read_receipt(json);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->schema, "s");
  EXPECT_EQ(r->claim.value, "1");
  EXPECT_TRUE(r->evidence.empty());
}

TEST(ReadReceipt, NullOptionalMembersReadAsAbsent) {
  const std::string json = receipt_with(
      R"({"value":"1","unit":null,"kind":"stated","doc_id":"d"})",
      R"([{"source_artifact":{"uri":"u","sha256":"h","retrieved_at":null,"authority":null},)"
      R"("locator":{"profile":"xbrl","concept":"c","context_ref":"x","unit_ref":null,"byte_range":null},"extraction":{"engine":"e"}}])",
      R"(,"derivation":null,"attestation":null)");
  const auto r = ev::read_receipt(json);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_FALSE(r->claim.unit);
  EXPECT_FALSE(r->evidence[0].source_artifact.retrieved_at);
  EXPECT_FALSE(r->evidence[0].source_artifact.authority);
  EXPECT_FALSE(r->evidence[0].locator.unit_ref);
  EXPECT_FALSE(r->evidence[0].locator.byte_range);
  EXPECT_FALSE(r->derivation);
  EXPECT_FALSE(r->attestation);
  const auto ratio = ev::read_receipt(with_operation(R"({"op":"ratio","round_dp":null})"));
  ASSERT_TRUE(ratio.has_value()) << ratio.error();
  EXPECT_EQ(ratio->derivation->operation, (ev::Operation{ev::OperationKind::Ratio, std::nullopt}));
  const auto missing = ev::read_receipt(with_operation(R"({"op":"ratio"})"));
  ASSERT_TRUE(missing.has_value()) << missing.error();
  EXPECT_FALSE(missing->derivation->operation.round_dp);
}

TEST(ReadReceipt, TextsAreNotJudged) {
  const auto r = ev::read_receipt(R"({"schema":"v9","receipt_id":"","claim":{"value":"abc","kind":"stated","doc_id":""},"evidence":[]})");
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->schema, "v9");
  EXPECT_EQ(r->claim.value, "abc");
}

TEST(ReadReceipt, QuotedPositionAnchors) {
  EXPECT_EQ(outcome("{}"), "missing field `schema` at line 1 column 2");
  EXPECT_EQ(outcome("\xef\xbb\xbf{}"), "expected value at line 1 column 1");
  EXPECT_EQ(outcome(""), "EOF while parsing a value at line 1 column 0");
  EXPECT_EQ(outcome("   "), "EOF while parsing a value at line 1 column 3");
  // Lines count the line feeds before the error point; columns restart after each.
  EXPECT_EQ(outcome("{\n\"schema\":\"s\",\n  \"claim\": 5}"),
            "invalid type: integer `5`, expected struct Claim at line 3 column 12");
}

TEST(ReadReceiptErrors, MissingFieldsInDeclarationOrder) {
  EXPECT_EQ(outcome(R"({"evidence":[],"claim":{},"receipt_id":"r"})"),
            "missing field `value` at line 1 column 25");
  EXPECT_EQ(outcome(R"({"receipt_id":"r","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[]})"),
            "missing field `schema` at line 1 column 83");
  EXPECT_EQ(outcome(R"({"schema":"s","evidence":[],"attestation":null})"),
            "missing field `receipt_id` at line 1 column 47");
  const std::string no_kind = receipt_with(R"({"doc_id":"d","value":"1"})", "[]");
  EXPECT_EQ(outcome(no_kind), "missing field `kind` at line 1 column " + after(no_kind, "\"1\"}"));
  const std::string no_evidence = R"({"schema":"er/0.2","receipt_id":"er_x","claim":)" + kClaim + "}";
  EXPECT_EQ(outcome(no_evidence),
            "missing field `evidence` at line 1 column " + std::to_string(no_evidence.size()));

  const std::string no_profile = with_locator(R"({"concept":"c"})");
  EXPECT_EQ(outcome(no_profile), "missing field `profile` at line 1 column " + after(no_profile, "\"c\"}"));
  const std::string no_context = with_locator(R"({"profile":"xbrl","concept":"c"})");
  EXPECT_EQ(outcome(no_context), "missing field `context_ref` at line 1 column " + after(no_context, "\"c\"}"));
  const std::string no_sha = receipt_with(kClaim, R"([{"source_artifact":{"uri":"u"}}])");
  EXPECT_EQ(outcome(no_sha), "missing field `sha256` at line 1 column " + after(no_sha, "\"u\"}"));
  const std::string no_locator = receipt_with(kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h"}}])");
  EXPECT_EQ(outcome(no_locator), "missing field `locator` at line 1 column " + after(no_locator, "\"h\"}}"));
  const std::string no_engine = receipt_with(
      kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h"},"locator":{"profile":"xbrl","concept":"c","context_ref":"x"},"extraction":{}}])");
  EXPECT_EQ(outcome(no_engine), "missing field `engine` at line 1 column " + after(no_engine, "{}"));

  const std::string no_op = with_operation(R"({"round_dp":2})");
  EXPECT_EQ(outcome(no_op), "missing field `op` at line 1 column " + after(no_op, "2}"));
  const std::string no_inputs = receipt_with(kClaim, "[]", R"(,"derivation":{"operation":{"op":"difference"}})");
  EXPECT_EQ(outcome(no_inputs), "missing field `inputs` at line 1 column " + after(no_inputs, "}}"));
  const std::string no_role = receipt_with(
      kClaim, "[]", R"(,"derivation":{"operation":{"op":"difference"},"inputs":[{"value":"1","receipt_id":"a"}]})");
  EXPECT_EQ(outcome(no_role), "missing field `role` at line 1 column " + after(no_role, "\"a\"}"));
  const std::string no_sig = receipt_with(kClaim, "[]", R"(,"attestation":{"alg":"a","public_key":"k"})");
  EXPECT_EQ(outcome(no_sig), "missing field `sig` at line 1 column " + after(no_sig, "\"k\"}"));
}

TEST(ReadReceiptErrors, DuplicateFields) {
  const std::string claim_twice =
      R"({"schema":"s","claim":{"value":"1","kind":"stated","doc_id":"d"},"claim":1})";
  EXPECT_EQ(outcome(claim_twice), "duplicate field `claim` at line 1 column 72");
  // The duplicate is found at its key, before its value is looked at.
  EXPECT_EQ(outcome(R"({"schema":"s","schema":)"), "duplicate field `schema` at line 1 column 22");
  const std::string profile_twice = with_locator(R"({"profile":"xbrl","profile":"xbrl"})");
  EXPECT_EQ(outcome(profile_twice),
            "duplicate field `profile` at line 1 column " + after(profile_twice, "\"xbrl\",\"profile\""));
  const std::string unit_twice = receipt_with(R"({"value":"1","unit":null,"unit":"u"})", "[]");
  EXPECT_EQ(outcome(unit_twice), "duplicate field `unit` at line 1 column " + after(unit_twice, "null,\"unit\""));
  const std::string op_twice = with_operation(R"({"op":"ratio","op":"ratio"})");
  EXPECT_EQ(outcome(op_twice), "duplicate field `op` at line 1 column " + after(op_twice, "\"ratio\",\"op\""));
  const std::string rounding_twice = with_operation(R"({"op":"ratio","round_dp":1,"round_dp":2})");
  EXPECT_EQ(outcome(rounding_twice),
            "duplicate field `round_dp` at line 1 column " + after(rounding_twice, "1,\"round_dp\""));
  // Before the tag is known the duplicate waits for it: a difference ignores it.
  const std::string early_twice = with_operation(R"({"round_dp":1,"round_dp":2,"op":"ratio"})");
  EXPECT_EQ(outcome(early_twice),
            "duplicate field `round_dp` at line 1 column " + after(early_twice, "1,\"round_dp\""));
  EXPECT_EQ(outcome(with_operation(R"({"round_dp":1,"round_dp":2,"op":"difference"})")), "ok");
  // Unknown members may repeat.
  EXPECT_EQ(outcome(receipt_with(kClaim, "[]", R"(,"note":1,"note":2)")), "ok");
}

TEST(ReadReceiptErrors, UnknownVariants) {
  const std::string upper = with_locator(R"({"profile":"XBRL","concept":"c","context_ref":"x"})");
  EXPECT_EQ(outcome(upper),
            "unknown variant `XBRL`, expected `xbrl` at line 1 column " + after(upper, "\"XBRL\""));
  const std::string op = with_operation(R"({"op":"Ratio"})");
  EXPECT_EQ(outcome(op), "unknown variant `Ratio`, expected `ratio`, `difference` or `growth_rate` at line 1 column " +
                             after(op, "\"Ratio\""));
  const std::string kind = receipt_with(R"({"value":"1","kind":"Stated","doc_id":"d"})", "[]");
  EXPECT_EQ(outcome(kind), "unknown variant `Stated`, expected `stated` or `derived` at line 1 column " +
                               after(kind, "\"Stated\""));
  // Escapes are decoded before the value is matched.
  EXPECT_EQ(outcome(with_locator(R"({"profile":"\u0078brl","concept":"c","context_ref":"x"})")), "ok");
}

TEST(ReadReceiptErrors, InvalidTypes) {
  struct Case {
    std::string json;
    std::string description;
    std::string marker;  // the error point is just past it
  };
  const std::vector<Case> cases = {
      {receipt_with(R"({"value":5,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: integer `5`, expected a string", "\"value\":5"},
      {receipt_with(R"({"value":-7,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: integer `-7`, expected a string", "\"value\":-7"},
      {receipt_with(R"({"value":1.5e2,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: floating point `150.0`, expected a string", "1.5e2"},
      {receipt_with(R"({"value":0.000001,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: floating point `0.000001`, expected a string", "0.000001"},
      {receipt_with(R"({"value":18446744073709551616,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: floating point `18446744073709552000.0`, expected a string", "551616"},
      {receipt_with(R"({"value":true,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: boolean `true`, expected a string", "true"},
      {receipt_with(R"({"value":false,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: boolean `false`, expected a string", "false"},
      {receipt_with(R"({"value":null,"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: null, expected a string", "null"},
      // An array or object is reported where it opens.
      {receipt_with(R"({"value":[1],"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: sequence, expected a string", "\"value\":"},
      {receipt_with(R"({"value":{},"kind":"stated","doc_id":"d"})", "[]"),
       "invalid type: map, expected a string", "\"value\":"},
      {receipt_with(R"({"value":"1","kind":1,"doc_id":"d"})", "[]"),
       "invalid type: integer `1`, expected enum ClaimKind", "\"kind\":1"},
      {receipt_with("\"c\"", "[]"), "invalid type: string \"c\", expected struct Claim", "\"claim\":\"c\""},
      {receipt_with(kClaim, "{}"), "invalid type: map, expected a sequence", "\"evidence\":"},
      {receipt_with(kClaim, "[1]"), "invalid type: integer `1`, expected struct Evidence", "[1"},
      {with_locator("5"), "invalid type: integer `5`, expected internally tagged enum Locator", "\"locator\":5"},
      {with_locator(R"({"profile":5})"), "invalid type: integer `5`, expected variant identifier", "\"profile\":5"},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":"1-2"})"),
       "invalid type: string \"1-2\", expected a tuple of size 2", "\"1-2\""},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1,-2]})"),
       "invalid value: integer `-2`, expected u64", "-2"},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1.0,2]})"),
       "invalid type: floating point `1.0`, expected u64", "1.0"},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[-0,2]})"),
       "invalid type: floating point `-0.0`, expected u64", "-0"},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1,"2"]})"),
       "invalid type: string \"2\", expected u64", "\"2\""},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1,18446744073709551616]})"),
       "number out of range", "551616"},
      {with_operation(R"({"op":"ratio","round_dp":4294967296})"),
       "invalid value: integer `4294967296`, expected u32", "967296"},
      {with_operation(R"({"op":"ratio","round_dp":-1})"), "invalid value: integer `-1`, expected u32", "-1"},
      {with_operation(R"({"op":"ratio","round_dp":"4"})"), "invalid type: string \"4\", expected u32", "\"4\""},
      {with_operation(R"({"op":"ratio","round_dp":2.5})"), "invalid type: floating point `2.5`, expected u32", "2.5"},
      {with_operation(R"({"op":"ratio","round_dp":99999999999999999999999})"), "number out of range", "99999999999999999999999"},
      {with_operation(R"({"op":"ratio","round_dp":1e400})"), "number out of range", "1e400"},
      {with_operation(R"({"op":true})"), "invalid type: boolean `true`, expected variant identifier", "true"},
      {with_operation("\"ratio\""), "invalid type: string \"ratio\", expected internally tagged enum Operation",
       "\"ratio\""},
      {receipt_with(kClaim, "[]", R"(,"derivation":"x")"), "invalid type: string \"x\", expected struct Derivation",
       "\"x\""},
      {receipt_with(kClaim, "[]", R"(,"derivation":{"operation":{"op":"difference"},"inputs":{}})"),
       "invalid type: map, expected a sequence", "\"inputs\":"},
      {receipt_with(kClaim, "[]", R"(,"attestation":7)"), "invalid type: integer `7`, expected struct Attestation",
       "7"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(outcome(c.json), c.description + " at line 1 column " + after(c.json, c.marker)) << c.json;
  }
}

TEST(ReadReceiptErrors, FoundStringsAreShownEscaped) {
  const std::string json = receipt_with(R"({"value":"1","kind":"stated","doc_id":"d"})", "\"a\\\"b\\\\c\\t\\u0001\\u007f\\u0085é\"");
  EXPECT_EQ(outcome(json),
            "invalid type: string \"a\\\"b\\\\c\\t\\u{1}\\u{7f}\\u{85}é\", expected a sequence at line 1 column " +
                std::to_string(json.size() - 1));
}

TEST(ReadReceiptErrors, Syntax) {
  struct Case {
    std::string json;
    std::string message;
  };
  const std::string ok = receipt_with(kClaim, "[]");
  const std::vector<Case> cases = {
      {ok + "x", "trailing characters at line 1 column " + std::to_string(ok.size() + 1)},
      {ok + " {}", "trailing characters at line 1 column " + std::to_string(ok.size() + 2)},
      {R"({"schema" "s"})", "expected `:` at line 1 column 11"},
      {R"({"schema":"s" "x"})", "expected `,` or `}` at line 1 column 15"},
      {R"({"schema":"s",})", "trailing comma at line 1 column 15"},
      {R"({"schema":"s",5})", "key must be a string at line 1 column 15"},
      {R"({,})", "key must be a string at line 1 column 2"},
      {R"({"schema":"s")", "EOF while parsing an object at line 1 column 13"},
      {R"({"schema")", "EOF while parsing an object at line 1 column 9"},
      {R"({"schema":)", "EOF while parsing a value at line 1 column 10"},
      {R"({"schema":"s",)", "EOF while parsing a value at line 1 column 14"},
      {R"({"schema":"s)", "EOF while parsing a string at line 1 column 12"},
      {R"({"schema":"s\)", "EOF while parsing a string at line 1 column 13"},
      {R"({"schema":"s","receipt_id":"r","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[)",
       "EOF while parsing a list at line 1 column 94"},
      {R"({"schema":"s","receipt_id":"r","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[)" + kEvidence + " " + kEvidence + "]}",
       "expected `,` or `]` at line 1 column " + std::to_string(94 + kEvidence.size() + 2)},
      {R"({"schema":"s","receipt_id":"r","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[)" + kEvidence + ",]}",
       "trailing comma at line 1 column " + std::to_string(94 + kEvidence.size() + 2)},
      {"{\"schema\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 13"},
      {"{\"schema\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
      {R"({"schema":"\x"})", "invalid escape at line 1 column 13"},
      {R"({"schema":"\u00g0"})", "invalid escape at line 1 column 17"},
      {R"({"schema":"\u00)", "EOF while parsing a string at line 1 column 15"},
      {R"({"schema":nul)", "EOF while parsing a value at line 1 column 13"},
      {R"({"schema":nulx})", "expected ident at line 1 column 14"},
      {R"({"schema":x})", "expected value at line 1 column 11"},
      {R"({"schema":01})", "invalid number at line 1 column 12"},
      {R"({"schema":1.})", "invalid number at line 1 column 13"},
      {R"({"schema":1.)", "EOF while parsing a value at line 1 column 12"},
      {R"({"schema":-})", "invalid number at line 1 column 12"},
      {R"({"schema":-)", "EOF while parsing a value at line 1 column 11"},
      {R"({"schema":1e})", "invalid number at line 1 column 13"},
      {R"({"schema":1e+)", "EOF while parsing a value at line 1 column 13"},
      {R"({"schema":+1})", "expected value at line 1 column 11"},
      {R"({"schema":.5})", "expected value at line 1 column 11"},
  };
  for (const Case& c : cases) EXPECT_EQ(outcome(c.json), c.message) << c.json;
}

TEST(ReadReceiptStrings, EscapesAreDecoded) {
  const auto r = ev::read_receipt(receipt_with(
      R"({"value":"\"\\\/\b\f\n\r\t","unit":"\u00e9\u20AC\ud83d\ude00","kind":"stated","doc_id":"plain é"})", "[]"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->claim.value, "\"\\/\b\f\n\r\t");
  EXPECT_EQ(*r->claim.unit, "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(r->claim.doc_id, "plain \xc3\xa9");
  // DEL and U+0000 through an escape are ordinary text.
  const auto nul = ev::read_receipt(receipt_with(R"({"value":"\u0000","kind":"stated","doc_id":"\u007f"})", "[]"));
  ASSERT_TRUE(nul.has_value()) << nul.error();
  EXPECT_EQ(nul->claim.value, std::string(1, '\0'));
  EXPECT_EQ(nul->claim.doc_id, "\x7f");
}

TEST(ReadReceiptStrings, Surrogates) {
  EXPECT_EQ(outcome(R"({"schema":"\udc00"})"), "invalid unicode code point at line 1 column 17");
  EXPECT_EQ(outcome(R"({"schema":"\ud800"})"), "lone leading surrogate in hex escape at line 1 column 18");
  EXPECT_EQ(outcome(R"({"schema":"\ud800x"})"), "lone leading surrogate in hex escape at line 1 column 18");
  EXPECT_EQ(outcome(R"({"schema":"\ud800\n"})"), "lone leading surrogate in hex escape at line 1 column 19");
  EXPECT_EQ(outcome(R"({"schema":"\ud800\u0041"})"), "lone leading surrogate in hex escape at line 1 column 23");
  EXPECT_EQ(outcome(R"({"schema":"\ud800\ud800"})"), "lone leading surrogate in hex escape at line 1 column 23");
  EXPECT_EQ(outcome(R"({"schema":"\ud800)"), "EOF while parsing a string at line 1 column 17");
  EXPECT_EQ(outcome(R"({"schema":"\ud800\)"), "EOF while parsing a string at line 1 column 18");
  EXPECT_EQ(outcome(R"({"schema":"\ud800\u12)"), "EOF while parsing a string at line 1 column 21");
  // Also inside members that are skipped.
  EXPECT_EQ(outcome(R"({"note":"\udfff"})"), "invalid unicode code point at line 1 column 15");
  EXPECT_EQ(outcome(R"({"note":["\ud800"]})"), "lone leading surrogate in hex escape at line 1 column 17");
}

TEST(ReadReceiptIgnored, UnknownMembersAreSkippedAtEveryLevel) {
  const std::string noisy =
      R"({"a":{"b":[1,-2.5e-3,true,false,null,"s\"\u1234",{},[]]},"schema":"s","receipt_id":"r",)"
      R"("claim":{"value":"1","x":{"kind":5},"kind":"stated","doc_id":"d"},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","y":1},)"
      R"("locator":{"profile":"xbrl","concept":"c","context_ref":"x","z":[{"profile":"XBRL"}]},)"
      R"("extraction":{"engine":"e","w":"v"},"q":null}],)"
      R"("derivation":{"operation":{"op":"ratio","round_dp":3,"note":{"op":1}},"inputs":[{"receipt_id":"a","value":"1","role":"r","t":[]}]}})";
  const auto r = ev::read_receipt(noisy);
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->derivation->operation, (ev::Operation{ev::OperationKind::Ratio, 3}));
}

TEST(ReadReceiptIgnored, SyntaxErrorsInSkippedMembersStillCount) {
  EXPECT_EQ(outcome(R"({"note":[1,}])"), "expected value at line 1 column 12");
  EXPECT_EQ(outcome(R"({"note":[1,])"), "expected value at line 1 column 12");
  EXPECT_EQ(outcome(R"({"note":[1 2]})"), "expected `,` or `]` at line 1 column 12");
  EXPECT_EQ(outcome(R"({"note":{"a":1 "b"}})"), "expected `,` or `}` at line 1 column 16");
  EXPECT_EQ(outcome(R"({"note":{"a":1,}})"), "key must be a string at line 1 column 16");
  EXPECT_EQ(outcome(R"({"note":{1:2}})"), "key must be a string at line 1 column 10");
  EXPECT_EQ(outcome(R"({"note":{"a" 2}})"), "expected `:` at line 1 column 14");
  EXPECT_EQ(outcome(R"({"note":[)"), "EOF while parsing a list at line 1 column 9");
  EXPECT_EQ(outcome(R"({"note":{"a":[)"), "EOF while parsing a list at line 1 column 14");
  EXPECT_EQ(outcome(R"({"note":{)"), "EOF while parsing an object at line 1 column 9");
  EXPECT_EQ(outcome(R"({"note":{"a":1)"), "EOF while parsing an object at line 1 column 14");
  EXPECT_EQ(outcome(R"({"note":[0x1]})"), "expected `,` or `]` at line 1 column 11");
  EXPECT_EQ(outcome(R"({"note":tru})"), "expected ident at line 1 column 12");
  EXPECT_EQ(outcome(R"({"note":"a)"), "EOF while parsing a string at line 1 column 10");
}

TEST(ReadReceiptIgnored, SchemaRulesDoNotReachIntoSkippedMembers) {
  EXPECT_EQ(outcome(receipt_with(kClaim, "[]", R"(,"note":{"schema":5,"schema":6,"claim":{}})")), "ok");
  // Any number syntax, whatever its size, is fine where nothing reads it.
  EXPECT_EQ(outcome(receipt_with(kClaim, "[]", ",\"note\":[1e99999,-0,18446744073709551616" +
                                                   std::string(5000, '9') + "]")),
            "ok");
  // A difference ignores its rounding, whatever it holds and wherever it stands.
  const auto r = ev::read_receipt(with_operation(R"({"round_dp":"x","op":"difference","round_dp":[{}]})"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->derivation->operation, (ev::Operation{ev::OperationKind::Difference, std::nullopt}));
}

TEST(ReadReceiptOperation, RoundingBeforeTheTag) {
  const auto r = ev::read_receipt(with_operation(R"({"round_dp":7,"op":"growth_rate"})"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->derivation->operation, (ev::Operation{ev::OperationKind::GrowthRate, 7}));
  const std::string early_bad = with_operation(R"({"round_dp":"x","op":"ratio"})");
  EXPECT_EQ(outcome(early_bad),
            "invalid type: string \"x\", expected u32 at line 1 column " + after(early_bad, "\"x\""));
  const std::string early_map = with_operation(R"({"round_dp":{"a":1},"op":"ratio"})");
  EXPECT_EQ(outcome(early_map),
            "invalid type: map, expected u32 at line 1 column " + after(early_map, "\"round_dp\":"));
  // The syntax of an early rounding is checked at once.
  const std::string early_syntax = with_operation(R"({"round_dp":[1,,"op":"ratio"})");
  EXPECT_EQ(outcome(early_syntax), "expected value at line 1 column " + after(early_syntax, "[1,,"));
}

TEST(ReadReceiptDepth, HundredTwentyEightLevelsAndNoMore) {
  // The receipt object is level 1, so a skipped member may open 127 more.
  auto nested = [](int levels) {
    return receipt_with(kClaim, "[]", ",\"note\":" + std::string(levels, '[') + std::string(levels, ']'));
  };
  EXPECT_EQ(outcome(nested(127)), "ok");
  const std::string too_deep = nested(128);
  EXPECT_EQ(outcome(too_deep),
            "recursion limit exceeded at line 1 column " + after(too_deep, "\"note\":" + std::string(128, '[')));
  // Typed records count too: receipt, evidence list, evidence, locator, byte range.
  const std::string deep_typed =
      receipt_with(kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h","n":)" + std::string(124, '[') +
                               std::string(124, ']') + R"(},"locator":{"profile":"xbrl","concept":"c","context_ref":"x"},"extraction":{"engine":"e"}}])");
  EXPECT_EQ(outcome(deep_typed), "ok");
  const std::string objects = receipt_with(kClaim, "[]", ",\"n\":" + [] {
    std::string s;
    for (int i = 0; i < 128; ++i) s += "{\"a\":";
    return s;
  }());
  EXPECT_EQ(outcome(objects), "recursion limit exceeded at line 1 column " +
                                  std::to_string(objects.find("{\"a\":") + 127 * 5 + 1));
}

TEST(ReadReceiptHostile, HugeNestingFailsFastWithoutRecursion) {
  const std::string arrays = "{\"note\":" + std::string(1000000, '[');
  EXPECT_EQ(outcome(arrays), "recursion limit exceeded at line 1 column 136");
  std::string objects = "{\"note\":";
  for (int i = 0; i < 200000; ++i) objects += "{\"a\":";
  EXPECT_EQ(outcome(objects), "recursion limit exceeded at line 1 column " + std::to_string(8 + 127 * 5 + 1));
  // At the top the first bracket starts a positional receipt whose schema is not a string.
  EXPECT_EQ(outcome(std::string(1000000, '[')), "invalid type: sequence, expected a string at line 1 column 1");
  EXPECT_EQ(outcome(std::string(1000000, '{')), "key must be a string at line 1 column 2");
}

TEST(ReadReceiptHostile, LongStringsAndNumbers) {
  const std::string big(1 << 20, 'v');
  const auto r = ev::read_receipt(receipt_with(R"({"value":")" + big + R"(","kind":"stated","doc_id":"d"})", "[]"));
  ASSERT_TRUE(r.has_value()) << r.error();
  EXPECT_EQ(r->claim.value, big);
  std::string escaped;
  for (int i = 0; i < 200000; ++i) escaped += "\\u00e9\\n";
  const auto e = ev::read_receipt(receipt_with(R"({"value":")" + escaped + R"(","kind":"stated","doc_id":"d"})", "[]"));
  ASSERT_TRUE(e.has_value()) << e.error();
  EXPECT_EQ(e->claim.value.size(), 600000u);
  // An unterminated megabyte string ends at the end of the input.
  const std::string open = R"({"schema":")" + big;
  EXPECT_EQ(outcome(open), "EOF while parsing a string at line 1 column " + std::to_string(open.size()));
  const std::string digits = std::string(5000, '9');
  EXPECT_EQ(outcome(R"({"schema":)" + digits + "}"), "number out of range at line 1 column 5010");
  EXPECT_EQ(outcome(R"({"schema":0.)" + std::string(5000, '0') + "1}"),
            "invalid type: floating point `0.0`, expected a string at line 1 column 5013");
  EXPECT_EQ(outcome(R"({"schema":1e-)" + digits + "}"),
            "invalid type: floating point `0.0`, expected a string at line 1 column 5013");
  EXPECT_EQ(outcome(R"({"schema":1e)" + digits + "}"), "number out of range at line 1 column 5012");
  const std::string dp = with_operation(R"({"op":"ratio","round_dp":)" + digits + "}");
  EXPECT_EQ(outcome(dp), "number out of range at line 1 column " + after(dp, digits));
}

TEST(ReadReceiptHostile, NeverReadsPastTheEnd) {
  // Every prefix of a valid receipt fails cleanly (AddressSanitizer checks the reads).
  const std::string full =
      R"({"schema":"er/0.2","receipt_id":"er_\u0078","claim":["1.5",null,"derived","d"],)"
      R"("evidence":[[["u","h",null,"a"],["xbrl","c","x","u",[1,2]],["e"]]],)"
      R"("derivation":[["ratio",4],[["a","1.0e3","r"]]],"attestation":{"alg":"a","public_key":"k","sig":"\ud83d\ude00"}})";
  ASSERT_EQ(outcome(full), "ok");
  for (std::size_t n = 0; n < full.size(); ++n) {
    const std::string prefix = full.substr(0, n);
    const auto r = ev::read_receipt(std::string_view(prefix.data(), n));
    EXPECT_FALSE(r.has_value()) << n;
  }
}

TEST(ReadReceiptPositional, RecordsAsArrays) {
  const std::string positional =
      R"(["er/0.2","er_x",["1","usd","stated","d"],[[["u","h",null,"a"],["xbrl","c","x",null,[5,9]],["e"]]],)"
      R"([["growth_rate",2],[["er_a","1","base"]]],["ed25519","k","s"]])";
  const auto r = ev::read_receipt(positional);
  ASSERT_TRUE(r.has_value()) << r.error();
  ev::Receipt expected;
  expected.schema = "er/0.2";
  expected.receipt_id = "er_x";
  expected.claim = {"1", "usd", ev::ClaimKind::Stated, "d"};
  expected.evidence.push_back({{"u", "h", std::nullopt, "a"}, {"c", "x", std::nullopt, ev::ByteRange{5, 9}}, {"e"}});
  expected.derivation = ev::Derivation{{ev::OperationKind::GrowthRate, 2}, {{"er_a", "1", "base"}}};
  expected.attestation = ev::Attestation{"ed25519", "k", "s"};
  EXPECT_EQ(*r, expected);
  const auto diff = ev::read_receipt(with_operation(R"(["difference",1,{"x":[]}])"));
  ASSERT_TRUE(diff.has_value()) << diff.error();
  EXPECT_EQ(diff->derivation->operation, (ev::Operation{ev::OperationKind::Difference, std::nullopt}));
}

TEST(ReadReceiptPositional, TooFewAndTooMany) {
  const std::string claim = receipt_with(R"(["1"])", "[]");
  EXPECT_EQ(outcome(claim), "invalid length 1, expected struct Claim with 4 elements at line 1 column " +
                                after(claim, "[\"1\"]"));
  EXPECT_EQ(outcome(R"(["s","r"])"), "invalid length 2, expected struct Receipt with 6 elements at line 1 column 9");
  EXPECT_EQ(outcome("[]"), "invalid length 0, expected struct Receipt with 6 elements at line 1 column 2");
  const std::string extraction = receipt_with(kClaim, R"([[["u","h",null,null],["xbrl","c","x",null,null],[]]])");
  EXPECT_EQ(outcome(extraction), "invalid length 0, expected struct Extraction with 1 element at line 1 column " +
                                     after(extraction, "[]"));
  const std::string range = with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1]})");
  EXPECT_EQ(outcome(range), "invalid length 1, expected a tuple of size 2 at line 1 column " + after(range, "[1]"));
  const std::string range3 = with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1,2,3]})");
  EXPECT_EQ(outcome(range3), "trailing characters at line 1 column " + after(range3, "[1,2,3"));
  const std::string range_comma = with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[1,2,]})");
  EXPECT_EQ(outcome(range_comma), "trailing comma at line 1 column " + after(range_comma, "[1,2,]"));
  const std::string claim5 = receipt_with(R"(["1",null,"stated","d","extra"])", "[]");
  EXPECT_EQ(outcome(claim5), "trailing characters at line 1 column " + after(claim5, "\"d\",\""));
  // Tagged records: the tag comes first, and the rest counts as the variant's fields.
  const std::string no_tag = with_locator("[]");
  EXPECT_EQ(outcome(no_tag), "missing field `profile` at line 1 column " + after(no_tag, "[]"));
  const std::string short_loc = with_locator(R"(["xbrl","c"])");
  EXPECT_EQ(outcome(short_loc), "invalid length 1, expected struct XbrlLocator with 4 elements at line 1 column " +
                                    after(short_loc, "\"c\"]"));
  const std::string bad_tag = with_locator(R"(["XBRL"])");
  EXPECT_EQ(outcome(bad_tag), "unknown variant `XBRL`, expected `xbrl` at line 1 column " + after(bad_tag, "\"XBRL\""));
  const std::string no_op = with_operation("[]");
  EXPECT_EQ(outcome(no_op), "missing field `op` at line 1 column " + after(no_op, "\"operation\":[]"));
  const std::string ratio = with_operation(R"(["ratio"])");
  EXPECT_EQ(outcome(ratio), "invalid length 0, expected struct variant Operation::Ratio with 1 element at line 1 column " +
                                after(ratio, "[\"ratio\"]"));
  const std::string growth = with_operation(R"(["growth_rate"])");
  EXPECT_EQ(outcome(growth),
            "invalid length 0, expected struct variant Operation::GrowthRate with 1 element at line 1 column " +
                after(growth, "[\"growth_rate\"]"));
  const std::string ratio3 = with_operation(R"(["ratio",null,1])");
  EXPECT_EQ(outcome(ratio3), "trailing characters at line 1 column " + after(ratio3, "null,1"));
}

TEST(ReadReceiptHostile, MutatedReceiptsEitherFailOrRoundTrip) {
  // Deterministic byte mutations of a receipt that uses every member: each
  // result is an error or a receipt whose written form reads back equal.
  const std::string seed =
      R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1.5","unit":"u\u00e9","kind":"derived","doc_id":"d\n"},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","retrieved_at":"t","authority":null},)"
      R"("locator":["xbrl","c","x",null,[1,2]],"extraction":{"engine":"e"}}],)"
      R"("derivation":{"operation":{"round_dp":3,"op":"ratio"},"inputs":[["a","1","r"]]},"note":[{"a":[1e5,-0.5]}],)"
      R"("attestation":{"alg":"a","public_key":"k","sig":"\ud83d\ude00"}})";
  const std::string alphabet = "{}[],:\"\\-+.0123456789eEnulltruefalsexbrl \t\nu";
  std::uint64_t state = 0x9E3779B97F4A7C15ull;
  auto next = [&state] {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    return state;
  };
  int accepted = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string text = seed;
    const int edits = 1 + static_cast<int>(next() % 3);
    for (int e = 0; e < edits; ++e) {
      const std::size_t pos = next() % text.size();
      const char c = alphabet[next() % alphabet.size()];
      switch (next() % 3) {
        case 0:
          text[pos] = c;
          break;
        case 1:
          text.insert(text.begin() + static_cast<std::ptrdiff_t>(pos), c);
          break;
        default:
          text.erase(pos, 1);
          break;
      }
    }
    const auto r = ev::read_receipt(text);
    if (!r) {
      EXPECT_NE(r.error().find(" at line "), std::string::npos) << r.error();
      continue;
    }
    ++accepted;
    std::string out;
    ev::write_receipt(*r, out);
    const auto back = ev::read_receipt(out);
    ASSERT_TRUE(back.has_value()) << back.error() << "\n" << text;
    EXPECT_EQ(*back, *r) << text;
  }
  EXPECT_GT(accepted, 0);
}

// Reading over a reused receipt gives what a fresh read gives, whatever the
// previous text set: members absent now are absent, lists take the new
// length, and a text that failed to read leaves nothing behind for the next.
TEST(ReadReceiptInto, AReusedReceiptEqualsAFreshRead) {
  const std::string full =
      R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"-1.50","unit":"usd","kind":"derived","doc_id":"d"},)"
      R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","retrieved_at":"t","authority":"a"},)"
      R"("locator":{"profile":"xbrl","concept":"p:c","context_ref":"x","unit_ref":"usd","byte_range":[7,8]},)"
      R"("extraction":{"engine":"e"}},)" +
      kEvidence +
      R"(],"derivation":{"operation":{"op":"ratio","round_dp":2},)"
      R"("inputs":[{"receipt_id":"er_a","value":"2","role":"n"},{"receipt_id":"er_b","value":"3","role":"d"}]},)"
      R"("attestation":{"alg":"ed25519","public_key":"k","sig":"s"}})";
  const std::string plain = receipt_with(kClaim, "[" + kEvidence + "]");
  const std::string positional =
      R"(["er/0.2","er_p",["7",null,"stated","d"],[[["u","h",null,null],["xbrl","c","x",null,null],["e"]]],null,null])";
  const std::string fewer_inputs = with_operation(R"({"op":"difference"})");
  const std::string broken = receipt_with(kClaim, "[" + kEvidence + ",{]");

  ev::Receipt reused;
  for (const std::string* text : {&full, &plain, &full, &positional, &fewer_inputs, &full, &broken, &plain,
                                  &fewer_inputs}) {
    const auto fresh = ev::read_receipt(*text);
    const auto into = ev::read_receipt_into(*text, reused);
    ASSERT_EQ(fresh.has_value(), into.has_value()) << *text;
    if (!fresh) {
      EXPECT_EQ(into.error(), fresh.error());
      continue;
    }
    EXPECT_EQ(reused, *fresh) << *text;
  }
  EXPECT_EQ(ev::read_receipt_into(broken, reused).error(), "key must be a string at line 1 column " + after(broken, ",{]"));
}

// The direct path for texts written as write_receipt writes them must agree
// with the schema-driven reader on every text: the same receipt or the same
// error. Canonical lines and every one-byte deletion or change of them are
// compared; whenever slices are given they are what the writer writes.
TEST(ReadReceiptInto, TheDirectPathAgreesWithTheReaderOnEveryNearbyText) {
  ev::Receipt full;
  full.schema = "er/0.2";
  full.receipt_id = "er_0123";
  full.claim = {"-1.5", "usd", ev::ClaimKind::Stated, "doc \xC3\xA9"};
  full.evidence.push_back({{"u", "h", "t", "a"},
                           {"p:c", "x", "usd", ev::ByteRange{0, 18446744073709551615ULL}},
                           {"e"}});
  full.evidence.push_back({{"u2", "h2", std::nullopt, std::nullopt}, {"p:d", "y", std::nullopt, std::nullopt}, {""}});
  ev::Receipt plain;
  plain.schema = "er/0.2";
  plain.receipt_id = "er_1";
  plain.claim = {"7", std::nullopt, ev::ClaimKind::Derived, ""};
  plain.evidence.push_back({{"u", "h", std::nullopt, "a"}, {"c", "x", "", ev::ByteRange{10, 200}}, {"e"}});
  ev::Receipt none = plain;
  none.evidence.clear();
  ev::Receipt signed_receipt = plain;
  signed_receipt.attestation = ev::Attestation{"ed25519", "k", "s"};

  std::vector<std::string> texts;
  for (const ev::Receipt* r : {&full, &plain, &none, &signed_receipt}) {
    std::string line;
    ev::write_receipt(*r, line);
    texts.push_back(line);
  }
  const std::vector<std::string> originals = texts;
  for (const std::string& line : originals) {
    for (std::size_t i = 0; i < line.size(); ++i) {
      texts.push_back(line.substr(0, i) + line.substr(i + 1));
      for (const char c : {' ', '"', '\\', 'n', '0', '9', ',', '}', ']', '[', '\x01', '-', '.', 'e', 'x'}) {
        if (line[i] == c) continue;
        std::string changed = line;
        changed[i] = c;
        texts.push_back(std::move(changed));
      }
    }
    texts.push_back(line + " ");
    texts.push_back(line + "x");
  }

  ev::Receipt reused = full;
  std::size_t direct = 0;
  for (const std::string& text : texts) {
    const auto fresh = ev::read_receipt(text);
    ev::CanonicalSlices slices{"stale", "stale"};
    const auto into = ev::read_receipt_into(text, reused, &slices);
    ASSERT_EQ(fresh.has_value(), into.has_value()) << text;
    if (!fresh) {
      ASSERT_EQ(into.error(), fresh.error()) << text;
      EXPECT_FALSE(slices.present()) << text;
      continue;
    }
    ASSERT_EQ(reused, *fresh) << text;
    if (!slices.present()) {
      EXPECT_TRUE(slices.evidence.empty());
      continue;
    }
    ++direct;
    std::string claim;
    ev::write_claim(fresh->claim, claim);
    std::string evidence;
    ev::write_evidence_list(fresh->evidence, evidence);
    EXPECT_EQ(slices.claim, claim) << text;
    EXPECT_EQ(slices.evidence, evidence) << text;
    EXPECT_FALSE(fresh->attestation.has_value()) << text;
  }
  // The three unsigned originals, and changes that keep the text canonical
  // (a digit or letter inside a string, a shorter string).
  EXPECT_GT(direct, 100u);
  std::string written;
  ev::write_receipt(full, written);
  ev::CanonicalSlices slices;
  ASSERT_TRUE(ev::read_receipt_into(written, reused, &slices).has_value());
  EXPECT_TRUE(slices.present());
  EXPECT_EQ(reused, full);
}
