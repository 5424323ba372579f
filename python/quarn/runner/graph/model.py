"""The asset graph: assets as discovered and resolved, and the diagnostics found in it."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Protocol

from quarn.runner.graph.mapping import KeyMapping
from quarn.runner.graph.signature import Signature


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """One problem found in the graph, printed like a compiler's error line."""

    path: str
    line: int
    asset: str
    message: str
    needs: str = ""  # a run parameter whose value would settle it

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: error: asset '{self.asset}': {self.message}"


@dataclass(frozen=True, slots=True)
class Param:
    """A run parameter: a function parameter that is neither an input nor a dimension."""

    name: str
    required: bool  # without a default: it needs a value
    default: str | None = None  # the canonical JSON of a literal default, when it is one


@dataclass(eq=False, slots=True)
class Asset:
    """One asset of the graph: a discovered function and its declaration, deduplicated."""

    index: int  # position in discovery order
    ref: str  # file_path + ":" + function_name, what `inputs` values name
    module: str  # module the worker imports
    function_name: str
    file_path: str
    module_source: str
    function_source: str
    metadata: Any  # decorator_metadata exactly as discovered
    label: str = ""  # declared name, else function name: how diagnostics name it
    dir_name: str = ""  # filesystem-safe, from the label alone; unique in a graph that checks
    display: str = ""  # how the runner names it to a person: the label
    inputs: dict[str, str] = field(default_factory=dict)  # parameter -> reference
    # dimension -> keys in declared order, duplicates dropped, each as (canonical JSON, value)
    dims: dict[str, list[tuple[str, Any]]] = field(default_factory=dict)
    signature: Signature | None = None
    modules: list[str] = field(default_factory=list)  # every module that binds the function
    upstream: dict[str, Asset] = field(default_factory=dict)  # parameter -> resolved asset
    mappings: dict[str, KeyMapping] = field(default_factory=dict)  # parameter -> its keys
    params: dict[str, Param] = field(default_factory=dict)  # run parameters, in signature order
    downstream: list[Asset] = field(default_factory=list)
    default_serializer: str | None = None  # the project's, for an asset that declares none

    @property
    def declared_serializer(self) -> str | None:
        if isinstance(self.metadata, dict) and isinstance(self.metadata.get("serializer"), str):
            name: str = self.metadata["serializer"]
            return name
        return None

    @property
    def serializer(self) -> str | None:
        """The name its values are stored by: the declared one, else the project's
        default; None stores them as JSON, as always."""
        return self.declared_serializer or self.default_serializer

    @property
    def declared_name(self) -> str | None:
        if isinstance(self.metadata, dict) and isinstance(self.metadata.get("name"), str):
            name: str = self.metadata["name"]
            return name
        return None


@dataclass(slots=True)
class Graph:
    assets: list[Asset]  # discovery order
    by_ref: dict[str, Asset]
    order: list[Asset]  # upstreams before downstreams (assets on a cycle left out)
    diagnostics: list[Diagnostic]


class Report(Protocol):
    """Receives each problem found: the asset it concerns, the message, and the run
    parameter whose value would settle it (for a required parameter nobody supplies)."""

    def __call__(self, asset: Asset, message: str, needs: str = "") -> None: ...
