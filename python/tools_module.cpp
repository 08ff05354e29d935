// The module boundary of `quorrel_tools`: argument binding, conversion and
// error mapping for what users need around the receipts (the fact table and
// the document's counts, derived receipts, Ed25519 keys and signatures), with
// the helpers it shares with `quorrel` in binding.hpp. Unlike `quorrel`, the
// document functions take any contiguous buffer and release the interpreter
// lock while the native work runs, holding the buffer's export meanwhile so
// it cannot be resized or closed under them; the receipt and key functions
// work on one or two short texts and keep the lock.
#include "binding.hpp"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "quorrel/evidence/derive.hpp"
#include "quorrel/evidence/derived.hpp"
#include "quorrel/evidence/fact_table.hpp"
#include "quorrel/evidence/signing.hpp"

namespace {

using namespace quorrel::binding;
namespace core = quorrel::core;
namespace ev = quorrel::evidence;

// A contiguous buffer exported for the length of one call.
class SourceBuffer {
 public:
  SourceBuffer() = default;
  SourceBuffer(const SourceBuffer&) = delete;
  SourceBuffer& operator=(const SourceBuffer&) = delete;
  ~SourceBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }

  // bytes, bytearray, memoryview, mmap or any other object exporting a
  // C-contiguous buffer; anything else is a TypeError naming the parameter.
  [[nodiscard]] bool acquire(const char* parameter, PyObject* given) {
    if (PyObject_GetBuffer(given, &view_, PyBUF_SIMPLE) != 0) {
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError, "argument '%s': expected a contiguous bytes-like object, not '%s'", parameter,
                   Py_TYPE(given)->tp_name);
      return false;
    }
    held_ = true;
    return true;
  }
  std::string_view view() const noexcept {
    return std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
  }

 private:
  Py_buffer view_{};
  bool held_ = false;
};

// Runs native work without the interpreter lock. Memory exhaustion and any
// other escaping exception are carried back and raised once the lock is held
// again.
template <class Work>
[[nodiscard]] bool without_lock(Work&& work) {
  enum class Failure { None, Memory, Other } failure = Failure::None;
  Py_BEGIN_ALLOW_THREADS
  try {
    work();
  } catch (const std::bad_alloc&) {
    failure = Failure::Memory;
  } catch (...) {
    failure = Failure::Other;
  }
  Py_END_ALLOW_THREADS
  if (failure == Failure::Memory) {
    PyErr_NoMemory();
  } else if (failure == Failure::Other) {
    PyErr_SetString(PyExc_SystemError, "quorrel_tools: unexpected internal error");
  }
  return failure == Failure::None;
}

// The arguments both functions take.
struct DocumentArguments {
  SourceBuffer source;
  std::string_view doc_id;
  std::string_view uri;
  std::optional<std::string_view> authority;
};

constexpr std::array<const char*, 4> kDocumentParameters{"source", "doc_id", "uri", "authority"};

[[nodiscard]] bool bind_document(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 DocumentArguments& out) {
  const Signature<4> signature{function, kDocumentParameters, 3};
  std::array<PyObject*, 4> slots;
  if (!bind_arguments(signature, args, nargs, kwnames, slots)) return false;
  const auto [source, doc_id, uri, authority] = slots;
  if (!out.source.acquire("source", source) || !convert_text("doc_id", doc_id, out.doc_id) ||
      !convert_text("uri", uri, out.uri)) {
    return false;
  }
  if (authority != nullptr && authority != Py_None) {
    std::string_view text;
    if (!convert_text("authority", authority, text)) return false;
    out.authority = text;
  }
  return true;
}

// One parse without the lock; the source's error text as ValueError.
[[nodiscard]] std::optional<ev::FactTable> run_table(const DocumentArguments& arguments, bool with_rows) {
  std::optional<std::expected<ev::FactTable, core::XbrlError>> table;
  if (!without_lock([&] {
        table = ev::fact_table(arguments.source.view(), arguments.doc_id, arguments.uri, arguments.authority,
                               with_rows);
      })) {
    return std::nullopt;
  }
  if (!*table) {
    raise_text(PyExc_ValueError, error_text(table->error()));
    return std::nullopt;
  }
  return std::move(**table);
}

