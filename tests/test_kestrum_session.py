"""The session context of SqlTemplate: get_session's commit / rollback / close table, the
generator protocol of its native body, and the operations' use of it (directly, and through
any get_session a subclass or a patch puts in its place).

Sessions here are recording objects, so that the exact sequence of calls can be asserted; the
real databases are in test_kestrum_statements.py.
"""

import contextlib
import functools
import gc
import subprocess
import sys
import warnings
import weakref

import pytest
import sqlalchemy.exc
from sqlalchemy import text

from conftest import Raises, expect
from velmo.db.brannow import VelmoSqlSession
from velmo.db import kestrum
from velmo.db.kestrum import SqlTemplate


class Boom(Exception):
    pass


class Result:
    def __init__(self, log):
        self.log = log

    def first(self):
        self.log.append("first")
        return None

    @property
    def rowcount(self):
        self.log.append("rowcount")
        return 3


class Recorder:
    """A session that logs its calls; `fail` maps a method name to what it raises."""

    def __init__(self, log, fail=None, truth=True):
        self.log = log
        self.fail = fail or {}
        self.truth = truth

    def __bool__(self):
        if "__bool__" in self.fail:
            self._call("__bool__")
        return self.truth

    def _call(self, name):
        self.log.append(name)
        if name in self.fail:
            exc = self.fail[name]
            raise exc() if isinstance(exc, type) else exc

    def execute(self, *args):
        self._call("execute")
        return Result(self.log)

    def commit(self):
        self._call("commit")

    def rollback(self):
        self._call("rollback")

    def close(self):
        self._call("close")


@pytest.fixture
def owned(monkeypatch):
    """Makes kestrum's sessionmaker hand out one Recorder; returns (log, recorder, calls)."""
    log, calls = [], []
    recorder = Recorder(log)

    def sessionmaker(**kwargs):
        calls.append(kwargs)
        return lambda: recorder

    monkeypatch.setattr(kestrum, "sessionmaker", sessionmaker)
    return log, recorder, calls


def reference_get_session(self, session=None):
    """get_session's algorithm as a Python generator function, the yardstick for the native one."""
    auto_close = True
    if session:
        auto_close = False
    else:
        session = kestrum.sessionmaker(bind=self.data_source, expire_on_commit=False)()
    try:
        yield session
        if auto_close:
            session.commit()
    except Exception as e:
        session.rollback()
        raise e
    finally:
        if auto_close:
            session.close()


class ReferenceTemplate(SqlTemplate):
    get_session = contextlib.contextmanager(reference_get_session)


class NativeThroughContextlib(SqlTemplate):
    """The native generator, but a different helper object: operations take the general road."""

    get_session = contextlib.contextmanager(SqlTemplate.get_session.__wrapped__)


# The commit / rollback / close table


@pytest.mark.parametrize("argument", [(), (None,), (False,), ("",), (Recorder([], truth=False),)])
def test_falsy_or_missing_session_gives_a_new_owned_session(owned, argument):
    log, recorder, calls = owned
    template = SqlTemplate("the bind")
    for _ in range(2):
        with template.get_session(*argument) as session:
            assert session is recorder
            log.append("block")
    assert log == ["block", "commit", "close"] * 2
    # A new factory for every owned session, with exactly these options.
    assert calls == [{"bind": "the bind", "expire_on_commit": False}] * 2
    assert all(a.log == [] for a in argument if isinstance(a, Recorder))


@pytest.mark.parametrize("borrowed", [False, True])
@pytest.mark.parametrize(
    "raised, expected_owned, expected_borrowed",
    [
        (None, ["commit", "close"], []),
        (Boom("x"), ["rollback", "close"], ["rollback"]),
        (LookupError("x"), ["rollback", "close"], ["rollback"]),
        (KeyboardInterrupt(), ["close"], []),
        (SystemExit(3), ["close"], []),
        (GeneratorExit(), ["close"], []),
    ],
)
def test_block_outcomes(owned, borrowed, raised, expected_owned, expected_borrowed):
    """A borrowed session is never committed or closed; what the block raises reaches the caller."""
    log, recorder, _ = owned
    session = Recorder(log) if borrowed else None
    with pytest.raises(type(raised)) if raised else contextlib.nullcontext() as info:
        with SqlTemplate(None).get_session(session) as given:
            assert given is (session or recorder)
            if raised:
                raise raised
    assert raised is None or info.value is raised
    assert log == (expected_borrowed if borrowed else expected_owned)


