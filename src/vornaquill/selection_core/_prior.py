"""A population prior for noisy means: empirical-Bayes shrinkage of each objective toward the
population, so that a mean that is high only because its noise was lucky is not taken at face value.

Model, per objective: the true values of the individuals are Normal(m, tau2) across the population,
and individual i's observed mean is Normal(true_i, sigma2_i) with its variance sigma2_i known. The
posterior of true_i then has mean m + B_i (mu_i - m) and variance B_i sigma2_i, with
B_i = tau2 / (tau2 + sigma2_i): a noisy mean moves further toward the population than a precise one,
which is what undoes the winner's curse of selecting the best observed means.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np
from numpy.typing import ArrayLike, NDArray

__all__ = ["MIN_POPULATION", "Posterior", "population_posterior"]

#: Fewest individuals with a finite mean for which m and tau2 are estimated.
MIN_POPULATION = 4

# tau2 is searched on log(tau2) between these offsets from log(var(mu) + mean(sigma2)): a coarse grid
# for the bracket, then golden-section steps inside it.
_LOG_SPAN = (-20.0, 6.0)
_GRID = 105
_GOLDEN_STEPS = 40


@dataclass(frozen=True)
class Posterior:
    """Posterior means and variances of a population (`population_posterior`).

    Attributes
    ----------
    mu, sigma2:
        float64 (N, M): posterior means (in the sign of the input) and variances. Where an objective
        was left out (see `note`), the input itself.
    applied:
        True when at least one objective was shrunk; False when none was (population too small, or
        no noise to shrink), and then `mu` and `sigma2` are the input.
    note:
        Why objectives were left as observed, "" when every objective was shrunk.
    """

    mu: NDArray[np.float64]
    sigma2: NDArray[np.float64]
    applied: bool
    note: str


def population_posterior(mu: ArrayLike, sigma2: ArrayLike, dof: ArrayLike | None = None) -> Posterior:
    """Shrink each objective's means toward the population (normal-normal empirical Bayes).

    For each objective separately, m and tau2 are estimated from the individuals with a finite mean
    by restricted maximum likelihood (REML: the likelihood of the means with m integrated out under
    a flat prior), penalised by log(tau), i.e. the posterior mode of tau2 under a Gamma(2, rate -> 0)
    prior on tau. Unpenalised REML estimates tau2 = 0 whenever the means spread no more than their
    noise explains, and tau2 = 0 shrinks every mean onto m: the ranking would be lost. The penalty
    keeps tau2 > 0 in every case and costs little when the spread is clear (with equal variances s
    and S the sum of squared deviations, tau2 = (S - (N-3) s + sqrt((S - (N-3) s)**2 + 4 (N-2) s**2))
    / (2 (N - 2)), about s / sqrt(N) when S = (N - 1) s). Given tau2, m is the precision-weighted
    mean and its variance V_m = 1 / sum(1 / (tau2 + sigma2_j)); the posterior of individual i is

        mean     = m + B_i (mu_i - m),       B_i = tau2 / (tau2 + sigma2_i)
        variance = B_i sigma2_i + (1 - B_i)**2 V_m

    (the second term is the uncertainty of m itself). The shrinkage does not depend on the sign of
    the objective, so it may run on maximised or negated means alike.

    Parameters
    ----------
    mu, sigma2:
        (N, M) observed means and variances of the means. Variances must be finite and >= 0.
    dof:
        Optional (N,) or (N, M) degrees of freedom of the variances when they are estimates: K - 1
        for the variance of a mean of K replicates (sample variance / K). None: variances known.
        A variance from 2 or 3 replicates is itself very noisy, and one that came out too small
        would let its lucky mean through unshrunk; so before the means are shrunk, each
        objective's variances are shrunk too (empirical Bayes for variances: the per-measurement
        variances K sigma2_i follow a scaled inverse chi-square prior with d0 degrees of freedom
        and scale v0, both estimated by the moments of the log variances (Smyth 2004); the
        moderated variance is (d0 v0 + d_i K sigma2_i) / (d0 + d_i)), and each is replaced by
        the posterior mean of the variance, the moderated one times (d0 + d_i) / (d0 + d_i - 2),
        capped at 3 times (the posterior mean is infinite as d0 + d_i falls to 2), divided by K
        again. Variances of 0 and those with an infinite dof (known, e.g. pooled) are kept; with
        fewer than `MIN_POPULATION` estimated variances in an objective they are used as given.

    Returns
    -------
    Posterior
        Non-finite means stay as they are (the worst value) and are left out of the estimate; a
        variance of 0 keeps its mean exactly (variance 0). An objective with fewer than
        `MIN_POPULATION` finite means, or without a positive variance among them, is left as observed
        and named in `note`. The arithmetic runs on centred means scaled by a power of two, so the
        result follows any scaling or shift of an objective, at any finite scale: one mean of 1e300
        among ordinary ones stays the worst and widens tau2 so far that the others keep their means.

    Raises
    ------
    ValueError
        For arrays that are not 2-D or differ in shape, a variance that is not a finite number >= 0,
        or `dof` of the wrong shape.
    """
    y = np.array(mu, dtype=np.float64)
    s = np.array(sigma2, dtype=np.float64)
    if y.ndim != 2 or y.shape != s.shape:
        raise ValueError(f"mu and sigma2 must be 2-D arrays of one shape, got {y.shape} and {s.shape}")
    if not (np.isfinite(s) & (s >= 0.0)).all():
        raise ValueError("sigma2: every variance must be a finite number >= 0")
    d = None
    if dof is not None:
        d = np.asarray(dof, dtype=np.float64)
        d = d[:, None] if d.ndim == 1 else d
        try:
            d = np.broadcast_to(d, y.shape)
        except ValueError:
            raise ValueError(f"dof must have shape (N,) or (N, M) = {y.shape}, got {np.shape(dof)}") from None
        if not (d > 0.0).all():
            raise ValueError("dof: every degree of freedom must be > 0 (inf for a known variance)")
    post_mu, post_s2 = y.copy(), s.copy()
    left: list[str] = []
    for j in range(y.shape[1]):
        usable = np.isfinite(y[:, j])
        why = _unusable(int(usable.sum()), s[usable, j])
        if why:
            left.append(f"objective {j}: {why}")
            continue
        s_j = s[usable, j] if d is None else _moderated(s[usable, j], d[usable, j])
        post_mu[usable, j], post_s2[usable, j] = _shrink(y[usable, j], s_j)
    applied = len(left) < y.shape[1]
    if not applied:
        return Posterior(np.array(mu, dtype=np.float64), np.array(sigma2, dtype=np.float64), False, "; ".join(left))
    return Posterior(post_mu, post_s2, True, "; ".join(left))


def _unusable(count: int, s: NDArray[np.float64]) -> str:
    if count < MIN_POPULATION:
        return f"{count} individuals with a finite mean, fewer than {MIN_POPULATION}: left as observed"
    if not (s > 0.0).any():
        return "no positive variance: nothing to shrink"
    return ""


def _penalised_reml(t: NDArray[np.float64], y: NDArray[np.float64], s: NDArray[np.float64]
                    ) -> NDArray[np.float64]:
    """log REML likelihood + log(tau) at each tau2 in `t` (shape (G,)), up to a constant."""
    w = 1.0 / (s[None, :] + t[:, None])
    m = (w * y).sum(axis=1) / w.sum(axis=1)
    resid = y[None, :] - m[:, None]
    loglik: NDArray[np.float64] = 0.5 * (np.log(w).sum(axis=1) - np.log(w.sum(axis=1)) - (w * resid * resid).sum(axis=1)
                                         + np.log(t))
    return loglik


def _tau2(y: NDArray[np.float64], s: NDArray[np.float64]) -> float:
    """The penalised REML estimate of tau2: best point of a log grid, refined by golden section."""
    centre = np.log(float(np.var(y)) + float(s.mean()))
    grid = centre + np.linspace(*_LOG_SPAN, _GRID)
    best = int(np.argmax(_penalised_reml(np.exp(grid), y, s)))
    lo, hi = grid[max(best - 1, 0)], grid[min(best + 1, _GRID - 1)]
    ratio = (np.sqrt(5.0) - 1.0) / 2.0
    for _ in range(_GOLDEN_STEPS):
        a, b = hi - ratio * (hi - lo), lo + ratio * (hi - lo)
        fa, fb = _penalised_reml(np.exp(np.array([a, b])), y, s)
        lo, hi = (lo, b) if fa >= fb else (a, hi)
    return float(np.exp((lo + hi) / 2.0))


def _shrink(y: NDArray[np.float64], s: NDArray[np.float64]) -> tuple[NDArray[np.float64], NDArray[np.float64]]:
    """Posterior means and variances of one objective's usable individuals.

    The estimate runs on the means centred on a middle one and scaled, with the variances, by a
    power of two (exact) that brings the larger of their spread and the noise near 1, so that
    nothing overflows or underflows at any finite scale (means of 1e300, variances of 4e-314).
    The posterior mean is written y - r (y - m), r = 1 - B = sigma2 / (tau2 + sigma2): a mean far
    from m (one huge outlier among ordinary means) keeps every digit instead of being rebuilt
    from m. Where the scaled variance underflows, r is 0 and the mean and variance are kept, as
    they are to double precision.
    """
    c = np.sort(y)[len(y) // 2]
    with np.errstate(over="ignore"):
        d = y - c  # infinite only where the means span more than the largest double
    half = max(float(np.abs(y / 2 - c / 2).max()), float(np.sqrt(s.max())) / 2)  # > 0: a variance is positive
    e = int(np.frexp(half)[1]) + 1
    d = np.ldexp(d, -e) if np.isfinite(d).all() else np.ldexp(y, -e) - np.ldexp(c, -e)
    s1 = np.ldexp(s, -2 * e)
    t = _tau2(d, s1)
    w = 1.0 / (s1 + t)
    m = float((w * d).sum() / w.sum())
    v_m = 1.0 / float(w.sum())
    r = s1 / (t + s1)  # 0 where s == 0: the mean is kept exactly, with variance 0
    return y - np.ldexp(r * (d - m), e), t / (t + s1) * s + np.ldexp(r * r * v_m, 2 * e)


# Variances of estimated variances. The log of a chi-square variance with d degrees of freedom has
# mean log(sigma2) + digamma(d/2) - log(d/2) and variance trigamma(d/2); NumPy has neither function.
def _digamma(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """psi(x), x > 0: six recurrence steps up, then the asymptotic series (error below 1e-10)."""
    shift = sum(1.0 / (x + i) for i in range(6))
    z = x + 6.0
    z2 = 1.0 / (z * z)
    return np.log(z) - 0.5 / z - z2 * (1.0 / 12 - z2 * (1.0 / 120 - z2 / 252)) - shift


def _trigamma(x: NDArray[np.float64]) -> NDArray[np.float64]:
    """psi'(x), x > 0, the same way."""
    shift = sum(1.0 / (x + i) ** 2 for i in range(6))
    z = x + 6.0
    z2 = 1.0 / (z * z)
    return 1.0 / z + z2 / 2 + z2 / z * (1.0 / 6 - z2 * (1.0 / 30 - z2 / 42)) + shift