// ---------------------------------------------------------------------------
// Python values. Keys are made once per process; within one table, a text
// the document shares between many facts (a concept's local name, a
// namespace, an entity) becomes one str object.

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

PyObject* key_str(const char* name) {
  PyObject* key = PyUnicode_InternFromString(name);
  if (key == nullptr) throw std::bad_alloc();
  return key;
}

// Sets dict[key] = value, taking over the new reference `value`.
[[nodiscard]] bool put(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

// Makes the row values. A text the rows repeat (a concept, a context or
// unit reference, a date, a measure, a dimension) becomes one str object
// shared by every row that holds it: a table has many rows and few such
// texts, and a str is immutable, so sharing it is invisible to the caller.
class Converter {
 public:
  PyObject* text(std::string_view text) { return new_str(text); }
  PyObject* optional_text(const std::optional<std::string>& text) {
    return text ? new_str(*text) : Py_NewRef(Py_None);
  }
  PyObject* repeated(std::string_view text) {
    auto at = repeated_.find(text);
    if (at == repeated_.end()) {
      PyRef made = PyRef::steal(new_str(text));
      if (!made) return nullptr;
      at = repeated_.emplace(std::string(text), std::move(made)).first;
    }
    return Py_NewRef(at->second.get());
  }
  PyObject* optional_repeated(const std::optional<std::string>& text) {
    return text ? repeated(*text) : Py_NewRef(Py_None);
  }
  PyObject* qname(const core::QName& name) {
    if (!name.prefix && !name.namespace_uri) return repeated(name.local_name.view());
    name.render_into(scratch_);
    return repeated(scratch_);
  }

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
  };
  std::unordered_map<std::string, PyRef, Hash, std::equal_to<>> repeated_;
  std::string scratch_;
};

struct RowKeys {
  PyObject* concept_key;
  PyObject* concept_namespace;
  PyObject* kind;
  PyObject* value;
  PyObject* raw;
  PyObject* decimals;
  PyObject* unit_ref;
  PyObject* unit_numerator;
  PyObject* unit_denominator;
  PyObject* context_ref;
  PyObject* period_type;
  PyObject* period_start;
  PyObject* period_end;
  PyObject* entity_scheme;
  PyObject* entity_identifier;
  PyObject* dimensions;
  PyObject* lang;
  PyObject* fact_id;
  PyObject* byte_start;
  PyObject* byte_end;
  PyObject* hidden;
  PyObject* receipt_id;
  PyObject* skip_reason;
  PyObject* dimension;
  PyObject* member;
  PyObject* typed;
  PyObject* kinds[3];
  PyObject* periods[3];
};

const RowKeys& row_keys() {
  static const RowKeys keys{
      key_str("concept"),        key_str("concept_namespace"), key_str("kind"),
      key_str("value"),          key_str("raw"),               key_str("decimals"),
      key_str("unit_ref"),       key_str("unit_numerator"),    key_str("unit_denominator"),
      key_str("context_ref"),    key_str("period_type"),       key_str("period_start"),
      key_str("period_end"),     key_str("entity_scheme"),     key_str("entity_identifier"),
      key_str("dimensions"),     key_str("lang"),              key_str("fact_id"),
      key_str("byte_start"),     key_str("byte_end"),          key_str("hidden"),
      key_str("receipt_id"),     key_str("skip_reason"),       key_str("dimension"),
      key_str("member"),         key_str("typed"),
      {key_str("numeric"), key_str("text"), key_str("nil")},
      {key_str("instant"), key_str("duration"), key_str("forever")},
  };
  return keys;
}


