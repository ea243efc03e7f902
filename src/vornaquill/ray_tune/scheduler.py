"""`ParetoPBT`: Ray Tune's population-based training ranking trials on several noisy objectives.

Ray keeps scheduling, checkpointing, exploring and exploiting; this subclass replaces the one-metric
ranking (`_quantiles`) by a Monte-Carlo Pareto selection over every objective, with each trial's
measurement noise, and chooses the trial a loser clones. Every private name of Ray it relies on is
reached through `_ray_private`; `hook_drift()` lists any change of them. Each selection is appended to
the experiment folder's history file as it is made and read back when the experiment is restored.
"""

from __future__ import annotations

import logging
import os
import time
from collections import deque
from collections.abc import Mapping
from typing import Any

import numpy as np

from ._decision import PRIORS, Decision, decide, quantile_size, selection_seed
from ._estimates import NOISE_MODELS, NONFINITE_MODES, objectives, snapshot
from ._ray_private import (
    PopulationBasedTraining,
    Trial,
    TrialScheduler,
    latest_checkpoint,
    open_experiment_file,
    resolve,
    settle_pause,
)
from .history import HISTORY_FILE, SelectionRecord, read_history

logger = logging.getLogger(__name__)


class ParetoPBT(PopulationBasedTraining):
    """Population-based training that replaces and clones trials by a noise-aware Pareto selection.

    Parameters
    ----------
    metrics:
        Ordered mapping name -> "min" | "max". The first is the primary metric: Tune sees it as the
        scheduler's metric and mode. `TuneConfig(metric=, mode=)` must agree with one of them.
    noise:
        How a trial's mean and the variance of that mean are taken at a perturbation point:
        "window" (default) the mean and sample variance / count of its last `window` results since
        its last exploit (the mean lags a trend by about window / 2 results); "reported" the last
        value with the variance reported as `<metric>_var` or `<metric>_std` in the same result;
        "trend" a straight line over the same window against the result index: the fitted value at
        the latest result and its variance (no lag behind a trend; needs three results);
        "none" the last value, variance zero. A trial with too few values gets the pooled
        per-observation variance of the others (zero with nothing to pool), divided by its count.
    window:
        Results per trial in the "window" and "trend" models (>= 1).
    prior:
        None (default): the estimates as they are. "population": the winners (who may be cloned)
        are chosen on each objective's means shrunk toward the population by their reliability
        (empirical Bayes), so a noisy lucky value counts for less than a precise one; the losers
        (who are replaced) are chosen on the estimates as they are, so a bad but noisy trial is
        not spared, and are never winners.
    n_samples:
        Monte-Carlo samples per selection.
    seed:
        Selection `i` uses a seed derived from (`seed`, `i`), for the trials' order and the samples.
    nonfinite:
        "worst" (default): a trial with NaN or +-inf in any metric is the worst in every objective
        (replaced, never cloned). "as_is": values are passed to the selection unchanged. "skip": a
        trial with NaN in any metric is left out of the selection (neither replaced nor cloned) and
        infinities are ranked as they are, as Ray's scheduler treats a NaN or infinite score.
    **pbt_kwargs:
        Every other `PopulationBasedTraining` keyword (time_attr, perturbation_interval, burn_in_period,
        hyperparam_mutations, quantile_fraction, ..., synch); not `metric`/`mode`.
    """

    _next_perturbation_sync: float  # Ray's next synchronous perturbation point

    def __init__(
        self,
        metrics: Mapping[str, str],
        *,
        noise: str = "window",
        window: int = 4,
        prior: str | None = None,
        n_samples: int = 2000,
        seed: int = 0,
        nonfinite: str = "worst",
        **pbt_kwargs: Any,
    ) -> None:
        for key in ("metric", "mode"):
            if key in pbt_kwargs:
                raise TypeError(
                    f"ParetoPBT takes no `{key}=`: pass the objectives as metrics={{name: 'min' | 'max', ...}}"
                )
        if not isinstance(metrics, Mapping) or not metrics:
            raise ValueError("metrics must be a non-empty mapping name -> 'min' | 'max'")
        for name, direction in metrics.items():
            if not isinstance(name, str) or direction not in ("min", "max"):
                raise ValueError(f"metrics: {name!r} -> {direction!r}; expected a name -> 'min' | 'max'")
        if noise not in NOISE_MODELS:
            raise ValueError(f"noise must be one of {NOISE_MODELS}, got {noise!r}")
        if prior not in PRIORS:
            raise ValueError(f"prior must be one of {PRIORS}, got {prior!r}")
        if nonfinite not in NONFINITE_MODES:
            raise ValueError(f"nonfinite must be one of {NONFINITE_MODES}, got {nonfinite!r}")
        if isinstance(window, bool) or not isinstance(window, int) or window < 1:
            raise ValueError(f"window must be an integer >= 1, got {window!r}")
        if isinstance(n_samples, bool) or not isinstance(n_samples, int) or n_samples < 1:
            raise ValueError(f"n_samples must be an integer >= 1, got {n_samples!r}")
        if isinstance(seed, bool) or not isinstance(seed, int) or not 0 <= seed < 2**64:
            raise ValueError(f"seed must be an integer in [0, 2**64), got {seed!r}")
        self.metrics = dict(metrics)
        primary, mode = next(iter(self.metrics.items()))
        super().__init__(metric=primary, mode=mode, **pbt_kwargs)
        self._names = tuple(self.metrics)
        self._signs = np.array([1.0 if d == "min" else -1.0 for d in self.metrics.values()])
        self.prior = prior
        self.noise, self.window, self.n_samples, self.seed, self.nonfinite = noise, window, n_samples, seed, nonfinite
        self.selections: list[SelectionRecord] = []
        self.selection_seconds = 0.0
        self.exploits = 0
        self.skipped_exploits = 0
        self.sync_releases = 0  # synchronous perturbations made because no trial could run otherwise
        self._rng = np.random.default_rng(selection_seed(seed, 2**63))  # picks among the winners
        self._cache_key: tuple[Any, ...] | None = None
        self._cache: tuple[list[Trial], list[Trial], tuple[list[Trial], Decision] | None] = ([], [], None)
        self._warned_missing: set[str] = set()  # metrics found missing from a result
        self.history_path: str | None = None  # the experiment's history file, once a trial is added
        self._results = 0  # results seen, to order trials by when they last reported
        self._history_opened = False

    # Tune's metric/mode from TuneConfig: accepted when they name one of the objectives.
    def set_search_properties(self, metric: str | None, mode: str | None, **spec: Any) -> bool:
        if metric is None and mode is None:
            return True
        name = metric if metric is not None else self._names[0]
        if name not in self.metrics or (mode is not None and mode != self.metrics[name]):
            raise ValueError(
                f"TuneConfig(metric={metric!r}, mode={mode!r}) disagrees with ParetoPBT(metrics={self.metrics}): "
                "pass one of those metrics with its direction, or neither"
            )
        return True

    def on_trial_add(self, tune_controller: Any, trial: Trial) -> None:
        super().on_trial_add(tune_controller, trial)
        self._reset(self._state(trial))
        if not self._history_opened:
            self._open_history(trial)

    def _open_history(self, trial: Trial) -> None:
        # The first trial added tells where the experiment lives. A history already there is a
        # restored experiment's: its records are taken back and the numbering (hence the seeds) goes on.
        opened = open_experiment_file(trial, HISTORY_FILE)
        if opened is None:
            return
        self._history_opened = True
        self.history_path, data = opened
        if not data:
            return
        records, end = read_history(data, self.history_path)
        # The next record must start on a line of its own: a last line cut short by a crash is cut
        # off (that selection was never complete), a whole record lacking only its newline ended.
        if end < len(data):
            os.truncate(self.history_path, end)
            logger.warning("[ParetoPBT] %s: the last line was cut short by a crash; removed", self.history_path)
        elif not data.endswith(b"\n"):
            with open(self.history_path, "ab") as f:
                f.write(b"\n")
        known = {r.number for r in self.selections}
        earlier = [r for r in records if r.number not in known]
        self.selections = sorted(self.selections + earlier, key=lambda r: r.number)
        logger.info("[ParetoPBT] %d earlier selections read from %s", len(earlier), self.history_path)

    def _state(self, trial: Trial) -> Any:
        # Ray's per-trial state, with this class's fields added by `_reset`.
        return self._trial_state[trial]

    def _reset(self, state: Any) -> None:
        state.history = deque(maxlen=self.window)  # metric vectors since the last exploit
        state.snapshot = None  # estimate at the last perturbation point
        state.version = getattr(state, "version", 0) + 1  # changes with the snapshot
        state.reported = getattr(state, "reported", -1)  # number of the trial's last result, -1 before any

    def on_trial_result(self, tune_controller: Any, trial: Trial, result: dict[str, Any]) -> str:
        missing = [name for name in self._names if name not in result]
        if missing:
            message = (
                f"metric {missing[0]!r} of ParetoPBT(metrics={list(self._names)}) is missing from the result "
                f"of trial {trial}"
            )
            if self._require_attrs:
                raise RuntimeError(message + "; pass require_attrs=False to skip such results")
            if missing[0] not in self._warned_missing:  # once per metric, as Ray warns once
                self._warned_missing.add(missing[0])
                logger.warning("%s; such results are skipped (warned once per metric)", message)
            return TrialScheduler.CONTINUE
        self._results += 1
        self._state(trial).reported = self._results
        self._state(trial).history.append(np.array([float(result[n]) for n in self._names]))
        next_sync = self._next_perturbation_sync
        decision = super().on_trial_result(tune_controller, trial, result)
        if self._synch and self._next_perturbation_sync != next_sync:
            self._keep_sync_reachable(tune_controller)
        return decision

    def _save_trial_state(self, state: Any, time: int, result: dict[str, Any], trial: Trial) -> Any:
        score = super()._save_trial_state(state, time, result, trial)
        state.snapshot = snapshot(self.noise, state.history, result, self._names)
        state.snapshot_at = time
        state.version += 1
        return score

    def _exploit(self, tune_controller: Any, trial: Trial, trial_to_clone: Trial) -> None:
        running = trial.status != Trial.PAUSED
        super()._exploit(tune_controller, trial, trial_to_clone)
        if running:  # Ray paused it (and stopped its actor) just now
            settle_pause(tune_controller, trial)
        self.exploits += 1
        # The replaced model's results do not enter the clone's next estimate, but its last estimate
        # stays in the selections until the clone reaches its next perturbation point, as Ray keeps
        # its last score: left out, the population would shrink and a clone reporting meanwhile
        # could lose against stale values again and again, never letting the paused trials run.
        self._state(trial).history = deque(maxlen=self.window)

    def _quantiles(self) -> tuple[list[Trial], list[Trial]]:
        """(losers, winners) of the live trials with an estimate, worst / best first."""
        trials = [t for t in self._trial_state if self._state(t).snapshot is not None and not t.is_finished()]
        if self.nonfinite == "skip":  # as Ray leaves a NaN score out
            trials = [t for t in trials if not np.isnan(self._state(t).snapshot.mean).any()]
        key = tuple((t.trial_id, self._state(t).version) for t in trials)
        if key != self._cache_key:
            self._cache_key, self._cache = key, self._select(trials)
        return self._cache[0], self._cache[1]

    def _select(self, trials: list[Trial]) -> tuple[list[Trial], list[Trial], tuple[list[Trial], Decision] | None]:
        k = quantile_size(len(trials), self._quantile_fraction)
        if k == 0:
            return [], [], None
        start = time.perf_counter()
        snaps = [self._state(t).snapshot for t in trials]
        mu, sigma2, means, variances = objectives(snaps, self._signs, self.nonfinite)
        number = self.selections[-1].number + 1 if self.selections else 0
        seed = selection_seed(self.seed, number)
        decision = decide(mu, sigma2, k, self.n_samples, seed, self.prior)
        seconds = time.perf_counter() - start
        self.selection_seconds += seconds
        ids = tuple(t.trial_id for t in trials)
        record = SelectionRecord(
            number=number, time=time.time(), seconds=seconds, trial_ids=ids, means=means, variances=variances,
            winners=tuple(ids[i] for i in decision.winners), losers=tuple(ids[i] for i in decision.losers),
            win_probability=decision.win_probability, lose_probability=decision.lose_probability,
            n_samples=self.n_samples, seed=seed, metrics=self._names,
            progress=tuple(float(self._state(t).snapshot_at) for t in trials),
        )
        self.selections.append(record)
        self._write_history(record)
        return [trials[i] for i in decision.losers], [trials[i] for i in decision.winners], (trials, decision)

    def _write_history(self, record: SelectionRecord) -> None:
        # Appended and flushed to the disk at once: a driver that dies loses at most this line.
        if self.history_path is None:
            return
        try:
            os.makedirs(os.path.dirname(self.history_path), exist_ok=True)
            with open(self.history_path, "a", encoding="utf-8") as f:
                f.write(record.to_json() + "\n")
                f.flush()
                os.fsync(f.fileno())
        except OSError as error:
            logger.warning("[ParetoPBT] selection %d not written to %s: %s", record.number, self.history_path, error)

    def _clone_source(
        self, trial: Trial, winners: list[Trial], trials: list[Trial], decision: Decision
    ) -> Trial | None:
        """A winner holding a checkpoint, else the trial with the highest win probability that holds
        one and wins at least as often as it loses; None skips the exploit."""
        holders = [t for t in winners if self._trial_state[t].last_checkpoint and not t.is_finished()]
        if holders:
            return holders[int(self._rng.integers(len(holders)))]
        best, best_p, offered = None, -1.0, None
        for i, t in enumerate(trials):
            p_win, p_lose = decision.win_probability[i], decision.lose_probability[i]
            if p_win > best_p and p_win >= p_lose and i not in decision.losers and not t.is_finished():
                latest = None if self._trial_state[t].last_checkpoint else latest_checkpoint(t)
                if self._trial_state[t].last_checkpoint or (latest and latest.checkpoint):
                    best, best_p, offered = t, p_win, latest
        if offered is not None:
            # Ray keeps checkpoints of the winners only; another trial offers its latest one, with the
            # result it was saved at: the clone resumes at that result's iteration, not at the source's
            # last perturbation point (the checkpoint may be later, and the clone would then run a
            # model ahead of its reported iteration).
            state = self._trial_state[best]
            state.last_checkpoint = offered.checkpoint
            state.last_result = offered.metrics or state.last_result
        return best

    def _checkpoint_or_exploit(
        self, trial: Trial, tune_controller: Any, upper_quantile: list[Trial], lower_quantile: list[Trial]
    ) -> None:
        # Ray's own step checkpoints the winners; the exploit below picks the source itself.
        super()._checkpoint_or_exploit(trial, tune_controller, upper_quantile, [])
        if trial not in lower_quantile or self._cache[2] is None:
            return
        source = self._clone_source(trial, upper_quantile, *self._cache[2])
        if source is not None:
            state = self._trial_state[source]
            resolve(state)
            if state.last_checkpoint:
                self._exploit(tune_controller, trial, source)
                return
        self.skipped_exploits += 1
        logger.info("[ParetoPBT] no checkpoint to clone for trial %s; exploit skipped", trial)

    # Synchronous mode. Ray perturbs when the last live trial reports at the sync point; a trial that
    # finishes or errors before reaching it never reports, and the others stay paused at the sync
    # point with nothing running. The controller then asks for a trial to run: perturb there.
    def choose_trial_to_run(self, tune_controller: Any) -> Trial | None:
        trial = self._next_to_run(tune_controller)
        if trial is not None or not self._synch:
            return trial
        live = tune_controller.get_live_trials()
        if not live or any(t.status == Trial.RUNNING for t in live):
            return None
        logger.info("[ParetoPBT] every live trial waits at the sync point and none runs: perturbing now")
        self.sync_releases += 1
        self._perturb_synch(tune_controller, live)
        return self._next_to_run(tune_controller)

    def _next_to_run(self, tune_controller: Any) -> Trial | None:
        # Ray's choice, the pending or paused trial with the lowest train time (synchronously, only
        # those short of the sync point), except that equal times go to the trial that reported
        # longest ago, not to the first in trial order. A clone takes its source's train time: with
        # the order as tie-break, a clone listed before its source could run, lose against the
        # source's older estimate of a score falling with training, clone it again and run again,
        # while the source and every trial ahead of it waited for good.
        candidates = [
            t for t in tune_controller.get_trials()
            if t.status in (Trial.PENDING, Trial.PAUSED)
            and (not self._synch or self._trial_state[t].last_train_time < self._next_perturbation_sync)
        ]
        return min(candidates, key=lambda t: (self._trial_state[t].last_train_time, self._state(t).reported),
                   default=None)

    def _perturb_synch(self, tune_controller: Any, live: list[Trial]) -> None:
        lower, upper = self._quantiles()
        now = max(self._trial_state[t].last_train_time for t in live)
        middle = [t for t in live if t not in lower and t not in upper]
        for t in upper + middle + lower:
            self._trial_state[t].last_perturbation_time = now
            self._checkpoint_or_exploit(t, tune_controller, upper, lower)
        self._next_perturbation_sync = max(self._next_perturbation_sync + self._perturbation_interval, now)
        self._keep_sync_reachable(tune_controller)

    def _keep_sync_reachable(self, tune_controller: Any) -> None:
        # Ray moves the sync point to the latest train time; when every live trial sits there (equal
        # times after exploits copy them), none could run towards it.
        times = [self._trial_state[t].last_train_time for t in tune_controller.get_live_trials()]
        if times and min(times) >= self._next_perturbation_sync:
            self._next_perturbation_sync = max(times) + self._perturbation_interval

    def debug_string(self) -> str:
        text = (
            f"ParetoPBT: {len(self.selections)} selections ({self.selection_seconds:.3f} s selecting), "
            f"{self.exploits} exploits, {self.skipped_exploits} skipped exploits, {self._num_checkpoints} checkpoints, "
            f"{self.sync_releases} sync releases"
        )
        if self.selections:
            last = self.selections[-1]
            index = {tid: i for i, tid in enumerate(last.trial_ids)}
            win = ", ".join(f"{tid} (p_win {last.win_probability[index[tid]]:.2f})" for tid in last.winners)
            lose = ", ".join(f"{tid} (p_lose {last.lose_probability[index[tid]]:.2f})" for tid in last.losers)
            text += f"; last selection: winners {win}; losers {lose}"
        return text
