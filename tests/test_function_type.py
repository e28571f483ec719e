"""The function-like type that every function and method of the package is
made of. To callers and tools it must pass for a Python function: the same
TypeError wording for calls that do not fit, the same binding as a method,
signatures, annotations, repr, pickling, weak references and attributes."""

import annotationlib
import copy
import functools
import gc
import inspect
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import pytest

from vorlix import _app, _launcher, _util

App, Launcher = _app.App, _launcher.Launcher
CLASSES = {"_app.App": App, "_app.API": _app.API,
           "_launcher.Launcher": Launcher, "_launcher.API": _launcher.API}
FUNCTION_TYPE = type(_util.vorlix)


def own_functions():
    """(id, function, property name or None, class or None) for every
    function of the package."""
    found = [("_util.vorlix", _util.vorlix, None, None)]
    for label, cls in CLASSES.items():
        for key, value in vars(cls).items():
            if isinstance(value, property):
                found.append((f"{label}.{key}.fget", value.fget, key, cls))
            elif type(value) is FUNCTION_TYPE:
                found.append((f"{label}.{key}", value, None, cls))
    return found


FUNCTIONS = own_functions()
FUNCTION_IDS = [label for label, *_ in FUNCTIONS]
# Functions that pickle by their qualified name: not the property getters.
NAMED = [(label, f) for label, f, prop, _ in FUNCTIONS if prop is None]


def instance_of(cls):
    return {App: lambda: App("x"), Launcher: lambda: Launcher("x"),
            _app.API: lambda: _app.api, _launcher.API: lambda: _launcher.api}[cls]()


def reference_for(function):
    """A Python function with the same parameters, defaults and qualified
    name, whose errors are the interpreter's own."""
    signature = inspect.signature(function)
    plain = signature.replace(
        parameters=[p.replace(annotation=inspect.Parameter.empty)
                    for p in signature.parameters.values()],
        return_annotation=inspect.Signature.empty)
    namespace = {}
    exec(f"def reference{plain}: pass", namespace)
    reference = namespace["reference"]
    reference.__qualname__ = function.__qualname__
    return reference