// Every row has the same keys: each starts as a copy of one dict holding them
// all, set to None, so that no row grows its table key by key and absent
// values need no work.
PyObject* row_template() {
  const RowKeys& keys = row_keys();
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (PyObject* key : {keys.concept_key, keys.concept_namespace, keys.kind, keys.value, keys.raw, keys.decimals,
                        keys.unit_ref, keys.unit_numerator, keys.unit_denominator, keys.context_ref, keys.period_type,
                        keys.period_start, keys.period_end, keys.entity_scheme, keys.entity_identifier,
                        keys.dimensions, keys.lang, keys.fact_id, keys.byte_start, keys.byte_end, keys.hidden,
                        keys.receipt_id, keys.skip_reason}) {
    if (PyDict_SetItem(dict.get(), key, Py_None) != 0) return nullptr;
  }
  return dict.release();
}

// What every row of one context holds alike, made once per context: its
// texts as str objects and its members' parts. A null context (a missing
// one) gives Nones and no members.
struct ContextValues {
  PyRef period_type, start, end, scheme, identifier;
  std::vector<std::array<PyRef, 3>> members;  // dimension, member, typed
};

// The same for a unit's measure names.
struct UnitValues {
  std::vector<PyRef> numerator, denominator;
};

class RowMaker {
 public:
  RowMaker(PyObject* base) : base_(base) {}

  PyObject* row(const ev::FactRow& row) {
    const RowKeys& keys = row_keys();
    const core::RawFact& fact = *row.fact;
    const ContextValues* context = context_values(row.context);
    const UnitValues* unit = row.unit ? unit_values(row.unit) : nullptr;
    if (context == nullptr || (row.unit && unit == nullptr)) return nullptr;
    PyRef dict = PyRef::steal(PyDict_Copy(base_));
    if (!dict) return nullptr;
    PyObject* d = dict.get();

    std::string_view raw;
    if (const auto* numeric = std::get_if<core::NumericText>(&fact.value)) raw = numeric->text.view();
    if (const auto* text = std::get_if<core::NonNumericText>(&fact.value)) raw = text->text.view();
    const bool nil = std::holds_alternative<core::NilValue>(fact.value);
    const auto shared = [](const PyRef& ref) { return Py_NewRef(ref.get()); };
    const bool ok =
        put(d, keys.concept_key, convert_.qname(fact.concept_name)) &&
        (!fact.concept_name.namespace_uri ||
         put(d, keys.concept_namespace, convert_.repeated(fact.concept_name.namespace_uri->view()))) &&
        put(d, keys.kind, Py_NewRef(keys.kinds[static_cast<int>(row.kind)])) &&
        (!row.value || put(d, keys.value, convert_.text(*row.value))) &&
        (nil || put(d, keys.raw, convert_.text(raw))) &&
        (!fact.decimals || put(d, keys.decimals, accuracy_text(*fact.decimals))) &&
        (!fact.unit_ref || put(d, keys.unit_ref, convert_.repeated(*fact.unit_ref))) &&
        (!unit || put(d, keys.unit_numerator, list_of(unit->numerator))) &&
        (!unit || put(d, keys.unit_denominator, list_of(unit->denominator))) &&
        put(d, keys.context_ref, convert_.repeated(fact.context_ref)) &&
        put(d, keys.period_type, shared(context->period_type)) && put(d, keys.period_start, shared(context->start)) &&
        put(d, keys.period_end, shared(context->end)) && put(d, keys.entity_scheme, shared(context->scheme)) &&
        put(d, keys.entity_identifier, shared(context->identifier)) &&
        put(d, keys.dimensions, dimensions(*context)) &&
        (!fact.lang || put(d, keys.lang, convert_.repeated(*fact.lang))) &&
        (!fact.id || put(d, keys.fact_id, convert_.text(*fact.id))) &&
        (!fact.byte_range || (put(d, keys.byte_start, PyLong_FromUnsignedLongLong(fact.byte_range->first)) &&
                              put(d, keys.byte_end, PyLong_FromUnsignedLongLong(fact.byte_range->second)))) &&
        put(d, keys.hidden, PyBool_FromLong(fact.inline_meta && fact.inline_meta->hidden)) &&
        (!row.receipt_id || put(d, keys.receipt_id, convert_.text(*row.receipt_id))) &&
        (!row.skip_reason || put(d, keys.skip_reason, convert_.repeated(*row.skip_reason)));
    return ok ? dict.release() : nullptr;
  }

