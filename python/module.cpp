// The module boundary of `quorrel`: argument binding, conversion and error
// mapping only, with the helpers it shares with `quorrel_tools` in
// binding.hpp. The libraries
// below it report errors as values and throw nothing but std::bad_alloc; every
// entry point here still catches everything, so no C++ exception ever unwinds
// into the interpreter.
#include "binding.hpp"

#include <cstdint>
#include <optional>

#include "quorrel/evidence/receipts.hpp"
#include "quorrel/evidence/verify.hpp"

namespace {

using namespace quorrel::binding;

// ---------------------------------------------------------------------------
// receipts_for_bytes(source_bytes, doc_id, uri, authority=None)

struct ReceiptsArguments {
  std::string_view source_bytes;
  std::string_view doc_id;
  std::string_view uri;
  std::optional<std::string> authority;  // None or left out: absent; any str, even "": present
};

PyObject* receipts_for_bytes_body(const ReceiptsArguments& arguments) {
  std::optional<std::string_view> authority;
  if (arguments.authority) authority = *arguments.authority;
  return text_result(
      quorrel::evidence::receipts_jsonl(arguments.source_bytes, arguments.doc_id, arguments.uri, authority));
}

constexpr Signature<4> receipts_for_bytes_signature{
    "receipts_for_bytes", {"source_bytes", "doc_id", "uri", "authority"}, 3};

PyObject* receipts_for_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 4> slots;
    if (!bind_arguments(receipts_for_bytes_signature, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    const auto [source_bytes, doc_id, uri, authority] = slots;
    ReceiptsArguments arguments;
    if (!convert_bytes("source_bytes", source_bytes, arguments.source_bytes) ||
        !convert_text("doc_id", doc_id, arguments.doc_id) || !convert_text("uri", uri, arguments.uri)) {
      return nullptr;
    }
    if (authority != nullptr && authority != Py_None) {
      std::string_view text;
      if (!convert_text("authority", authority, text)) {
        return nullptr;
      }
      arguments.authority.emplace(text);
    }
    return receipts_for_bytes_body(arguments);
  });
}

// ---------------------------------------------------------------------------
// verify_bytes(receipts_jsonl, source_bytes)

struct VerifyArguments {
  std::string_view receipts_jsonl;
  std::string_view source_bytes;
};

PyObject* verify_bytes_body(const VerifyArguments& arguments) {
  return text_result(quorrel::evidence::verify_jsonl(arguments.receipts_jsonl, arguments.source_bytes));
}

constexpr Signature<2> verify_bytes_signature{"verify_bytes", {"receipts_jsonl", "source_bytes"}, 2};

PyObject* verify_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    std::array<PyObject*, 2> slots;
    if (!bind_arguments(verify_bytes_signature, args, nargs, kwnames, slots)) {
      return nullptr;
    }
    const auto [receipts_jsonl, source_bytes] = slots;
    VerifyArguments arguments;
    if (!convert_text("receipts_jsonl", receipts_jsonl, arguments.receipts_jsonl) ||
        !convert_bytes("source_bytes", source_bytes, arguments.source_bytes)) {
      return nullptr;
    }
    return verify_bytes_body(arguments);
  });
}

// ---------------------------------------------------------------------------
// The module object.

// The text before "--" is the function's __text_signature__, the rest its __doc__.
PyMethodDef module_functions[] = {
    {"receipts_for_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(receipts_for_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "receipts_for_bytes(source_bytes, doc_id, uri, authority=None)\n--\n\n"
     "Build evidence receipts for every numeric fact in an XBRL instance.\n"
     "Returns JSONL (one receipt per line)."},
    {"verify_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "verify_bytes(receipts_jsonl, source_bytes)\n--\n\n"
     "Verify receipts (JSONL) against source bytes. Returns a JSON summary:\n"
     "{\"pass\": n, \"fail\": n, \"failures\": [reports...]}."},
    {nullptr, nullptr, 0, nullptr},
};

// m_size is 0, not -1: with -1 the interpreter would answer a second import
// from a saved copy of the module's dict (a fresh module object, and one that
// a second interpreter would also receive) instead of calling PyInit_quorrel.
// With 0 every initialisation comes through PyInit_quorrel, which hands out
// the one module object of the process.
PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT, "quorrel", "", 0, module_functions, nullptr, nullptr, nullptr, nullptr,
};

// The module object of the process (a strong reference, never released while
// the interpreter runs) and the id of the interpreter that created it. Only
// touched by PyInit_quorrel under the interpreter lock.
PyObject* process_module = nullptr;
std::int64_t process_module_owner = -1;

// When the interpreter is finalised the cached object dies with it; a later
// re-initialised interpreter (as an embedding program may start) creates a
// fresh one. Runs after finalisation, so it must not touch Python objects.
void forget_process_module() noexcept {
  process_module = nullptr;
  process_module_owner = -1;
}

}  // namespace

PyMODINIT_FUNC PyInit_quorrel() {
  const std::int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter < 0) {
    return nullptr;
  }
  if (process_module != nullptr) {
    if (interpreter != process_module_owner) {
      PyErr_SetString(PyExc_ImportError,
                      "quorrel does not support sub-interpreters: it is already loaded in another interpreter of "
                      "this process");
      return nullptr;
    }
    return Py_NewRef(process_module);
  }
  PyRef module = PyRef::steal(PyModule_Create(&module_definition));
  if (!module) {
    return nullptr;
  }
  if (Py_AtExit(forget_process_module) != 0) {
    // Without the hook a re-initialised interpreter would be handed a dead
    // module; better to not cache at all in that unusual case.
    return module.release();
  }
  process_module = Py_NewRef(module.get());
  process_module_owner = interpreter;
  return module.release();
}
