"""Topological order of the assets, and the path of every dependency cycle."""

from __future__ import annotations

from collections import deque
from collections.abc import Callable, Iterable

from quarn.runner.graph.model import Asset


def order_assets(assets: list[Asset]) -> tuple[list[Asset], list[tuple[Asset, list[Asset]]]]:
    """Topological order (Kahn), and one cycle path for each group of assets on a cycle."""
    waiting = {a: len(set(a.upstream.values())) for a in assets}
    ready = deque(a for a in assets if waiting[a] == 0)
    order: list[Asset] = []
    while ready:
        asset = ready.popleft()
        order.append(asset)
        for down in asset.downstream:
            waiting[down] -= 1
            if waiting[down] == 0:
                ready.append(down)
    placed = set(order)
    left = [a for a in assets if a not in placed]
    cycles: list[tuple[Asset, list[Asset]]] = []
    covered: set[Asset] = set()
    for start in left:  # discovery order, so each report starts from the earliest asset
        if start in covered:
            continue
        path = _cycle_through(start)
        if path is None:  # only downstream of a cycle, not on one
            continue
        covered.update(_component(start))
        cycles.append((start, path))
    return order, cycles


def _cycle_through(start: Asset) -> list[Asset] | None:
    """The shortest path start -> ... -> start along data flow, or None."""
    parent: dict[Asset, Asset] = {}
    queue = deque([start])
    seen = {start}
    while queue:
        node = queue.popleft()
        for down in sorted(node.downstream, key=lambda a: a.index):
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


def _component(start: Asset) -> set[Asset]:
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

    return reach(lambda a: a.downstream) & reach(lambda a: set(a.upstream.values()))
