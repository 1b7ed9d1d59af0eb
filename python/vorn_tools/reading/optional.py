"""Our modules that need an optional dependency, imported when first used, with a
message that names the extra to install."""

from __future__ import annotations

from importlib import import_module
from types import ModuleType


def optional_module(module: str, extra: str) -> ModuleType:
    """Imports vorn_tools.`module`; an ImportError names what is missing and the extra."""
    try:
        return import_module(f"vorn_tools.{module}")
    except ImportError as exc:
        raise ImportError(f"{exc.name or 'a dependency'} is not installed; pip install 'vorn_parser[{extra}]'") from exc