@pytest.mark.parametrize(
    "failing, block_error, expected_log",
    [
        ("commit", None, ["commit", "rollback", "close"]),
        ("rollback", ValueError("block"), ["rollback", "close"]),
        ("close", None, ["commit", "close"]),
        ("close", ValueError("block"), ["rollback", "close"]),
    ],
)
def test_failing_cleanup_calls(owned, failing, block_error, expected_log):
    """A failing commit takes the rollback road; a failing rollback or close replaces the error
    in flight (chained to it), and an owned session is closed whatever failed."""
    log, recorder, _ = owned
    recorder.fail[failing] = error = Boom(failing)
    with pytest.raises(Boom) as info:
        with SqlTemplate(None).get_session():
            if block_error:
                raise block_error
    assert info.value is error
    assert error.__context__ is block_error
    assert log == expected_log


def test_session_factory_errors_happen_on_entry_without_cleanup(monkeypatch):
    monkeypatch.setattr(kestrum, "sessionmaker", lambda **kw: 1 / 0)
    manager = SqlTemplate(None).get_session()
    with pytest.raises(ZeroDivisionError):
        manager.__enter__()
    # sessionmaker(bind=self.data_source, ...): the global first, then the attribute, then the call
    bare = SqlTemplate.__new__(SqlTemplate)
    with pytest.raises(AttributeError):
        with bare.get_session():
            pass
    monkeypatch.delattr(kestrum, "sessionmaker")
    for template in (SqlTemplate(None), bare):
        with pytest.raises(NameError, match="^name 'sessionmaker' is not defined$"):
            template.execute_in_connection(lambda con: None)


def test_owned_sessions_use_the_real_sessionmaker():
    template = SqlTemplate("not an engine")
    with template.get_session() as session:
        assert type(session).__mro__[1].__name__ == "Session"
        assert session.bind == "not an engine"
        assert session.expire_on_commit is False


class Bind:
    pass


def owned_session(owner):
    if isinstance(owner, SqlTemplate):
        with owner.get_session() as session:
            return session
    return owner.get_ori_session()


@pytest.mark.parametrize("make", [SqlTemplate, lambda bind: VelmoSqlSession({}, bind)], ids=["template", "session"])
def test_one_session_factory_per_owner_and_data_source(make):
    # sessionmaker() makes a class of its own for its sessions: the class tells the factories apart.
    first, other = make(Bind()), make(Bind())
    factory = type(owned_session(first))
    assert type(owned_session(first)) is factory and type(owned_session(other)) is not factory
    first.data_source = Bind()
    session = owned_session(first)
    assert type(session) is not factory and session.bind is first.data_source
    # A factory goes with its owner, and so does the data source it binds.
    gone = weakref.ref(first.data_source)
    del first, session
    gc.collect()
    assert gone() is None


# The generator protocol, compared step by step with a Python generator


def outcome(action):
    try:
        value = action()
    except BaseException as exc:  # noqa: BLE001 - every outcome is compared
        return ("raised", type(exc).__name__, str(exc), type(exc.__cause__).__name__, type(exc.__context__).__name__, exc)
    return ("value", "session" if isinstance(value, Recorder) else value)


