// The receipt as JSON. Written: its line, canonical body and id. Read: every member, named or positional; the exact message and
// position of every error, alike in both modes; depth and size limits. (That
// view mode takes the claim and evidence list as written only when the writer
// would write them so is the README recipe test's, on receipts re-spelled.)

#include "quorrel/evidence/receipt_reader.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorrel/evidence/canonical.hpp"
#include "support.hpp"

namespace ev = quorrel::evidence;
using quorrel::evidence::test::written;

namespace {

// The outcome as one text, "ok" or the error message, after checking that
// view mode (over one reused view) reads the same receipt or the same error.
std::string outcome(std::string_view json) {
  static ev::ViewedReceipt viewed;
  const auto r = ev::read_receipt(json);
  const auto v = ev::read_receipt(json, viewed);
  EXPECT_TRUE(r && v ? ev::with_texts<std::string>(viewed.receipt) == *r : !r && !v && r.error() == v.error()) << json;
  return r ? "ok" : r.error().render();
}

const std::string kClaim = R"({"value":"1","kind":"stated","doc_id":"d"})";
const std::string kEvidence =
    R"({"source_artifact":{"uri":"u","sha256":"h"},"locator":{"profile":"xbrl","concept":"c","context_ref":"x"},"extraction":{"engine":"e"}})";

std::string receipt_with(std::string_view claim, std::string_view evidence_list, std::string_view extra = "") {
  return R"({"schema":"er/0.2","receipt_id":"er_x","claim":)" + std::string(claim) + R"(,"evidence":)" +
         std::string(evidence_list) + std::string(extra) + "}";
}
std::string with_value(std::string_view value) {
  return receipt_with(R"({"value":)" + std::string(value) + R"(,"kind":"stated","doc_id":"d"})", "[]");
}
std::string with_kind(std::string_view kind) {
  return receipt_with(R"({"value":"1","kind":)" + std::string(kind) + R"(,"doc_id":"d"})", "[]");
}
std::string with_locator(std::string_view locator) {
  return receipt_with(kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h"},"locator":)" + std::string(locator) +
                                  R"(,"extraction":{"engine":"e"}}])");
}
std::string with_range(std::string_view range) {
  return with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":)" + std::string(range) + "}");
}
std::string with_operation(std::string_view operation) {
  return receipt_with(R"({"value":"1","kind":"derived","doc_id":"d"})", "[]",
                      R"(,"derivation":{"operation":)" + std::string(operation) + R"(,"inputs":[]})");
}

// Column just past the first occurrence of `marker` in `text`.
std::string after(const std::string& text, std::string_view marker) {
  return std::to_string(text.find(marker) + marker.size());
}

ev::Receipt full_receipt() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.receipt_id = "er_x";
  r.claim = {"-1.50", "usd", ev::ClaimKind::Derived, "d"};
  r.evidence.push_back({{"u", "h", "t", "a"}, {"p:c", "x", "usd", ev::ByteRange{7, 18446744073709551615ull}}, {"e"}});
  r.derivation = ev::Derivation{{ev::OperationKind::GrowthRate, 4294967295u}, {{"er_a", "2", "base"}}};
  r.attestation = ev::Attestation{"ed25519", "k", "s"};
  return r;
}

ev::Receipt stated_revenue() {
  ev::Receipt r;
  r.schema = "er/0.2";
  r.receipt_id = "er_x";
  r.claim = {"1500000", "usd", ev::ClaimKind::Stated, "doc-1"};
  r.evidence.push_back({{"https://example.com/a.htm", "abc", std::nullopt, std::nullopt},
                        {"us-gaap:Revenues", "c-1", "usd", ev::ByteRange{120, 245}},
                        {std::string(ev::kEngine)}});
  return r;
}

std::string body(const ev::Receipt& r) { return ev::canonical_body(r.claim, r.evidence, r.derivation); }

constexpr const char* kRevenueEvidence =
    R"([{"source_artifact":{"uri":"https://example.com/a.htm","sha256":"abc"},)"
    R"("locator":{"profile":"xbrl","concept":"us-gaap:Revenues","context_ref":"c-1","unit_ref":"usd","byte_range":[120,245]},)"
    R"("extraction":{"engine":"quorrel-evidence@0.1.0"}}])";

}  // namespace

