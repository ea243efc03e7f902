"""Synchronous population-based training in one process, for many paired seeds in minutes.

The selection arms call the scheduler's own code (`_estimates.snapshot` / `objectives`,
`_decision.decide` / `quantile_size` / `selection_seed`); the explore step follows Ray
Tune's documented one (each mutated hyper-parameter resampled with probability 0.25, else multiplied
by 0.8 or 1.2; a loser clones a uniformly chosen winner). Ray itself is not imported.

Pairing: every random draw comes from a generator seeded by (seed, trial slot, step, purpose), so
within a seed every arm starts from the same configurations and weights and sees the same minibatch
order and validation batches in each slot; only the selection differs.
"""

from __future__ import annotations

import copy
from collections import deque
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass
from typing import Any, Protocol

import numpy as np

# Private on purpose: the arms must run the scheduler's own estimates and decision, not a copy; these
# modules are the scheduler's internals, not a public interface.
from vornaquill.ray_tune._decision import decide, quantile_size, selection_seed
from vornaquill.ray_tune._estimates import objectives, snapshot

RESAMPLE_PROBABILITY, PERTURBATION_FACTORS = 0.25, (1.2, 0.8)
PURPOSES = {"init": 0, "weights": 1, "train": 2, "report": 3, "clone": 4, "explore": 5, "tie": 6}


def rng(seed: int, slot: int, step: int, purpose: str) -> np.random.Generator:
    return np.random.default_rng([seed, slot, step, PURPOSES[purpose]])


class Workload(Protocol):
    """A population of models trained in lock step; configs are dicts of floats."""

    metrics: dict[str, str]  # name -> "min" | "max", reported with `<name>_std`
    domains: dict[str, tuple[float, float, bool]]  # mutated hyper-parameter -> (low, high, log scale)
    reports: int  # results per trial
    interval: int  # results between perturbation points
    trials: int
    truth_ref: tuple[float, float]  # hypervolume reference point, in the metrics' directions

    def start(self, configs: list[dict], gens: list[np.random.Generator]) -> Any: ...
    def train(self, state: Any, configs: list[dict], gens: list[np.random.Generator]) -> None: ...
    def report(self, state: Any, configs: list[dict], gens: list[np.random.Generator]) -> list[dict]: ...
    def truth(self, state: Any, configs: list[dict]) -> np.ndarray: ...  # (trials, 2), metrics' directions
    def copy(self, state: Any, dst: int, src: int) -> None: ...


def sample(domain: tuple[float, float, bool], g: np.random.Generator) -> float:
    low, high, log = domain
    return float(np.exp(g.uniform(np.log(low), np.log(high)))) if log else float(g.uniform(low, high))


def explore(config: dict, domains: Mapping[str, tuple[float, float, bool]], g: np.random.Generator) -> dict:
    new = dict(config)
    for key, domain in domains.items():
        if g.random() < RESAMPLE_PROBABILITY:
            new[key] = sample(domain, g)
        else:
            new[key] = config[key] * PERTURBATION_FACTORS[int(g.integers(2))]
    return new


def hypervolume(points: np.ndarray, ref: Sequence[float], signs: np.ndarray) -> float:
    """Area dominated by the 2-D `points` up to `ref`; signs +1 for minimised, -1 for maximised."""
    pts, r = np.asarray(points) * signs, np.asarray(ref) * signs
    front = sorted(tuple(p) for p in pts if p[0] < r[0] and p[1] < r[1])
    area, best = 0.0, r[1]
    for a, b in front:
        if b < best:
            area += (r[0] - a) * (best - b)
            best = b
    return area


# --- selection arms: (histories, last results, names, signs, k, seed, number) -> (losers, winners) ---
Selector = Callable[..., tuple[list[int], list[int]]]


def ray_rank(score: Callable[[np.ndarray], float]) -> Selector:
    """Ray's PBT: sort by the last value's score (larger is better), ties in slot order."""

    def select(histories, lasts, names, signs, k, seed, number):
        order = sorted(range(len(histories)), key=lambda i: score(-signs * histories[i][-1]))
        return order[:k], order[-k:][::-1]

    return select


