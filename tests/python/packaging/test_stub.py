"""marrowfin.pyi: installed where tools look, and true to the module."""

import ast
import pathlib
import shutil
import subprocess
import sys

import pytest

import marrowfin
import marrowfin_tools._native
from conftest import SANITIZED

SITE = pathlib.Path(marrowfin.__file__).parent


@pytest.mark.skipif(SANITIZED, reason="the sanitizer pass imports the module from its build tree")
def test_installed_beside_the_module_and_as_a_stub_package_with_every_docstring():
    stub = (SITE / "marrowfin.pyi").read_text()
    assert "class MarketBook" in stub and (SITE / "marrowfin-stubs" / "__init__.pyi").read_text() == stub
    bare = [node.name for node in ast.walk(ast.parse(stub))
            if isinstance(node, (ast.ClassDef, ast.FunctionDef)) and not ast.get_docstring(node)
            and not any(isinstance(d, ast.Attribute) and d.attr == "setter" for d in node.decorator_list)]
    assert bare == []


@pytest.mark.parametrize("module", ["marrowfin", "marrowfin_tools._native"])
def test_stubtest_finds_no_difference(tmp_path, module):
    # Run away from the source tree: mypy finds the installed stub, and stubtest
    # compares its names, signatures and settable attributes with the module's.
    # What a stub imports is left unread (for _native, its package and all that
    # the package imports: 20 s).
    (tmp_path / "mypy.ini").write_text("[mypy]\nfollow_imports = skip\n")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", module, "--mypy-config-file", "mypy.ini"],
                          cwd=tmp_path, capture_output=True, text=True)
    assert (done.returncode, done.stdout + done.stderr) == (0, "Success: no issues found in 1 module\n")


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm (binutils)")
@pytest.mark.parametrize("module", [marrowfin, marrowfin_tools._native], ids=lambda module: module.__name__)
def test_a_module_exports_its_init_function_and_nothing_of_ours(module):
    # Both modules link the same core: with its symbols hidden, each calls its
    # own functions directly (no PLT, inlined where worth it) and no other
    # library can stand in for them.
    out = subprocess.run(["nm", "-D", "--defined-only", "-C", module.__file__],
                         check=True, capture_output=True, text=True).stdout
    assert [line for line in out.splitlines() if "marrowfin::" in line] == []
    assert f" T PyInit_{module.__name__.rpartition('.')[2]}" in out
