#include "quorrel/evidence/derived.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "quorrel/evidence/canonical.hpp"

namespace ev = quorrel::evidence;

namespace {

ev::Receipt stated(std::string value) {
  ev::Receipt r;
  r.schema = std::string(ev::kSchema);
  r.claim = {std::move(value), "usd", ev::ClaimKind::Stated, "d"};
  r.evidence.push_back({{"u", "h", std::nullopt, std::nullopt},
                        {"ex:A", "c", "usd", ev::ByteRange{1, 2}},
                        {std::string(ev::kEngine)}});
  r.receipt_id = ev::receipt_id_for(r.claim, r.evidence, r.derivation).value();
  return r;
}

}  // namespace

TEST(ReceiptIndex, FindsByIdAndTheLastOfSeveralWins) {
  std::vector<ev::Receipt> receipts = {stated("1"), stated("2"), stated("3"), stated("4"), stated("5")};
  receipts[1].receipt_id = "er_b";
  receipts[3].receipt_id = "er_b";  // same id again: this one counts
  receipts[4].receipt_id = "er_a";
  const ev::ReceiptIndex index(receipts);
  EXPECT_EQ(index.find(receipts[0].receipt_id), &receipts[0]);
  EXPECT_EQ(index.find(receipts[2].receipt_id), &receipts[2]);
  EXPECT_EQ(index.find("er_b"), &receipts[3]);
  EXPECT_EQ(index.find("er_a"), &receipts[4]);
  EXPECT_EQ(index.find("er_"), nullptr);
  EXPECT_EQ(index.find("er_c"), nullptr);
  EXPECT_EQ(index.find(""), nullptr);
  EXPECT_TRUE(index.intact(receipts[0].receipt_id));
  EXPECT_FALSE(index.intact("er_b"));  // its body hashes elsewhere
  EXPECT_FALSE(index.intact("er_missing"));
}

TEST(ReceiptIndex, EmptyBatch) {
  const std::vector<ev::Receipt> none;
  const ev::ReceiptIndex index(none);
  EXPECT_EQ(index.find("er_a"), nullptr);
  EXPECT_FALSE(index.intact("er_a"));
}
