"""Where Union-Find loses to matching: classify the shots kelvane fails and PyMatching does not.

Samples rotated surface-code memory shots with Stim (d rounds, all four circuit-noise knobs at
p), decodes them with kelvane and with plain PyMatching, and for every shot that only kelvane
gets wrong compares the two corrections, taking kelvane's final clusters and correction from
SpacetimeGraph._decode_trace. A "group" is a final cluster, joined with any cluster its
correction crosses into (the sparse shortcut settles pairs without merging them). Classes, first
that applies:
  clustering  matching pairs two defects that lie in different groups;
  tie         inside every group, kelvane's correction weighs what matching's pairing weighs
              (within 0.01: kelvane rounds weights to 1/4096);
  boundary    in the group that differs, the defects sent to the boundary differ;
  peeling     same boundary defects, another pairing (a heavier one) inside the group.
It also decodes every shot with cluster matching (decode_batch(match_clusters=True): exact
minimum-weight matching of each cluster's defects over shortest paths inside it, boundary edges
of its nodes allowed) and reports its errors and speed against both decoders with the paired
ratio, and which only-kelvane shots of each class it decodes right. --prototype uses the Python
prototype of the same fix instead (groups of more than --max-exact defects peeled; slow). With
--plot DIR, draws the first examples of each class.

  python benchmarks/classify_failures.py --distance 9 --p 0.007 --shots 20000
"""

from __future__ import annotations

import argparse
import heapq
import time
from collections import Counter, defaultdict

import numpy as np
import pymatching
import stim

import kelvane
from kelvane import stats
from kelvane._bench import surface_circuit

BOUNDARY = -1


def circuit_for(d: int, p: float) -> stim.Circuit:
    return surface_circuit(d, p, basis="z")


def adjacency(matching: pymatching.Matching) -> dict[int, list[tuple[int, float, int]]]:
    """node -> [(neighbour or BOUNDARY, weight, observable mask)] from PyMatching's merged edges."""
    adj: dict[int, list[tuple[int, float, int]]] = defaultdict(list)
    for u, v, data in matching.edges():
        mask = 0
        for f in data["fault_ids"]:
            mask ^= 1 << f
        v = BOUNDARY if v is None else v
        adj[u].append((v, data["weight"], mask))
        if v != BOUNDARY:
            adj[v].append((u, data["weight"], mask))
    return adj


def shortest(adj, source: int, allowed: set[int] | None) -> dict[int, tuple[float, int]]:
    """Dijkstra from source over nodes in `allowed` (all when None): node -> (distance, mask)."""
    best: dict[int, tuple[float, int]] = {source: (0.0, 0)}
    heap = [(0.0, source, 0)]
    done: set[int] = set()
    while heap:
        dist, node, mask = heapq.heappop(heap)
        if node in done:
            continue
        done.add(node)
        if node == BOUNDARY:
            continue
        for other, w, m in adj[node]:
            if allowed is not None and other != BOUNDARY and other not in allowed:
                continue
            nd = dist + w
            if other not in best or nd < best[other][0] - 1e-12:
                best[other] = (nd, mask ^ m)
                heapq.heappush(heap, (nd, other, mask ^ m))
    return best


def blossom_matching(defects: list[int], paths: dict[int, dict[int, tuple[float, int]]]):
    """exact_matching for many defects: networkx's blossom matching, each defect with its own
    boundary copy (copies pair with each other for free)."""
    import networkx as nx

    g = nx.Graph()
    for i, a in enumerate(defects):
        if BOUNDARY in paths[a]:
            g.add_edge(("d", i), ("b", i), weight=-paths[a][BOUNDARY][0])
            for j in range(i):
                if BOUNDARY in paths[defects[j]]:
                    g.add_edge(("b", i), ("b", j), weight=0.0)
        for j in range(i):
            if defects[j] in paths[a]:
                g.add_edge(("d", i), ("d", j), weight=-paths[a][defects[j]][0])
    pairs = nx.max_weight_matching(g, maxcardinality=True)
    w, m, b = 0.0, 0, set()
    matched = 0
    for x, y in pairs:
        if x[0] == "b" and y[0] == "b":
            continue
        if x[0] == "b":
            x, y = y, x
        a = defects[x[1]]
        matched += 1 if y[0] == "b" else 2
        if y[0] == "b":
            w += paths[a][BOUNDARY][0]
            m ^= paths[a][BOUNDARY][1]
            b.add(a)
        else:
            w += paths[a][defects[y[1]]][0]
            m ^= paths[a][defects[y[1]]][1]
    if matched != len(defects):
        return float("inf"), 0, set()
    return w, m, b


