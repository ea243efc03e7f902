"""A brute-force model of the rating rules (fronts by peeling, average ranks, crowding) and
populations that exercise them."""

import math

import numpy as np

INF = math.inf


def less(a, b):
    """a strictly before b: numbers by value, NaN after every number, NaNs equal."""
    if math.isnan(a):
        return False
    return math.isnan(b) or a < b


def sort_key(v):
    return (1, 0.0) if math.isnan(v) else (0, v)


def dominates(a, b):
    return all(not less(y, x) for x, y in zip(a, b)) and any(less(x, y) for x, y in zip(a, b))


def average_ranks(rows, M):
    N = len(rows)
    R = [[0.0] * M for _ in range(N)]
    for m in range(M):
        idx = sorted(range(N), key=lambda i: (sort_key(rows[i][m]), i))
        p = 0
        while p < N:
            q = p
            while q + 1 < N and not less(rows[idx[p]][m], rows[idx[q + 1]][m]):
                q += 1
            for j in range(p, q + 1):
                R[idx[j]][m] = (p + q) / 2
            p = q + 1
    return R


def fronts_by_peeling(W):
    N = len(W)
    front = [None] * N
    left = set(range(N))
    f = 0
    while left:
        layer = [i for i in left if not any(dominates(W[j], W[i]) for j in left if j != i)]
        for i in layer:
            front[i] = f
        left -= set(layer)
        f += 1
    return front, f


def crowding(W, members, M, score):
    n = len(members)
    if n <= 2:
        for i in members:
            score[i] = INF
        return
    for i in members:
        score[i] = 0.0
    for m in range(M):
        lst = sorted(members, key=lambda i: (sort_key(W[i][m]), i))
        score[lst[0]] = INF
        score[lst[-1]] = INF
        span = W[lst[-1]][m] - W[lst[0]][m]
        if not (math.isfinite(span) and span > 0.0):
            continue
        for j in range(1, n - 1):
            score[lst[j]] += (W[lst[j + 1]][m] - W[lst[j - 1]][m]) / span


def rating_model(X, mode_i):
    N, M = X.shape
    rows = [[float(v) for v in r] for r in X]
    W = rows if mode_i == 0 else average_ranks(rows, M)
    front, n_fronts = fronts_by_peeling(W)
    score = [None] * N
    for f in range(n_fronts):
        crowding(W, [i for i in range(N) if front[i] == f], M, score)
    order = sorted(range(N), key=lambda i: (front[i], -score[i], i))
    return front, score, order, n_fronts


# ---------------------------------------------------------------- random populations to rate
SPECIAL = [math.nan, INF, -INF, 0.0, -0.0, 1.0, -1.0, 2.0, 1e308, -1e308, 5e-324]


def rating_population(rng, N, M, kind):
    if kind == "special":
        X = rng.choice(np.array(SPECIAL), size=(N, M))
    elif kind == "grid":  # few distinct values: many ties and duplicate rows
        X = rng.integers(0, 3, size=(N, M)).astype(float)
    elif kind == "front":  # points on or near one anti-correlated front, some duplicated
        t = rng.random(N)
        X = np.column_stack([t if m % 2 == 0 else 1.0 - t for m in range(M)]) if M else np.empty((N, 0))
        X = X + rng.normal(scale=0.05, size=(N, M)) * (rng.random((N, 1)) < 0.5)
    else:
        X = rng.normal(size=(N, M))
    if N > 1:  # copy some rows onto others
        src = rng.integers(0, N, size=N // 4)
        dst = rng.integers(0, N, size=N // 4)
        X[dst] = X[src]
    return np.ascontiguousarray(X)
