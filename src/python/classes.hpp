// The module's classes, in the order the module adds them (after the
// functions), which is also the order of their names in __all__.
//
// Each line names a class file, src/python/py_<name>.cpp, which defines the
// class as `const ClassDef <name>_class = C::define(...);`. Adding a class is
// its engine, its class file and one line here (and its entry in the stub).
#pragma once

#include "python/class.hpp"

#define TESSARIN_CLASSES(X)     \
    X(causal_memory)            \
    X(multi_hop_reasoner)       \
    X(metacognition)            \
    X(self_audit)               \
    X(optimizer)                \
    X(quantum_attention_head)   \
    X(holo_cpu_scheduler)       \
    X(holo_gen_engine)          \
    X(holo_swarm)               \
    X(hkvc)

namespace tessarin::py {

#define TESSARIN_DECLARE_CLASS(name) extern const ClassDef name##_class;
TESSARIN_CLASSES(TESSARIN_DECLARE_CLASS)
#undef TESSARIN_DECLARE_CLASS

}  // namespace tessarin::py