TEST(CanonicalBody, BytesAndIdOfStatedAndDerivedReceipts) {
  ev::Receipt r = stated_revenue();
  EXPECT_EQ(body(r), std::string(R"(["er/0.2",{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)") +
                         kRevenueEvidence + ",null]");
  EXPECT_EQ(ev::receipt_id_for(r.claim, r.evidence, r.derivation), "er_30cfdd260bedfbdc7faf65d15125c0fa0795f44d5df5bacb8ec9365334c4e225");
  EXPECT_EQ(written(r), std::string(R"({"schema":"er/0.2","receipt_id":"er_x",)"
                                    R"("claim":{"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"},)"
                                    R"("evidence":)") + kRevenueEvidence + "}");
  // Appended after existing text, telling where the claim and evidence list went.
  std::string out = "prefix";
  const ev::WrittenParts parts = ev::append_canonical_body(r.claim, r.evidence, r.derivation, out);
  EXPECT_EQ(out, "prefix" + body(r));
  EXPECT_EQ(parts.claim.text, R"({"value":"1500000","unit":"usd","kind":"stated","doc_id":"doc-1"})");
  EXPECT_EQ(parts.evidence.text, kRevenueEvidence);

  // Derivations; absent members left out, present empty texts written.
  r.evidence.clear();
  r.claim.unit.reset();
  r.claim.kind = ev::ClaimKind::Derived;
  const std::string head = R"(["er/0.2",{"value":"1500000","kind":"derived","doc_id":"doc-1"},[],)";
  EXPECT_EQ(body(r), head + "null]");
  // Ratios and growth rates with and without rounding are the module tests', against a writer of their own.
  r.derivation = ev::Derivation{{ev::OperationKind::Difference, 3}, {}};  // a difference never writes a rounding
  EXPECT_EQ(body(r), head + R"({"operation":{"op":"difference"},"inputs":[]}])");
  r.derivation->operation = {ev::OperationKind::GrowthRate, 4294967295u};
  r.attestation = ev::Attestation{"ed25519", "ab", "cd"};
  EXPECT_EQ(written(r), R"({"schema":"er/0.2","receipt_id":"er_x","claim":{"value":"1500000","kind":"derived",)"
                        R"("doc_id":"doc-1"},"evidence":[],"derivation":{"operation":{"op":"growth_rate",)"
                        R"("round_dp":4294967295},"inputs":[]},"attestation":{"alg":"ed25519","public_key":"ab","sig":"cd"}})");
  out.clear();
  ev::write_json(ev::SourceArtifact{"", "", "", ""}, out);
  ev::write_json(ev::Locator{"c", "x", std::nullopt, ev::ByteRange{0, 18446744073709551615ull}}, out);
  ev::write_json(ev::Locator{"c", "x", std::nullopt, std::nullopt}, out);
  EXPECT_EQ(out, R"({"uri":"","sha256":"","retrieved_at":"","authority":""})"
                 R"({"profile":"xbrl","concept":"c","context_ref":"x","byte_range":[0,18446744073709551615]})"
                 R"({"profile":"xbrl","concept":"c","context_ref":"x"})");
}

