#pragma once
// What the two extension modules share at their boundary with the
// interpreter: an owner for object references, error raising, the guard that
// keeps C++ exceptions out of the interpreter, argument binding with the
// interpreter's own wording, and argument conversion.
//
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <expected>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "quorrel/core/error.hpp"
#include "quorrel/core/types.hpp"
#include "quorrel/evidence/verify.hpp"

namespace quorrel::binding {

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
inline void raise_text(PyObject* type, std::string_view text) noexcept {
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
inline std::string error_text(const quorrel::core::XbrlError& error) { return error.render(); }
inline std::string error_text(const quorrel::evidence::VerifyError& error) { return quorrel::evidence::render(error); }
inline std::string error_text(const quorrel::evidence::EvidenceError& error) { return error.render(); }
inline std::string error_text(const std::string& error) { return error; }

// A str of the library's UTF-8 text. Its texts (receipts, summaries) are
// nearly always ASCII: they are copied into a new ASCII str, the str's
// memory asked to be backed by huge pages where it is large, and any byte
// above 127 noted on the way; text that holds one is decoded as UTF-8
// instead.
inline PyObject* str_of(std::string_view text) {
  if (text.size() > static_cast<std::size_t>(PY_SSIZE_T_MAX)) return PyErr_NoMemory();
  const auto size = static_cast<Py_ssize_t>(text.size());
  PyRef str = PyRef::steal(PyUnicode_New(size, 127));
  if (!str) return nullptr;
  auto* out = static_cast<char*>(PyUnicode_DATA(str.get()));
  quorrel::core::advise_huge_pages(out, text.size());
  const char* in = text.data();
  std::size_t i = 0;
  std::uint64_t high = 0;
  constexpr std::size_t kBlock = 64;
  for (; text.size() - i >= kBlock; i += kBlock) {
    std::uint64_t words[kBlock / 8];
    std::memcpy(words, in + i, kBlock);
    std::memcpy(out + i, words, kBlock);
    for (const std::uint64_t word : words) high |= word;
  }
  for (; i < text.size(); ++i) {
    out[i] = in[i];
    high |= static_cast<unsigned char>(in[i]);
  }
  if ((high & 0x8080808080808080ULL) == 0) return str.release();
  return PyUnicode_DecodeUTF8(text.data(), size, nullptr);
}

// The library's text result as a str, or its error's text as ValueError, no prefix.
template <class Error>
PyObject* text_result(const std::expected<std::string, Error>& result) {
  if (!result) {
    raise_text(PyExc_ValueError, error_text(result.error()));
    return nullptr;
  }
  return str_of(*result);
}

// Runs one call body. Memory exhaustion becomes MemoryError; anything else that
// escapes the libraries becomes SystemError instead of aborting the interpreter.
template <class Body>
inline PyObject* guarded(Body&& body) noexcept {
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
  std::size_t required;        // the first `required` parameters have no default
  std::size_t positional = N;  // the parameters after the first `positional` are keyword-only
};

// Fills `slots` (one per parameter; nullptr where nothing was given) from a
// vectorcall argument array. Returns false with TypeError set on a binding error.
template <std::size_t N>
[[nodiscard]] inline bool bind_arguments(const Signature<N>& signature, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames, std::array<PyObject*, N>& slots) {
  slots.fill(nullptr);
  const auto positional = static_cast<std::size_t>(nargs);
  const std::size_t takes = signature.positional;
  for (std::size_t i = 0; i < positional && i < takes; ++i) {
    slots[i] = args[i];
  }
  std::size_t keyword_only = 0;
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
    keyword_only += index >= takes ? 1 : 0;
  }
  if (positional > takes) {
    std::string accepted = signature.required == takes
                               ? std::to_string(takes)
                               : "from " + std::to_string(signature.required) + " to " + std::to_string(takes);
    const bool plural = signature.required != takes || takes != 1;
    std::string given = std::to_string(positional);
    if (keyword_only > 0) {
      given += positional == 1 ? " positional argument" : " positional arguments";
      given += " (and " + std::to_string(keyword_only) + " keyword-only argument" + (keyword_only == 1 ? ")" : "s)");
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %s %s given", signature.function,
                 accepted.c_str(), plural ? "s" : "", given.c_str(),
                 positional == 1 && keyword_only == 0 ? "was" : "were");
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

inline void raise_conversion_error(const char* parameter, PyObject* given, const char* target) noexcept {
  PyErr_Format(PyExc_TypeError, "argument '%s': '%s' object cannot be converted to '%s'", parameter,
               Py_TYPE(given)->tp_name, target);
}

// bytes or a subclass; the view borrows the object's buffer for the call.
[[nodiscard]] inline bool convert_bytes(const char* parameter, PyObject* given, std::string_view& out) noexcept {
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
[[nodiscard]] inline bool convert_text(const char* parameter, PyObject* given, std::string_view& out) noexcept {
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

}  // namespace quorrel::binding
