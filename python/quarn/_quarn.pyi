"""Type information for the native module `quarn._quarn`."""

from collections.abc import Callable, Sequence
from typing import Any, Generic, Literal, ParamSpec, Protocol, Self, TypeVar, final

_P = ParamSpec("_P")
_R_co = TypeVar("_R_co", covariant=True)
_R = TypeVar("_R")

__all__ = [
    "AssetWrapper",
    "Partitions",
    "asset",
    "partitions",
    "inspect_modules",
    "materialize_asset",
]

@final
class AssetWrapper(Generic[_P, _R_co]):
    """The `@asset()` decorator wrapper. Stores the original function and metadata."""

    def __call__(self, *args: _P.args, **kwargs: _P.kwargs) -> _R_co: ...
    # Read through an instance or a class, a wrapper stays itself: it is never bound.
    def __get__(self, instance: object, owner: type[Any] | None = None, /) -> Self: ...
    @property
    def __quarn_metadata__(self) -> dict[str, Any]: ...
    @property
    def __quarn_kind__(self) -> Literal["asset"]: ...
    @property
    def __quarn_original__(self) -> Callable[_P, _R_co]: ...
    @property
    def __name__(self) -> str: ...
    # Forwarded from the function, so read-only here though writable on `object`.
    @property
    def __doc__(self) -> str | None: ...  # type: ignore[override]
    @property
    def __module__(self) -> str: ...  # type: ignore[override]
    @property
    def __qualname__(self) -> str: ...
    @property
    def __wrapped__(self) -> Callable[_P, _R_co]: ...

@final
class Partitions:
    """Marker type returned by `partitions([...])`. Stores the static values."""

class _AssetDecorator(Protocol):
    def __call__(self, function: Callable[_P, _R], /) -> AssetWrapper[_P, _R]: ...

def asset(
    *,
    name: str | None = None,
    inputs: dict[str, AssetWrapper[..., Any] | str] | None = None,
    partitions: dict[str, Partitions] | None = None,
    serializer: str | None = None,
) -> _AssetDecorator:
    """Decorator that registers a Python function as a quarn asset."""

def partitions(values: list[Any]) -> Partitions:
    """Declare a static partition universe for use with ``@asset(partitions=...)``."""

def inspect_modules(modules: Sequence[str]) -> str:
    """Inspect modules for quarn assets. Called by the `python -m quarn.inspect` CLI stub."""

def materialize_asset(
    module_name: str,
    function_name: str,
    output_dir: str,
    input_kwargs_json: str | None = None,
) -> None:
    """Materialize a single asset function. Called by the `python -m quarn.worker` CLI stub."""