def calls_that_may_not_fit(function):
    """Argument patterns around a function's parameters: none, too many,
    unknown and near-miss keywords, a parameter given twice."""
    parameters = inspect.signature(function).parameters.values()
    names = [p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
    variadic = any(p.kind is p.VAR_POSITIONAL for p in parameters)
    full = ("x",) * len(names)
    calls = [((), {}), (full, {"bogus": 1}), (("x",), {"x": 1})]
    if not variadic:
        calls += [(("x",) * (len(names) + 1), {}), (("x",) * (len(names) + 2), {})]
    for i, name in enumerate(names):
        calls += [
            (full, {name: 1}),                     # given twice
            (full[:i], {name[:-1] or "y": 1}),     # near miss
            ((), {name: 1}),                       # the others missing
            (full[:i], {name + "s": 1, "other": 2}),
        ]
    return calls


def error_of(call):
    try:
        call()
    except TypeError as e:
        return e
    return None


def bad_call_cases(bound):
    """The patterns that the interpreter refuses for the Python reference,
    called on the function itself or on a method bound to an instance."""
    cases = []
    for label, function, prop, cls in FUNCTIONS:
        if bound and (prop is not None or cls is None):
            continue
        reference = reference_for(function)
        if bound:
            reference = types.MethodType(reference, object())
        for number, (args, kwargs) in enumerate(calls_that_may_not_fit(function)):
            expected = error_of(lambda: reference(*args, **kwargs))
            if expected is not None:
                cases.append(pytest.param(function, cls, args, kwargs, str(expected),
                                          id=f"{label}-{number}"))
    return cases


class TestWrongCalls:
    @pytest.mark.parametrize("function, cls, args, kwargs, expected", bad_call_cases(False))
    def test_same_type_error_as_a_python_function(self, sim, function, cls, args, kwargs,
                                                  expected):
        got = error_of(lambda: function(*args, **kwargs))
        assert got is not None
        assert str(got) == expected
        assert sim.calls() == []

    @pytest.mark.parametrize("function, cls, args, kwargs, expected", bad_call_cases(True))
    def test_same_type_error_through_a_bound_method(self, sim, function, cls, args, kwargs,
                                                    expected):
        bound = getattr(instance_of(cls), function.__name__)
        got = error_of(lambda: bound(*args, **kwargs))
        assert got is not None
        assert str(got) == expected
        assert sim.calls() == []

    @pytest.mark.parametrize("label, function", NAMED, ids=[n for n, _ in NAMED])
    def test_keywords_that_are_not_text(self, label, function):
        reference = reference_for(function)
        expected = error_of(lambda: reference(**{1: 2}))
        assert str(error_of(lambda: function(**{1: 2}))) == str(expected)

    @pytest.mark.parametrize("cls", [App, Launcher])
    @pytest.mark.parametrize("args, kwargs", [((), {}), (("a", "b"), {}), ((), {"nam": "a"}),
                                              (("a",), {"name": "b"})])
    def test_calling_a_class_reports_its_init(self, cls, args, kwargs):
        class Reference:
            def __init__(self, name):
                pass

        Reference.__init__.__qualname__ = cls.__init__.__qualname__
        expected = error_of(lambda: Reference(*args, **kwargs))
        assert str(error_of(lambda: cls(*args, **kwargs))) == str(expected)

    def test_messages_follow_a_changed_qualified_name(self, monkeypatch):
        monkeypatch.setattr(App.start, "__qualname__", "Renamed.start")
        with pytest.raises(TypeError, match=r"^Renamed\.start\(\) missing 1 required"):
            App.start()

    @pytest.mark.parametrize("attribute", ["__name__", "__qualname__"])
    def test_names_must_stay_text(self, attribute):
        reference = reference_for(App.start)
        expected = error_of(lambda: setattr(reference, attribute, 5))
        got = error_of(lambda: setattr(App.start, attribute, 5))
        assert type(got) is type(expected)
        assert App.start.__qualname__ == "App.start"


class TestBindingThatFits:
    def test_self_by_keyword(self, sim):
        App.start(self=App("notes"))
        assert sim.calls() == [["start-app", "notes"]]

    def test_init_by_keyword(self):
        assert App(name="a b").name == "a b"
        assert Launcher(name="").name == ""

    @pytest.mark.parametrize("call, expected", [
        (lambda: Launcher("kiosk").enable(), ["switch-launcher", "kiosk"]),
        (lambda: Launcher("kiosk").enable(True), ["switch-launcher", "--start", "kiosk"]),
        (lambda: Launcher("kiosk").enable(start=1), ["switch-launcher", "--start", "kiosk"]),
        (lambda: Launcher.enable(Launcher("kiosk"), start=0), ["switch-launcher", "kiosk"]),
        (lambda: _launcher.api.switch(launcher="kiosk"), ["switch-launcher", "kiosk"]),
        (lambda: _launcher.api.switch(start=True, launcher="kiosk"),
         ["switch-launcher", "--start", "kiosk"]),
        (lambda: _launcher.API.switch(_launcher.api, "kiosk", True),
         ["switch-launcher", "--start", "kiosk"]),
    ], ids=["default", "positional", "keyword", "unbound", "switch-keyword", "switch-reversed",
            "switch-unbound"])
    def test_defaults_and_keywords_fill_the_parameters(self, sim, call, expected):
        assert call() is None
        assert sim.calls() == [expected]

    def test_the_optional_argument_of_logs_is_optional(self):
        for call in (lambda: Launcher("x").logs(), lambda: Launcher("x").logs(_onlogline=print)):
            with pytest.raises(NotImplementedError):
                call()


class TestMethodBinding:
    def test_an_instance_gives_a_bound_method(self):
        app = App("x")
        method = app.start
        assert type(method) is types.MethodType
        assert method.__func__ is App.start
        assert method.__self__ is app
        assert method == app.start

    @pytest.mark.parametrize("label, function", NAMED[1:], ids=[n for n, _ in NAMED[1:]])
    def test_descriptor_protocol(self, label, function):
        cls = CLASSES[label.rpartition(".")[0]]
        raw = vars(cls)[function.__name__]
        assert raw is function
        assert getattr(cls, function.__name__) is function
        assert raw.__get__(None, cls) is raw
        instance = instance_of(cls)
        bound = raw.__get__(instance, cls)
        assert type(bound) is types.MethodType and bound.__self__ is instance
        assert raw.__get__(instance).__func__ is raw
        with pytest.raises(TypeError):
            raw.__get__(None, None)

    def test_properties_call_their_getter_with_the_instance(self, sim):
        assert App("mail").is_running is True
        assert App.is_running.fget(App("notes")) is False

    def test_a_module_function_binds_too(self):
        # Like any function, the runner becomes a method when put on a class.
        class Holder:
            run = _util.vorlix

        assert Holder.run is _util.vorlix
        assert type(Holder().run) is types.MethodType


class TestSignatures:
    @pytest.mark.parametrize("label, function", NAMED[1:], ids=[n for n, _ in NAMED[1:]])
    def test_a_bound_method_drops_the_first_parameter(self, label, function):
        cls = CLASSES[label.rpartition(".")[0]]
        full = inspect.signature(function)
        bound = inspect.signature(getattr(instance_of(cls), function.__name__))
        assert list(bound.parameters.values()) == list(full.parameters.values())[1:]
        assert bound.return_annotation == full.return_annotation

    @pytest.mark.parametrize("cls", [App, Launcher])
    def test_a_class_shows_its_init(self, cls):
        init = inspect.signature(cls.__init__)
        assert inspect.signature(cls) == init.replace(
            parameters=list(init.parameters.values())[1:])

    @pytest.mark.parametrize("cls", [_app.API, _launcher.API])
    def test_a_registry_class_takes_nothing(self, cls):
        assert inspect.signature(cls) == inspect.signature(type("API", (), {}))

    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_code_object_agrees_with_the_signature(self, label, function, prop, cls):
        code = function.__code__
        parameters = list(inspect.signature(function).parameters.values())
        positional = [p.name for p in parameters if p.kind is p.POSITIONAL_OR_KEYWORD]
        variadic = [p.name for p in parameters if p.kind is p.VAR_POSITIONAL]
        assert code.co_name == function.__name__
        assert code.co_qualname == function.__qualname__
        assert code.co_argcount == len(positional)
        assert code.co_kwonlyargcount == code.co_posonlyargcount == 0
        assert code.co_varnames[:len(parameters)] == tuple(positional + variadic)
        assert bool(code.co_flags & inspect.CO_VARARGS) == bool(variadic)
        assert not code.co_flags & inspect.CO_VARKEYWORDS
        defaults = tuple(p.default for p in parameters if p.default is not p.empty)
        assert function.__defaults__ == (defaults or None)
        assert function.__kwdefaults__ is None
        assert function.__closure__ is None
        assert function.__type_params__ == ()


class TestAnnotations:
    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_every_format(self, label, function, prop, cls):
        value = function.__annotations__
        assert type(value) is dict and "return" in value
        get = annotationlib.get_annotations
        assert get(function, format=annotationlib.Format.VALUE) == value
        assert get(function, format=annotationlib.Format.FORWARDREF) == value
        assert inspect.get_annotations(function) == value

    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_string_format_is_source_text_of_the_values(self, label, function, prop, cls):
        # As for a function written in Python: text that evaluates, in the
        # function's module, to the annotation it stands for.
        texts = annotationlib.get_annotations(function, format=annotationlib.Format.STRING)
        value = function.__annotations__
        assert list(texts) == list(value)
        namespace = vars(sys.modules[function.__module__])
        for key, text in texts.items():
            assert "vorlix." not in text and "collections." not in text
            assert eval(text, dict(namespace)) == value[key]

    def test_string_format_of_replaced_annotations_comes_from_the_values(self, monkeypatch):
        function = _util.vorlix
        # Replacing the annotations drops the annotate function; setting it
        # back afterwards makes them again.
        monkeypatch.setattr(function, "__annotate__", function.__annotate__)
        monkeypatch.setattr(function, "__annotations__", {"return": list[int]})
        assert function.__annotate__ is None
        assert annotationlib.get_annotations(
            function, format=annotationlib.Format.STRING) == {"return": "list[int]"}

    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_annotate_hands_out_copies(self, label, function, prop, cls):
        annotations = function.__annotate__(annotationlib.Format.VALUE)
        assert annotations == function.__annotations__
        annotations["spoiled"] = int
        assert "spoiled" not in function.__annotations__

    def test_wraps_copies_the_annotations_through_annotate(self):
        runner = _util.vorlix

        @functools.wraps(runner)
        def wrapper(*args):
            return runner(*args)

        assert (wrapper.__name__, wrapper.__qualname__, wrapper.__module__, wrapper.__doc__) == (
            "vorlix", "vorlix", "vorlix._util", None)
        assert wrapper.__wrapped__ is runner
        assert wrapper.__annotations__ == {"args": str, "return": str}
        assert str(inspect.signature(wrapper)) == "(*args: str) -> str"
        wrapper.__annotations__["args"] = bytes
        assert runner.__annotations__["args"] is str

    def test_the_annotate_function_is_made_when_first_asked_for_without_compiling(self):
        # Nothing of the package's is compiled or unmarshalled, at import or
        # when `__annotate__` is first read: its code came with the shared
        # object. The first read makes the function, under the module's
        # file, and every later read gives the same one. In a fresh
        # interpreter, where nothing has asked for it yet.
        code = textwrap.dedent("""
            import annotationlib, collections.abc, inspect, subprocess, sys
            dynamic = []
            sys.addaudithook(lambda event, args: event in ("compile", "marshal.loads")
                             and dynamic.append(event))
            import vorlix
            f = vorlix.App.stop
            f.__annotations__, inspect.signature(f), f.__code__
            first = f.__annotate__
            print(dynamic, first is f.__annotate__,
                  first.__code__.co_filename == vorlix._app.__file__)
        """)
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=300)
        assert (child.stdout, child.returncode) == ("[] True True\n", 0), child.stderr

    def test_evaluation_stops_at_the_first_name_that_fails(self):
        # `dict[str, App]`: once `str` fails, `App` is not looked up, as in
        # Python. Looked up with the error pending, the key that collides
        # with it would compare in Python code, which turns the error into a
        # SystemError. In a fresh interpreter: the namespace stays spoiled.
        code = textwrap.dedent("""
            import annotationlib
            from vorlix import _app

            class Refused(Exception):
                pass

            class Colliding(str):  # hashes as the name after its dash
                def __hash__(self):
                    return hash(self[1:])

                def __eq__(self, other):
                    if str.__eq__(self, "-str"):
                        raise Refused
                    return False

            namespace = vars(_app)
            app = namespace.pop("App")
            namespace[Colliding("-str")] = namespace[Colliding("-App")] = None
            namespace["App"] = app  # probed after its colliding key
            try:
                _app.API.running.fget.__annotate__(annotationlib.Format.VALUE)
            except Exception as error:
                print(type(error).__name__)
        """)
        child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                               timeout=300)
        assert (child.stdout, child.returncode) == ("Refused\n", 0), child.stderr

    def test_annotations_can_be_replaced_like_a_functions(self, monkeypatch):
        monkeypatch.setattr(App.start, "__annotate__", App.start.__annotate__)
        monkeypatch.setattr(App.start, "__annotations__", {"return": int})
        assert App.start.__annotations__ == {"return": int}
        with pytest.raises(TypeError):
            App.start.__annotations__ = ["not", "a", "dict"]