 private:
  static PyObject* list_of(const std::vector<PyRef>& items) {
    PyObject* list = PyList_New(static_cast<Py_ssize_t>(items.size()));
    if (list == nullptr) return nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
      PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), Py_NewRef(items[i].get()));
    }
    return list;
  }

  PyObject* accuracy_text(const core::Accuracy& accuracy) {
    if (accuracy.kind == core::Accuracy::Kind::Infinite) return convert_.repeated("INF");
    return convert_.repeated(std::to_string(accuracy.digits));
  }

  PyObject* dimensions(const ContextValues& context) {
    const RowKeys& keys = row_keys();
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(context.members.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < context.members.size(); ++i) {
      PyRef item = PyRef::steal(PyDict_New());
      if (!item || !put(item.get(), keys.dimension, Py_NewRef(context.members[i][0].get())) ||
          !put(item.get(), keys.member, Py_NewRef(context.members[i][1].get())) ||
          !put(item.get(), keys.typed, Py_NewRef(context.members[i][2].get()))) {
        return nullptr;
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item.release());
    }
    return list.release();
  }

  const ContextValues* context_values(const core::Context* context) {
    auto [at, made] = contexts_.try_emplace(context);
    ContextValues& values = at->second;
    if (!made) return &values;
    const RowKeys& keys = row_keys();
    const auto none = [] { return PyRef::steal(Py_NewRef(Py_None)); };
    values.period_type = none();
    values.start = none();
    values.end = none();
    values.scheme = none();
    values.identifier = none();
    if (context == nullptr) return &values;
    if (const auto* instant = std::get_if<core::Instant>(&context->period)) {
      values.period_type = PyRef::steal(Py_NewRef(keys.periods[0]));
      values.end = PyRef::steal(convert_.repeated(instant->date));
    } else if (const auto* duration = std::get_if<core::Duration>(&context->period)) {
      values.period_type = PyRef::steal(Py_NewRef(keys.periods[1]));
      values.start = PyRef::steal(convert_.repeated(duration->start));
      values.end = PyRef::steal(convert_.repeated(duration->end));
    } else {
      values.period_type = PyRef::steal(Py_NewRef(keys.periods[2]));
    }
    values.scheme = PyRef::steal(convert_.repeated(context->entity.scheme.view()));
    values.identifier = PyRef::steal(convert_.repeated(context->entity.identifier.view()));
    bool ok = values.start && values.end && values.scheme && values.identifier;
    for (const auto* members : {&context->segment, &context->scenario}) {
      for (const core::ContextElement& element : *members) {
        std::array<PyRef, 3>& parts = values.members.emplace_back();
        if (const auto* explicit_member = std::get_if<core::ExplicitMember>(&element)) {
          parts = {PyRef::steal(convert_.qname(explicit_member->dimension)),
                   PyRef::steal(convert_.qname(explicit_member->member)), PyRef::steal(Py_NewRef(Py_False))};
        } else {
          const auto& typed = std::get<core::TypedMember>(element);
          parts = {PyRef::steal(convert_.qname(typed.dimension)), PyRef::steal(convert_.repeated(typed.content)),
                   PyRef::steal(Py_NewRef(Py_True))};
        }
        ok = ok && parts[0] && parts[1];
      }
    }
    if (!ok) {
      contexts_.erase(at);
      return nullptr;
    }
    return &values;
  }

  const UnitValues* unit_values(const core::Unit* unit) {
    auto [at, made] = units_.try_emplace(unit);
    UnitValues& values = at->second;
    if (!made) return &values;
    bool ok = true;
    for (const auto& [names, out] : {std::pair{&unit->numerator, &values.numerator},
                                     std::pair{&unit->denominator, &values.denominator}}) {
      for (const core::QName& name : *names) {
        out->push_back(PyRef::steal(convert_.qname(name)));
        ok = ok && out->back();
      }
    }
    if (!ok) {
      units_.erase(at);
      return nullptr;
    }
    return &values;
  }

  PyObject* base_;
  Converter convert_;
  std::unordered_map<const core::Context*, ContextValues> contexts_;
  std::unordered_map<const core::Unit*, UnitValues> units_;
};

