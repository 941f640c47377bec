// INTERIM: a bare module so that the tree builds; replaced by the real initialisation.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef tacitor_module = {
    PyModuleDef_HEAD_INIT, "tacitor", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_tacitor() {
  return PyModule_Create2(&tacitor_module, 1013);
}