def run_protocol(generator_function, borrowed, fail, steps, monkeypatch):
    log = []
    recorder = Recorder(log, dict(fail))
    monkeypatch.setattr(kestrum, "sessionmaker", lambda **kw: lambda: recorder)
    gen = generator_function(SqlTemplate("bind"), recorder if borrowed else None)
    trace = []
    for step in steps:
        if step == "reenter":
            recorder.fail.pop("commit", None)
            recorder.commit = lambda: trace.append(outcome(lambda: next(gen)))
            step = "next"
        if isinstance(step, tuple):
            name, *args = step
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = outcome(lambda: getattr(gen, name)(*args))
            result += tuple(str(w.message) for w in caught)
        else:
            result = outcome({"next": lambda: next(gen), "close": gen.close, "send": lambda: gen.send(None)}[step])
        thrown = [a for a in (step[1:] if isinstance(step, tuple) else ())]
        if result[0] == "raised":
            result = result[:5] + (any(result[5] is t for t in thrown),) + result[6:]
        trace.append(result + (tuple(log), gen.gi_suspended, gen.gi_running))
        log.clear()
    recorder.fail.clear()
    gen.close()
    return trace


def reraise(exc):
    raise exc


def scenarios():
    """Protocol step lists; a new set of exception objects for every run."""
    return {
        "run through": ["next", "next", "next", "send", ("throw", Boom("late")), "close"],
        "send values": ["send", ("send", 5), ("send", 6)],
        "non-None first send": [("send", 1), "next"],
        "throw before start": [("throw", Boom("early")), "next"],
        "close before start": ["close", "next"],
        "throw Exception": ["next", ("throw", Boom("x")), "next"],
        "throw KeyboardInterrupt": ["next", ("throw", KeyboardInterrupt()), "next"],
        "throw SystemExit": ["next", ("throw", SystemExit(2))],
        "throw StopIteration": ["next", ("throw", StopIteration("s"))],
        "throw class": ["next", ("throw", Boom)],
        "throw class and value": ["next", ("throw", Boom, "v")],
        "throw class and args tuple": ["next", ("throw", Boom, ("a", "b"))],
        "throw class and instance": ["next", ("throw", Exception, Boom("sub"))],
        "throw instance and value": ["next", ("throw", Boom("i"), "v")],
        "throw non-exception": ["next", ("throw", 1)],
        "throw bad traceback": ["next", ("throw", Boom, None, 5)],
        "throw no arguments": ["next", ("throw",)],
        "throw too many": ["next", ("throw", Boom, None, None, None)],
        "close suspended": ["next", "close", "close", "next"],
        "reentry from commit": ["next", "reenter"],
    }


SCENARIOS = list(scenarios())
# Classes, so that every run raises fresh instances.
FAILURES = {
    "none": {},
    "commit": {"commit": Boom},
    "commit StopIteration": {"commit": StopIteration},
    "rollback": {"rollback": Boom},
    "close": {"close": Boom},
    "rollback and close": {"rollback": Boom, "close": KeyError},
    "close KeyboardInterrupt": {"close": KeyboardInterrupt},
    "truth test StopIteration": {"__bool__": StopIteration},
}


@pytest.mark.parametrize("borrowed", [False, True], ids=["owned", "borrowed"])
@pytest.mark.parametrize("fail", FAILURES, ids=list(FAILURES))
@pytest.mark.parametrize("scenario", SCENARIOS)
def test_native_generator_matches_python_generator(scenario, fail, borrowed, monkeypatch):
    native = run_protocol(SqlTemplate.get_session.__wrapped__, borrowed, FAILURES[fail], scenarios()[scenario], monkeypatch)
    python = run_protocol(reference_get_session, borrowed, FAILURES[fail], scenarios()[scenario], monkeypatch)

    def comparable(trace):
        return [tuple(x for i, x in enumerate(t) if not (t[0] == "raised" and i == 5)) for t in trace]

    # The exception objects themselves differ between runs (fresh instances per run); their
    # identity with what was thrown in is compared instead.
    assert comparable(native) == comparable(python)


def test_suspended_generator_is_closed_when_collected(monkeypatch):
    log = []
    monkeypatch.setattr(kestrum, "sessionmaker", lambda **kw: lambda: Recorder(log))
    gen = SqlTemplate.get_session.__wrapped__(SqlTemplate(None))
    next(gen).gen = gen  # a cycle through the generator's session
    ref = weakref.ref(gen)
    del gen
    gc.collect()
    assert ref() is None
    assert log == ["close"]


