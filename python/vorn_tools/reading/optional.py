"""Our modules that need an optional dependency, imported when first used, with a
message that names the extra to install."""

from __future__ import annotations

TYPE_CHECKING = False  # typing, importlib and types are not imported with vorn_tools
if TYPE_CHECKING:
    from types import ModuleType


def optional_module(module: str, extra: str) -> ModuleType:
    """Imports vorn_tools.`module`; an ImportError names what is missing and the extra."""
    from importlib import import_module

    try:
        return import_module(f"vorn_tools.{module}")
    except ImportError as exc:
        raise ImportError(f"{exc.name or 'a dependency'} is not installed; pip install 'vorn_parser[{extra}]'") from exc
