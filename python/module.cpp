// The module boundary: argument binding, conversion and error mapping only.
//
// Everything that touches the CPython C API lives in this file. The libraries
// below it report errors as values and throw nothing but std::bad_alloc; every
// entry point here still catches everything, so no C++ exception ever unwinds
// into the interpreter.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <expected>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "quorrel/evidence/receipts.hpp"
#include "quorrel/evidence/verify.hpp"

namespace {

// Owns one strong reference to a Python object (or none).
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(ptr_);
      ptr_ = std::exchange(other.ptr_, nullptr);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(ptr_); }

  // Takes over a new reference, as C-API calls that create objects return it.
  [[nodiscard]] static PyRef steal(PyObject* ptr) noexcept {
    PyRef ref;
    ref.ptr_ = ptr;
    return ref;
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller, typically as a function's return value.
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  PyObject* ptr_ = nullptr;
};

// Raises `type` with a UTF-8 message of any length. Embedded NUL bytes stay in
// the message and bytes that are not UTF-8 are replaced, so a message quoting
// hostile input always arrives whole and as the intended exception type.
void raise_text(PyObject* type, std::string_view text) noexcept {
  if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) {
    PyErr_NoMemory();
    return;
  }
  PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (message) {
    PyErr_SetObject(type, message.get());
  }
}

// Library errors are typed until here, where each becomes its rendered text.
std::string error_text(const quorrel::core::XbrlError& error) { return error.render(); }
std::string error_text(const quorrel::evidence::VerifyError& error) { return quorrel::evidence::render(error); }

// Every library error surfaces as ValueError carrying its rendered text, no prefix.
// The library's text result as a str, or its error message as ValueError.
template <class Error>
PyObject* text_result(const std::expected<std::string, Error>& result) {
  if (!result) {
    raise_text(PyExc_ValueError, error_text(result.error()));
    return nullptr;
  }
  return PyUnicode_FromStringAndSize(result->data(), static_cast<Py_ssize_t>(result->size()));
}

// Runs one call body. Memory exhaustion becomes MemoryError; anything else that
// escapes the libraries becomes SystemError instead of aborting the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_Format(PyExc_SystemError, "quorrel: unexpected internal error: %s", error.what());
  } catch (...) {
    PyErr_SetString(PyExc_SystemError, "quorrel: unexpected internal error of unknown kind");
  }
  return nullptr;
}

// ---------------------------------------------------------------------------
// Argument binding, with the interpreter's own wording for functions written
// in Python, so that every binding error names the function and the parameter
// concerned. Checks run in the interpreter's order: keywords, then the number
// of positional arguments, then missing required parameters.

template <std::size_t N>
struct Signature {
  const char* function;
  std::array<const char*, N> parameters;
  std::size_t required;  // the first `required` parameters have no default
};

// Fills `slots` (one per parameter; nullptr where nothing was given) from a
// vectorcall argument array. Returns false with TypeError set on a binding error.
template <std::size_t N>
[[nodiscard]] bool bind_arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::array<PyObject*, N>& slots) {
  slots.fill(nullptr);
  const auto positional = static_cast<std::size_t>(nargs);
  for (std::size_t i = 0; i < positional && i < N; ++i) {
    slots[i] = args[i];
  }
  const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    std::size_t index = N;
    for (std::size_t j = 0; j < N; ++j) {
      if (PyUnicode_CompareWithASCIIString(keyword, signature.parameters[j]) == 0) {
        index = j;
        break;
      }
    }
    if (index == N) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, keyword);
      return false;
    }
    if (slots[index] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                   signature.parameters[index]);
      return false;
    }
    slots[index] = args[nargs + k];
  }
  if (positional > N) {
    std::string accepted = signature.required == N
                               ? std::to_string(N)
                               : "from " + std::to_string(signature.required) + " to " + std::to_string(N);
    const bool plural = signature.required != N || N != 1;
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zd were given", signature.function,
                 accepted.c_str(), plural ? "s" : "", nargs);
    return false;
  }
  std::array<const char*, N> missing{};
  std::size_t missing_count = 0;
  for (std::size_t j = 0; j < signature.required; ++j) {
    if (slots[j] == nullptr) {
      missing[missing_count++] = signature.parameters[j];
    }
  }
  if (missing_count > 0) {
    // 'a'; 'a' and 'b'; 'a', 'b', and 'c'
    std::string names;
    for (std::size_t m = 0; m < missing_count; ++m) {
      if (m > 0) {
        names += missing_count > 2 ? ", " : " ";
        if (m + 1 == missing_count) {
          names += "and ";
        }
      }
      names += '\'';
      names += missing[m];
      names += '\'';
    }
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", signature.function,
                 missing_count, missing_count == 1 ? "" : "s", names.c_str());
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Argument conversion. Types are checked parameter by parameter, in order.

void raise_conversion_error(const char* parameter, PyObject* given, const char* target) noexcept {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", parameter,
               Py_TYPE(given)->tp_name, target);
}

// bytes or a subclass; the view borrows the object's buffer for the call.
[[nodiscard]] bool convert_bytes(const char* parameter, PyObject* given, std::string_view& out) noexcept {
  if (!PyBytes_Check(given)) {
    raise_conversion_error(parameter, given, "PyBytes");
    return false;
  }
  out = std::string_view(PyBytes_AS_STRING(given), static_cast<std::size_t>(PyBytes_GET_SIZE(given)));
  return true;
}

// str or a subclass, as UTF-8. The encoded text is cached by the str object,
// which the call's arguments keep alive. A lone surrogate leaves the
// interpreter's UnicodeEncodeError in place.
[[nodiscard]] bool convert_text(const char* parameter, PyObject* given, std::string_view& out) noexcept {
  if (!PyUnicode_Check(given)) {
    raise_conversion_error(parameter, given, "PyString");
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(given, &size);
  if (data == nullptr) {
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

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