TEST(ReadReceipt, EveryMemberNamedOrPositionalInAnyOrder) {
  // As written; positionally; and in any order with white space, the claim kind as a map, the
  // locator with an unknown member (read as a generic value) and the operation's rounding first.
  const std::string texts[] = {
      written(full_receipt()),
      R"(["er/0.2","er_x",["-1.50","usd","derived","d"],[[["u","h","t","a"],["xbrl","p:c","x","usd",[7,18446744073709551615]],)"
      R"(["e"]]],[["growth_rate",4294967295],[["er_a","2","base"]]],["ed25519","k","s"]])",
      " \t\r\n{ \"attestation\" : {\"sig\":\"s\",\"public_key\":\"k\",\"alg\":\"ed25519\"}, \"derivation\":{\"inputs\":"
      "[[\"er_a\",\"2\",\"base\"]],\"operation\":{\"round_dp\":4294967295,\"op\":\"growth_rate\",\"n\":[1e300]}},\n"
      "\"evidence\":[{\"extraction\":[\"e\"],\"locator\":{ \"byte_range\":[7,18446744073709551615],\"n\":{\"a\":[]},"
      "\"unit_ref\":\"usd\",\"context_ref\":\"x\",\"profile\":\"xbrl\",\"concept\":\"p:c\"},\"source_artifact\":"
      "{\"authority\":\"a\",\"retrieved_at\":\"t\",\"sha256\":\"h\",\"uri\":\"u\"}}],\"claim\":{\"doc_id\":\"d\","
      "\"kind\":{ \"derived\" : null },\"unit\":\"usd\",\"value\":\"-1.50\"},\"receipt_id\":\"er_x\",\"schema\":\"er/0.2\" } \r\n",
  };
  for (const std::string& text : texts) {
    ASSERT_EQ(outcome(text), "ok");
    EXPECT_EQ(ev::read_receipt(text).value(), full_receipt()) << text;
  }
  // Null optional members read as absent, and texts are not judged.
  EXPECT_EQ(written(ev::read_receipt(receipt_with(
                R"({"value":"abc","unit":null,"kind":"stated","doc_id":""})",
                R"([{"source_artifact":{"uri":"u","sha256":"h","retrieved_at":null,"authority":null},)"
                R"("locator":{"profile":"xbrl","concept":"c","context_ref":"x","unit_ref":null,"byte_range":null},)"
                R"("extraction":{"engine":"e"}}])", R"(,"derivation":null,"attestation":null)")).value()),
            receipt_with(R"({"value":"abc","kind":"stated","doc_id":""})", "[" + kEvidence + "]"));
  using K = ev::OperationKind;
  const std::pair<std::string, ev::Operation> operations[] = {  // a difference ignores its rounding, whatever it holds
      {R"({"op":"ratio","round_dp":null})", {K::Ratio, {}}}, {R"({"round_dp":7,"op":"growth_rate"})", {K::GrowthRate, 7}},
      {R"(["ratio",7])", {K::Ratio, 7}}, {R"(["difference"])", {K::Difference, {}}},
      {R"({"round_dp":"x","op":"difference","round_dp":[{}]})", {K::Difference, {}}}};
  for (const auto& [text, operation] : operations) {
    EXPECT_EQ(ev::read_receipt(with_operation(text)).value().derivation->operation, operation) << text;
  }
  // Every escape decoded (that any text the writer writes reads back is the fuzz target's).
  EXPECT_EQ(ev::read_receipt(with_value(R"("\"\\\/\b\f\n\r\t\u00e9\u20AC\ud83d\ude00\u0000\u007f")"))->claim.value,
            std::string("\"\\/\b\f\n\r\t\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", 17) + '\0' + "\x7f");
  // Unknown members at every level are skipped and not written again.
  EXPECT_EQ(written(ev::read_receipt(
                R"({"a":{"b":[1,-2.5e-3,true,false,null,"s\"\u1234",{},[]]},"schema":"er/0.2","receipt_id":"er_x",)"
                R"("claim":{"value":"1","x":{"kind":5},"kind":"stated","doc_id":"d"},)"
                R"("evidence":[{"source_artifact":{"uri":"u","sha256":"h","y":1},)"
                R"("locator":{"profile":"xbrl","concept":"c","context_ref":"x","z":[{"profile":"XBRL"}]},)"
                R"("extraction":{"engine":"e","w":"v"},"q":null}],"note":{"schema":5,"schema":6},"note":[1e99999,-0]})")
                        .value()),
            receipt_with(kClaim, "[" + kEvidence + "]"));
}

