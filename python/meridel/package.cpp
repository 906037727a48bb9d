// meridel is a package: the extension is its private part meridel._meridel, and
// meridel/__init__.py re-exports every public name. The interpreter looks for
// PyInit_<last part of the name>, so this entry point hands out the same module
// definition; the name comes from the import spec, and the types keep their
// "meridel.<Name>" (so __module__ and pickling by name are unchanged).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

PyMODINIT_FUNC PyInit_meridel();

PyMODINIT_FUNC PyInit__meridel() {
    return PyInit_meridel();
}