def pareto(noise: str, prior: str | None, n_samples: int = 2000) -> Selector:
    """ParetoPBT's selection, through the scheduler's own functions."""

    def select(histories, lasts, names, signs, k, seed, number):
        snaps = [snapshot(noise, h, r, names) for h, r in zip(histories, lasts)]
        mu, sigma2, _, _ = objectives(snaps, signs, "worst")
        decision = decide(mu, sigma2, k, n_samples, selection_seed(seed, number), prior)
        return decision.losers.tolist(), decision.winners.tolist()

    return select


def nondominated_fronts(f: np.ndarray) -> list[list[int]]:
    """Fronts of the minimisation problem f (N, M), best first."""
    left, fronts = list(range(len(f))), []
    while left:
        front = [i for i in left if not any((f[j] <= f[i]).all() and (f[j] < f[i]).any() for j in left)]
        fronts.append(front)
        left = [i for i in left if i not in front]
    return fronts


def mopbt(histories, lasts, names, signs, k, seed, number):
    """The selection of multi-objective PBT (Dushatskiy et al., 2023) as described there: fronts of the
    last values by non-dominated sorting, best first; inside a front the order of a greedy epsilon-net
    (a random first member, then repeatedly the member farthest from those already taken, in
    objectives scaled to the population's range). Winners are the first k, losers the last k."""
    f = np.array([signs * h[-1] for h in histories])
    span = np.ptp(f, axis=0)
    scaled = (f - f.min(axis=0)) / np.where(span > 0, span, 1.0)
    g = rng(seed, 0, number, "tie")
    order: list[int] = []
    for front in nondominated_fronts(f):
        taken = [front[int(g.integers(len(front)))]]
        rest = [i for i in front if i != taken[0]]
        while rest:
            dist = [min(np.linalg.norm(scaled[i] - scaled[j]) for j in taken) for i in rest]
            taken.append(rest.pop(int(np.argmax(dist))))
        order += taken
    return order[-k:][::-1], order[:k]


@dataclass
class Run:
    hypervolume: float  # final population, ground truth
    curve: list[float]  # ground-truth hypervolume after each interval
    configs: list[dict]
    exploits: int


def run(workload: Workload, select: Selector, seed: int, window: int = 4, quantile_fraction: float = 0.25) -> Run:
    """Synchronous PBT: every trial reports `interval` results, then the worst k clone the best k."""
    names = list(workload.metrics)
    signs = np.array([1.0 if d == "min" else -1.0 for d in workload.metrics.values()])
    n = workload.trials
    configs = [{key: sample(d, rng(seed, i, 0, "init")) for key, d in workload.domains.items()} for i in range(n)]
    state = workload.start(configs, [rng(seed, i, 0, "weights") for i in range(n)])
    histories: list[deque] = [deque(maxlen=window) for _ in range(n)]
    curve, exploits, number = [], 0, 0
    k = quantile_size(n, quantile_fraction)
    for step in range(1, workload.reports + 1):
        workload.train(state, configs, [rng(seed, i, step, "train") for i in range(n)])
        lasts = workload.report(state, configs, [rng(seed, i, step, "report") for i in range(n)])
        for h, r in zip(histories, lasts):
            h.append(np.array([r[name] for name in names]))
        if step % workload.interval:
            continue
        curve.append(hypervolume(workload.truth(state, configs), workload.truth_ref, signs))
        if step == workload.reports:
            break
        losers, winners = select(histories, lasts, names, signs, k, seed, number)
        number += 1
        for i in losers:
            src = winners[int(rng(seed, i, step, "clone").integers(len(winners)))]
            workload.copy(state, i, src)
            configs[i] = explore(configs[src], workload.domains, rng(seed, i, step, "explore"))
            histories[i].clear()  # the replaced model's results are not the clone's
            exploits += 1
    return Run(curve[-1], curve, copy.deepcopy(configs), exploits)


