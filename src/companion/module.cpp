// The native part of the `tessarin` package: multi-phase initialisation with
// one execution step that adds the version, the array type, the functions and
// the classes.
// The package's __init__.py re-exports them; each reports "tessarin" as its
// module, where users meet it.
#include <Python.h>

#include <array>

#include "companion/companion.hpp"
#include "python/array.hpp"
#include "python/errors.hpp"
#include "python/ref.hpp"

namespace tessarin::py {
namespace {

constexpr const char* kPublicModule = "tessarin";

constexpr std::array kClasses{&item_memory_class,    &key_value_cache_class,    &swarm_class,
                               &causal_memory_class,  &multi_hop_reasoner_class, &optimizer_class,
                               &self_audit_class,     &metacognition_class,      &scheduler_class,
                               &attention_head_class, &gen_engine_class,
                               // the parts of the sharded engines of tessarin.dask
                               &causal_trace_class,   &causal_records_class,     &reasoner_links_class,
                               &reasoner_facts_class};

int exec_module(PyObject* module) {
    // This module carries its own copy of the core, so its long work needs the
    // signal check connected here too.
    connect_signal_check();
    if (PyModule_AddStringConstant(module, "__version__", TESSARIN_VERSION) < 0) return -1;
    PyObject* array = make_array_type("tessarin.Array");
    if (array == nullptr || PyModule_AddObjectRef(module, "Array", array) < 0) return -1;
    Ref public_name = Ref::steal(PyUnicode_FromString(kPublicModule));
    if (!public_name) return -1;
    {
        // Under this module's own name, where pickle looks for it.
        Ref module_name = Ref::steal(PyUnicode_FromString("tessarin._native"));
        if (!module_name) return -1;
        Ref rebuild = Ref::steal(PyCFunction_NewEx(&array_rebuild_def, nullptr, module_name.get()));
        if (!rebuild || PyModule_AddObjectRef(module, array_rebuild_def.ml_name, rebuild.get()) < 0) return -1;
        set_array_rebuild(rebuild.get());
    }
    for (const PyMethodDef& def : companion_functions()) {
        // The definitions are static; the function object only points at them.
        Ref function = Ref::steal(PyCFunction_NewEx(const_cast<PyMethodDef*>(&def), nullptr, public_name.get()));
        if (!function || PyModule_AddObjectRef(module, def.ml_name, function.get()) < 0) return -1;
    }
    for (const ClassDef* def : kClasses) {
        Ref type = Ref::steal(def->make_type());
        if (!type || PyModule_AddObjectRef(module, std::string(def->name()).c_str(), type.get()) < 0) return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},  // adds the version, array type, functions and classes
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "tessarin._native",  // m_name
    "The native part of the tessarin package; import tessarin instead.",  // m_doc
    0,           // m_size: no per-module state
    no_methods,  // m_methods: functions are added by the execution step
    module_slots,
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace tessarin::py

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
    return PyModuleDef_Init(&tessarin::py::module_def);
}