TEST(ReadReceipt, EveryErrorWithItsPosition) {
  struct Case {
    std::string json;
    std::string message;
    std::string marker;  // when given, the error point is just past it on line 1
  };
  const std::string ok = receipt_with(kClaim, "[]");
  const std::string list = R"({"schema":"s","receipt_id":"r","claim":{"value":"1","kind":"stated","doc_id":"d"},"evidence":[)";
  const std::string kNotText = "invalid type: integer `5`, expected a string";
  const std::string kAt18 = "expected value at line 1 column 18";
  const std::vector<Case> cases = {
      // Position anchors: a byte-order mark is no white space; lines count line feeds.
      {"{}", "missing field `schema` at line 1 column 2", ""}, {"\xef\xbb\xbf{}", "expected value at line 1 column 1", ""},
      {"   ", "EOF while parsing a value at line 1 column 3", ""},
      {"{\n\"schema\":\"s\",\n  \"claim\": 5}", "invalid type: integer `5`, expected struct Claim at line 3 column 12", ""},
      // Missing fields, in declaration order, reported at the closing brace.
      {R"({"evidence":[],"claim":{},"receipt_id":"r"})", "missing field `value` at line 1 column 25", ""},
      {R"({"schema":"s","evidence":[],"attestation":null})", "missing field `receipt_id` at line 1 column 47", ""},
      {receipt_with(R"({"doc_id":"d","value":"1"})", "[]"), "missing field `kind`", "\"1\"}"},
      {with_locator(R"({"profile":"xbrl","concept":"c"})"), "missing field `context_ref`", "\"c\"}"},
      {receipt_with(kClaim, R"([{"source_artifact":{"uri":"u","sha256":"h"}}])"), "missing field `locator`", "\"h\"}}"},
      {receipt_with(kClaim, "[]", R"(,"derivation":{"operation":{"op":"difference"},"inputs":[{"value":"1","receipt_id":"a"}]})"),
       "missing field `role`", "\"a\"}"},
      {receipt_with(kClaim, "[]", R"(,"attestation":{"alg":"a","public_key":"k"})"), "missing field `sig`", "\"k\"}"},
      // Duplicates are found at their key, past the white space after it; unknown members may repeat.
      {R"({"schema":"s","schema":)", "duplicate field `schema` at line 1 column 22", ""},
      {R"({"schema":"a","schema" :"b"})", "duplicate field `schema` at line 1 column 23", ""},
      {receipt_with(R"({"value":"1","unit":null,"unit":"u"})", "[]"), "duplicate field `unit`", "null,\"unit\""},
      {receipt_with(kClaim, "[]", R"(,"note":1,"note":2)"), "ok", ""},
      // Unknown variants, matched after escapes are decoded, listing two as "or" and more as "one of".
      {with_locator(R"({"profile":"XBRL","concept":"c","context_ref":"x"})"), "unknown variant `XBRL`, expected `xbrl`", "\"XBRL\""},
      {with_locator(R"({"profile":"\u0078brl","concept":"c","context_ref":"x"})"), "ok", ""},
      {with_kind(R"("Stated")"), "unknown variant `Stated`, expected `stated` or `derived`", "\"Stated\""},
      {R"({"derivation":{"operation":{"op":"sum"}}})",
       "unknown variant `sum`, expected one of `ratio`, `difference`, `growth_rate` at line 1 column 38", ""},
      // The claim kind is a string or a map of one variant to null; any other value is no value.
      {with_kind(R"({"stated":null})"), "ok", ""}, {with_kind(R"({"derived" : null })"), "ok", ""},
      {R"({"claim":{"kind":{"x":null}}})", "unknown variant `x`, expected `stated` or `derived` at line 1 column 21", ""},
      {R"({"claim":{"kind":{"stated":1}}})", "invalid type: integer `1`, expected unit at line 1 column 28", ""},
      {R"({"claim":{"kind":{"stated":null,"x":1}}})", "expected value at line 1 column 31", ""},
      {R"({"claim":{"kind":{}}})", "expected value at line 1 column 19", ""},
      {R"({"claim":{"kind":{"stated"}}})", "expected `:` at line 1 column 27", ""},
      {R"({"claim":{"kind":7}})", kAt18, ""}, {R"({"claim":{"kind":null}})", kAt18, ""},
      {R"({"claim":{"kind":true}})", kAt18, ""}, {R"({"claim":{"kind":1.5}})", kAt18, ""}, {R"({"claim":{"kind":[]}})", kAt18, ""},
      {R"({"claim":{"kind":nul}})", kAt18, ""}, {R"({"claim":{"kind":01}})", kAt18, ""}, {R"({"claim":{"kind":1e400}})", kAt18, ""},
      // Invalid types and values; arrays and objects are reported where they open.
      {with_value("-7"), "invalid type: integer `-7`, expected a string", "\"value\":-7"},
      {with_value("1.5e2"), "invalid type: floating point `150.0`, expected a string", "1.5e2"},
      {with_value("0.000001"), "invalid type: floating point `0.000001`, expected a string", "0.000001"},
      {with_value("18446744073709551616"), "invalid type: floating point `18446744073709552000.0`, expected a string", "551616"},
      {with_value("false"), "invalid type: boolean `false`, expected a string", "false"},
      {with_value("null"), "invalid type: null, expected a string", "null"},
      {with_value("[1]"), "invalid type: sequence, expected a string", "\"value\":"},
      {with_value("{}"), "invalid type: map, expected a string", "\"value\":"},
      {R"({"schema":1})", "invalid type: integer `1`, expected a string at line 1 column 11", ""},
      {receipt_with("\"c\"", "[]"), "invalid type: string \"c\", expected struct Claim", "\"claim\":\"c\""},
      {receipt_with(kClaim, "[1]"), "invalid type: integer `1`, expected struct Evidence", "[1"},
      {receipt_with(kClaim, "[]", R"(,"attestation":7)"), "invalid type: integer `7`, expected struct Attestation", "7"},
      {receipt_with(kClaim, "\"a\\\"b\\\\c\\t\\u0001\\u007f\\u0085é\""),
       "invalid type: string \"a\\\"b\\\\c\\t\\u{1}\\u{7f}\\u{85}é\", expected a sequence", "é\""},
      // Positional records: too few elements, too many, the tag first.
      {R"(["s","r"])", "invalid length 2, expected struct Receipt with 6 elements at line 1 column 9", ""},
      {receipt_with(R"(["1"])", "[]"), "invalid length 1, expected struct Claim with 4 elements", "[\"1\"]"},
      {receipt_with(kClaim, R"([[["u","h",null,null],["xbrl","c","x",null,null],[]]])"),
       "invalid length 0, expected struct Extraction with 1 element", "[]"},
      {receipt_with(R"(["1",null,"stated","d","extra"])", "[]"), "trailing characters", "\"d\",\""},
      {with_locator("[]"), "missing field `profile`", "[]"},
      {with_locator(R"(["xbrl","c"])"), "invalid length 1, expected struct XbrlLocator with 4 elements", "\"c\"]"},
      {with_operation(R"(["ratio"])"), "invalid length 0, expected struct variant Operation::Ratio with 1 element", "[\"ratio\"]"},
      // A tagged record (locator, operation) is read whole first: its syntax, numbers and tag
      // come before its members, whose errors are placed past it and past the white space and
      // the bracket that close the record around it.
      {with_locator("5"), "invalid type: integer `5`, expected internally tagged enum Locator", "\"locator\":5"},
      {with_operation("\"ratio\""), "invalid type: string \"ratio\", expected internally tagged enum Operation", "\"ratio\""},
      {with_locator(R"({"profile":5})"), "invalid type: integer `5`, expected variant identifier", "\"profile\":5"},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5,"context_ref":"x"}}]})",
       "invalid type: integer `5`, expected a string at line 1 column 73", ""},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5} ,"x":1}]})", kNotText, "5} "},
      {R"({"evidence":[[{"uri":"u","sha256":"h"},{"profile":"xbrl","concept":5} , {}]]})", kNotText, "} , "},
      {R"({"evidence":[{"locator":{"byte_range":[]}}]})", "missing field `profile` at line 1 column 41", ""},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5,"profile":"xbrl"}}]})", "duplicate field `profile`", "5,\"profile\""},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5,"x":[1,]}}]})", "trailing comma", "[1,]"},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5,"x":{"a":1,}}}]})", "trailing comma", "1,}"},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":5,)", "EOF while parsing a value", "5,"},
      {with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","n":1e400})"), "number out of range", "1e400"},
      {with_operation(R"({"op":"difference","round_dp":-1e400})"), "number out of range", "1e400"},
      {R"({"evidence":[{"locator":{"concept":5,"concept":"c","profile":"xbrl"}}]})", kNotText, "\"xbrl\"}}"},
      {R"({"evidence":[{"locator":{"profile":"xbrl","concept":"c","concept":5}}]})", "duplicate field `concept`", "5}}"},
      {R"({"evidence":[{"locator":["xbrl","c","x",null,null,5]}]})",
       "invalid length 5, expected 4 elements in sequence at line 1 column 53", ""},
      {with_range("\"1-2\""), "invalid type: string \"1-2\", expected a tuple of size 2", "\"1-2\"}"},
      {with_range("[1,-2]"), "invalid value: integer `-2`, expected u64", "-2]}"},
      {with_range("[-0,2]"), "invalid type: floating point `-0.0`, expected u64", "2]}"},
      {with_range("[1,18446744073709551616]"), "invalid type: floating point `18446744073709552000.0`, expected u64", "551616]}"},
      {with_range("[1]"), "invalid length 1, expected a tuple of size 2", "[1]}"},
      {with_range("[7,8,9]"), "invalid length 3, expected 2 elements in sequence", "[7,8,9]}"},
      {with_operation(R"({"op":"ratio","round_dp":"2"})"), "invalid type: string \"2\", expected u32", "\"2\"}"},
      {with_operation(R"({"op":"ratio","round_dp":4294967296})"), "invalid value: integer `4294967296`, expected u32", "967296}"},
      {with_operation(R"({"op":"ratio","round_dp":2.5})"), "invalid type: floating point `2.5`, expected u32", "2.5}"},
      {with_operation(R"({"op":"ratio","round_dp":1e400})"), "number out of range", "1e400"},
      {with_operation(R"({"round_dp":"x","op":"ratio"})"), "invalid type: string \"x\", expected u32", "\"ratio\"}"},
      {with_operation(R"({"round_dp":[1,,"op":"ratio"})"), "expected value", "[1,,"},
      {with_operation(R"({"round_dp":2})"), "missing field `op`", "2}"},
      {with_operation(R"({"round_dp":1,"round_dp":2,"op":"ratio"})"), "duplicate field `round_dp`", "\"ratio\"}"},
      {with_operation(R"({"round_dp":1,"round_dp":2,"op":"difference"})"), "ok", ""},
      {R"({"derivation":{"operation":["ratio",1,2]}})", "invalid length 2, expected 1 element in sequence at line 1 column 41", ""},
      {with_operation(R"(["difference",4])"), "invalid length 1, expected 0 elements in sequence", "4]"},
      {with_operation(R"(["difference",null])"), "invalid length 1, expected 0 elements in sequence", "null]"},
      // Syntax, in read members and in skipped ones alike.
      {ok + " {}", "trailing characters at line 1 column " + std::to_string(ok.size() + 2), ""},
      {R"({"schema" "s"})", "expected `:` at line 1 column 11", ""},
      {R"({"schema":"s" "x"})", "expected `,` or `}` at line 1 column 15", ""},
      {R"({"schema":"s",})", "trailing comma at line 1 column 15", ""}, {R"({,})", "key must be a string at line 1 column 2", ""},
      {R"({"schema")", "EOF while parsing an object at line 1 column 9", ""},
      {R"({"schema":"s\)", "EOF while parsing a string at line 1 column 13", ""},
      {list, "EOF while parsing a list at line 1 column 94", ""},
      {list + kEvidence + " " + kEvidence + "]}", "expected `,` or `]` at line 1 column " + std::to_string(96 + kEvidence.size()), ""},
      {list + kEvidence + ",]}", "trailing comma at line 1 column " + std::to_string(96 + kEvidence.size()), ""},
      {"{\"schema\":\"a\nb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0", ""},
      {"{\"note\":\"a\tb\"}", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 10", ""},
      {R"({"schema":"\x"})", "invalid escape at line 1 column 13", ""},
      {R"({"schema":"\u00g0"})", "invalid escape at line 1 column 17", ""},
      {R"({"schema":nulx})", "expected ident at line 1 column 14", ""}, {R"({"schema":01})", "invalid number at line 1 column 12", ""},
      {R"({"schema":1.})", "invalid number at line 1 column 13", ""}, {R"({"schema":+1})", "expected value at line 1 column 11", ""},
      {R"({"schema":-)", "EOF while parsing a value at line 1 column 11", ""},
      {R"({"schema":1e+)", "EOF while parsing a value at line 1 column 13", ""},
      {R"({"note":[1,}])", "expected value at line 1 column 12", ""},
      {R"({"note":{"a":1 "b"}})", "expected `,` or `}` at line 1 column 16", ""},
      {R"({"note":{1:2}})", "key must be a string at line 1 column 10", ""},
      {R"({"note":{"a":[)", "EOF while parsing a list at line 1 column 14", ""},
      {R"({"note":[0x1]})", "expected `,` or `]` at line 1 column 11", ""},
      // Surrogates, in read and in skipped members.
      {R"({"schema":"\udc00"})", "lone leading surrogate in hex escape at line 1 column 17", ""},
      {R"({"schema":"\ud800x"})", "unexpected end of hex escape at line 1 column 18", ""},
      {R"({"schema":"\ud800\n"})", "unexpected end of hex escape at line 1 column 19", ""},
      {R"({"schema":"\ud800\u0041"})", "lone leading surrogate in hex escape at line 1 column 23", ""},
      {R"({"schema":"\ud800\u12)", "EOF while parsing a string at line 1 column 21", ""},
      {R"({"note":["\ud800"]})", "unexpected end of hex escape at line 1 column 17", ""},
  };
  for (const Case& c : cases) {
    const std::string expected =
        c.marker.empty() ? c.message : c.message + " at line 1 column " + after(c.json, c.marker);
    EXPECT_EQ(outcome(c.json), expected) << c.json;
  }
}

