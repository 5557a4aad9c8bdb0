// Python classes over engines.
//
// A class file declares its class as a table, at namespace scope (adapter
// lambdas need linkage to serve as template arguments), under the name that
// its line in classes.hpp gives it:
//
//   using C = ClassBuilder<HKVC, "PyHKVC(dim)">;
//   const ClassDef hkvc_class = C::define(
//       C::init<std::uint64_t>(),
//       C::method<"store($self, key, value, position)", &HKVC::store, "Store ...">(),
//       C::method<"count($self)", &HKVC::count, "Number of stored entries">());
//
// Everything else is here, written once: the instance layout, the owner-thread
// check, the borrow state, argument binding and conversion, the docstrings,
// and the rule for an instance dropped on a foreign thread.
//
// A method's target is a member function of the engine or a free function
// whose first parameter is the engine. A const target is a shared (read-only)
// use, a non-const one an exclusive use.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "python/call.hpp"

namespace tessarin::py {

// Thread-bound classes may only be used, and should only be released, on the
// thread that created the instance; sendable ones may travel between threads.
enum class Threading { Bound, Sendable };

// The borrow state of an instance: 0 free, n > 0 shared uses, -1 one exclusive use.
class BorrowGuard {
public:
    BorrowGuard(std::int64_t& state, bool exclusive);
    ~BorrowGuard();
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;

private:
    std::int64_t& state_;
    bool exclusive_;
};

// What a class file hands to the module: a spec from which the type object
// is made when the module adds the class.
struct ClassDef {
    std::string qualified_name;        // "<module>.<Class>"
    const char* docstring = nullptr;   // constructor signature first
    std::vector<PyMethodDef> methods;  // null-terminated
    std::vector<PyGetSetDef> getset;   // null-terminated
    newfunc tp_new = nullptr;
    destructor tp_dealloc = nullptr;
    lenfunc length = nullptr;          // len(), when the class has one
    reprfunc repr = nullptr;           // repr(), when the class has its own
    objobjproc contains = nullptr;     // `in`, when the class answers it
    int basicsize = 0;
    std::string_view name() const;
    // A new type object (new reference), or null with an error set.
    PyObject* make_type() const;
};

// Everything the trampolines need to know about one class, shared by all its
// members.
struct ClassIdentity {
    std::string_view name;   // "PyHKVC"
    std::string type_path;   // "tessarin_hdc::py_api::PyHKVC"
    Threading threading;
};

// A token for the calling thread that no other thread of the process ever
// carries, not even one started after this one ended (the system reuses
// thread identifiers, so an identifier cannot tell an owner from a successor).
std::uint64_t current_thread_token();

// Raises the panic "<type path> is unsendable, but sent to another thread"
// (as ErrorAlreadySet) when a thread-bound instance is used off its owner thread.
void check_owner_thread(const ClassIdentity& who, std::uint64_t owner);
// Reports "<type path> is unsendable, but is being dropped on another thread"
// through the unraisable hook, keeping any error that was already pending.
void report_foreign_drop(const ClassIdentity& who);
[[noreturn]] void raise_no_deleter();

template <class F>
struct MethodTarget;

template <class R, class E, class... P>
struct MethodTarget<R (E::*)(P...)> {
    using Engine = E;
    using Params = TypeList<P...>;
    static constexpr bool is_const = false;
};
template <class R, class E, class... P>
struct MethodTarget<R (E::*)(P...) const> {
    using Engine = E;
    using Params = TypeList<P...>;
    static constexpr bool is_const = true;
};
template <class R, class E, class... P>
struct MethodTarget<R (E::*)(P...) noexcept> : MethodTarget<R (E::*)(P...)> {};
template <class R, class E, class... P>
struct MethodTarget<R (E::*)(P...) const noexcept> : MethodTarget<R (E::*)(P...) const> {};
template <class R, class E, class... P>
struct MethodTarget<R (*)(E&, P...)> {
    using Engine = std::remove_const_t<E>;
    using Params = TypeList<P...>;
    static constexpr bool is_const = std::is_const_v<E>;
};

// `Module` is what the class reports as its __module__ (the specified
// classes report "builtins").
template <class Engine, FixedString CtorSig, FixedString Doc = "", Threading Threads = Threading::Bound,
          FixedString Module = "builtins">
class ClassBuilder {
public:
    static constexpr auto kCtor = parse_signature<CtorSig>();

    struct Instance {
        PyObject_HEAD
        std::int64_t borrow;
        std::uint64_t owner;  // current_thread_token() of the constructing thread
        std::unique_ptr<Engine> engine;
    };

