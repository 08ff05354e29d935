#include "quorrel/evidence/derived.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
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
  const auto position = [&](std::string_view id) -> std::optional<std::size_t> {
    const ev::ReceiptIndex::Parent* parent = index.find(id);
    if (parent == nullptr) return std::nullopt;
    EXPECT_EQ(parent->receipt_id, id);
    EXPECT_EQ(parent->claimed_value, receipts[parent->position].claim.value);
    return parent->position;
  };
  EXPECT_EQ(position(receipts[0].receipt_id), 0U);
  EXPECT_EQ(position(receipts[2].receipt_id), 2U);
  EXPECT_EQ(position("er_b"), 3U);
  EXPECT_EQ(position("er_a"), 4U);
  EXPECT_EQ(position("er_"), std::nullopt);
  EXPECT_EQ(position("er_c"), std::nullopt);
  EXPECT_EQ(position(""), std::nullopt);
  EXPECT_TRUE(index.intact(receipts[0].receipt_id));
  EXPECT_FALSE(index.intact("er_b"));  // its body hashes elsewhere
  EXPECT_FALSE(index.intact("er_missing"));
}

TEST(ReceiptIndex, WhatTheCallerKnowsIsTakenAsGiven) {
  // Integrity already worked out is not worked out again; unknown integrity
  // is worked out from the receipt named.
  const ev::Receipt good = stated("1");
  ev::Receipt bad = stated("2");
  bad.claim.unit.reset();  // no longer hashes to its id
  std::vector<ev::ReceiptIndex::Parent> parents(4);
  parents[0] = {"er_x", "10", 0, 1, nullptr};
  parents[1] = {"er_y", "20", 1, 0, nullptr};
  parents[2] = {good.receipt_id, "1", 2, -1, &good};
  parents[3] = {bad.receipt_id, "2", 3, -1, &bad};
  const ev::ReceiptIndex index(std::move(parents));
  ASSERT_NE(index.find("er_x"), nullptr);
  EXPECT_EQ(index.find("er_x")->claimed_value, "10");
  EXPECT_EQ(index.find("er_y")->position, 1U);
  EXPECT_TRUE(index.intact("er_x"));
  EXPECT_FALSE(index.intact("er_y"));
  EXPECT_TRUE(index.intact(good.receipt_id));
  EXPECT_FALSE(index.intact(bad.receipt_id));
  EXPECT_EQ(index.find("er_z"), nullptr);
}

TEST(ReceiptIndex, EmptyBatch) {
  const std::vector<ev::Receipt> none;
  const ev::ReceiptIndex index(none);
  EXPECT_EQ(index.find("er_a"), nullptr);
  EXPECT_FALSE(index.intact("er_a"));
}