PyObject* summary_dict(const ev::DocumentCounts& counts) {
  const std::pair<const char*, std::size_t> items[] = {
      {"facts", counts.facts},
      {"numeric_facts", counts.numeric_facts},
      {"text_facts", counts.text_facts},
      {"nil_facts", counts.nil_facts},
      {"receipts", counts.receipts},
      {"missing_context", counts.missing_context},
      {"missing_unit", counts.missing_unit},
      {"invalid_decimal", counts.invalid_decimal},
      {"contexts", counts.contexts},
      {"units", counts.units},
      {"footnotes", counts.footnotes},
      {"continuations", counts.continuations},
      {"facts_in_footnotes", counts.facts_in_footnotes},
      {"open_facts_dropped", counts.open_facts_dropped},
      {"open_elements", counts.open_elements},
  };
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const auto& [name, value] : items) {
    PyRef number = PyRef::steal(PyLong_FromSize_t(value));
    if (!number || PyDict_SetItemString(dict.get(), name, number.get()) != 0) return nullptr;
  }
  return dict.release();
}

// ---------------------------------------------------------------------------
// facts(source, doc_id, uri, authority=None) -> (rows, summary)

PyObject* facts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    DocumentArguments arguments;
    if (!bind_document("facts", args, nargs, kwnames, arguments)) return nullptr;
    std::optional<ev::FactTable> table = run_table(arguments, true);
    if (!table) return nullptr;
    PyRef rows = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(table->rows.size())));
    if (!rows) return nullptr;
    PyRef base = PyRef::steal(row_template());
    if (!base) return nullptr;
    RowMaker maker(base.get());
    // The rows hold no reference cycle, so the collector has nothing to find
    // among them; it is kept from walking them again and again as they grow.
    const int collecting = PyGC_Disable();
    for (std::size_t i = 0; i < table->rows.size(); ++i) {
      PyObject* row = maker.row(table->rows[i]);
      if (row == nullptr) break;
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
    if (collecting) PyGC_Enable();
    if (PyErr_Occurred()) return nullptr;
    PyRef summary = PyRef::steal(summary_dict(table->counts));
    if (!summary) return nullptr;
    return PyTuple_Pack(2, rows.get(), summary.get());
  });
}

// ---------------------------------------------------------------------------
// receipts(source, doc_id, uri, authority=None) -> (jsonl, summary)

PyObject* receipts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    DocumentArguments arguments;
    if (!bind_document("receipts", args, nargs, kwnames, arguments)) return nullptr;
    std::optional<ev::FactTable> table = run_table(arguments, false);
    if (!table) return nullptr;
    PyRef text = PyRef::steal(str_of(table->receipts));
    PyRef summary = PyRef::steal(summary_dict(table->counts));
    if (!text || !summary) return nullptr;
    return PyTuple_Pack(2, text.get(), summary.get());
  });
}

// ---------------------------------------------------------------------------
// Derived receipts, keys and signatures.

[[nodiscard]] bool convert_optional_text(const char* parameter, PyObject* given,
                                         std::optional<std::string>& out) {
  if (given == nullptr || given == Py_None) return true;
  std::string_view text;
  if (!convert_text(parameter, given, text)) return false;
  out.emplace(text);
  return true;
}

// "ratio", "difference" or "growth_rate", by the names receipts give them.
[[nodiscard]] bool convert_operation(PyObject* given, ev::Operation& out) {
  std::string_view name;
  if (!convert_text("op", given, name)) return false;
  for (const ev::OperationKind kind :
       {ev::OperationKind::Ratio, ev::OperationKind::Difference, ev::OperationKind::GrowthRate}) {
    if (ev::operation_name(kind) == name) {
      out.kind = kind;
      return true;
    }
  }
  raise_text(PyExc_ValueError, "unknown operation \"" + ev::shown_value(name) +
                                   "\": expected ratio, difference or growth_rate");
  return false;
}

