"""What the interpreter sees when it imports the module."""

import importlib
import subprocess
import sys
import textwrap

import pytest

import marrowfin

CLASS_DOCS = {
    "PricesIterator": "Iterator that yields MarketBook objects with object reuse",
    "MarketBook": "A market book snapshot",
    "Runner": "A runner in the market",
    "ExchangePrices": "Exchange prices for a runner (back/lay/traded)",
    "StartingPrices": "Starting prices for a runner",
    "PriceSize": "A price/size pair in the order book",
    "MarketDefinition": "Market definition - metadata about the market",
    "MarketDefinitionRunner": "A runner in a market definition",
}


def test_module_contents():
    assert marrowfin.__all__ == ["iter_prices_file", *CLASS_DOCS]
    assert marrowfin.__doc__ == ""
    public = {name for name in vars(marrowfin) if not name.startswith("__")}
    assert public == set(marrowfin.__all__)


def test_function_signature():
    function = marrowfin.iter_prices_file
    assert function.__text_signature__ == "(path)"
    assert function.__doc__ is None
    assert function.__module__ == "marrowfin"
    assert function.__name__ == "iter_prices_file"


@pytest.mark.parametrize("name", CLASS_DOCS)
class TestClasses:
    def test_identity(self, name):
        cls = getattr(marrowfin, name)
        assert cls.__name__ == cls.__qualname__ == name
        assert cls.__module__ == "builtins"
        assert repr(cls) == f"<class 'builtins.{name}'>"
        assert cls.__bases__ == (object,)
        assert cls.__doc__ == CLASS_DOCS[name]
        assert getattr(cls, "__text_signature__", None) is None

    @pytest.mark.parametrize("args", [(), (1,), ("x", "y")])
    def test_no_constructor(self, name, args):
        with pytest.raises(TypeError) as error:
            getattr(marrowfin, name)(*args)
        assert str(error.value) == f"No constructor defined for {name}"

    def test_keyword_arguments_do_not_construct(self, name):
        with pytest.raises(TypeError, match=f"^No constructor defined for {name}$"):
            getattr(marrowfin, name)(path="x")

    def test_no_subclassing(self, name):
        with pytest.raises(TypeError):
            type("Sub", (getattr(marrowfin, name),), {})

    def test_no_instance_dict_weakrefs_or_gc(self, name):
        cls = getattr(marrowfin, name)
        assert "__dict__" not in dir(cls)
        assert cls.__weakrefoffset__ == 0
        assert not cls.__flags__ & (1 << 14)  # Py_TPFLAGS_HAVE_GC

    def test_class_is_immutable(self, name):
        with pytest.raises(TypeError):
            setattr(getattr(marrowfin, name), "extra", 1)


def test_reimport_gives_the_same_module():
    saved = sys.modules.pop("marrowfin")
    try:
        again = importlib.import_module("marrowfin")
        assert again is saved
        assert again.MarketBook is saved.MarketBook
    finally:
        sys.modules["marrowfin"] = saved


def test_subinterpreter_import_is_refused():
    # A fresh process, so that the module's first interpreter is the main one.
    code = textwrap.dedent(
        """
        import _interpreters
        import marrowfin
        for config in ("legacy", "isolated"):
            interp = _interpreters.create(config)
            try:
                failure = _interpreters.exec(interp, "import marrowfin")
            finally:
                _interpreters.destroy(interp)
            print(config, failure.type.__name__, failure.msg)
        """
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    legacy, isolated = result.stdout.splitlines()
    # The legacy config lets the import system run our initialisation: our own refusal.
    assert legacy.startswith("legacy ImportError marrowfin does not support sub-interpreters")
    assert isolated.startswith("isolated ImportError")
