// The module boundary: argument binding, conversion and error mapping only.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace {

PyObject* receipts_for_bytes(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "receipt building is not available yet");
  return nullptr;
}

PyObject* verify_bytes(PyObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_NotImplementedError, "verify_bytes is not available yet");
  return nullptr;
}

PyMethodDef kMethods[] = {
    {"receipts_for_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(receipts_for_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "receipts_for_bytes(source_bytes, doc_id, uri, authority=None)\n--\n\n"
     "Build evidence receipts for every numeric fact in an XBRL instance.\nReturns JSONL (one receipt per line)."},
    {"verify_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(verify_bytes)),
     METH_VARARGS | METH_KEYWORDS,
     "verify_bytes(receipts_jsonl, source_bytes)\n--\n\n"
     "Verify receipts (JSONL) against source bytes. Returns a JSON summary:\n"
     "{\"pass\": n, \"fail\": n, \"failures\": [reports...]}."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "quorrel", "", -1, kMethods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_quorrel() { return PyModule_Create(&kModule); }
