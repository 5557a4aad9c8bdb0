"""What every class shares: type identity, thread binding, the borrow state,
and release on a foreign thread. PyOptimizer serves as the probe because it
is the smallest engine; every thread-bound class must behave the same way,
which test_every_class_has_the_common_shape checks."""
import gc
import inspect
import sys
import threading
import weakref

import pytest

import tessarin_hdc as hdc
from conftest import Reentry, raised, run_in_thread

THREAD_BOUND = [
    "PyCausalMemory", "PyMultiHopReasoner", "PyMetacognition", "PySelfAudit", "PyOptimizer",
    "PyQuantumAttentionHead", "PyHoloCPUScheduler", "PyHoloGenEngine", "PyHKVC",
]


@pytest.mark.parametrize("cls", [getattr(hdc, n) for n in THREAD_BOUND + ["PyHoloSwarm"]], ids=lambda c: c.__name__)
def test_every_class_has_the_common_shape(cls):
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == cls.__name__
    assert cls.__doc__ is not None or cls.__text_signature__ is not None
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert "__weakref__" not in dir(cls)
    own = {name for name, value in vars(cls).items() if name.startswith("__") and callable(value)}
    assert own <= {"__new__", "__init__"} | ({"__new__"} if "__new__" in own else set())


@pytest.fixture
def opt():
    return hdc.PyOptimizer()


def test_instances_have_no_dict_and_no_weakrefs(opt):
    with pytest.raises(AttributeError):
        opt.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(opt)


def test_signatures_come_from_docstrings(opt):
    assert str(inspect.signature(hdc.PyOptimizer)) == "()"
    assert str(inspect.signature(opt.apply)) == "(action, delta, reason)"
    assert hdc.PyOptimizer.apply.__text_signature__ == "($self, action, delta, reason)"
    assert opt.get.__doc__.startswith("Get a cognitive parameter value by name.")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda o: o.rollback(1), r"rollback\(\) takes no arguments \(1 given\)"),
        (lambda o: o.get(), r"missing 1 required positional argument: 'name'"),
        (lambda o: o.get(name="momentum", other=1), r"unexpected keyword argument 'other'"),
        (lambda o: hdc.PyOptimizer(1), r"takes no arguments"),
    ],
)
def test_method_call_errors(opt, call, message):
    with pytest.raises(TypeError, match=message):
        call(opt)


def test_use_on_another_thread_is_a_panic_before_conversion(opt):
    touched = []

    class Spy:
        def __float__(self):
            touched.append(True)
            return 0.0

    box = run_in_thread(lambda: opt.apply("increase_lr", Spy(), "x"))
    err = box["error"]
    assert type(err).__name__ == "PanicException"
    assert not isinstance(err, Exception)
    assert err.args == ("tessarin_hdc::py_api::PyOptimizer is unsendable, but sent to another thread",)
    assert touched == []
    assert opt.get("momentum") == 0.5  # still usable on its own thread


def test_drop_on_foreign_thread_is_reported_not_raised(unraisable):
    holder = run_in_thread(hdc.PyOptimizer)
    obj = holder.pop("value")
    # The last reference goes away on this thread, which did not create it.
    del obj, holder
    gc.collect()
    assert len(unraisable) == 1
    info = unraisable[0]
    assert info.exc_type is RuntimeError
    assert str(info.exc_value) == (
        "tessarin_hdc::py_api::PyOptimizer is unsendable, but is being dropped on another thread")


def test_owner_rule_holds_for_a_thread_that_reuses_the_owners_identifier(unraisable):
    made = run_in_thread(lambda: (hdc.PyOptimizer(), threading.get_ident()))
    obj, owner_ident = made.pop("value")
    holder = {"obj": obj}
    del obj
    seen = {}

    def successor():
        if threading.get_ident() != owner_ident:
            return
        seen["error"] = raised(lambda: holder["obj"].get("momentum"))
        holder.clear()  # the last reference goes away on this thread
        gc.collect()

    # The system usually hands an ended thread's identifier to the next thread at once.
    for _ in range(100):
        run_in_thread(successor)
        if seen:
            break
    else:
        pytest.skip("no new thread received the ended owner's identifier")
    assert seen["error"].args == ("tessarin_hdc::py_api::PyOptimizer is unsendable, but sent to another thread",)
    assert [str(info.exc_value) for info in unraisable] == [
        "tessarin_hdc::py_api::PyOptimizer is unsendable, but is being dropped on another thread"]


def test_drop_on_owner_thread_reports_nothing(unraisable):
    obj = hdc.PyOptimizer()
    del obj
    gc.collect()
    assert unraisable == []


def test_reentrant_read_during_a_change_is_refused(opt):
    probe = Reentry(lambda: opt.get("momentum"))
    opt.apply("increase_lr", probe, "x")
    assert probe.outcome == "Already mutably borrowed"


def test_reentrant_change_during_a_change_is_refused(opt):
    probe = Reentry(opt.rollback)
    opt.apply("increase_lr", probe, "x")
    assert probe.outcome == "Already borrowed"


def test_borrow_is_released_after_every_outcome(opt):
    with pytest.raises(TypeError):
        opt.apply("increase_lr", "not a float", "x")
    probe = Reentry(lambda: opt.get("momentum"))
    opt.apply("increase_lr", probe, "x")
    # After both the failed and the re-entrant call the object is free again.
    opt.rollback()
    assert opt.get_params()["momentum"] == 0.5


def test_conversion_failure_leaves_engine_unchanged(opt):
    before = opt.get_params()
    with pytest.raises(TypeError, match="^argument 'reason': "):
        opt.apply("increase_lr", 0.5, 3)
    opt.rollback()  # nothing was recorded, so nothing to undo
    assert opt.get_params() == before


def test_get_params_returns_a_fresh_dict(opt):
    a, b = opt.get_params(), opt.get_params()
    assert a == b and a is not b and len(a) == 7


def test_instances_do_not_leak():
    hdc.PyOptimizer().get_params()  # warm the interpreter's caches
    before = sys.getrefcount(hdc.PyOptimizer)
    for _ in range(1000):
        hdc.PyOptimizer().get_params()
    after = sys.getrefcount(hdc.PyOptimizer)  # outside the assert, which would hold a reference
    assert after == before