[[nodiscard]] bool convert_round_dp(PyObject* given, std::optional<std::uint32_t>& out) {
  if (given == nullptr || given == Py_None) return true;
  if (!PyLong_Check(given) || PyBool_Check(given)) {
    raise_conversion_error("round_dp", given, "PyLong");
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(given, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || value < 0 || value > 0xFFFFFFFFLL) {
    PyErr_Format(PyExc_ValueError, "round_dp must be between 0 and 4294967295, not %R", given);
    return false;
  }
  out = static_cast<std::uint32_t>(value);
  return true;
}

// A tuple or list of two str.
[[nodiscard]] bool convert_roles(PyObject* given, std::optional<std::array<std::string, 2>>& out) {
  if (given == nullptr || given == Py_None) return true;
  if (!PyTuple_Check(given) && !PyList_Check(given)) {
    PyErr_Format(PyExc_TypeError, "argument 'roles': expected a pair of str, not '%s'", Py_TYPE(given)->tp_name);
    return false;
  }
  if (PySequence_Fast_GET_SIZE(given) != 2) {
    PyErr_Format(PyExc_TypeError, "argument 'roles': expected a pair of str, not %zd of them",
                 PySequence_Fast_GET_SIZE(given));
    return false;
  }
  std::array<std::string, 2> roles;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    std::string_view role;
    if (!convert_text("roles", PySequence_Fast_GET_ITEM(given, i), role)) return false;
    roles[static_cast<std::size_t>(i)] = role;
  }
  out = std::move(roles);
  return true;
}

// PEM text as str or bytes.
[[nodiscard]] bool convert_pem(const char* parameter, PyObject* given, std::string_view& out) {
  if (PyBytes_Check(given)) return convert_bytes(parameter, given, out);
  if (PyUnicode_Check(given)) return convert_text(parameter, given, out);
  PyErr_Format(PyExc_TypeError, "argument '%s': expected str or bytes, not '%s'", parameter, Py_TYPE(given)->tp_name);
  return false;
}

[[nodiscard]] std::optional<ev::SigningKey> read_key(std::string_view pem) {
  std::expected<ev::SigningKey, ev::EvidenceError> key = ev::SigningKey::from_pem(pem);
  if (!key) {
    raise_text(PyExc_ValueError, error_text(key.error()));
    return std::nullopt;
  }
  return std::move(*key);
}

// derive(op, first, second, *, round_dp=None, roles=None, doc_id=None, unit=None) -> str

PyObject* derive(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<7> signature{
        "derive", {"op", "first", "second", "round_dp", "roles", "doc_id", "unit"}, 3, 3};
    std::array<PyObject*, 7> slots;
    if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
    const auto [op, first, second, round_dp, roles, doc_id, unit] = slots;
    ev::DeriveOptions options;
    std::string_view first_line, second_line;
    if (!convert_operation(op, options.operation) || !convert_text("first", first, first_line) ||
        !convert_text("second", second, second_line) || !convert_round_dp(round_dp, options.operation.round_dp) ||
        !convert_roles(roles, options.roles) || !convert_optional_text("doc_id", doc_id, options.doc_id) ||
        !convert_optional_text("unit", unit, options.unit)) {
      return nullptr;
    }
    return text_result(ev::derive_line(first_line, second_line, options));
  });
}

// generate_key() -> str

PyObject* generate_key(PyObject*, PyObject*) {
  return guarded([&]() -> PyObject* {
    std::expected<ev::SigningKey, ev::EvidenceError> key = ev::SigningKey::generate();
    if (!key) {
      raise_text(PyExc_ValueError, error_text(key.error()));
      return nullptr;
    }
    std::string pem = key->pem();
    PyObject* text = PyUnicode_FromStringAndSize(pem.data(), static_cast<Py_ssize_t>(pem.size()));
    ev::wipe(pem);
    return text;
  });
}