    static const ClassIdentity& identity() {
        static const ClassIdentity who{kCtor.name, "tessarin_hdc::py_api::" + std::string(kCtor.name), Threads};
        return who;
    }

    // Owner-thread check, then the borrow, then `body(engine)`.
    template <bool Exclusive, class Body>
    static Ref with_engine(PyObject* self, Body&& body) {
        Instance& inst = *reinterpret_cast<Instance*>(self);
        if constexpr (Threads == Threading::Bound) check_owner_thread(identity(), inst.owner);
        BorrowGuard guard(inst.borrow, Exclusive);
        if constexpr (Exclusive) {
            return body(*inst.engine);
        } else {
            return body(std::as_const(*inst.engine));
        }
    }

    // ---- members --------------------------------------------------------------

    struct Member {
        enum class Kind { Constructor, Method, Property, Length, Repr, Contains } kind;
        PyMethodDef method{};
        PyGetSetDef getset{};
        newfunc tp_new = nullptr;
        lenfunc length = nullptr;
        reprfunc repr = nullptr;
        objobjproc contains = nullptr;
    };

    // Target: a function returning the engine by value from the converted arguments.
    template <auto Make>
    static Member constructor() {
        Member m{Member::Kind::Constructor};
        m.tp_new = &new_trampoline<Make>;
        return m;
    }

    // The engine's own constructor taking parameters of types P...
    template <class... P>
    static Member init() {
        return constructor<&construct<P...>>();
    }

    template <FixedString Sig, auto F, FixedString MethodDoc = "">
    static Member method() {
        using Target = MethodTarget<decltype(F)>;
        static_assert(std::is_same_v<typename Target::Engine, Engine>, "the method belongs to another engine");
        static_assert(parse_signature<Sig>().has_self, "a method's text signature starts with $self");
        Member m{Member::Kind::Method};
        m.method = PyMethodDef{NameOf<Sig>::c_str(), as_cfunction(&method_trampoline<Sig, F>),
                               METH_FASTCALL | METH_KEYWORDS, Docstring<Sig, MethodDoc>::c_str()};
        return m;
    }

    // A property: read-only when only Get is given. Set takes the converted
    // value; `ValueName` names it in conversion errors.
    template <FixedString Name, auto Get, auto Set = nullptr, FixedString ValueName = "v">
    static Member property() {
        Member m{Member::Kind::Property};
        m.getset.name = Name.data;
        m.getset.get = &getter_trampoline<Get>;
        if constexpr (!std::is_null_pointer_v<decltype(Set)>) m.getset.set = &setter_trampoline<Set, ValueName>;
        return m;
    }

    // len(): a const member (or function of the engine) returning a count.
    template <auto Count>
    static Member length() {
        Member m{Member::Kind::Length};
        m.length = &length_trampoline<Count>;
        return m;
    }

    // repr(): a function of the engine returning the text (a shared use).
    template <auto Text>
    static Member repr() {
        Member m{Member::Kind::Repr};
        m.repr = &repr_trampoline<Text>;
        return m;
    }

    // `x in obj`: a const member (or function of the engine) of one argument,
    // converted as a parameter named `Name`, returning a bool.
    template <auto Test, FixedString Name = "key">
    static Member contains() {
        Member m{Member::Kind::Contains};
        m.contains = &contains_trampoline<Test, Name>;
        return m;
    }

    template <class... Members>
    static ClassDef define(Members... members) {
        ClassDef def;
        def.qualified_name = std::string(Module.view()) + "." + std::string(kCtor.name);
        def.docstring = Docstring<CtorSig, Doc>::c_str();
        for (const Member& m : {members...}) {
            switch (m.kind) {
                case Member::Kind::Constructor: def.tp_new = m.tp_new; break;
                case Member::Kind::Method: def.methods.push_back(m.method); break;
                case Member::Kind::Property: def.getset.push_back(m.getset); break;
                case Member::Kind::Length: def.length = m.length; break;
                case Member::Kind::Repr: def.repr = m.repr; break;
                case Member::Kind::Contains: def.contains = m.contains; break;
            }
        }
        def.methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
        def.getset.push_back(PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr});
        def.tp_dealloc = &dealloc;
        def.basicsize = static_cast<int>(sizeof(Instance));
        return def;
    }

private:
    template <class... P>
    static Engine construct(P... args) {
        return Engine(std::move(args)...);
    }