TEST(ReadReceiptHostile, DepthLimitWithoutRecursionAndLongTexts) {
  // The receipt object is level 1, so a skipped member may open 127 more; typed records count too.
  auto nested = [](int levels) {
    return receipt_with(kClaim, "[]", ",\"note\":" + std::string(levels, '[') + std::string(levels, ']'));
  };
  EXPECT_EQ(outcome(nested(127)), "ok");
  EXPECT_EQ(outcome(nested(128)), "recursion limit exceeded at line 1 column " +
                                      after(nested(128), "\"note\":" + std::string(128, '[')));
  // Inside a locator (level 4), read as a generic value.
  auto in_locator = [](int levels) {
    return with_locator(R"({"profile":"xbrl","concept":"c","context_ref":"x","n":)" + std::string(levels, '[') +
                        std::string(levels, ']') + "}");
  };
  EXPECT_EQ(outcome(in_locator(124)), "ok");
  EXPECT_EQ(outcome(in_locator(125)), "recursion limit exceeded at line 1 column " +
                                          after(in_locator(125), "\"n\":" + std::string(125, '[')));
  EXPECT_EQ(outcome("{\"note\":" + std::string(1000000, '[')), "recursion limit exceeded at line 1 column 136");
  std::string objects = "{\"note\":";
  for (int i = 0; i < 200000; ++i) objects += "{\"a\":";
  EXPECT_EQ(outcome(objects), "recursion limit exceeded at line 1 column " + std::to_string(8 + 127 * 5 + 1));
  EXPECT_EQ(outcome(std::string(1000000, '[')), "invalid type: sequence, expected a string at line 1 column 1");
  EXPECT_EQ(outcome(std::string(1000000, '{')), "key must be a string at line 1 column 2");
  const std::string big(1 << 20, 'v');
  EXPECT_EQ(ev::read_receipt(with_value("\"" + big + "\""))->claim.value, big);
  EXPECT_EQ(outcome(R"({"schema":")" + big), "EOF while parsing a string at line 1 column " + std::to_string(big.size() + 11));
  const std::string digits(5000, '9');
  EXPECT_EQ(outcome(R"({"schema":)" + digits + "}"), "number out of range at line 1 column 5010");
  EXPECT_EQ(outcome(R"({"schema":1e-)" + digits + "}"),
            "invalid type: floating point `0.0`, expected a string at line 1 column 5013");
  const std::string dp = with_operation(R"({"op":"ratio","round_dp":)" + digits + "}");
  EXPECT_EQ(outcome(dp), "number out of range at line 1 column " + after(dp, digits));
}