def test_finalizer_errors_go_to_the_unraisable_hook(owned, monkeypatch):
    log, recorder, _ = owned
    recorder.fail["close"] = Boom("close at collection")
    seen = []
    monkeypatch.setattr(sys, "unraisablehook", lambda u: seen.append(u.exc_value))
    gen = SqlTemplate.get_session.__wrapped__(SqlTemplate(None))
    next(gen)
    del gen
    gc.collect()
    assert [str(e) for e in seen] == ["close at collection"]


def test_generator_holds_its_arguments_until_it_finishes():
    template, borrowed = SqlTemplate(None), Recorder([])
    before = sys.getrefcount(template), sys.getrefcount(borrowed)
    gen = SqlTemplate.get_session.__wrapped__(template, borrowed)
    assert (sys.getrefcount(template), sys.getrefcount(borrowed)) == (before[0] + 1, before[1] + 1)
    next(gen)
    with pytest.raises(StopIteration):
        next(gen)
    assert (sys.getrefcount(template), sys.getrefcount(borrowed)) == before


# Operations: the direct road, the general road with the native generator, and a Python
# get_session must be indistinguishable.

TEMPLATES = [SqlTemplate, NativeThroughContextlib, ReferenceTemplate]


def run_operation(template_class, fail, body, monkeypatch, borrowed=False):
    log = []
    recorder = Recorder(log, dict(fail))
    monkeypatch.setattr(kestrum, "sessionmaker", lambda **kw: lambda: recorder)
    template = template_class("bind")

    def fun(con):
        log.append("fun")
        return body(con)

    if borrowed:
        # A borrowed session runs through an ordinary operation; fun stands in for execute.
        recorder.execute = lambda *a: (log.append("execute"), body(recorder))[1]
        action = lambda: template.update(sql="statement", con=recorder)  # noqa: E731
    else:
        action = lambda: template.execute_in_connection(fun)  # noqa: E731
    result = outcome(action)
    if result[0] == "raised":
        result = result[:5]
    return result, log


RETURNED = Result([])
BODIES = {
    "returns": lambda con: RETURNED,
    "raises Exception": lambda con: reraise(Boom("body")),
    "raises KeyboardInterrupt": lambda con: reraise(KeyboardInterrupt()),
    "raises StopIteration": lambda con: reraise(StopIteration("body")),
    "raises GeneratorExit": lambda con: reraise(GeneratorExit()),
}


@pytest.mark.parametrize("borrowed", [False, True], ids=["owned", "borrowed"])
@pytest.mark.parametrize("fail", FAILURES, ids=list(FAILURES))
@pytest.mark.parametrize("body", BODIES, ids=list(BODIES))
def test_operations_behave_alike_on_every_road(body, fail, borrowed, monkeypatch):
    results = [run_operation(cls, FAILURES[fail], BODIES[body], monkeypatch, borrowed) for cls in TEMPLATES]
    assert results[0] == results[1] == results[2]


@pytest.mark.parametrize("cls", TEMPLATES)
@pytest.mark.parametrize("error", [Boom("same"), StopIteration("same")], ids=["Exception", "StopIteration"])
def test_block_exception_reaches_the_caller_as_the_same_object(owned, cls, error):
    with pytest.raises(type(error)) as info:
        cls(None).execute_in_connection(lambda con: reraise(error))
    assert info.value is error


def test_operations_compute_their_result_before_commit_and_close(owned):
    log, recorder, _ = owned

    def fun(con):
        assert con is recorder
        log.append("fun")
        return 42

    assert SqlTemplate(None).execute_in_connection(fun) == 42
    assert SqlTemplate(None).update("sql", args={"a": 1}) == 3
    assert SqlTemplate(None).select_one("sql") is None
    assert log == ["fun", "commit", "close"] + ["execute", "rowcount", "commit", "close"] + [
        "execute", "first", "commit", "close"]