    template <auto Make>
    static PyObject* new_trampoline(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
        return guarded([&]() -> PyObject* {
            using Target = Callable<decltype(Make)>;
            static_assert(Target::Params::size == kCtor.params.size(),
                          "the constructor's text signature and target disagree on the parameters");
            std::array<PyObject*, kCtor.params.size()> slots{};
            bind_tuple_dict(kCtor.name, kCtor.params, args, kwargs, slots);
            auto converted = convert_arguments<typename Target::Params>(slots, kCtor.params);
            auto engine = std::make_unique<Engine>(
                std::apply([](auto&&... a) { return Make(std::move(a)...); }, std::move(converted)));
            auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
            PyObject* self = check(alloc(type, 0));
            Instance& inst = *reinterpret_cast<Instance*>(self);
            inst.borrow = 0;
            inst.owner = current_thread_token();
            new (&inst.engine) std::unique_ptr<Engine>(std::move(engine));
            return self;
        });
    }

    static void dealloc(PyObject* self) {
        Instance& inst = *reinterpret_cast<Instance*>(self);
        PyTypeObject* type = Py_TYPE(self);
        if (Threads == Threading::Bound && inst.owner != current_thread_token()) {
            // Another thread may never run the engine's destructor: leak it, say so.
            (void)inst.engine.release();
            report_foreign_drop(identity());
        }
        inst.engine.~unique_ptr();
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);
    }

    template <FixedString Sig, auto F>
    static PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
        using Target = MethodTarget<decltype(F)>;
        constexpr bool exclusive = !Target::is_const;
        return guarded([&] {
            return with_engine<exclusive>(self, [&](auto& engine) {
                       static constexpr auto sig = parse_signature<Sig>();
                       static_assert(Target::Params::size == sig.params.size(),
                                     "the text signature and the method disagree on the number of parameters");
                       std::array<PyObject*, sig.params.size()> slots{};
                       bind_fastcall(qualname<Sig>(), sig.params, args, nargs, kwnames, slots);
                       auto converted = convert_arguments<typename Target::Params>(slots, sig.params);
                       return invoke_and_convert(F, std::move(converted), engine);
                   })
                .release();
        });
    }

    template <auto Get>
    static PyObject* getter_trampoline(PyObject* self, void*) {
        return guarded([&] {
            return with_engine<false>(self, [&](const Engine& engine) { return to_python(std::invoke(Get, engine)); })
                .release();
        });
    }

    template <auto Count>
    static Py_ssize_t length_trampoline(PyObject* self) {
        Py_ssize_t n = -1;
        PyObject* done = guarded([&] {
            return with_engine<false>(self, [&](const Engine& engine) {
                       n = static_cast<Py_ssize_t>(std::invoke(Count, engine));
                       return Ref::borrow(Py_None);
                   })
                .release();
        });
        if (done == nullptr) return -1;
        Py_DECREF(done);
        return n;
    }

    template <auto Text>
    static PyObject* repr_trampoline(PyObject* self) {
        return guarded([&] {
            return with_engine<false>(self, [&](const Engine& engine) { return to_python(std::invoke(Text, engine)); })
                .release();
        });
    }

    template <auto Test, FixedString Name>
    static int contains_trampoline(PyObject* self, PyObject* item) {
        bool found = false;
        PyObject* done = guarded([&] {
            return with_engine<false>(self, [&](const Engine& engine) {
                       using Target = MethodTarget<decltype(Test)>;
                       static constexpr std::array<Parameter, 1> params{Parameter{Name.view(), false}};
                       const std::array<PyObject*, 1> slots{item};
                       auto converted = convert_arguments<typename Target::Params>(slots, params);
                       found = std::apply([&](auto&&... a) { return std::invoke(Test, engine, std::move(a)...); },
                                          std::move(converted));
                       return Ref::borrow(Py_None);
                   })
                .release();
        });
        if (done == nullptr) return -1;
        Py_DECREF(done);
        return found ? 1 : 0;
    }

    template <auto Set, FixedString ValueName>
    static int setter_trampoline(PyObject* self, PyObject* value, void*) {
        PyObject* done = guarded([&] {
            if (value == nullptr) raise_no_deleter();
            return with_engine<true>(self, [&](Engine& engine) {
                       using Target = MethodTarget<decltype(Set)>;
                       static constexpr std::array<Parameter, 1> params{Parameter{ValueName.view(), false}};
                       const std::array<PyObject*, 1> slots{value};
                       auto converted = convert_arguments<typename Target::Params>(slots, params);
                       return invoke_and_convert(Set, std::move(converted), engine);
                   })
                .release();
        });
        if (done == nullptr) return -1;
        Py_DECREF(done);
        return 0;
    }

    // "<Class>.<method>", as the argument-count errors name a method.
    template <FixedString Sig>
    static std::string_view qualname() {
        static const std::string name = std::string(kCtor.name) + "." + std::string(parse_signature<Sig>().name);
        return name;
    }
};

}  // namespace tessarin::py