class TestObjectBehaviour:
    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_repr_reads_like_a_functions(self, label, function, prop, cls):
        assert repr(function) == f"<function {function.__qualname__} at {id(function):#x}>"

    @pytest.mark.parametrize("label, function", NAMED, ids=[n for n, _ in NAMED])
    def test_pickle_and_copies_give_the_same_object(self, label, function):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            assert pickle.loads(pickle.dumps(function, protocol)) is function
        assert copy.copy(function) is function
        assert copy.deepcopy(function) is function
        assert copy.deepcopy([function])[0] is function

    def test_a_bound_method_pickles(self):
        # Pickling an instance caches __slotnames__ on its class (copyreg);
        # take it away again so that App's namespace stays as made.
        cached = "__slotnames__" in vars(App)
        try:
            method = pickle.loads(pickle.dumps(App("car mode").start))
        finally:
            if not cached and "__slotnames__" in vars(App):
                del App.__slotnames__
        assert method.__func__ is App.start
        assert method.__self__.name == "car mode"

    @pytest.mark.parametrize("label, function, prop, cls", FUNCTIONS, ids=FUNCTION_IDS)
    def test_weak_references(self, label, function, prop, cls):
        reference = weakref.ref(function)
        assert reference() is function
        registry = weakref.WeakValueDictionary({"f": function})
        assert registry["f"] is function

    def test_attributes_in_its_own_dict(self, monkeypatch):
        function = _util.vorlix
        monkeypatch.setattr(function, "marker", "set", raising=False)
        assert function.__dict__["marker"] == "set"
        assert vars(function) is function.__dict__
        monkeypatch.delattr(function, "marker")
        assert "marker" not in function.__dict__

    def test_identity_equality_and_hashing(self):
        functions = [f for _, f, _, _ in FUNCTIONS]
        assert len(set(functions)) == len(functions)
        assert all(f == f for f in functions)
        assert App.start != App.stop

    def test_the_type_cannot_be_instantiated(self):
        with pytest.raises(TypeError):
            FUNCTION_TYPE()
        assert callable(_util.vorlix)

    def test_partial_and_call_forward_to_it(self, sim):
        listing = functools.partial(_util.vorlix, "list-apps")
        assert listing() == sim.read("apps")
        assert _util.vorlix.__call__("list-apps") == sim.read("apps")


