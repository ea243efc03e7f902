"""Winners and losers that never share an individual when they need not: the rule behind `select`
and ParetoPBT's decisions.

Each side has its order: winners by most wins, then the smaller rank sum; losers by most losses,
then the larger rank sum; equal keys by a tie-break key (the index by default). With 2k <= N the
first k of the two orders can share an individual; it goes to the side it lands on more often (the
winners on a tie), and each side is then filled from its own order, skipping the other side's
members. With 2k > N the lists cannot be disjoint and are the first k of each order.

With the population prior the two sides come from two selections (`winners_beside`): the losers
from the observed values, the winners from the posterior ones, skipping those losers.
"""

from __future__ import annotations

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["disjoint_winners_losers", "winners_beside"]


def _tiebreak(n: int, tiebreak: ArrayLike | None) -> NDArray[np.int64]:
    return np.arange(n) if tiebreak is None else np.asarray(tiebreak)


def disjoint_winners_losers(win_count: ArrayLike, lose_count: ArrayLike, rank_sum: ArrayLike, k: int,
                            tiebreak: ArrayLike | None = None) -> tuple[NDArray[np.int64], NDArray[np.int64]]:
    """(winners, losers), k of each, best and worst first, disjoint whenever 2k <= N.

    `win_count`, `lose_count` and `rank_sum` are a selection's per-individual counts (N,);
    `tiebreak` (N,) orders individuals whose counts and rank sums are equal, smallest first (None:
    by index, the kernels' order).
    """
    win = np.asarray(win_count, dtype=np.int64)
    lose = np.asarray(lose_count, dtype=np.int64)
    ranks = np.asarray(rank_sum, dtype=np.int64)
    key = _tiebreak(len(win), tiebreak)
    by_win = np.lexsort((key, ranks, -win))
    by_lose = np.lexsort((key, -ranks, -lose))
    if 2 * k > len(win):
        return by_win[:k].astype(np.int64), by_lose[:k].astype(np.int64)
    both = set(by_win[:k].tolist()) & set(by_lose[:k].tolist())
    to_lose = {i for i in both if lose[i] > win[i]}
    winners = [i for i in by_win.tolist() if i not in to_lose][:k]
    taken = set(winners)
    losers = [i for i in by_lose.tolist() if i not in taken][:k]
    return np.array(winners, dtype=np.int64), np.array(losers, dtype=np.int64)


def winners_beside(win_count: ArrayLike, rank_sum: ArrayLike, losers: ArrayLike, k: int,
                   tiebreak: ArrayLike | None = None) -> NDArray[np.int64]:
    """k winners, best first, of a selection whose losers were chosen by another: the first k of the
    winners' order (most wins, then the smaller rank sum, then `tiebreak`) that are not `losers`,
    or, with 2k > N, the first k of the order."""
    win = np.asarray(win_count, dtype=np.int64)
    order = np.lexsort((_tiebreak(len(win), tiebreak), np.asarray(rank_sum, dtype=np.int64), -win))
    if 2 * k <= len(win):
        order = order[~np.isin(order, np.asarray(losers))]
    return order[:k].astype(np.int64)
