"""What the runtime assumes of CPython beyond its documented C API
(extension/cpython/): each check passes on the CPython that runs the tests,
and refuses with an ImportError naming that CPython when what it checks is
laid out otherwise. A host program builds the checks alone and calls each
as the package's import does, then with input that does not fit."""

import importlib.util
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).resolve().parent
CHECKS = HERE.parent / "extension" / "cpython"


@pytest.fixture(scope="module")
def results(tmp_path_factory):
    config = sys.executable + "-config"
    if not os.path.exists(config) or shutil.which("c++") is None:
        pytest.skip(f"no compiler or no {config}")
    out = tmp_path_factory.mktemp("host") / "cpython_internals"
    flags = subprocess.run([config, "--cflags", "--ldflags", "--embed"],
                           capture_output=True, text=True, check=True).stdout.split()
    sources = [HERE / "hosts" / "cpython_internals.cpp", *sorted(CHECKS.glob("*.cpp"))]
    # The build reads the byte code's magic number from the headers; the
    # interpreter that runs the tests is the one they belong to.
    magic = int.from_bytes(importlib.util.MAGIC_NUMBER[:2], "little")
    subprocess.run(["c++", "-std=c++20", f"-DVORLIX_PYC_MAGIC_NUMBER={magic}", "-o", str(out),
                    *map(str, sources), *flags], check=True)
    proc = subprocess.run([str(out)], capture_output=True, text=True, timeout=60)
    assert proc.returncode == 0, proc.stderr
    return dict(line.split("\t", 1) for line in proc.stdout.splitlines())


def refusal(what):
    version = "{}.{}.{}".format(*sys.version_info[:3])
    return f"ImportError: vorlix cannot run on CPython {version}: {what}"


pytestmark = pytest.mark.native_only("builds a C++ program with the host's compiler")


def test_the_checks_made_at_import_pass_here(results):
    assert results["internals"] == results["internals again"] == "ok"


def test_the_byte_code_is_the_builds(results):
    assert results["byte code"] == "ok"
    refused = refusal("its byte code is not the one this build of vorlix was made for")
    assert results["byte code, another"] == refused


def test_the_monitoring_version_read_inline_is_the_interpreters(results):
    assert results["monitoring version"] == "ok"


def test_the_frame_objects_line(results):
    assert results["frame layout"] == results["frame line"] == "ok"
    refused = refusal("its frame objects are not laid out as expected")
    for case in ("member elsewhere", "member of another type", "no such member"):
        assert results[f"frame layout, {case}"] == refused, case


def test_the_function_types_renaming(results):
    assert results["heap type"] == "ok"
    refused = refusal("a type lacks a member its spec gave it")
    assert results["heap type, no such member"] == refused


@pytest.mark.skipif(sys.version_info < (3, 15), reason="lazy imports came with 3.15")
def test_the_lazy_imports_placeholder_type(results):
    assert results["lazy import type"] == "ok"
    refused = refusal("PyLazyImport_Type is not as expected")
    assert results["lazy import type, none"] == results["lazy import type, another"] == refused
