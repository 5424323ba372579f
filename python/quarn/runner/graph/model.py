"""The asset graph: assets as discovered and resolved, and the diagnostics found in it."""

from __future__ import annotations

from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from quarn.runner.graph.signature import Signature


@dataclass(frozen=True, slots=True)
class Diagnostic:
    """One problem found in the graph, printed like a compiler's error line."""

    path: str
    line: int
    asset: str
    message: str

    def __str__(self) -> str:
        return f"{self.path}:{self.line}: error: asset '{self.asset}': {self.message}"


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


# Receives each problem found: the asset it concerns and the message.
Report = Callable[["Asset", str], None]
