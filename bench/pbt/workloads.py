"""Workloads for the in-process PBT loop (bench/pbt/loop.py).

`Mnist1dMLP`: real training. One class of MNIST-1D against the rest (data made by the `mnist1d`
package's generator in code, never downloaded), a one-hidden-layer NumPy MLP per trial, trained by
SGD with momentum on a class-weighted logistic loss; the population is trained as one batched array
program. Each result scores a fresh validation batch (precision and recall, both maximised, with
their standard errors); the ground truth is a large held-out set generated with another seed.

`Toy`: the noisy toy problem of bench/pbt/run.py with seeded noise.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field

import numpy as np

CACHE = os.path.join(os.path.dirname(__file__), "..", "results", "mnist1d")


def mnist1d_split(seed: int, samples: int) -> tuple[np.ndarray, np.ndarray]:
    """All `samples` examples of the generator's default dataset with its seed replaced (the default
    seed, 42, gives the training set), cached as .npz under bench/results/."""
    path = os.path.join(CACHE, f"seed{seed}-n{samples}.npz")
    if os.path.exists(path):
        with np.load(path) as f:
            return f["x"], f["y"]
    from mnist1d.data import get_dataset_args, make_dataset

    args = get_dataset_args()
    args.seed, args.num_samples = seed, samples
    data = make_dataset(args)
    x = np.concatenate([data["x"], data["x_test"]]).astype(np.float64)
    y = np.concatenate([data["y"], data["y_test"]])
    os.makedirs(CACHE, exist_ok=True)
    np.savez(path, x=x, y=y)
    return x, y


def se(hits: np.ndarray, n: np.ndarray) -> np.ndarray:
    """Standard error of a proportion hits / n, with one pseudo-success and one pseudo-failure so
    that 0/n, n/n and 0/0 do not claim certainty."""
    p = (hits + 1.0) / (n + 2.0)
    return np.sqrt(p * (1.0 - p) / (n + 2.0))


@dataclass
class Mnist1dSchedule:
    """Sizes and schedule shared by the MNIST-1D workloads."""

    trials: int = 16
    batch: int = 32
    steps: int = 10  # SGD steps between results
    reports: int = 40
    interval: int = 4
    val_batch: int = 200
    train_samples: int = 5000  # the generator's default dataset (seed 42)
    val_samples: int = 5000
    heldout_samples: int = 20000


@dataclass
class Mnist1dMLP(Mnist1dSchedule):
    positive: int = 3
    hidden: int = 32
    metrics: dict = field(default_factory=lambda: {"precision": "max", "recall": "max"})
    domains: dict = field(default_factory=lambda: {
        "lr": (1e-3, 0.5, True), "weight_decay": (1e-6, 1e-2, True), "pos_weight": (0.3, 30.0, True)})
    truth_ref: tuple = (0.0, 0.0)

    def __post_init__(self) -> None:
        def binary(seed: int, n: int) -> tuple[np.ndarray, np.ndarray]:
            x, y = mnist1d_split(seed, n)
            return x, (y == self.positive).astype(np.float64)

        self.x, self.y = binary(42, self.train_samples)
        self.xv, self.yv = binary(1, self.val_samples)
        self.xh, self.yh = binary(2, self.heldout_samples)

    def start(self, configs, gens):
        d, h = self.x.shape[1], self.hidden
        w1 = np.stack([g.normal(0.0, np.sqrt(2.0 / d), (d, h)) for g in gens])
        w2 = np.stack([g.normal(0.0, np.sqrt(1.0 / h), h) for g in gens])
        params = {"w1": w1, "b1": np.zeros((len(gens), h)), "w2": w2, "b2": np.zeros(len(gens))}
        return {**params, **{"v_" + k: np.zeros_like(v) for k, v in params.items()}}

    @staticmethod
    def logits(s, x):  # x (n, B, d) -> (n, B) logits and hidden activations
        hid = np.maximum(np.einsum("nbd,ndh->nbh", x, s["w1"]) + s["b1"][:, None], 0.0)
        return np.einsum("nbh,nh->nb", hid, s["w2"]) + s["b2"][:, None], hid

    def train(self, s, configs, gens):
        lr, wd, pw = (np.array([c[k] for c in configs]) for k in ("lr", "weight_decay", "pos_weight"))
        idx = np.stack([g.integers(len(self.y), size=(self.steps, self.batch)) for g in gens])
        with np.errstate(all="ignore"):  # a diverging trial turns NaN and is scored as such
            for t in range(self.steps):
                x, y = self.x[idx[:, t]], self.y[idx[:, t]]
                z, hid = self.logits(s, x)
                dz = np.where(y > 0, pw[:, None], 1.0) * (0.5 * (1.0 + np.tanh(0.5 * z)) - y) / self.batch
                dh = dz[..., None] * s["w2"][:, None, :] * (hid > 0)
                grads = {"w1": np.einsum("nbd,nbh->ndh", x, dh) + wd[:, None, None] * s["w1"],
                         "b1": dh.sum(axis=1), "w2": np.einsum("nbh,nb->nh", hid, dz) + wd[:, None] * s["w2"],
                         "b2": dz.sum(axis=1)}
                for k, g in grads.items():
                    s["v_" + k] = 0.9 * s["v_" + k] + g
                    s[k] -= lr.reshape((-1,) + (1,) * (g.ndim - 1)) * s["v_" + k]

    def scores(self, s, x, y):
        """(n, 2) precision and recall, and the counts behind them (predicted positives, positives)."""
        with np.errstate(all="ignore"):
            pred = self.logits(s, x)[0] > 0
        tp, pp, pos = (pred & (y > 0)).sum(axis=1), pred.sum(axis=1), (y > 0).sum(axis=1)
        prec = np.divide(tp, pp, out=np.zeros(len(tp)), where=pp > 0)
        rec = np.divide(tp, pos, out=np.zeros(len(tp)), where=pos > 0)
        return prec, rec, tp, pp, pos

    def report(self, s, configs, gens):
        idx = np.stack([g.integers(len(self.yv), size=self.val_batch) for g in gens])
        prec, rec, tp, pp, pos = self.scores(s, self.xv[idx], self.yv[idx])
        ps, rs = se(tp, pp), se(tp, pos)
        return [{"precision": prec[i], "recall": rec[i], "precision_std": ps[i], "recall_std": rs[i]}
                for i in range(len(gens))]

    def truth(self, s, configs):
        n = len(configs)
        out = np.empty((n, 2))
        for i in range(n):  # one trial at a time: the held-out set is large
            one = {k: v[i : i + 1] for k, v in s.items()}
            out[i, 0], out[i, 1] = (a[0] for a in self.scores(one, self.xh[None], self.yh[None])[:2])
        return out

    def copy(self, s, dst, src):
        for v in s.values():
            v[dst] = v[src]


@dataclass
class Toy:
    """f1 = (1 - s) + w^2, f2 = (1 - s) + (1 - w)^2 (minimised); progress s grows by g(lr) (1 - s) per
    result, g(lr) = lr up to 0.3 and falling beyond; Gaussian noise of sd 0.05 + 0.5 lr, reported."""

    trials: int = 6
    reports: int = 16
    interval: int = 4
    metrics: dict = field(default_factory=lambda: {"f1": "min", "f2": "min"})
    domains: dict = field(default_factory=lambda: {"w": (0.0, 1.0, False), "lr": (0.01, 1.0, True)})
    truth_ref: tuple = (1.5, 1.5)

    def start(self, configs, gens):
        return np.zeros(len(configs))

    def train(self, s, configs, gens):
        lr = np.array([c["lr"] for c in configs])
        s += np.where(lr <= 0.3, lr, np.maximum(0.6 - lr, -0.2)) * (1.0 - s)

    def truth(self, s, configs):
        w = np.clip([c["w"] for c in configs], 0.0, 1.0)
        return np.stack([(1.0 - s) + w**2, (1.0 - s) + (1.0 - w) ** 2], axis=1)

    def report(self, s, configs, gens):
        out = []
        for (f1, f2), c, g in zip(self.truth(s, configs), configs, gens):
            sd = 0.05 + 0.5 * c["lr"]
            out.append({"f1": f1 + g.normal(0, sd), "f2": f2 + g.normal(0, sd), "f1_std": sd, "f2_std": sd})
        return out

    def copy(self, s, dst, src):
        s[dst] = s[src]


@dataclass
class Mnist1dWidth(Mnist1dSchedule):
    """MNIST-1D, all ten classes: accuracy (noisy: a fresh validation batch per result) against the
    model's size (exact: its parameter count over that of the widest model), one NumPy MLP 40-w-10 per
    trial whose hidden width w is a mutated hyper-parameter (rounded, clipped to [4, 128]).

    The population is one batched array program at the widest width; units beyond a trial's width are
    held at zero. Units a wider clone gains start with fresh weights from that step's training
    generator. Accuracy's standard error is binomial with one pseudo-count each way; size's is 0."""

    max_width: int = 128
    metrics: dict = field(default_factory=lambda: {"accuracy": "max", "size": "min"})
    domains: dict = field(default_factory=lambda: {
        "lr": (1e-3, 0.5, True), "weight_decay": (1e-6, 1e-2, True), "width": (4.0, 128.0, True)})
    truth_ref: tuple = (0.0, 1.0)

    def __post_init__(self) -> None:
        self.x, self.y = mnist1d_split(42, self.train_samples)
        self.xv, self.yv = mnist1d_split(1, self.val_samples)
        self.xh, self.yh = mnist1d_split(2, self.heldout_samples)
        self.classes = 10

    def width(self, configs) -> np.ndarray:
        return np.clip(np.rint([c["width"] for c in configs]), 4, self.max_width).astype(int)

    def size(self, configs) -> np.ndarray:
        d, c = self.x.shape[1], self.classes
        return (self.width(configs) * (d + 1 + c) + c) / (self.max_width * (d + 1 + c) + c)

    def _mask(self, s, configs, gens) -> None:
        """Zero the units beyond each trial's width; give units it newly uses fresh weights."""
        d, h = self.x.shape[1], self.max_width
        on = np.arange(h)[None, :] < self.width(configs)[:, None]
        fresh = on & ~s["on"]
        for i in np.flatnonzero(fresh.any(axis=1)):
            units = np.flatnonzero(fresh[i])
            s["w1"][i][:, units] = gens[i].normal(0.0, np.sqrt(2.0 / d), (d, len(units)))
            s["w2"][i][units] = gens[i].normal(0.0, np.sqrt(1.0 / h), (len(units), self.classes))
        for k, axis in (("w1", 1), ("b1", 0), ("w2", 0)):
            for v in (s[k], s["v_" + k]):
                v *= np.expand_dims(on, 1) if axis == 1 else on.reshape(on.shape + (1,) * (v.ndim - 2))
        s["on"] = on

    def start(self, configs, gens):
        d, h, c, n = self.x.shape[1], self.max_width, self.classes, len(gens)
        s = {"w1": np.zeros((n, d, h)), "b1": np.zeros((n, h)), "w2": np.zeros((n, h, c)), "b2": np.zeros((n, c))}
        s = {**s, **{"v_" + k: np.zeros_like(v) for k, v in s.items()}, "on": np.zeros((n, h), bool)}
        self._mask(s, configs, gens)
        return s

    @staticmethod
    def logits(s, x):  # x (n, B, d) -> (n, B, 10) logits and hidden activations
        hid = np.maximum(np.einsum("nbd,ndh->nbh", x, s["w1"]) + s["b1"][:, None], 0.0)
        return np.einsum("nbh,nhc->nbc", hid, s["w2"]) + s["b2"][:, None], hid

    def train(self, s, configs, gens):
        self._mask(s, configs, gens)
        lr, wd = (np.array([c[k] for c in configs]) for k in ("lr", "weight_decay"))
        idx = np.stack([g.integers(len(self.y), size=(self.steps, self.batch)) for g in gens])
        with np.errstate(all="ignore"):  # a diverging trial turns NaN and is scored as such
            for t in range(self.steps):
                x, y = self.x[idx[:, t]], self.y[idx[:, t]]
                z, hid = self.logits(s, x)
                p = np.exp(z - z.max(axis=2, keepdims=True))
                dz = (p / p.sum(axis=2, keepdims=True) - np.eye(self.classes)[y]) / self.batch
                dh = np.einsum("nbc,nhc->nbh", dz, s["w2"]) * (hid > 0)
                grads = {"w1": np.einsum("nbd,nbh->ndh", x, dh) + wd[:, None, None] * s["w1"],
                         "b1": dh.sum(axis=1), "w2": np.einsum("nbh,nbc->nhc", hid, dz) + wd[:, None, None] * s["w2"],
                         "b2": dz.sum(axis=1)}
                for k, g in grads.items():
                    s["v_" + k] = 0.9 * s["v_" + k] + g
                    s[k] -= lr.reshape((-1,) + (1,) * (g.ndim - 1)) * s["v_" + k]

    def accuracy(self, s, x, y) -> tuple[np.ndarray, np.ndarray]:
        with np.errstate(all="ignore"):
            hits = (self.logits(s, x)[0].argmax(axis=2) == y).sum(axis=1)
        return hits / y.shape[1], hits

    def report(self, s, configs, gens):
        idx = np.stack([g.integers(len(self.yv), size=self.val_batch) for g in gens])
        acc, hits = self.accuracy(s, self.xv[idx], self.yv[idx])
        sd, size = se(hits, np.full(len(hits), self.val_batch)), self.size(configs)
        return [{"accuracy": acc[i], "size": size[i], "accuracy_std": sd[i], "size_std": 0.0}
                for i in range(len(gens))]

    def truth(self, s, configs):
        out = np.empty((len(configs), 2))
        for i in range(len(configs)):  # one trial at a time: the held-out set is large
            one = {k: v[i : i + 1] for k, v in s.items()}
            out[i, 0] = self.accuracy(one, self.xh[None], self.yh[None])[0][0]
        out[:, 1] = self.size(configs)
        return out

    def copy(self, s, dst, src):
        for v in s.values():
            v[dst] = v[src]