# psi' is decreasing: its inverse by interpolation of log psi' on a log grid (relative error ~1e-5).
_TRI_LOG_X = np.linspace(-14.0, 14.0, 2801)
_TRI_NEG_LOG = -np.log(_trigamma(np.exp(_TRI_LOG_X)))


def _moderated(s: NDArray[np.float64], d: NDArray[np.float64]) -> NDArray[np.float64]:
    """Posterior means of one objective's variances of means `s`, each estimated with `d` dof."""
    est = (s > 0.0) & np.isfinite(d)
    if est.sum() < MIN_POPULATION:
        return s
    de, k = d[est], d[est] + 1.0
    v = s[est] * k  # per-measurement variances
    e = np.log(v) - _digamma(de / 2) + np.log(de / 2)
    excess = float(np.var(e, ddof=1) - _trigamma(de / 2).mean())
    if excess > 0.0:  # the variances spread more than their sampling noise: a prior with d0 dof
        d0 = 2.0 * float(np.exp(np.interp(-np.log(excess), _TRI_NEG_LOG, _TRI_LOG_X)))
        v0 = float(np.exp(e.mean() + _digamma(np.array(d0 / 2)) - np.log(d0 / 2)))
        total = d0 + de
        mean_factor = np.divide(total, total - 2.0, where=total > 3.0, out=np.full_like(total, 3.0))
        moderated = (d0 * v0 + de * v) / total * mean_factor
    else:  # no more spread than the noise: one common variance (d0 infinite)
        moderated = np.full_like(v, np.exp(e.mean()))
    out = s.copy()
    out[est] = moderated / k
    return out
