// The module boundary of `quorrel_tools`: argument binding, conversion and
// error mapping for what users need around the receipts (the fact table and
// the document's counts), with the helpers it shares with `quorrel` in
// binding.hpp. Unlike `quorrel`, its functions take any contiguous buffer and
// release the interpreter lock while the native work runs, holding the
// buffer's export meanwhile so it cannot be resized or closed under them.
#include "binding.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <variant>

#include "quorrel/evidence/fact_table.hpp"

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

class Converter {
 public:
  // Texts of the document's shared strings, by address: the same object for
  // every fact naming the same concept or entity.
  PyObject* shared(const core::SharedString& text) {
    const std::string* address = &text.str();
    auto [at, inserted] = cache_.try_emplace(address);
    if (inserted) {
      at->second = PyRef::steal(new_str(text.view()));
    }
    if (!at->second) return nullptr;
    return Py_NewRef(at->second.get());
  }
  PyObject* text(std::string_view text) { return new_str(text); }
  PyObject* optional_text(const std::optional<std::string>& text) {
    return text ? new_str(*text) : Py_NewRef(Py_None);
  }
  PyObject* qname(const core::QName& name) {
    if (!name.prefix && !name.namespace_uri) return shared(name.local_name);
    name.render_into(scratch_);
    return new_str(scratch_);
  }
  PyObject* measures(const std::vector<core::QName>& names) {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(names.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyObject* item = qname(names[i]);
      if (item == nullptr) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
  }

 private:
  std::unordered_map<const std::string*, PyRef> cache_;
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

PyObject* accuracy_text(const std::optional<core::Accuracy>& accuracy) {
  if (!accuracy) return Py_NewRef(Py_None);
  if (accuracy->kind == core::Accuracy::Kind::Infinite) return PyUnicode_FromString("INF");
  return PyUnicode_FromString(std::to_string(accuracy->digits).c_str());
}

PyObject* dimensions_list(Converter& convert, const RowKeys& keys, const core::Context* context) {
  const std::size_t count = context == nullptr ? 0 : context->segment.size() + context->scenario.size();
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
  if (!list || context == nullptr) return list.release();
  Py_ssize_t at = 0;
  for (const auto* members : {&context->segment, &context->scenario}) {
    for (const core::ContextElement& element : *members) {
      PyRef item = PyRef::steal(PyDict_New());
      if (!item) return nullptr;
      const bool ok = std::visit(
          [&](const auto& m) {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, core::ExplicitMember>) {
              return put(item.get(), keys.dimension, convert.qname(m.dimension)) &&
                     put(item.get(), keys.member, convert.qname(m.member)) &&
                     put(item.get(), keys.typed, Py_NewRef(Py_False));
            } else {
              return put(item.get(), keys.dimension, convert.qname(m.dimension)) &&
                     put(item.get(), keys.member, convert.text(m.content)) &&
                     put(item.get(), keys.typed, Py_NewRef(Py_True));
            }
          },
          element);
      if (!ok) return nullptr;
      PyList_SET_ITEM(list.get(), at++, item.release());
    }
  }
  return list.release();
}

PyObject* row_dict(Converter& convert, const ev::FactRow& row) {
  const RowKeys& keys = row_keys();
  const core::RawFact& fact = *row.fact;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyObject* d = dict.get();
  const core::Context* context = row.context;

  PyObject* period_type = Py_None;
  PyObject* start = Py_None;
  PyObject* end = Py_None;
  PyRef start_ref, end_ref;
  if (context != nullptr) {
    if (const auto* instant = std::get_if<core::Instant>(&context->period)) {
      period_type = keys.periods[0];
      end_ref = PyRef::steal(convert.text(instant->date));
      if (!end_ref) return nullptr;
      end = end_ref.get();
    } else if (const auto* duration = std::get_if<core::Duration>(&context->period)) {
      period_type = keys.periods[1];
      start_ref = PyRef::steal(convert.text(duration->start));
      end_ref = PyRef::steal(convert.text(duration->end));
      if (!start_ref || !end_ref) return nullptr;
      start = start_ref.get();
      end = end_ref.get();
    } else {
      period_type = keys.periods[2];
    }
  }
  std::string_view raw;
  if (const auto* numeric = std::get_if<core::NumericText>(&fact.value)) raw = numeric->text.view();
  if (const auto* text = std::get_if<core::NonNumericText>(&fact.value)) raw = text->text.view();
  const bool nil = std::holds_alternative<core::NilValue>(fact.value);

  const bool ok =
      put(d, keys.concept_key, convert.qname(fact.concept_name)) &&
      put(d, keys.concept_namespace,
          fact.concept_name.namespace_uri ? convert.shared(*fact.concept_name.namespace_uri) : Py_NewRef(Py_None)) &&
      put(d, keys.kind, Py_NewRef(keys.kinds[static_cast<int>(row.kind)])) &&
      put(d, keys.value, row.value ? convert.text(*row.value) : Py_NewRef(Py_None)) &&
      put(d, keys.raw, nil ? Py_NewRef(Py_None) : convert.text(raw)) &&
      put(d, keys.decimals, accuracy_text(fact.decimals)) &&
      put(d, keys.unit_ref, convert.optional_text(fact.unit_ref)) &&
      put(d, keys.unit_numerator, row.unit ? convert.measures(row.unit->numerator) : Py_NewRef(Py_None)) &&
      put(d, keys.unit_denominator, row.unit ? convert.measures(row.unit->denominator) : Py_NewRef(Py_None)) &&
      put(d, keys.context_ref, convert.text(fact.context_ref)) && put(d, keys.period_type, Py_NewRef(period_type)) &&
      put(d, keys.period_start, Py_NewRef(start)) && put(d, keys.period_end, Py_NewRef(end)) &&
      put(d, keys.entity_scheme, context ? convert.shared(context->entity.scheme) : Py_NewRef(Py_None)) &&
      put(d, keys.entity_identifier, context ? convert.shared(context->entity.identifier) : Py_NewRef(Py_None)) &&
      put(d, keys.dimensions, dimensions_list(convert, keys, context)) &&
      put(d, keys.lang, convert.optional_text(fact.lang)) && put(d, keys.fact_id, convert.optional_text(fact.id)) &&
      put(d, keys.byte_start,
          fact.byte_range ? PyLong_FromUnsignedLongLong(fact.byte_range->first) : Py_NewRef(Py_None)) &&
      put(d, keys.byte_end,
          fact.byte_range ? PyLong_FromUnsignedLongLong(fact.byte_range->second) : Py_NewRef(Py_None)) &&
      put(d, keys.hidden, PyBool_FromLong(fact.inline_meta && fact.inline_meta->hidden)) &&
      put(d, keys.receipt_id, row.receipt_id ? convert.text(*row.receipt_id) : Py_NewRef(Py_None)) &&
      put(d, keys.skip_reason, row.skip_reason ? convert.text(*row.skip_reason) : Py_NewRef(Py_None));
  return ok ? dict.release() : nullptr;
}

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
    Converter convert;
    for (std::size_t i = 0; i < table->rows.size(); ++i) {
      PyObject* row = row_dict(convert, table->rows[i]);
      if (row == nullptr) return nullptr;
      PyList_SET_ITEM(rows.get(), static_cast<Py_ssize_t>(i), row);
    }
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
    PyRef text = PyRef::steal(
        PyUnicode_FromStringAndSize(table->receipts.data(), static_cast<Py_ssize_t>(table->receipts.size())));
    PyRef summary = PyRef::steal(summary_dict(table->counts));
    if (!text || !summary) return nullptr;
    return PyTuple_Pack(2, text.get(), summary.get());
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
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorrel_tools", "Tools around quorrel's receipts: the fact table and document counts.",
    -1, module_functions, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit_quorrel_tools() {
  return PyModule_Create(&module_definition);
}
