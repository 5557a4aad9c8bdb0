// The module definition: multi-phase initialisation with one execution step
// that adds the functions, then the classes, in a fixed order, and lists each
// name in __all__ as it is added.
#include <Python.h>

#include <array>

#include "python/classes.hpp"
#include "python/errors.hpp"
#include "python/functions.hpp"
#include "python/ref.hpp"

namespace tessarin::py {
namespace {

// The classes in the order the module adds them, after the functions.
#define TESSARIN_CLASS_ADDRESS(name) &name##_class,
constexpr std::array kClasses{TESSARIN_CLASSES(TESSARIN_CLASS_ADDRESS)};
#undef TESSARIN_CLASS_ADDRESS

// Sets module.<name> = value and appends name to __all__ (created on first use).
bool add_public(PyObject* module, const char* name, PyObject* value) {
    Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
        PyErr_Clear();
        all = Ref::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
    }
    Ref text = Ref::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
    return PyObject_SetAttrString(module, name, value) == 0;
}

int exec_module(PyObject* module) {
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "the tessarin_hdc execution step needs a module object");
        return -1;
    }
    connect_signal_check();
    Ref module_name = Ref::steal(PyModule_GetNameObject(module));
    if (!module_name) return -1;
    for (const PyMethodDef& def : module_functions()) {
        // The definitions are static; the function object only points at them.
        Ref function = Ref::steal(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), module, module_name.get()));
        if (!function || !add_public(module, def.ml_name, function.get())) return -1;
    }
    for (const ClassDef* def : kClasses) {
        Ref type = Ref::steal(def->make_type());
        if (!type || !add_public(module, std::string(def->name()).c_str(), type.get())) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},  // adds every public name
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessarin_hdc",  // m_name
    "",              // m_doc
    0,               // m_size: no per-module state
    no_methods,      // m_methods: functions are added by the execution step
    module_slots,    // m_slots
    nullptr,         // m_traverse
    nullptr,         // m_clear
    nullptr,         // m_free
};

}  // namespace
}  // namespace tessarin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tessarin_hdc() {
    return PyModuleDef_Init(&tessarin::py::module_def);
}
