"""vorlix._launcher must look to Python's own tools (inspect, help,
annotations, class and module namespaces) exactly like the module its
source would make."""

import collections.abc
import inspect
import pydoc
import subprocess

import pytest

import vorlix._launcher as launcher_module
import vorlix._util
from vorlix._launcher import API, Launcher

P = inspect.Parameter.POSITIONAL_OR_KEYWORD


def plain_names(namespace):
    return [name for name in namespace if not (name.startswith("__") and name.endswith("__"))]


class TestModule:
    def test_own_names_in_binding_order(self):
        assert plain_names(vars(launcher_module)) == ["subprocess", "Callable", "vorlix", "Launcher", "API", "api"]

    def test_bound_objects(self):
        assert launcher_module.subprocess is subprocess
        assert launcher_module.Callable is collections.abc.Callable
        assert launcher_module.vorlix is vorlix._util.vorlix
        assert type(launcher_module.api) is API
        assert vorlix.launchers is launcher_module.api

    def test_standard_attributes(self):
        assert launcher_module.__name__ == "vorlix._launcher"
        assert launcher_module.__package__ == "vorlix"
        assert launcher_module.__doc__ is None
        assert not hasattr(launcher_module, "__all__")


class TestClasses:
    @pytest.mark.parametrize(
        "cls, members, firstlineno, static",
        [
            (
                Launcher,
                ["__init__", "logs", "start", "stop", "enable", "is_current", "is_enabled", "is_active"],
                7,
                ("name",),
            ),
            (API, ["keys", "__contains__", "__getitem__", "current", "switch"], 49, ()),
        ],
    )
    def test_namespace_as_a_class_statement_leaves_it(self, cls, members, firstlineno, static):
        assert list(vars(cls)) == [
            "__module__",
            "__firstlineno__",
            *members,
            "__static_attributes__",
            "__dict__",
            "__weakref__",
            "__doc__",
        ]
        assert cls.__module__ == "vorlix._launcher"
        assert cls.__qualname__ == cls.__name__
        assert cls.__firstlineno__ == firstlineno
        assert cls.__static_attributes__ == static
        assert cls.__doc__ is None
        assert cls.__bases__ == (object,)
        assert type(cls) is type

    @pytest.mark.parametrize("cls, props", [(Launcher, ["is_current", "is_enabled", "is_active"]), (API, ["current"])])
    def test_properties_have_a_getter_alone(self, cls, props):
        for name in props:
            prop = vars(cls)[name]
            assert type(prop) is property
            assert prop.fset is None and prop.fdel is None
            assert prop.fget.__qualname__ == f"{cls.__name__}.{name}"

    @pytest.mark.parametrize(
        "cls, absent",
        [
            (Launcher, ["__eq__", "__hash__", "__repr__", "__str__", "__slots__"]),
            (API, ["__init__", "__iter__", "__len__", "__eq__", "__repr__", "get", "items", "values", "__slots__"]),
        ],
    )
    def test_no_members_beyond_the_listed_ones(self, cls, absent):
        assert not set(absent) & set(vars(cls))


FUNCTIONS = [
    # function, qualname, (parameter, default) pairs, annotations in order
    (Launcher.__init__, "Launcher.__init__", [("self",), ("name",)], [("name", str), ("return", None)]),
    (
        Launcher.logs,
        "Launcher.logs",
        [("self",), ("_onlogline", None)],
        [("_onlogline", collections.abc.Callable[[str], None] | None), ("return", list[str] | None)],
    ),
    (Launcher.start, "Launcher.start", [("self",)], [("return", None)]),
    (Launcher.stop, "Launcher.stop", [("self",)], [("return", None)]),
    (Launcher.enable, "Launcher.enable", [("self",), ("start", False)], [("start", bool), ("return", None)]),
    (Launcher.is_current.fget, "Launcher.is_current", [("self",)], [("return", bool)]),
    (Launcher.is_enabled.fget, "Launcher.is_enabled", [("self",)], [("return", bool)]),
    (Launcher.is_active.fget, "Launcher.is_active", [("self",)], [("return", bool)]),
    (API.keys, "API.keys", [("self",)], [("return", list[str])]),
    (API.__contains__, "API.__contains__", [("self",), ("key",)], [("key", str), ("return", bool)]),
    (API.__getitem__, "API.__getitem__", [("self",), ("key",)], [("key", str), ("return", Launcher)]),
    (API.current.fget, "API.current", [("self",)], [("return", Launcher)]),
    (
        API.switch,
        "API.switch",
        [("self",), ("launcher",), ("start", False)],
        [("launcher", Launcher | str), ("start", bool), ("return", None)],
    ),
]


class TestFunctions:
    @pytest.mark.parametrize("function, qualname, params, annotations", FUNCTIONS, ids=[f[1] for f in FUNCTIONS])
    def test_description(self, function, qualname, params, annotations):
        assert function.__qualname__ == qualname
        assert function.__name__ == qualname.rpartition(".")[2]
        assert function.__module__ == "vorlix._launcher"
        assert function.__doc__ is None
        assert function.__kwdefaults__ is None
        defaults = tuple(p[1] for p in params if len(p) == 2)
        assert function.__defaults__ == (defaults or None)
        assert all(type(d) is type(e) for d, e in zip(function.__defaults__ or (), defaults))
        assert list(function.__annotations__.items()) == annotations
        signature = inspect.signature(function)
        assert [(p.name, p.kind) for p in signature.parameters.values()] == [(p[0], P) for p in params]
        assert [p.default for p in signature.parameters.values()] == [
            p[1] if len(p) == 2 else inspect.Parameter.empty for p in params
        ]

    @pytest.mark.parametrize(
        "target, text",
        [
            (Launcher, "(name: str) -> None"),
            (API, "()"),
            (Launcher("a").logs, "(_onlogline: collections.abc.Callable[[str], None] | None = None) -> list[str] | None"),
            (Launcher("a").enable, "(start: bool = False) -> None"),
            (Launcher("a").start, "() -> None"),
            (API().switch, "(launcher: vorlix._launcher.Launcher | str, start: bool = False) -> None"),
            (API().__getitem__, "(key: str) -> vorlix._launcher.Launcher"),
        ],
    )
    def test_signatures_of_classes_and_bound_methods(self, target, text):
        assert str(inspect.signature(target)) == text

    @pytest.mark.parametrize(
        "cls, lines",
        [
            (
                Launcher,
                [
                    # help() shows annotations as their source text.
                    "logs(self, _onlogline: Callable[[str], None] | None = None)"
                    " -> list[str] | None",
                    "enable(self, start: bool = False) -> None",
                    "is_active",
                ],
            ),
            (API, ["switch(self, launcher: Launcher | str, start: bool = False) -> None", "current"]),
        ],
    )
    def test_help_renders(self, cls, lines):
        text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
        rendered = {line.strip(" |") for line in text.splitlines()}
        assert set(lines) <= rendered
