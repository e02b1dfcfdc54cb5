"""The module's Python face: attributes, the Parser type, argument binding and
the exception rule."""
import importlib
import inspect
import sys

import pytest

import kelvane
from builders import schema_json, parser

MINIMAL = '{"delimiter": "|", "trailing_delimiter": false, "coerce_empty_quoted": false, "lines": []}'


def test_module_attributes():
    assert kelvane.__name__ == "kelvane"
    assert kelvane.__doc__ == ""
    assert kelvane.__all__ == ["Parser"]
    public = {name for name in vars(kelvane) if not name.startswith("__")}
    assert public == {"Parser"}


def test_parser_type_properties():
    Parser = kelvane.Parser
    assert Parser.__module__ == "kelvane"
    assert Parser.__qualname__ == "Parser"
    assert Parser.__bases__ == (object,)
    assert Parser.__text_signature__ == "(schema_json_str)"
    assert str(inspect.signature(Parser)) == "(schema_json_str)"
    assert Parser.parse_line.__text_signature__ == "($self, line)"
    assert Parser.parse_first.__text_signature__ == "($self, line)"
    assert [name for name in vars(Parser) if not name.startswith("__")] == ["parse_line", "parse_first"]


def test_subclassing_refused():
    with pytest.raises(TypeError):
        class Sub(kelvane.Parser):  # noqa: F841
            pass


def test_instances_take_no_attributes():
    p = kelvane.Parser(MINIMAL)
    with pytest.raises(AttributeError):
        p.x = 1
    assert not hasattr(p, "__dict__")
    with pytest.raises(TypeError):
        import weakref

        weakref.ref(p)


def test_reimport_gives_same_module():
    first = sys.modules.pop("kelvane")
    try:
        again = importlib.import_module("kelvane")
        assert again is first
        assert again.Parser is first.Parser
        assert again.__all__ == ["Parser"]
    finally:
        sys.modules["kelvane"] = first


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: kelvane.Parser(), "Parser.__new__() missing 1 required positional argument: 'schema_json_str'"),
        (lambda: kelvane.Parser(MINIMAL, MINIMAL), "Parser.__new__() takes 1 positional arguments but 2 were given"),
        (lambda: kelvane.Parser(1, 2, 3), "Parser.__new__() takes 1 positional arguments but 3 were given"),
        (lambda: kelvane.Parser(text=MINIMAL), "Parser.__new__() got an unexpected keyword argument 'text'"),
        (
            lambda: kelvane.Parser(MINIMAL, schema_json_str=MINIMAL),
            "Parser.__new__() got multiple values for argument 'schema_json_str'",
        ),
        (lambda: kelvane.Parser(b"{}"), "argument 'schema_json_str': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: kelvane.Parser(None), "argument 'schema_json_str': 'NoneType' object cannot be converted to 'PyString'"),
        (
            lambda: kelvane.Parser(schema_json_str=3.5),
            "argument 'schema_json_str': 'float' object cannot be converted to 'PyString'",
        ),
        (
            lambda: kelvane.Parser(bytearray()),
            "argument 'schema_json_str': 'bytearray' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_constructor_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert type(info.value) is TypeError and str(info.value) == message


def test_constructor_keyword_form():
    p = kelvane.Parser(schema_json_str=schema_json({"A": []}))
    assert p.parse_line("A") == ("A",)


class Text(str):
    pass


def test_str_subclasses_accepted():
    p = kelvane.Parser(Text(schema_json({"A": []})))
    assert p.parse_line(Text("A")) == ("A",)
    assert p.parse_first(Text("A|b")) == "A"


class Nested:
    class Inner:
        pass


@pytest.mark.parametrize("method", ["parse_line", "parse_first"])
@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "Parser.{m}() missing 1 required positional argument: 'line'"),
        (("a", "b"), {}, "Parser.{m}() takes 1 positional arguments but 2 were given"),
        ((), {"text": "x"}, "Parser.{m}() got an unexpected keyword argument 'text'"),
        (("a",), {"line": "x"}, "Parser.{m}() got multiple values for argument 'line'"),
        ((42,), {}, "argument 'line': 'int' object cannot be converted to 'PyString'"),
        ((b"A",), {}, "argument 'line': 'bytes' object cannot be converted to 'PyString'"),
        ((Nested.Inner(),), {}, "argument 'line': 'Nested.Inner' object cannot be converted to 'PyString'"),
        ((), {"line": None}, "argument 'line': 'NoneType' object cannot be converted to 'PyString'"),
        ((["A|1"],), {}, "argument 'line': 'list' object cannot be converted to 'PyString'"),
    ],
)
def test_method_argument_errors(method, args, kwargs, message):
    p = parser({"A": []})
    with pytest.raises(TypeError) as info:
        getattr(p, method)(*args, **kwargs)
    assert str(info.value) == message.format(m=method)
    assert p.parse_line(line="A") == ("A",)  # the parser is unharmed


def test_method_keyword_form():
    p = parser({"A": [{"kind": "STR", "required": False}]})
    assert p.parse_line(line="A|1") == p.parse_line("A|1") == ("A", "1")
    assert p.parse_first(line="A|1") == "A"


@pytest.mark.parametrize("method", ["parse_line", "parse_first"])
def test_wrong_receiver(method):
    unbound = getattr(kelvane.Parser, method)
    with pytest.raises(TypeError):
        unbound(object(), "A")
    with pytest.raises(TypeError):
        unbound()


@pytest.mark.parametrize("line", ["A\ud800", "\udfff", "A|x\udc80y|z"])
@pytest.mark.parametrize("method", ["parse_line", "parse_first"])
def test_lone_surrogate_raises_unicode_encode_error_unchanged(method, line):
    p = parser({"A": [{"kind": "STR", "required": False}]})
    with pytest.raises(UnicodeEncodeError) as info:
        getattr(p, method)(line)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_lone_surrogate_in_schema():
    with pytest.raises(UnicodeEncodeError):
        kelvane.Parser('{"delimiter": "\ud800"}')


def test_value_error_has_one_argument_and_no_chain():
    with pytest.raises(ValueError) as info:
        kelvane.Parser("{")
    assert len(info.value.args) == 1
    assert isinstance(info.value.args[0], str)
    assert info.value.__cause__ is None and info.value.__context__ is None

    p = parser({"A": []})
    with pytest.raises(ValueError) as info:
        p.parse_line("B")
    assert info.value.args == ("No schema line matching 'B'",)
    assert info.value.__cause__ is None and info.value.__context__ is None


def test_bad_separators_load_then_fail_every_line():
    p = kelvane.Parser(schema_json({"A": []}, delimiter="::"))
    for line in ["A", "", "A::b"]:
        with pytest.raises(ValueError, match="^Delimiter needs to be of length 1$"):
            p.parse_line(line)


def test_parser_is_reusable_after_failures():
    p = parser({"A": [{"kind": "STR", "required": False, "max_length": 2}]})
    for _ in range(3):
        with pytest.raises(ValueError):
            p.parse_line("A|abc")
        assert p.parse_line("A|ab") == ("A", "ab")
