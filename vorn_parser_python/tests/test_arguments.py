"""Argument binding, input classification and the module's own surface."""

import ctypes
import itertools
import pathlib
from collections.abc import Callable
from pathlib import Path
from typing import Any, NoReturn

import pytest
import vorn_parser

from helpers import small_file

# parse as these tests call it: they hand it what its type stub refuses (other argument
# counts, names and kinds of input), to see what it does with them.
parse: Any = vorn_parser.parse


def test_module_surface() -> None:
    assert vorn_parser.__all__ == ["parse"]
    assert parse.__text_signature__ == "(input)"
    assert parse.__module__ == "vorn_parser"
    assert parse.__self__ is vorn_parser


def test_second_initialisation_raises_import_error() -> None:
    library = ctypes.PyDLL(vorn_parser.__file__)
    library.PyInit_vorn_parser.restype = ctypes.py_object
    with pytest.raises(ImportError, match="only be initialized once"):
        library.PyInit_vorn_parser()
    assert isinstance(parse(small_file()), dict)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda d: parse(d, d), "parse() takes 1 positional arguments but 2 were given"),
        (lambda d: parse(d, d, d), "parse() takes 1 positional arguments but 3 were given"),
        (lambda d: parse(), "parse() missing 1 required positional argument: 'input'"),
        (lambda d: parse(x=d), "parse() got an unexpected keyword argument 'x'"),
        (lambda d: parse(d, input=d), "parse() got multiple values for argument 'input'"),
    ],
)
def test_binding_messages(call: Callable[[bytes], object], message: str, small: bytes) -> None:
    with pytest.raises(TypeError) as info:
        call(small)
    assert str(info.value) == message


def test_keyword_input_is_the_same_as_positional(small: bytes) -> None:
    assert parse(input=small) == parse(small)


def test_every_form_of_content_and_path_gives_the_same_result(small: bytes, small_path: Path) -> None:
    expected = parse(small)
    forms = [
        bytearray(small),
        list(small),
        tuple(small),
        memoryview(small),
        memoryview(bytearray(small)),
        iter_only_sequence(small),
        str(small_path),
        pathlib.Path(small_path),
    ]
    for form in forms:
        assert parse(form) == expected, type(form)


class iter_only_sequence:
    """A sequence without a buffer: taken through the iteration protocol."""

    def __init__(self, data: bytes) -> None:
        self.data = data

    def __len__(self) -> int:
        return len(self.data)

    def __getitem__(self, i: int) -> int:
        return self.data[i]


def two_variant_message(bytes_cause: str, path_cause: str) -> str:
    return (
        "argument 'input': failed to extract enum InputTypes ('bytes | str')\n"
        "- variant Bytes (bytes): TypeError: failed to extract field InputTypes::Bytes.0, "
        f"caused by {bytes_cause}\n"
        f"- variant Path (str): TypeError: failed to extract field InputTypes::Path.0, caused by {path_cause}"
    )


class OnlyFsPath:
    def __fspath__(self) -> str:
        return "/tmp"