class Inserted:
    def __init__(self, lastrowid, rows=None):  # the id, or what reading it raises; what the insert returned
        self.id, self.returns_rows, self.scalar = lastrowid, rows is not None, lambda: (rows or [[None]])[0][0]

    lastrowid = property(lambda self: reraise(self.id) if isinstance(self.id, BaseException) else self.id)


@pytest.mark.parametrize(("result", "expected", "log"), [
    *[(result, answer, ["execute", "commit", "close"]) for result, answer in [
        (Inserted(5, [(8,)]), 5), (Inserted(None, [(8,)]), 8), (Inserted(AttributeError(), [(8,)]), 8),
        (Inserted(AttributeError(), []), None), (Inserted(sqlalchemy.exc.InterfaceError("", None, Boom())), None),
        (object(), None)]],
    (Inserted(MemoryError()), Raises(MemoryError), ["execute", "rollback", "close"]),
    (Inserted(KeyboardInterrupt()), Raises(KeyboardInterrupt), ["execute", "close"]),
])
def test_insert_answers_the_id_the_driver_can_report(owned, monkeypatch, result, expected, log):
    monkeypatch.setattr(Recorder, "execute", lambda self, *args: self._call("execute") or result)
    expect(expected, SqlTemplate(None).insert, "sql")
    assert owned[0] == log


def test_operations_look_up_get_session_on_the_instance():
    entered = []

    class Tracing(SqlTemplate):
        @contextlib.contextmanager
        def get_session(self, *args):
            entered.append(args)
            yield args[0] if args and args[0] else Recorder([])

    borrowed = Recorder([])
    Tracing(None).update("sql", con=borrowed)
    Tracing(None).select_one("sql")
    Tracing(None).execute_in_connection(lambda con: None)
    assert entered == [(borrowed,), (None,), ()]  # execute_in_connection passes no argument

    template = SqlTemplate(None)
    template.get_session = lambda con=None: contextlib.nullcontext(borrowed)
    assert template.update("sql", con=None) == 3
    assert borrowed.log == ["execute", "rowcount", "execute", "rowcount"]


def test_a_context_manager_may_swallow_the_error():
    class Swallowing(SqlTemplate):
        @contextlib.contextmanager
        def get_session(self, session=None):
            with contextlib.suppress(Boom):
                yield session

    class Failing(Recorder):
        def execute(self, *args):
            raise Boom("swallowed")

    assert Swallowing(None).update("sql", con=Failing([])) is None
    answer = Swallowing(None).select_page(text("q"), page=kestrum.Page(2, 5), con=Failing([]))
    assert answer == {"pageNum": 2, "pageSize": 5}
    # These two return a local assigned in the block after the block: nothing was assigned.
    unbound = "^cannot access local variable 'result' where it is not associated with a value$"
    with pytest.raises(UnboundLocalError, match=unbound):
        Swallowing(None).select_page(text("q"), page=type("P", (), {"pageNum": 1, "pageSize": property(lambda p: reraise(Boom()))})(), con=Failing([]))
    with pytest.raises(UnboundLocalError, match=unbound):
        Swallowing(None).execute_in_connection(lambda con: reraise(Boom()))


@pytest.mark.parametrize(
    "manager, message",
    [
        (object(), "'object' object does not support the context manager protocol"),
        (type("EnterOnly", (), {"__enter__": lambda self: self})(),
         "'EnterOnly' object does not support the context manager protocol (missed __exit__ method)"),
    ],
)
def test_get_session_must_return_a_context_manager(manager, message):
    template = SqlTemplate(None)
    template.get_session = lambda *a: manager
    expect(Raises(TypeError, message), template.select_one, "sql")


