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
// A class that serves any thread (the companion's) names Threading::Shared,
// marks its long engine calls with long_method, and gets persistence from one
// line:
//
//   using C = ClassBuilder<ItemMemory, "ItemMemory(dim)", "...", Threading::Shared, "tessarin">;
//   ...
//       C::long_method<"search($self, queries, k)", &search, "...", &scan_work>(),
//       C::snapshots<&ItemMemory::snapshot_to, &ItemMemory::from_snapshot>());
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

#include "core/cancel.hpp"
#include "core/snapshot.hpp"
#include "python/call.hpp"
#include "python/persist.hpp"
#include "python/shared.hpp"

namespace tessarin::py {

// Thread-bound classes may only be used, and should only be released, on the
// thread that created the instance; sendable ones may travel between threads.
// Shared ones may be used from any number of threads at once and released on
// any: a call converts its arguments first, then takes the instance's lock
// (python/shared.hpp: shared for a const target, exclusive otherwise; a
// thread that holds it and asks again gets the borrow errors at once, any
// other waits, interruptibly), and a long_method's engine work runs without
// the interpreter lock.
enum class Threading { Bound, Sendable, Shared };

// Units of engine work (core/cancel.hpp: about a nanosecond each; estimates
// add and multiply with its saturating helpers) from which a long_method lets
// go of the interpreter lock: letting go and taking it back costs about a
// microsecond, and other threads should get more than that.
inline constexpr std::uint64_t kReleaseWorkUnits = 20000;

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
        std::unique_ptr<ObjectLock> lock;  // Threading::Shared only
    };

    static const ClassIdentity& identity() {
        static const ClassIdentity who{kCtor.name, "tessarin_hdc::py_api::" + std::string(kCtor.name), Threads};
        return who;
    }

    // Owner-thread check, then the borrow (a shared class: its lock), then
    // `body(engine)`.
    template <bool Exclusive, class Body>
    static decltype(auto) with_engine(PyObject* self, Body&& body) {
        Instance& inst = *reinterpret_cast<Instance*>(self);
        if constexpr (Threads == Threading::Bound) check_owner_thread(identity(), inst.owner);
        auto run = [&]() -> decltype(auto) {
            if constexpr (Exclusive) {
                return body(*inst.engine);
            } else {
                return body(std::as_const(*inst.engine));
            }
        };
        if constexpr (Threads == Threading::Shared) {
            const ObjectLock::Hold hold(*inst.lock, Exclusive);
            return run();
        } else {
            BorrowGuard guard(inst.borrow, Exclusive);
            return run();
        }
    }

    // ---- members --------------------------------------------------------------

    struct Member {
        enum class Kind { Constructor, Method, Property, Length, Repr, Contains } kind;
        PyMethodDef method{};
        std::vector<PyMethodDef> more{};  // further methods of one table line
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
        return method_member<Sig, F, MethodDoc, false, nullptr>();
    }

    // A method whose engine work may be long (a scan, hashing many rows). On
    // a shared class it runs without the interpreter lock (so calls on several
    // threads use several cores) once `Work(engine, converted arguments...)`
    // reaches kReleaseWorkUnits, or always when no Work is given; its target
    // must then not touch Python (raise through engine exceptions, not
    // `raise`). Elsewhere it is an ordinary method.
    template <FixedString Sig, auto F, FixedString MethodDoc = "", auto Work = nullptr>
    static Member long_method() {
        return method_member<Sig, F, MethodDoc, true, Work>();
    }

    // Persistence, one line: pickle (__reduce__, __reduce_ex__; protocol 5
    // hands the snapshot over as a PickleBuffer, which may travel out of
    // band), copy.copy and copy.deepcopy (an independent engine),
    // save(path) (replaces the file atomically) and the class methods
    // load(path) and _from_snapshot(data) (the reconstructor pickle names).
    // SnapshotTo streams the engine's snapshot to a sink, FromSnapshot
    // rebuilds an engine from one in memory; load streams the file into the
    // engine's reader (Engine::kSnapshotKind) without holding it whole
    // (core/snapshot.hpp).
    template <auto SnapshotTo, auto FromSnapshot>
    static Member snapshots() {
        Member m{Member::Kind::Method};
        m.method = PyMethodDef{"__reduce__", reinterpret_cast<PyCFunction>(&reduce<SnapshotTo>), METH_NOARGS,
                               "__reduce__($self, /)\n--\n\nPickles as the engine's snapshot."};
        m.more = {
            PyMethodDef{"__reduce_ex__", reinterpret_cast<PyCFunction>(&reduce_ex<SnapshotTo>), METH_O,
                        "__reduce_ex__($self, protocol, /)\n--\n\n"
                        "Pickles as the engine's snapshot; protocol 5 passes it as a PickleBuffer."},
            PyMethodDef{"__copy__", reinterpret_cast<PyCFunction>(&copy_instance<SnapshotTo, FromSnapshot>),
                        METH_NOARGS,
                        "__copy__($self, /)\n--\n\nAn independent copy of the engine."},
            PyMethodDef{"__deepcopy__",
                        reinterpret_cast<PyCFunction>(&deepcopy_instance<SnapshotTo, FromSnapshot>), METH_O,
                        "__deepcopy__($self, memo, /)\n--\n\nAn independent copy of the engine."},
            PyMethodDef{"save", reinterpret_cast<PyCFunction>(&save<SnapshotTo>), METH_O,
                        "save($self, path, /)\n--\n\n"
                        "Writes the engine's snapshot to the file at path, replacing it atomically: a\n"
                        "temporary file in the same folder is written, flushed to disk and renamed over it."},
            PyMethodDef{"load", reinterpret_cast<PyCFunction>(&load), METH_O | METH_CLASS,
                        "load($type, path, /)\n--\n\n"
                        "The engine saved in the file at path; ValueError naming what is wrong with a\n"
                        "file that is not an intact snapshot of this class."},
            PyMethodDef{"_from_snapshot", reinterpret_cast<PyCFunction>(&from_snapshot_data<FromSnapshot>),
                        METH_O | METH_CLASS,
                        "_from_snapshot($type, data, /)\n--\n\n"
                        "The engine rebuilt from a snapshot given as a bytes-like object (pickle's reconstructor)."},
        };
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
    // converted as a parameter named `Name`, returning a bool. Given a Work
    // estimate (as a long_method's), a shared class tests without the
    // interpreter lock once it reaches kReleaseWorkUnits; without one, the
    // test is short and keeps it.
    template <auto Test, FixedString Name = "key", auto Work = nullptr>
    static Member contains() {
        Member m{Member::Kind::Contains};
        m.contains = &contains_trampoline<Test, Name, Work>;
        return m;
    }

    // Runs `work` (engine work, nothing of Python inside) without the
    // interpreter lock when the class is shared and `units` reach
    // kReleaseWorkUnits, with it otherwise. For a method target with a Python
    // part besides its engine part (an object handed back as it came): the
    // engine part goes through here, the Python part stays outside.
    template <class Work>
    static decltype(auto) engine_work(std::uint64_t units, Work&& work) {
        if constexpr (Threads == Threading::Shared) {
            if (units >= kReleaseWorkUnits) return off_interpreter(work);
        }
        return work();
    }

    template <class... Members>
    static ClassDef define(Members... members) {
        ClassDef def;
        def.qualified_name = std::string(Module.view()) + "." + std::string(kCtor.name);
        def.docstring = Docstring<CtorSig, Doc>::c_str();
        for (const Member& m : {members...}) {
            switch (m.kind) {
                case Member::Kind::Constructor: def.tp_new = m.tp_new; break;
                case Member::Kind::Method:
                    def.methods.push_back(m.method);
                    def.methods.insert(def.methods.end(), m.more.begin(), m.more.end());
                    break;
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
            return wrap(type, std::make_unique<Engine>(
                                  std::apply([](auto&&... a) { return Make(std::move(a)...); }, std::move(converted))));
        });
    }

    // A new instance of `type` owning `engine`.
    static PyObject* wrap(PyTypeObject* type, std::unique_ptr<Engine> engine) {
        std::unique_ptr<ObjectLock> lock;
        if constexpr (Threads == Threading::Shared) lock = std::make_unique<ObjectLock>();
        auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
        PyObject* self = check(alloc(type, 0));
        Instance& inst = *reinterpret_cast<Instance*>(self);
        inst.borrow = 0;
        inst.owner = current_thread_token();
        new (&inst.engine) std::unique_ptr<Engine>(std::move(engine));
        new (&inst.lock) std::unique_ptr<ObjectLock>(std::move(lock));
        return self;
    }

    // Runs `work` (no Python inside) without the interpreter lock on a shared
    // class, with it elsewhere.
    template <class Work>
    static decltype(auto) off_interpreter(Work&& work) {
        if constexpr (Threads == Threading::Shared) {
            const ReleasedInterpreter released;
            return work();
        } else {
            return work();
        }
    }

    // ---- persistence ------------------------------------------------------------

    // The snapshot as the pieces it was streamed in, so that a large one is
    // copied once, into its bytes object, rather than again at each regrowth.
    template <auto SnapshotTo>
    static SnapshotPieces snapshot_of(PyObject* self) {
        return with_engine<false>(self, [](const Engine& engine) {
            return off_interpreter([&] {
                SnapshotPieces out;
                const auto keep = [&](SnapshotView piece) { out.emplace_back(piece.begin(), piece.end()); };
                std::invoke(SnapshotTo, engine, keep, kSnapshotPieceBytes);
                return out;
            });
        });
    }

    template <auto SnapshotTo>
    static PyObject* reduce(PyObject* self, PyObject*) {
        return guarded([&] { return reduce_value(self, snapshot_of<SnapshotTo>(self), 2).release(); });
    }

    template <auto SnapshotTo>
    static PyObject* reduce_ex(PyObject* self, PyObject* protocol) {
        return guarded([&] {
            const long p = PyLong_AsLong(protocol);
            if (p == -1 && PyErr_Occurred()) throw ErrorAlreadySet{};
            return reduce_value(self, snapshot_of<SnapshotTo>(self), p).release();
        });
    }

    // An engine without a copy constructor is copied through its snapshot.
    template <auto SnapshotTo, auto FromSnapshot>
    static PyObject* copy_instance(PyObject* self, PyObject*) {
        return guarded([&] {
            std::unique_ptr<Engine> engine;
            if constexpr (std::is_copy_constructible_v<Engine>) {
                engine = with_engine<false>(self, [](const Engine& e) {
                    return off_interpreter([&] { return std::make_unique<Engine>(e); });
                });
            } else {
                const SnapshotPieces pieces = snapshot_of<SnapshotTo>(self);
                SnapshotBytes whole;
                for (const SnapshotBytes& piece : pieces) whole.insert(whole.end(), piece.begin(), piece.end());
                engine = off_interpreter([&] { return std::make_unique<Engine>(FromSnapshot(SnapshotView(whole))); });
            }
            return wrap(Py_TYPE(self), std::move(engine));
        });
    }
    // The engine holds no Python objects, so a deep copy is a copy.
    template <auto SnapshotTo, auto FromSnapshot>
    static PyObject* deepcopy_instance(PyObject* self, PyObject*) {
        return copy_instance<SnapshotTo, FromSnapshot>(self, nullptr);
    }

    template <auto SnapshotTo>
    static PyObject* save(PyObject* self, PyObject* path) {
        return guarded([&] {
            const std::string target = filesystem_path(path);
            with_engine<false>(self, [&](const Engine& engine) {
                off_interpreter([&] {
                    replace_file_atomically(target, [&](const SnapshotSink& sink) {
                        std::invoke(SnapshotTo, engine, sink, kSnapshotPieceBytes);
                    });
                });
                return 0;
            });
            return Ref::borrow(Py_None).release();
        });
    }

    static PyObject* load(PyObject* type, PyObject* path) {
        return guarded([&] {
            const std::string source = filesystem_path(path);
            auto engine = off_interpreter([&] {
                return std::make_unique<Engine>(engine_from_snapshot_file<Engine>(source, Engine::kSnapshotKind));
            });
            return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(engine));
        });
    }

    template <auto FromSnapshot>
    static PyObject* from_snapshot_data(PyObject* type, PyObject* data) {
        return guarded([&] {
            const BufferView view(data);
            auto rebuild = [&] { return std::make_unique<Engine>(FromSnapshot(view.bytes())); };
            // Bytes cannot change while the interpreter lock is let go, nor
            // while a handler runs at a poll; any other buffer is read with
            // the lock held and no handler run until the engine is built.
            auto engine = PyBytes_Check(data) ? off_interpreter(rebuild) : [&] {
                const SignalChecksHeld held;
                return rebuild();
            }();
            return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(engine));
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
        inst.lock.~unique_ptr();
        auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
        free_slot(self);
        Py_DECREF(type);
    }

    template <FixedString Sig, auto F, FixedString MethodDoc, bool Long, auto Work>
    static Member method_member() {
        using Target = MethodTarget<decltype(F)>;
        static_assert(std::is_same_v<typename Target::Engine, Engine>, "the method belongs to another engine");
        static_assert(parse_signature<Sig>().has_self, "a method's text signature starts with $self");
        Member m{Member::Kind::Method};
        m.method = PyMethodDef{NameOf<Sig>::c_str(), as_cfunction(&method_trampoline<Sig, F, Long, Work>),
                               METH_FASTCALL | METH_KEYWORDS, Docstring<Sig, MethodDoc>::c_str()};
        return m;
    }

    // A call's work estimate: Work(engine, converted arguments...), or
    // `otherwise` when no Work is given.
    template <auto Work, class Tuple>
    static std::uint64_t work_units(const Engine& engine, const Tuple& converted, std::uint64_t otherwise) {
        if constexpr (std::is_null_pointer_v<decltype(Work)>) {
            return otherwise;
        } else {
            return std::apply([&](const auto&... a) { return std::invoke(Work, engine, a...); }, converted);
        }
    }

    // A method call's arguments bound to its parameters and converted.
    template <FixedString Sig, auto F>
    static auto method_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        using Target = MethodTarget<decltype(F)>;
        static constexpr auto sig = parse_signature<Sig>();
        static_assert(Target::Params::size == sig.params.size(),
                      "the text signature and the method disagree on the number of parameters");
        std::array<PyObject*, sig.params.size()> slots{};
        bind_fastcall(qualname<Sig>(), sig.params, args, nargs, kwnames, slots);
        return convert_arguments<typename Target::Params>(slots, sig.params);
    }

    // The shared policy's call: arguments first, then the lock, then the
    // engine (without the interpreter lock when long), then the result.
    template <FixedString Sig, auto F, bool Long, auto Work>
    static Ref shared_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
        using Target = MethodTarget<decltype(F)>;
        auto converted = method_arguments<Sig, F>(args, nargs, kwnames);
        return with_engine<!Target::is_const>(self, [&](auto& engine) {
            if constexpr (Long) {
                // Without an estimate the work is taken to be long.
                const std::uint64_t units = work_units<Work>(engine, converted, UINT64_MAX);
                auto call = [&]() -> decltype(auto) {
                    return std::apply(
                        [&](auto&&... a) -> decltype(auto) { return std::invoke(F, engine, std::move(a)...); },
                        std::move(converted));
                };
                if constexpr (std::is_void_v<decltype(call())>) {
                    engine_work(units, call);
                    return Ref::borrow(Py_None);
                } else {
                    return to_python(engine_work(units, call));
                }
            } else {
                return invoke_and_convert(F, std::move(converted), engine);
            }
        });
    }

    template <FixedString Sig, auto F, bool Long, auto Work>
    static PyObject* method_trampoline(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
        using Target = MethodTarget<decltype(F)>;
        constexpr bool exclusive = !Target::is_const;
        if constexpr (Threads == Threading::Shared) {
            return guarded([&] { return shared_call<Sig, F, Long, Work>(self, args, nargs, kwnames).release(); });
        }
        return guarded([&] {
            return with_engine<exclusive>(self, [&](auto& engine) {
                       auto converted = method_arguments<Sig, F>(args, nargs, kwnames);
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

    template <auto Test, FixedString Name, auto Work>
    static int contains_trampoline(PyObject* self, PyObject* item) {
        bool found = false;
        PyObject* done = guarded([&] {
            // The item is converted before the engine is borrowed, as a method's arguments are.
            using Target = MethodTarget<decltype(Test)>;
            static constexpr std::array<Parameter, 1> params{Parameter{Name.view(), false}};
            const std::array<PyObject*, 1> slots{item};
            auto converted = convert_arguments<typename Target::Params>(slots, params);
            return with_engine<false>(self, [&](const Engine& engine) {
                       found = engine_work(work_units<Work>(engine, converted, 0), [&] {
                           return std::apply([&](auto&&... a) { return std::invoke(Test, engine, std::move(a)...); },
                                             std::move(converted));
                       });
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
            using Target = MethodTarget<decltype(Set)>;
            static constexpr std::array<Parameter, 1> params{Parameter{ValueName.view(), false}};
            const std::array<PyObject*, 1> slots{value};
            if constexpr (Threads == Threading::Shared) {  // the value first, then the lock
                auto converted = convert_arguments<typename Target::Params>(slots, params);
                return with_engine<true>(self, [&](Engine& engine) {
                           return invoke_and_convert(Set, std::move(converted), engine);
                       })
                    .release();
            }
            return with_engine<true>(self, [&](Engine& engine) {
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
