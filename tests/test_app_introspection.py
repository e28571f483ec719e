"""What tools see of vorlix._app: the module namespace, the two classes'
namespaces, each function's names, annotations and signature, and help()."""

import inspect
import pydoc
import types

import pytest

import vorlix
import vorlix._app as app_module
import vorlix._util as util_module
from vorlix._app import API, App

# What `type` adds after a class statement's own namespace.
TYPE_ADDED = ["__dict__", "__weakref__", "__doc__"]

MEMBERS = {
    App: ["__init__", "is_running", "is_paused", "start", "stop", "pause", "resume"],
    API: ["keys", "__contains__", "__getitem__", "running", "paused"],
}
PROPERTIES = {(App, "is_running"), (App, "is_paused"), (API, "running"), (API, "paused")}


def function_of(cls, key):
    member = cls.__dict__[key]
    return member.fget if isinstance(member, property) else member


ALL_FUNCTIONS = [(cls, key) for cls, keys in MEMBERS.items() for key in keys]


class TestModule:
    def test_own_names_in_binding_order(self):
        names = list(vars(app_module))
        own = [name for name in names if not (name.startswith("__") and name.endswith("__"))]
        assert own == ["vorlix", "App", "API", "api"]
        assert names[-4:] == own

    def test_what_the_names_hold(self):
        assert app_module.vorlix is util_module.vorlix
        assert type(app_module.api) is API
        assert vorlix.apps is app_module.api
        assert vorlix.App is App

    def test_standard_attributes(self):
        assert app_module.__name__ == "vorlix._app"
        assert app_module.__package__ == "vorlix"
        assert app_module.__doc__ is None


class TestClassNamespaces:
    @pytest.mark.parametrize("cls, name, firstlineno, static", [
        (App, "App", 4, ("name",)),
        (API, "API", 29, ()),
    ])
    def test_class_statement_namespace(self, cls, name, firstlineno, static):
        assert list(cls.__dict__) == (
            ["__module__", "__firstlineno__"] + MEMBERS[cls] + ["__static_attributes__"] + TYPE_ADDED
        )
        assert cls.__module__ == "vorlix._app"
        assert cls.__qualname__ == cls.__name__ == name
        assert cls.__firstlineno__ == firstlineno
        assert cls.__static_attributes__ == static
        assert cls.__doc__ is None
        assert type(cls) is type
        assert cls.__bases__ == (object,)
        assert not hasattr(cls, "__slots__")

    @pytest.mark.parametrize("cls, absent", [
        (App, ["__eq__", "__hash__", "__repr__", "__str__", "__iter__", "__len__"]),
        (API, ["__init__", "__iter__", "__len__", "get", "values", "items", "__eq__", "__hash__", "__repr__"]),
    ])
    def test_inherits_what_it_does_not_define(self, cls, absent):
        for name in absent:
            assert getattr(cls, name, None) is getattr(object, name, None)

    def test_registry_offers_no_mapping_extras(self):
        for name in ["get", "values", "items", "__iter__", "__len__"]:
            assert not hasattr(app_module.api, name)

    @pytest.mark.parametrize("cls, key", sorted(PROPERTIES, key=str))
    def test_properties_have_only_a_getter(self, cls, key):
        member = cls.__dict__[key]
        assert type(member) is property
        assert member.fset is None and member.fdel is None


class TestFunctions:
    @pytest.mark.parametrize("cls, key", ALL_FUNCTIONS)
    def test_names_and_absent_extras(self, cls, key):
        function = function_of(cls, key)
        assert function.__name__ == key
        assert function.__qualname__ == f"{cls.__name__}.{key}"
        assert function.__module__ == "vorlix._app"
        assert function.__doc__ is None
        assert function.__defaults__ is None
        assert function.__kwdefaults__ is None

    @pytest.mark.parametrize("cls, key, annotations", [
        (App, "__init__", [("name", str), ("return", None)]),
        (App, "is_running", [("return", bool)]),
        (App, "is_paused", [("return", bool)]),
        (App, "start", [("return", None)]),
        (App, "stop", [("return", None)]),
        (App, "pause", [("return", None)]),
        (App, "resume", [("return", None)]),
        (API, "keys", [("return", list[str])]),
        (API, "__contains__", [("key", str), ("return", bool)]),
        (API, "__getitem__", [("key", str), ("return", App)]),
        (API, "running", [("return", dict[str, App])]),
        (API, "paused", [("return", dict[str, App])]),
    ])
    def test_annotations_are_real_objects_in_order(self, cls, key, annotations):
        actual = list(function_of(cls, key).__annotations__.items())
        assert actual == annotations
        for (_, got), (_, want) in zip(actual, annotations):
            assert type(got) is type(want)
            if isinstance(want, types.GenericAlias):
                assert got.__origin__ is want.__origin__
                assert all(g is w for g, w in zip(got.__args__, want.__args__, strict=True))
            else:
                assert got is want

    def test_annotations_keep_the_class_of_their_making(self, monkeypatch):
        monkeypatch.setattr(app_module, "App", type("App", (), {}))
        assert API.__getitem__.__annotations__["return"] is App
        assert API.running.fget.__annotations__["return"].__args__[1] is App

    @pytest.mark.parametrize("target, text", [
        (App, "(name: str) -> None"),
        (API, "()"),
        (App.__init__, "(self, name: str) -> None"),
        (App.start, "(self) -> None"),
        (App("mail").start, "() -> None"),
        (App.is_running.fget, "(self) -> bool"),
        (API.keys, "(self) -> list[str]"),
        (app_module.api.keys, "() -> list[str]"),
        (API.__contains__, "(self, key: str) -> bool"),
        (API.__getitem__, "(self, key: str) -> vorlix._app.App"),
        (app_module.api.__getitem__, "(key: str) -> vorlix._app.App"),
        (API.running.fget, "(self) -> dict[str, vorlix._app.App]"),
    ], ids=str)
    def test_signatures(self, target, text):
        assert str(inspect.signature(target)) == text

    @pytest.mark.parametrize("method", ["start", "stop", "pause", "resume"])
    def test_actions_drop_the_output_into_a_local(self, method):
        assert getattr(App, method).__code__.co_varnames == ("self", "_")

    def test_methods_bind_to_their_instance(self):
        handle = App("mail")
        bound = handle.start
        assert bound.__self__ is handle
        assert bound.__func__ is App.__dict__["start"]


class TestHelp:
    @pytest.mark.parametrize("target, expected", [
        (App, ["class App(builtins.object)", "App(name: str) -> None", "start(self) -> None",
               "is_running", "is_paused"]),
        # help() shows annotations as their source text.
        (API, ["class API(builtins.object)", "__getitem__(self, key: str) -> App",
               "keys(self) -> list[str]", "running", "paused"]),
        (app_module, ["vorlix._app", "class App", "class API"]),
    ], ids=["App", "API", "module"])
    def test_help_renders(self, target, expected):
        text = pydoc.render_doc(target, renderer=pydoc.plaintext)
        for piece in expected:
            assert piece in text