def exact_matching(defects: list[int], paths: dict[int, dict[int, tuple[float, int]]]):
    """Minimum-weight pairing of defects with the boundary available: (weight, mask, boundary set)."""
    inf = float("inf")
    k = len(defects)
    if k > 12:
        return blossom_matching(defects, paths)
    memo: dict[int, tuple[float, int, int]] = {0: (0.0, 0, 0)}

    def solve(bits: int) -> tuple[float, int, int]:
        if bits in memo:
            return memo[bits]
        i = (bits & -bits).bit_length() - 1
        rest = bits & ~(1 << i)
        best = (inf, 0, 0)
        to_b = paths[defects[i]].get(BOUNDARY)
        if to_b is not None:
            w, m, b = solve(rest)
            if to_b[0] + w < best[0]:
                best = (to_b[0] + w, to_b[1] ^ m, b | (1 << i))
        for j in range(i + 1, k):
            if rest >> j & 1:
                pij = paths[defects[i]].get(defects[j])
                if pij is None:
                    continue
                w, m, b = solve(rest & ~(1 << j))
                if pij[0] + w < best[0]:
                    best = (pij[0] + w, pij[1] ^ m, b)
        memo[bits] = best
        return best

    w, m, b = solve((1 << k) - 1)
    return w, m, {defects[i] for i in range(k) if b >> i & 1}


class Groups:
    def __init__(self):
        self.parent: dict[int, int] = {}

    def find(self, x: int) -> int:
        self.parent.setdefault(x, x)
        while self.parent[x] != x:
            self.parent[x] = self.parent[self.parent[x]]
            x = self.parent[x]
        return x

    def union(self, a: int, b: int) -> None:
        self.parent[self.find(a)] = self.find(b)


def trace_groups(graph, fired: list[int]):
    mask, edges, clusters = graph._decode_trace(fired)
    boundary_node = graph.boundary_node
    groups = Groups()
    for node, root in clusters:
        groups.union(node, root)
    for a, b, _ in edges:
        if b != boundary_node:
            groups.union(a, b)
    members: dict[int, set[int]] = defaultdict(set)
    for node, _ in clusters:
        members[groups.find(node)].add(node)
    for f in fired:
        members[groups.find(f)].add(f)
    return mask, edges, groups, members


def uf_boundary_defects(edges, boundary_node: int, fired: set[int]) -> set[int]:
    comp = Groups()
    for a, b, _ in edges:
        comp.union(a, BOUNDARY if b == boundary_node else b)
    return {f for f in fired if comp.find(f) == comp.find(BOUNDARY)}


def fix_decode(adj, graph, fired: list[int], max_exact: int):
    """The candidate fix: exact matching inside each group; peeling (kelvane's own) beyond max_exact."""
    mask, edges, groups, members = trace_groups(graph, fired)
    uf_mask_by_group: dict[int, int] = defaultdict(int)
    # kelvane's observables per group, from its correction edges (looked up in the merged graph)
    obs = {}
    for u, nbrs in adj.items():
        for v, _, m in nbrs:
            obs[(u, v)] = m
    boundary_node = graph.boundary_node
    for a, b, _ in edges:
        key = (a, BOUNDARY if b == boundary_node else b)
        uf_mask_by_group[groups.find(a)] ^= obs.get(key, obs.get((key[1], key[0]), 0))
    out = 0
    fired_by_group: dict[int, list[int]] = defaultdict(list)
    for f in fired:
        fired_by_group[groups.find(f)].append(f)
    large = 0
    for g, defects in fired_by_group.items():
        if len(defects) > max_exact:
            out ^= uf_mask_by_group[g]
            large += 1
            continue
        allowed = members[g]
        paths = {f: shortest(adj, f, allowed) for f in defects}
        w, m, _ = exact_matching(defects, paths)
        if w == float("inf"):
            out ^= uf_mask_by_group[g]
        else:
            out ^= m
    return out, large


