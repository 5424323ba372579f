"""Topological order of the assets, and the path of every dependency cycle.

An asset may take an earlier key of a dimension from itself, or from an asset that depends
on it (`balance[day]` from `balance[day-1]`): a cycle between assets, but none between
jobs. Such a cycle is left out of the order when every asset on it has that dimension with
the same keys in the same order, and the cycle holds no path from a key back to the same
key: each of its keys then needs only keys before it.
"""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable

from quarn.runner.graph.model import Asset

# An input left out of the order: the asset and its parameter.
Edge = tuple[Asset, str]


def order_assets(assets: list[Asset]) -> tuple[list[Asset], list[tuple[Asset, list[Asset]]]]:
    """Topological order (Kahn), and one cycle path for each group of assets on a cycle."""
    lagged: set[Edge] = set()
    order = _kahn(assets, lagged)
    if len(order) < len(assets):
        placed = set(order)
        seen: set[Asset] = set()
        for start in assets:
            if start not in placed and start not in seen:
                component = _component(start, _downs(assets, lagged), lagged)
                seen |= component
                lagged |= _lagged(component)
        if lagged:
            order = _kahn(assets, lagged)
    placed = set(order)
    left = [a for a in assets if a not in placed]
    downs = _downs(assets, lagged)
    # The path shown: one that takes no earlier key when there is one, as such an input
    # alone never closes a cycle.
    earlier = {(a, p) for a in left for p, m in a.mappings.items() if m.lagged}
    plain = _downs(assets, lagged | earlier)
    cycles: list[tuple[Asset, list[Asset]]] = []
    covered: set[Asset] = set()
    for start in left:  # discovery order, so each report starts from the earliest asset
        if start in covered:
            continue
        path = _cycle_through(start, plain) or _cycle_through(start, downs)
        if path is None:  # only downstream of a cycle, not on one
            continue
        covered.update(_component(start, downs, lagged))
        cycles.append((start, path))
    return order, cycles


def _ups(asset: Asset, lagged: set[Edge]) -> set[Asset]:
    return {up for param, up in asset.upstream.items() if (asset, param) not in lagged}


def _downs(assets: list[Asset], lagged: set[Edge]) -> dict[Asset, list[Asset]]:
    downs: dict[Asset, list[Asset]] = {a: [] for a in assets}
    for asset in assets:
        for up in sorted(_ups(asset, lagged), key=lambda a: a.index):
            downs.setdefault(up, []).append(asset)
    return downs


def _kahn(assets: Iterable[Asset], lagged: set[Edge]) -> list[Asset]:
    chosen = list(assets)
    inside = set(chosen)
    waiting = {a: len(_ups(a, lagged) & inside) for a in chosen}
    downs = _downs(chosen, lagged)
    ready = deque(a for a in chosen if waiting[a] == 0)
    order: list[Asset] = []
    while ready:
        asset = ready.popleft()
        order.append(asset)
        for down in downs[asset]:
            if down in inside:
                waiting[down] -= 1
                if waiting[down] == 0:
                    ready.append(down)
    return order


def _lagged(component: set[Asset]) -> set[Edge]:
    """The inputs of a cycle that take strictly earlier keys of one dimension, when leaving
    them out breaks every cycle and the dimension's keys are the same in every asset of it
    (a position names one key everywhere); none otherwise."""
    members = sorted(component, key=lambda a: a.index)
    for dim in sorted(set.intersection(*(set(a.dims) for a in members))):
        if len({tuple(t for t, _ in a.dims[dim]) for a in members}) != 1:
            continue
        edges = {
            (a, p)
            for a in members
            for p, m in a.mappings.items()
            if m.dim == dim and m.lagged and a.upstream[p] in component
        }
        if edges and len(_kahn(members, edges)) == len(members):
            return edges
    return set()


def _cycle_through(start: Asset, downs: dict[Asset, list[Asset]]) -> list[Asset] | None:
    """The shortest path start -> ... -> start along data flow, or None."""
    parent: dict[Asset, Asset] = {}
    queue = deque([start])
    seen = {start}
    while queue:
        node = queue.popleft()
        for down in downs[node]:
            if down is start:
                chain = [node]
                while chain[-1] is not start:
                    chain.append(parent[chain[-1]])
                chain.reverse()  # start ... node
                return chain + [start]
            if down not in seen:
                seen.add(down)
                parent[down] = node
                queue.append(down)
    return None


def _component(start: Asset, downs: dict[Asset, list[Asset]], lagged: set[Edge]) -> set[Asset]:
    """The assets on a cycle with `start`: reachable from it and reaching it."""

    def reach(edges: Callable[[Asset], Iterable[Asset]]) -> set[Asset]:
        seen = {start}
        queue = deque([start])
        while queue:
            for nxt in edges(queue.popleft()):
                if nxt not in seen:
                    seen.add(nxt)
                    queue.append(nxt)
        return seen

    return reach(lambda a: downs[a]) & reach(lambda a: _ups(a, lagged))