// public_key(private_key) -> str

PyObject* public_key(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<1> signature{"public_key", {"private_key"}, 1};
    std::array<PyObject*, 1> slots;
    std::string_view pem;
    if (!bind_arguments(signature, args, nargs, kwnames, slots) || !convert_pem("private_key", slots[0], pem)) {
      return nullptr;
    }
    std::optional<ev::SigningKey> key = read_key(pem);
    if (!key) return nullptr;
    const std::string hex = key->public_key_hex();
    return PyUnicode_FromStringAndSize(hex.data(), static_cast<Py_ssize_t>(hex.size()));
  });
}

// sign(receipt_line, private_key, *, replace=False) -> str

PyObject* sign(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr Signature<3> signature{"sign", {"receipt_line", "private_key", "replace"}, 2, 2};
    std::array<PyObject*, 3> slots;
    if (!bind_arguments(signature, args, nargs, kwnames, slots)) return nullptr;
    const auto [line_object, key_object, replace] = slots;
    std::string_view line, pem;
    if (!convert_text("receipt_line", line_object, line) || !convert_pem("private_key", key_object, pem)) {
      return nullptr;
    }
    if (replace != nullptr && !PyBool_Check(replace)) {
      raise_conversion_error("replace", replace, "PyBool");
      return nullptr;
    }
    std::optional<ev::SigningKey> key = read_key(pem);
    if (!key) return nullptr;
    return text_result(ev::sign_line(line, *key, replace == Py_True));
  });
}

PyMethodDef module_functions[] = {
    {"facts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(facts)), METH_FASTCALL | METH_KEYWORDS,
     "facts(source, doc_id, uri, authority=None)\n--\n\n"
     "Parse an XBRL or Inline XBRL document once and return (rows, summary):\n"
     "one row per fact (numeric, text and nil) in the order of the receipts,\n"
     "each saying what the fact is and whether it got a receipt, and the\n"
     "document's counts."},
    {"receipts", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(receipts)),
     METH_FASTCALL | METH_KEYWORDS,
     "receipts(source, doc_id, uri, authority=None)\n--\n\n"
     "Return (jsonl, summary): the text quorrel.receipts_for_bytes gives for\n"
     "the same arguments, and the document's counts, from one parse."},
    {"derive", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(derive)), METH_FASTCALL | METH_KEYWORDS,
     "derive(op, first, second, *, round_dp=None, roles=None, doc_id=None, unit=None)\n--\n\n"
     "Return the line of the receipt derived from two parent receipt lines by\n"
     "op (\"ratio\", \"difference\" or \"growth_rate\"), computed as verification\n"
     "recomputes it. Roles default to numerator/denominator, minuend/subtrahend\n"
     "or current/prior; doc_id to the parents' common one; unit, for a\n"
     "difference, to the parents' common one, otherwise none."},
    {"generate_key", generate_key, METH_NOARGS,
     "generate_key()\n--\n\n"
     "Return a new Ed25519 private key as unencrypted PKCS#8 PEM text."},
    {"public_key", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(public_key)),
     METH_FASTCALL | METH_KEYWORDS,
     "public_key(private_key)\n--\n\n"
     "Return the public key of a PEM Ed25519 private key in 64 lower-case\n"
     "hexadecimal digits."},
    {"sign", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(sign)), METH_FASTCALL | METH_KEYWORDS,
     "sign(receipt_line, private_key, *, replace=False)\n--\n\n"
     "Return the receipt line with an Ed25519 attestation over its canonical\n"
     "body; its id is unchanged. A receipt whose id is not its body's, or\n"
     "that carries an attestation (unless replace), is refused."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorrel_tools",
    "Tools around quorrel's receipts: the fact table and document counts, derived receipts, Ed25519 keys and "
    "signatures.",
    -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorrel_tools() {
  return PyModule_Create(&module_definition);
}
