"""Optional and version-bound dependencies, each missing one told in one line."""

from __future__ import annotations

import importlib

from .errors import InputError


def require(module: str, extra: str, purpose: str) -> None:
    """Raises InputError naming the extra that brings `module` when it cannot be imported."""
    try:
        importlib.import_module(module)
    except ImportError:
        raise InputError(f"{purpose} needs {module}: pip install 'kiv_rs[{extra}]'") from None


def check_pyarrow() -> None:
    """pyarrow 26 and later refuse NumPy 1 at import without declaring it to pip."""
    try:
        import pyarrow  # noqa: F401
    except ImportError as error:
        if "numpy" not in str(error).lower():
            raise
        from importlib import metadata

        import numpy

        raise InputError(
            f"pyarrow {metadata.version('pyarrow')} needs NumPy 2 but NumPy {numpy.__version__} "
            "is installed: pip install 'kiv_rs[numpy1]' (pyarrow<26) or 'numpy>=2'") from None
