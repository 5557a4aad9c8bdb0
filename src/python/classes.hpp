// One accessor per Python class, each defined in its own py_<engine>.cpp.
#pragma once

#include "python/class.hpp"

namespace tessarin::py {

const ClassDef& causal_memory_class();
const ClassDef& multi_hop_reasoner_class();
const ClassDef& metacognition_class();
const ClassDef& self_audit_class();
const ClassDef& optimizer_class();
const ClassDef& quantum_attention_head_class();
const ClassDef& holo_cpu_scheduler_class();
const ClassDef& holo_gen_engine_class();
const ClassDef& holo_swarm_class();
const ClassDef& hkvc_class();

}  // namespace tessarin::py