def classify(adj, graph, matching, fired: list[int], syndrome: np.ndarray):
    mask, edges, groups, members = trace_groups(graph, fired)
    fired_set = set(fired)
    pm_pairs = [(int(u), int(v)) for u, v in matching.decode_to_matched_dets_array(syndrome)]
    for u, v in pm_pairs:
        if v != BOUNDARY and groups.find(u) != groups.find(v):
            return "clustering", mask, edges, groups, pm_pairs, {groups.find(u), groups.find(v)}
    boundary_node = graph.boundary_node
    uf_b = uf_boundary_defects(edges, boundary_node, fired_set)
    pm_b = {u for u, v in pm_pairs if v == BOUNDARY}
    full = {f: shortest(adj, f, None) for f in fired}
    uf_w: dict[int, float] = defaultdict(float)
    for a, _, w in edges:
        uf_w[groups.find(a)] += w
    pm_w: dict[int, float] = defaultdict(float)
    for u, v in pm_pairs:
        pm_w[groups.find(u)] += full[u][BOUNDARY if v == BOUNDARY else v][0]
    differing = [g for g in set(uf_w) | set(pm_w) if abs(uf_w[g] - pm_w[g]) > 0.01]
    if not differing:
        return "tie", mask, edges, groups, pm_pairs, set(uf_w)
    if uf_b != pm_b:
        return "boundary", mask, edges, groups, pm_pairs, {groups.find(f) for f in uf_b ^ pm_b}
    return "peeling", mask, edges, groups, pm_pairs, set(differing)