@pytest.mark.parametrize(
    "value, bytes_cause, path_cause",
    [
        (
            42,
            "TypeError: 'int' object cannot be converted to 'Sequence'",
            "TypeError: 'int' object cannot be converted to 'PyString'",
        ),
        (
            None,
            "TypeError: 'NoneType' object cannot be converted to 'Sequence'",
            "TypeError: 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            [1, 256],
            "OverflowError: out of range integral type conversion attempted",
            "TypeError: 'list' object cannot be converted to 'PyString'",
        ),
        (
            [-1],
            "OverflowError: out of range integral type conversion attempted",
            "TypeError: 'list' object cannot be converted to 'PyString'",
        ),
        (
            [1, "a"],
            "TypeError: 'str' object cannot be interpreted as an integer",
            "TypeError: 'list' object cannot be converted to 'PyString'",
        ),
        (
            OnlyFsPath(),
            "TypeError: 'OnlyFsPath' object cannot be converted to 'Sequence'",
            "TypeError: 'OnlyFsPath' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_unusable_input_gives_the_two_variant_type_error(value: object, bytes_cause: str, path_cause: str) -> None:
    with pytest.raises(TypeError) as info:
        parse(value)
    assert str(info.value) == two_variant_message(bytes_cause, path_cause)
    assert info.value.__cause__ is None


def test_cause_chains_and_failing_str_are_rendered() -> None:
    class Nested:
        def __len__(self) -> int:
            return 1

        def __getitem__(self, i: int) -> int:
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise ValueError("outer") from inner

    class BadStr(Exception):
        def __str__(self) -> str:
            raise RuntimeError("no text")

    class Raising:
        def __len__(self) -> int:
            return 1

        def __getitem__(self, i: int) -> int:
            raise BadStr()

    with pytest.raises(TypeError) as info:
        parse(Nested())
    assert "caused by ValueError: outer, caused by KeyError: 'inner'\n" in str(info.value)
    with pytest.raises(TypeError) as info:
        parse(Raising())
    assert (
        "caused by test_cause_chains_and_failing_str_are_rendered.<locals>.BadStr: <exception str() failed>\n"
    ) in str(info.value)


def test_bytes_are_content_not_a_path(small_path: Path, failure_class: type[BaseException]) -> None:
    with pytest.raises(BaseException) as info:
        parse(str(small_path).encode())
    assert type(info.value) is failure_class


def test_path_subclass_str_result_must_be_text(small_path: Path) -> None:
    class OddPath(type(pathlib.Path())):  # type: ignore[misc]  # this system's concrete Path class
        def __str__(self) -> Any:
            return 7

    with pytest.raises(TypeError) as info:
        parse(OddPath(small_path))
    assert info.value.args[0].endswith("caused by TypeError: 'int' object cannot be converted to 'PyString'")


def test_a_sequence_that_overstates_its_length_is_read_as_what_it_yields(small: bytes) -> None:
    class Overstated(iter_only_sequence):
        def __len__(self) -> int:
            return 2**62  # no reservation of that size may be attempted

    assert parse(Overstated(small)) == parse(small)


def test_byte_buffers_are_given_back_after_every_parse(small: bytes) -> None:
    # Content is read in place from an exported buffer: once parse returns,
    # success or failure, the export must be gone; so must one taken only to
    # look at a layout that is not read in place.
    for content in (bytearray(small[: len(small) // 2 * 2]), bytearray(small[:100])):
        for layout in (("B",), ("b",), ("B", [2, len(content) // 2])):
            base = memoryview(content)
            view = base.cast(*layout)
            outcome(view)
            view.release()
            base.release()
        outcome(content)
        content.extend(b"more")  # a bytearray with a live export cannot be resized


def outcome(value: object) -> Any:
    try:
        return parse(value)
    except BaseException as exc:  # ParseFailure is a BaseException
        return type(exc), str(exc)


class IteratedView(iter_only_sequence):
    __qualname__ = "memoryview"  # both paths name the same type


def exported(d: bytes, fmt: str = "B") -> memoryview:
    """A view of an exporter whose format string goes with it, as numpy's does."""
    return memoryview(pytest.importorskip("_testbuffer").ndarray(list(d), shape=[len(d)], format=fmt))


@pytest.mark.parametrize(
    "make",
    [
        memoryview,
        lambda d: memoryview(d)[::2],
        lambda d: memoryview(d)[::-1],
        lambda d: memoryview(d)[:0],
        *(lambda d, f=f: memoryview(d).cast(f) for f in "bc?"),
        lambda d: memoryview(d[: len(d) // 2 * 2]).cast("B", shape=[2, len(d) // 2]),
        lambda d: memoryview(d[:1]).cast("B", shape=[]),
        *(lambda d, f=f: exported(d, f) for f in ("@B", "<B", "=B")),
    ],
    ids=["B", "strided", "reversed", "empty", "b", "c", "?", "2-d", "0-d", "@B", "<B", "=B"],
)
def test_memoryviews_read_in_place_give_what_iterating_them_gives(make: Callable[[bytes], Any], small: bytes) -> None:
    assert outcome(make(small)) == outcome(IteratedView(make(small)))


def test_a_released_memoryview_fails_as_released(small: bytes) -> None:
    # Not compared with iterating one: CPython 3.12.1 reads freed memory there.
    for view in (memoryview(bytearray(small)), exported(small)):
        view.release()
        assert outcome(view) == (
            TypeError,
            two_variant_message(
                "ValueError: operation forbidden on released memoryview object",
                "TypeError: 'memoryview' object cannot be converted to 'PyString'",
            ),
        )


def test_names_and_texts_utf8_cannot_carry_are_escaped(small: bytes) -> None:
    with pytest.raises(TypeError) as info:
        parse(small, **{"in\udc80put \u00e9": 1})
    assert str(info.value) == "parse() got an unexpected keyword argument 'in\\udc80put \u00e9'"
    odd = type("Odd", (Exception,), {})
    raising = type("Raising", (iter_only_sequence,), {"__getitem__": raising_hook(odd("\u00e9\ud800"))})
    odd.__qualname__, raising.__qualname__ = "Odd\udc80", "Raising\udcff"
    assert outcome(raising(small)) == (
        TypeError,
        two_variant_message(
            "Odd\\udc80: \u00e9\\ud800", "TypeError: 'Raising\\udcff' object cannot be converted to 'PyString'"
        ),
    )


def raising_hook(exc: BaseException) -> Callable[..., NoReturn]:
    def hook(*args: object) -> NoReturn:
        raise exc

    return hook


def item_raising(exc: BaseException) -> list[object]:
    return [type("Item", (), {"__index__": raising_hook(exc)})()]


@pytest.mark.parametrize(
    "hooked",
    [
        *(
            lambda h, m=m: type("Seq", (iter_only_sequence,), {m: h})(b"\0")
            for m in ("__len__", "__iter__", "__getitem__")
        ),
        lambda h: [type("Item", (), {"__index__": h})()],
        lambda h: item_raising(type("Failure", (Exception,), {"__str__": h})()),
        lambda h: type("P", (type(pathlib.Path()),), {"__str__": h})("x"),
    ],
    ids=["__len__", "__iter__", "__getitem__", "__index__", "str() of a failure", "Path.__str__"],
)
@pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), type("Stop", (BaseException,), {})()], ids=type)
def test_what_is_not_an_exception_ends_classification_unchanged(
    hooked: Callable[[Callable[..., NoReturn]], object], exc: BaseException
) -> None:
    with pytest.raises(BaseException) as info:
        parse(hooked(raising_hook(exc)))
    assert info.value is exc


def test_long_and_cyclic_cause_chains_are_rendered_once_each() -> None:
    chain = [ValueError(i) for i in range(100_000)]
    a, b, c, d = (KeyError(key) for key in "abcd")
    pairs: list[tuple[BaseException, BaseException]] = [*itertools.pairwise(chain), (a, b), (b, c), (c, b), (d, d)]
    for exc, cause in pairs:
        exc.__cause__ = cause
    heads: list[tuple[BaseException, list[ValueError] | list[KeyError]]] = [
        (chain[0], chain),
        (a, [a, b, c]),
        (c, [c, b]),
        (d, [d]),
    ]
    for head, rendered in heads:
        expected = ", caused by ".join(f"{type(exc).__name__}: {exc}" for exc in rendered)
        assert f"InputTypes::Bytes.0, caused by {expected}\n" in outcome(item_raising(head))[1]