class TestNoLeaks:
    @staticmethod
    def growth(action, rounds):
        action(500)
        gc.collect()
        before = sys.getallocatedblocks()
        action(rounds)
        gc.collect()
        return sys.getallocatedblocks() - before

    def test_the_collector_reaches_the_state_through_every_function(self):
        # Each interpreter's state (its finder among what it holds) is an
        # object that functions hold and the collector traverses, so cycles
        # through it are found like any other.
        finder = next(f for f in sys.meta_path
                      if not isinstance(f, type) and f.find_spec("vorlix._util", None))
        for _, function, _, _ in FUNCTIONS:
            assert finder in gc.get_referents(*gc.get_referents(function))

    def test_introspection(self):
        def look(n):
            for _ in range(n):
                for _, function, _, _ in FUNCTIONS:
                    function.__code__, function.__annotations__, function.__defaults__
                    function.__annotate__(1)
                    repr(function)
                App("x").start
                pickle.dumps(App.start)

        assert self.growth(look, 5_000) < 1_000

    def test_refused_calls(self):
        app = App("x")

        def refuse(n):
            for _ in range(n):
                for call in (lambda: App.start(), lambda: app.start(1),
                             lambda: Launcher("x").enable(strat=1),
                             lambda: _launcher.api.switch("a", launcher="b"),
                             lambda: _util.vorlix(bogus=1)):
                    try:
                        call()
                    except TypeError:
                        pass

        assert self.growth(refuse, 10_000) < 1_000