def test_delete_goes_through_update_and_delete_orm2_through_update_orm2():
    calls = []

    class Overriding(SqlTemplate):
        def update(self, *args, **kwargs):
            calls.append(("update", args, kwargs))
            return "u"

        def update_orm2(self, *args, **kwargs):
            calls.append(("update_orm2", args, kwargs))
            return "o"

    t = Overriding(None)
    assert t.delete("sql") == "u"
    assert t.delete(sql="sql", con="c", args={"a": 1}) == "u"
    assert t.delete_orm2("statement") == "o"
    assert calls == [
        ("update", ("sql", None, None), {}),
        ("update", ("sql", "c", {"a": 1}), {}),
        ("update_orm2", ("statement", None), {}),
    ]


def test_select_page_uses_the_module_globals_at_call_time(monkeypatch):
    seen = []
    borrowed = Recorder([])
    borrowed.execute = lambda sql, args: seen.append((sql, args)) or type(
        "R", (), {"scalar": lambda self: 0, "all": lambda self: []})()
    monkeypatch.setattr(kestrum, "count_query", lambda sql: f"count of {sql}")
    monkeypatch.setattr(kestrum, "limit_query", lambda sql, page: f"page {page.pageNum} of {sql}")
    answer = SqlTemplate(None).select_page("q", kestrum.Page(2, 3), con=borrowed, args={"a": 1})
    assert answer == {"pageNum": 2, "pageSize": 3, "total": 0, "list": []}
    assert seen == [("count of q", {"a": 1}), ("page 2 of q", {"a": 1})]


def test_rows_from_any_iterable_and_any_row_type():
    class Row:
        def __init__(self, n):
            self.n = n

        def _asdict(self):
            return {"n": self.n}

    class Rows:
        def all(self):
            return (Row(i) for i in range(3))

        def first(self):
            return Row(9)

    borrowed = Recorder([])
    borrowed.execute = lambda *args: Rows()
    assert SqlTemplate(None).select_list("sql", con=borrowed) == [{"n": 0}, {"n": 1}, {"n": 2}]
    assert SqlTemplate(None).select_one("sql", con=borrowed) == {"n": 9}


@pytest.mark.parametrize("replace", ["class", "method", "base method"])
def test_a_replaced_contextlib_context_manager_is_used(monkeypatch, replace):
    entered = []
    original = contextlib._GeneratorContextManager

    class Tracing(original):
        def __enter__(self):
            entered.append(self)
            return super().__enter__()

    def tracing(method):
        def traced(self, *args):
            entered.append(self)
            return method(self, *args)

        return traced

    if replace == "class":
        monkeypatch.setattr(contextlib, "_GeneratorContextManager", Tracing)
    elif replace == "method":
        monkeypatch.setattr(original, "__enter__", tracing(original.__enter__))
    else:
        base = contextlib._GeneratorContextManagerBase  # __init__ is inherited from here
        monkeypatch.setattr(base, "__init__", tracing(base.__init__))
    borrowed = Recorder([])
    assert SqlTemplate(None).update("sql", con=borrowed) == 3
    assert len(entered) == 1
    monkeypatch.undo()
    # Undone: the class is what it was, and the operations skip it again.
    assert SqlTemplate(None).update("sql", con=borrowed) == 3
    assert len(entered) == 1


def test_a_raised_recursion_limit_still_ends_in_recursion_error():
    # The stack ends long before ten million nested calls: its end decides, not the count.
    code = ("import sys; sys.setrecursionlimit(10**7); from velmo.db.kestrum import SqlTemplate\n"
            "t = SqlTemplate(None); t.update = t.delete\n"
            "try: t.delete('sql')\nexcept RecursionError as e: print(e)")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert (run.returncode, run.stdout) == (0, "maximum recursion depth exceeded\n"), run.stderr


def test_operations_that_call_themselves_raise_recursion_error():
    template = SqlTemplate(None)
    template.update, template.update_orm2 = template.delete, template.delete_orm2
    template.get_session = functools.partial(SqlTemplate.execute_in_connection, template, print)
    for call in (lambda: template.delete("sql"), lambda: template.delete_orm2("statement"),
                 lambda: template.execute_in_connection(print)):
        with pytest.raises(RecursionError, match="^maximum recursion depth exceeded$"):
            call()
