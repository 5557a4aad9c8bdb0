// The companion package's native module, tessarin._native: its functions and
// classes, declared as tables in this directory with the binding toolkit of
// src/python/, which the specified module shares.
#pragma once

#include <Python.h>

#include <span>

#include "python/class.hpp"

namespace tessarin::py {

std::span<const PyMethodDef> companion_functions();

extern const ClassDef item_memory_class;
extern const ClassDef key_value_cache_class;
extern const ClassDef swarm_class;
extern const ClassDef causal_memory_class;
extern const ClassDef causal_trace_class;
extern const ClassDef causal_records_class;
extern const ClassDef multi_hop_reasoner_class;
extern const ClassDef reasoner_links_class;
extern const ClassDef reasoner_facts_class;
extern const ClassDef optimizer_class;
extern const ClassDef self_audit_class;
extern const ClassDef metacognition_class;
extern const ClassDef scheduler_class;
extern const ClassDef attention_head_class;
extern const ClassDef gen_engine_class;

}  // namespace tessarin::py
