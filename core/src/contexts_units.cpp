// Contexts and units: what the parser collects while inside a context or a unit.

#include <iterator>
#include <string_view>
#include <vector>

#include "instance_parser.hpp"

namespace quorrel::core::detail {
namespace {

// The text last made for a field when it holds this text, else a new one in
// the document's texts that then stands for the field.
SharedString shared_text(SharedString& last, std::string_view text, TextArena& texts) {
  if (last.view() != text) last = SharedString(texts.add(text));
  return last;
}

// The members gathered in a reused list, moved into a list of their own that
// holds exactly them.
std::vector<ContextElement> take_members(std::vector<ContextElement>& gathered) {
  std::vector<ContextElement> members(std::make_move_iterator(gathered.begin()),
                                      std::make_move_iterator(gathered.end()));
  gathered.clear();
  return members;
}

}  // namespace

void InstanceParser::open_context(std::string_view id) {
  ContextBuilder& b = context_builder_;
  b.id.assign(id);
  b.segment.clear();
  b.scenario.clear();
  b.scheme.reset();
  b.identifier.reset();
  b.start_date.reset();
  b.end_date.reset();
  b.period.reset();
  context_ = &b;
  container_ = MemberContainer::None;
}

void InstanceParser::context_start(std::string_view local) {
  if (local == "identifier") {
    if (const auto scheme = attrs_.get("scheme")) {
      context_->scheme = shared_text(last_scheme_, *scheme, *texts_);
    } else {
      context_->scheme.reset();
    }
    target_ = TextTarget{TextTarget::Kind::Identifier, {}, MemberContainer::None, false};
  } else if (local == "segment") {
    container_ = MemberContainer::Segment;
  } else if (local == "scenario") {
    container_ = MemberContainer::Scenario;
  } else if (local == "instant") {
    target_ = TextTarget{TextTarget::Kind::Instant, {}, MemberContainer::None, false};
  } else if (local == "startDate") {
    target_ = TextTarget{TextTarget::Kind::StartDate, {}, MemberContainer::None, false};
  } else if (local == "endDate") {
    target_ = TextTarget{TextTarget::Kind::EndDate, {}, MemberContainer::None, false};
  } else if (local == "forever") {
    context_->period = Forever{};
  } else if (local == "explicitMember") {
    if (auto dimension = attrs_.get("dimension")) {
      target_ = TextTarget{TextTarget::Kind::ExplicitMember, parse_qname_str(*dimension, scope_, false, names_), container_,
                           false};
    }
  }
}

std::expected<void, XbrlError> InstanceParser::typed_member(bool is_empty) {
  QName dimension = parse_qname_str(*attrs_.get("dimension"), scope_, false, names_);
  std::string content;
  if (!is_empty) {
    auto raw = reader_.read_raw_inner();
    if (!raw) return std::unexpected(XbrlError::xml(std::move(raw.error())));
    content = std::string(*raw);
  }
  push_element(container_, TypedMember{std::move(dimension), std::move(content)});
  return {};
}

void InstanceParser::push_element(MemberContainer container, ContextElement element) {
  if (!context_) return;
  switch (container) {
    case MemberContainer::Segment: context_->segment.push_back(std::move(element)); break;
    case MemberContainer::Scenario: context_->scenario.push_back(std::move(element)); break;
    case MemberContainer::None: break;
  }
}

void InstanceParser::finish_context() {
  if (!context_) return;
  ContextBuilder& b = *context_;
  context_ = nullptr;
  Period period;
  if (b.period) {
    period = std::move(*b.period);
  } else if (b.start_date && b.end_date) {
    period = Duration{std::move(*b.start_date), std::move(*b.end_date)};
  } else {
    return;  // no usable period: the context is dropped
  }
  if (!b.scheme || !b.identifier) return;
  Context context{std::move(b.id), Entity{std::move(*b.scheme), shared_text(last_identifier_, *b.identifier, *texts_)},
                  take_members(b.segment), take_members(b.scenario), std::move(period)};
  contexts_read_.push_back(std::move(context));
}

void InstanceParser::open_unit(std::string id) {
  unit_.emplace();
  unit_->id = std::move(id);
}

void InstanceParser::unit_start(std::string_view local) {
  if (local == "measure") {
    target_ = TextTarget{TextTarget::Kind::Measure, {}, MemberContainer::None, unit_->in_denominator};
  } else if (local == "unitNumerator") {
    unit_->in_denominator = false;
  } else if (local == "unitDenominator") {
    unit_->in_denominator = true;
  }
}

void InstanceParser::finish_unit() {
  if (!unit_) return;
  UnitBuilder b = std::move(*unit_);
  unit_.reset();
  units_read_.push_back(Unit{std::move(b.id), std::move(b.numerator), std::move(b.denominator)});
}

std::expected<void, XbrlError> InstanceParser::apply_target(TextTarget target, std::string_view text) {
  switch (target.kind) {
    case TextTarget::Kind::None:
    case TextTarget::Kind::Fact: return {};
    case TextTarget::Kind::Identifier:
      if (context_) context_->identifier = std::string(text);
      return {};
    case TextTarget::Kind::Instant:
      if (context_) context_->period = Instant{std::string(text)};
      return {};
    case TextTarget::Kind::StartDate:
      if (context_) context_->start_date = std::string(text);
      return {};
    case TextTarget::Kind::EndDate:
      if (context_) context_->end_date = std::string(text);
      return {};
    case TextTarget::Kind::ExplicitMember: {
      if (frames_.empty()) return std::unexpected(XbrlError::xml_parse(std::nullopt, "missing namespace scope"));
      QName member = parse_qname_str(text, scope_, false, names_);
      push_element(target.container, ExplicitMember{std::move(target.dimension), std::move(member)});
      return {};
    }
    case TextTarget::Kind::Measure: {
      if (frames_.empty()) return std::unexpected(XbrlError::xml_parse(std::nullopt, "missing namespace scope"));
      QName measure = parse_qname_str(text, scope_, false, names_);
      if (unit_) (target.in_denominator ? unit_->denominator : unit_->numerator).push_back(std::move(measure));
      return {};
    }
  }
  return {};
}

}  // namespace quorrel::core::detail