def draw(path, dem, fired, edges, groups, pm_pairs, focus, graph, title):
    """The groups in `focus` (where the two decoders differ): their nodes shaded by cluster,
    defects, kelvane's correction edges and boundary choices (red), matching's pairs (blue)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    coords = dem.get_detector_coordinates()
    boundary_node = graph.boundary_node

    def xy(n):  # (x + 0.35 t, y + 0.25 t): a slanted view of space-time
        c = coords[n]
        return c[0] + 0.35 * c[2], c[1] + 0.25 * c[2]

    inside = {n for n in groups.parent if groups.find(n) in focus and n in coords}
    fig, ax = plt.subplots(figsize=(6.5, 6.5))
    cmap = plt.get_cmap("tab10")
    for i, r in enumerate(sorted(focus)):
        pts = np.array([xy(n) for n in inside if groups.find(n) == r])
        if len(pts):
            ax.scatter(pts[:, 0], pts[:, 1], s=110, color=cmap(i % 10), alpha=0.25, lw=0)
    d = np.array([xy(f) for f in fired if f in inside])
    ax.scatter(d[:, 0], d[:, 1], s=28, color="k", zorder=5)
    for a, b, _ in edges:
        if a not in inside:
            continue
        pa = xy(a)
        if b == boundary_node:
            ax.plot([pa[0]], [pa[1]], marker="s", ms=13, mfc="none", mec="tab:red", mew=2)
        else:
            pb = xy(b)
            ax.plot([pa[0], pb[0]], [pa[1], pb[1]], color="tab:red", lw=2.5)
    for u, v in pm_pairs:
        if u not in inside and v not in inside:
            continue
        pu = xy(u)
        if v == BOUNDARY:
            ax.plot([pu[0]], [pu[1]], marker="o", ms=17, mfc="none", mec="tab:blue", mew=1.5)
        else:
            pv = xy(v)
            ax.plot([pu[0], pv[0]], [pu[1], pv[1]], color="tab:blue", lw=1.3, ls="--")
    ax.scatter([], [], s=28, color="k", label="defect")
    ax.scatter([], [], s=110, color="gray", alpha=0.3, label="kelvane cluster (shade per group)")
    ax.plot([], [], color="tab:red", lw=2.5, label="kelvane correction edge")
    ax.plot([], [], marker="s", mfc="none", mec="tab:red", ls="", label="kelvane: to the boundary")
    ax.plot([], [], color="tab:blue", ls="--", label="PyMatching pair (straight line)")
    ax.plot([], [], marker="o", mfc="none", mec="tab:blue", ls="", label="PyMatching: to the boundary")
    ax.set_title(title)
    ax.legend(loc="best", fontsize=7)
    ax.set_xlabel("x + 0.35 t (detector coordinates)")
    ax.set_ylabel("y + 0.25 t")
    fig.tight_layout()
    fig.savefig(path, dpi=80)
    plt.close(fig)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--distance", type=int, default=9)
    ap.add_argument("--p", type=float, default=0.007)
    ap.add_argument("--shots", type=int, default=20000)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--max-exact", type=int, default=1000, help="groups with more defects keep peeling")
    ap.add_argument("--no-fix", action="store_true", help="skip the fix")
    ap.add_argument("--prototype", action="store_true", help="the fix by the Python prototype (slow)")
    ap.add_argument("--plot", default=None, help="directory for example PNGs")
    args = ap.parse_args()

    circuit = circuit_for(args.distance, args.p)
    dem = circuit.detector_error_model(decompose_errors=True)
    graph = kelvane.SpacetimeGraph.from_detector_error_model(dem)
    matching = pymatching.Matching.from_detector_error_model(dem)
    adj = adjacency(matching)
    dets, obs = circuit.compile_detector_sampler(seed=args.seed).sample(args.shots, separate_observables=True)
    actual = obs[:, 0]

    t = time.perf_counter()
    k_pred = graph.decode_batch(dets)[:, 0].astype(bool)
    k_us = (time.perf_counter() - t) / args.shots * 1e6
    t = time.perf_counter()
    pm_pred = matching.decode_batch(dets)[:, 0].astype(bool)
    pm_us = (time.perf_counter() - t) / args.shots * 1e6
    k_fail = k_pred != actual
    pm_fail = pm_pred != actual
    print(f"d={args.distance} p={args.p} shots={args.shots}: kelvane {k_fail.sum()} errors ({k_us:.1f} us/shot), "
          f"PyMatching {pm_fail.sum()} ({pm_us:.1f} us/shot); only kelvane {np.sum(k_fail & ~pm_fail)}, "
          f"only PyMatching {np.sum(pm_fail & ~k_fail)}")

    fix_pred = None
    if not args.no_fix and not args.prototype:
        t = time.perf_counter()
        fix_pred = graph.decode_batch(dets, match_clusters=True)[:, 0].astype(bool)
        fix_us = (time.perf_counter() - t) / args.shots * 1e6
    counts: Counter[str] = Counter()
    repaired: Counter[str] = Counter()  # shots of the class that in-group matching decodes right
    drawn: Counter[str] = Counter()
    for shot in np.flatnonzero(k_fail & ~pm_fail):
        fired = [int(x) for x in np.flatnonzero(dets[shot])]
        cls, mask, edges, groups, pm_pairs, focus = classify(adj, graph, matching, fired, dets[shot])
        counts[cls] += 1
        if fix_pred is not None:
            repaired[cls] += fix_pred[shot] == actual[shot]
        elif args.prototype:
            repaired[cls] += bool(fix_decode(adj, graph, fired, args.max_exact)[0] & 1) == actual[shot]
        if args.plot and drawn[cls] < 1:
            drawn[cls] += 1
            draw(f"{args.plot}/uf-failure-{cls}-d{args.distance}.png", dem, fired, edges, groups, pm_pairs, focus,
                 graph, f"{cls}: d={args.distance}, p={args.p}, shot {shot}")
    print("class      count  right with in-group matching")
    for cls in ("clustering", "tie", "boundary", "peeling"):
        print(f"{cls:10s} {counts[cls]:5d}  {repaired[cls]}")

    if args.no_fix:
        return
    if fix_pred is not None:
        fix_fail = fix_pred != actual
        print(f"cluster matching: {fix_fail.sum()} errors ({fix_us:.1f} us/shot; kelvane {k_fail.sum()}, "
              f"PyMatching {pm_fail.sum()})")
        print(f"  matched / kelvane {stats.paired_ratio(fix_fail, k_fail)}; "
              f"matched / PyMatching {stats.paired_ratio(fix_fail, pm_fail)}; "
              f"kelvane / PyMatching {stats.paired_ratio(k_fail, pm_fail)}")
        return
    t = time.perf_counter()
    fix_pred = np.zeros(args.shots, dtype=bool)
    large = 0
    for shot in range(args.shots):
        fired = [int(x) for x in np.flatnonzero(dets[shot])]
        if not fired:
            continue
        m, n_large = fix_decode(adj, graph, fired, args.max_exact)
        fix_pred[shot] = bool(m & 1)
        large += n_large
    fix_s = time.perf_counter() - t
    fix_fail = fix_pred != actual
    print(f"exact-in-group fix: {fix_fail.sum()} errors (kelvane {k_fail.sum()}, PyMatching {pm_fail.sum()}); "
          f"groups left to peeling {large}; Python prototype {fix_s:.0f} s")
    print(f"  fix / kelvane {stats.paired_ratio(fix_fail, k_fail)}; fix / PyMatching {stats.paired_ratio(fix_fail, pm_fail)}; "
          f"kelvane / PyMatching {stats.paired_ratio(k_fail, pm_fail)}")


if __name__ == "__main__":
    main()