def arms(metrics: Mapping[str, str]) -> dict[str, Selector]:
    """Every arm for a two-metric workload, by name."""
    a, b = metrics
    out: dict[str, Selector] = {
        f"ray-{a}": ray_rank(lambda v: v[0]),
        f"ray-{b}": ray_rank(lambda v: v[1]),
        "ray-sum": ray_rank(lambda v: v[0] + v[1]),
        "mopbt": mopbt,
        "pareto-none": pareto("none", None),
    }
    for noise in ("window", "trend", "reported"):
        for prior in (None, "population"):
            out[f"pareto-{noise}" + ("-prior" if prior else "")] = pareto(noise, prior)
    return out


def _rows(state: Any, idx: list[int]) -> Any:
    """The trials `idx` of a population state (one array, or a dict of arrays, indexed by trial)."""
    return {k: v[idx] for k, v in state.items()} if isinstance(state, dict) else state[idx]


def _put_rows(state: Any, idx: list[int], rows: Any) -> None:
    for k, v in state.items() if isinstance(state, dict) else [(None, state)]:
        v[idx] = rows[k] if k is not None else rows


def run_async(workload: Workload, select: Selector, seed: int, window: int = 4, quantile_fraction: float = 0.25,
              aligned: bool = False, speeds: Sequence[int] = (1, 2, 3)) -> Run:
    """Asynchronous PBT: slot i advances `speeds[i % len(speeds)]` results per tick; a trial reaching its
    own perturbation point is compared with every trial's snapshot from that trial's last perturbation
    point (its own is fresh) and, if a loser, clones a winner and takes the winner's snapshot. With
    `aligned`, only snapshots within one interval of the reporting trial's progress take part, and
    there is no selection unless they are enough for a quantile of at least one trial.

    Same draws as `run` per (seed, slot, the trial's own step, purpose); selections in tick order,
    slots in order within a tick. `curve` holds the ground truth after every `interval` ticks and at
    the end."""
    names = list(workload.metrics)
    signs = np.array([1.0 if d == "min" else -1.0 for d in workload.metrics.values()])
    n, every = workload.trials, workload.interval
    speed = [speeds[i % len(speeds)] for i in range(n)]
    configs = [{key: sample(d, rng(seed, i, 0, "init")) for key, d in workload.domains.items()} for i in range(n)]
    state = workload.start(configs, [rng(seed, i, 0, "weights") for i in range(n)])
    histories: list[deque] = [deque(maxlen=window) for _ in range(n)]
    snaps: list[tuple[int, deque, dict] | None] = [None] * n  # (progress, history, last result)
    progress = [0] * n
    curve, exploits, number, tick = [], 0, 0, 0
    while min(progress) < workload.reports:
        tick += 1
        for sub in range(max(speed)):
            movers = [i for i in range(n) if speed[i] > sub and progress[i] < workload.reports]
            if not movers:
                continue
            for i in movers:
                progress[i] += 1
            cfg = [configs[i] for i in movers]
            part = _rows(state, movers)
            workload.train(part, cfg, [rng(seed, i, progress[i], "train") for i in movers])
            lasts = workload.report(part, cfg, [rng(seed, i, progress[i], "report") for i in movers])
            _put_rows(state, movers, part)
            for i, r in zip(movers, lasts):
                histories[i].append(np.array([r[name] for name in names]))
                step = progress[i]
                if step % every or step == workload.reports:
                    continue
                snaps[i] = (step, copy.copy(histories[i]), r)
                pool = [j for j, s in enumerate(snaps) if s is not None and (not aligned or abs(s[0] - step) <= every)]
                k = quantile_size(len(pool), quantile_fraction)
                if k == 0:
                    continue
                losers, winners = select([snaps[j][1] for j in pool], [snaps[j][2] for j in pool],
                                         names, signs, k, seed, number)
                number += 1
                if pool.index(i) not in losers:
                    continue
                src = pool[winners[int(rng(seed, i, step, "clone").integers(len(winners)))]]
                workload.copy(state, i, src)
                configs[i] = explore(configs[src], workload.domains, rng(seed, i, step, "explore"))
                snaps[i] = (step, *snaps[src][1:])
                histories[i].clear()
                exploits += 1
        if tick % every == 0 or min(progress) == workload.reports:
            curve.append(hypervolume(workload.truth(state, configs), workload.truth_ref, signs))
    return Run(curve[-1], curve, copy.deepcopy(configs), exploits)
