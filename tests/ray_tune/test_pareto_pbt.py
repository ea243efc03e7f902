"""ParetoPBT's selection logic on Ray's own Trial objects driven by a stand-in controller."""

import dataclasses
import importlib.util
import inspect
import math
import pickle
import sys
from pathlib import Path

import numpy as np
import pytest

pytest.importorskip("ray.tune", reason="ParetoPBT needs the `ray` extra (make test-ray)")

from ray.train._internal.session import _TrainingResult
from ray.tune.experiment import Trial
from ray.tune.schedulers import PopulationBasedTraining, TrialScheduler

from vornaquill.ray_tune import ParetoPBT, hook_drift, plot_history
from vornaquill.ray_tune._decision import decide, quantile_size, selection_seed
from vornaquill.ray_tune._estimates import Snapshot, objectives, snapshot
from vornaquill.ray_tune.history import parse_history, read_history

METRICS = {"loss": "min", "acc": "max"}
PBT = dict(hyperparam_mutations={"lr": [0.1, 0.2]}, log_config=False, time_attr="training_iteration",
           perturbation_interval=1)


class Controller:
    """What the scheduler asks of Tune's controller."""

    search_alg = None

    def __init__(self, trials):
        self.trials = trials
        self._queued_trial_decisions, self._cached_trial_decisions = {}, {}
        self.saving = set()

    def get_trials(self):
        return self.trials

    def get_live_trials(self):
        return [t for t in self.trials if not t.is_finished()]

    def _schedule_trial_save(self, trial, *storage, result=None):  # Ray < 2.9 passes a storage kind
        return f"ckpt-{trial.trial_id}"

    def pause_trial(self, trial, should_checkpoint=True):
        # As Tune: the actor is stopped; a trial still saving gets a STOP for after its save.
        if trial.trial_id in self.saving:
            self._cached_trial_decisions[trial.trial_id] = TrialScheduler.STOP
        trial.status = Trial.PAUSED


def population(n, cls=ParetoPBT, metrics=METRICS, **kw):
    args = {**PBT, "synch": True, **kw}
    sched = cls(metric="loss", mode="min", **args) if cls is PopulationBasedTraining else cls(metrics, **args)
    trials = [Trial("__fake", config={"lr": 0.1}, stub=True, trial_id=f"t{i}") for i in range(n)]
    ctl = Controller(trials)
    for t in trials:
        t.create_placement_group_factory()
        sched.on_trial_add(ctl, t)
        t.run_metadata.checkpoint_manager._latest_checkpoint_result = _TrainingResult(f"own-{t.trial_id}", {})
    return sched, ctl


def report(sched, ctl, rows, it):
    """One result per live trial, in order; paused as the controller would."""
    for t, row in zip(ctl.get_live_trials(), rows):
        t.status = Trial.RUNNING
        if sched.on_trial_result(ctl, t, {"training_iteration": it, **row}) == TrialScheduler.PAUSE:
            t.status = Trial.PAUSED


def rows(loss, acc=None):
    return [{"loss": v, "acc": 0.5 if acc is None else acc[i]} for i, v in enumerate(loss)]


@pytest.mark.parametrize(
    "loss, acc, nonfinite, winner, loser",
    [
        ([1.0, 2.0, 3.0, 4.0], [0.5] * 4, "worst", 0, 3),  # min metric
        ([1.0] * 4, [0.1, 0.2, 0.9, 0.3], "worst", 2, 0),  # max metric is negated
        ([math.nan, 2.0, 3.0, 2.5], [0.99, 0.5, 0.5, 0.5], "worst", 1, 0),  # NaN: worst everywhere
        ([-math.inf, 2.0, 3.0, 2.5], [0.5] * 4, "worst", 1, 0),  # -inf is not a best value
        ([-math.inf, 2.0, 3.0, 2.5], [0.5] * 4, "as_is", 0, 2),
        ([-math.inf, 2.0, 3.0, 2.5], [0.5] * 4, "skip", 0, 2),  # infinities ranked as they are
        ([math.nan, 2.0, 3.0, 2.5], [0.99, 0.5, 0.5, 0.5], "skip", 1, 2),  # NaN: in neither list
    ],
)
def test_directions_and_nonfinite(loss, acc, nonfinite, winner, loser):
    sched, ctl = population(4, noise="none", nonfinite=nonfinite)
    report(sched, ctl, rows(loss, acc), 1)
    (record,) = sched.selections
    assert record.winners == (f"t{winner}",) and record.losers == (f"t{loser}",)
    assert sched.exploits == 1 and len(record.trial_ids) == 4 - (nonfinite == "skip" and math.isnan(loss[0]))


@pytest.mark.parametrize(
    "noise, results, mean, var",
    [
        ("none", [{"loss": 1.0}, {"loss": 3.0}], 3.0, 0.0),
        ("reported", [{"loss": 3.0, "loss_var": 0.5}], 3.0, 0.5),
        ("reported", [{"loss": 3.0, "loss_std": 0.5}], 3.0, 0.25),
        ("window", [{"loss": 9.0}, {"loss": 1.0}, {"loss": 2.0}, {"loss": 3.0}], 2.0, 1.0 / 3),  # window 3
    ],
)
def test_noise_models(noise, results, mean, var):
    history = [np.array([r["loss"]]) for r in results][-3:]
    snap = snapshot(noise, history, results[-1], ["loss"])
    _, _, means, variances = objectives([snap], np.array([1.0]), "worst")
    assert means[0, 0] == pytest.approx(mean) and variances[0, 0] == pytest.approx(var)


@pytest.mark.parametrize("n", [2, 3, 6])
def test_trend_matches_polyfit(n):
    # Fitted value at the latest result and its variance, against numpy's least squares; two
    # results: the latest value with the other trial's residual variance pooled.
    rng = np.random.default_rng(n)
    values = 3.0 - 0.2 * np.arange(n)[:, None] + rng.normal(size=(n, 2))
    other = rng.normal(size=(5, 2))
    snaps = [snapshot("trend", list(v), {}, ["a", "b"]) for v in (values, other)]
    _, _, means, variances = objectives(snaps, np.ones(2), "worst")
    for j in range(2):
        if n < 3:
            expected = values[-1, j], snaps[1].var_obs[j]
        else:
            p, cov = np.polyfit(np.arange(n), values[:, j], 1, cov=True)
            at = np.array([n - 1.0, 1.0])
            expected = p @ at, at @ cov @ at
        assert (means[0, j], variances[0, j]) == pytest.approx(expected)


def test_pooled_variance_for_short_histories():
    # Observation variances 1 (3 dof), 4 (1 dof) and 0 (1 dof) pool to 7/5 for the one-value trial;
    # the others keep their own divided by their counts; a lone trial with nothing to pool gets 0.
    snaps = [Snapshot(np.zeros(1), np.array([1.0]), 4, 3), Snapshot(np.zeros(1), np.array([4.0]), 2, 1),
             Snapshot(np.zeros(1), np.array([math.nan]), 1, 0), Snapshot(np.zeros(1), np.array([0.0]), 2, 1)]
    _, sigma2, _, _ = objectives(snaps, np.array([1.0]), "worst")
    assert sigma2[:, 0] == pytest.approx([0.25, 2.0, 7 / 5, 0.0])  # pooled: (3 * 1 + 1 * 4 + 1 * 0) / 5
    lone = objectives(snaps[2:3], np.array([1.0]), "worst")[1]
    assert lone[0, 0] == 0.0


@pytest.mark.parametrize("n, fraction, k", [(25, 0.27, 7), (8, 0.25, 2), (5, 0.5, 2), (3, 0.5, 1), (2, 0.25, 1),
                                            (1, 0.25, 0), (0, 0.25, 0), (6, 0.0, 0)])
@pytest.mark.parametrize("prior", [None, "population"])
def test_sizes_exact_and_disjoint(n, fraction, k, prior):
    assert quantile_size(n, fraction) == k
    if k == 0:
        return
    # Identical, very noisy trials: the kernel's top and bottom sets overlap most; ours never do.
    decision = decide(np.zeros((n, 2)), np.full((n, 2), 100.0), k, 500, 3, prior)
    assert len(decision.winners) == len(decision.losers) == k
    assert not set(decision.winners) & set(decision.losers)
    # Exactly k counted per sample (25 * 0.28 rounds up to 8 in the kernel; 7 must stay 7).
    assert decision.win_probability.sum() == pytest.approx(k)


def test_noise_turns_a_small_lead_uncertain():
    mu = np.array([[1.0, 1.0], [1.1, 1.1], [5.0, 5.0], [6.0, 6.0]])
    sure = decide(mu, np.zeros_like(mu), 1, 2000, 1)
    unsure = decide(mu, np.full_like(mu, 0.5), 1, 2000, 1)
    assert sure.win_probability[0] == 1.0 and 0.4 < unsure.win_probability[0] < 0.8


def test_no_position_bias():
    # Four identical noiseless trials: the kernel alone would always pick index 0. Each trial wins
    # about a quarter of the selections, and of the samples within one selection (fresh ties per sample).
    wins = np.zeros(4)
    for number in range(400):
        wins[decide(np.zeros((4, 2)), np.zeros((4, 2)), 1, 50, selection_seed(0, number)).winners[0]] += 1
    assert wins.min() > 60 and wins.max() < 140, wins
    one = decide(np.zeros((4, 2)), np.zeros((4, 2)), 1, 4000, 7)
    assert one.win_probability == pytest.approx([0.25] * 4, abs=0.04)
    assert one.lose_probability == pytest.approx([0.25] * 4, abs=0.04)


def test_determinism_and_finished_trials_left_out():
    def run(seed, finish):
        sched, ctl = population(6, seed=seed, noise="window")
        rng = np.random.default_rng(0)
        for it in range(1, 5):
            if it == 3:
                ctl.trials[finish].status = Trial.ERROR
            report(sched, ctl, rows(rng.normal(size=6), rng.uniform(size=6)), it)
        return sched
    a, b, c = run(0, 0), run(0, 0), run(1, 0)
    assert [r.winners + r.losers for r in a.selections] == [r.winners + r.losers for r in b.selections]
    assert [r.seed for r in a.selections] != [r.seed for r in c.selections]
    assert len(a.selections) == 4 and all("t0" not in r.trial_ids for r in a.selections[2:])


def bench_module(name, monkeypatch):
    path = Path(__file__).parents[2] / "bench" / "pbt" / f"{name}.py"
    spec = importlib.util.spec_from_file_location(f"pbt_{name}", path)
    module = importlib.util.module_from_spec(spec)
    monkeypatch.setitem(sys.modules, spec.name, module)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("noise, prior", [("window", None), ("trend", "population"), ("reported", "population"),
                                          ("none", None)])
def test_bench_loop_decides_as_the_scheduler(noise, prior, monkeypatch):
    # bench/pbt/loop.py stands in for the scheduler in the paired benchmarks: same estimates, same decision.
    loop = bench_module("loop", monkeypatch)
    rng = np.random.default_rng(1)
    results = [[{"loss": rng.normal(), "acc": rng.uniform(), "loss_std": rng.uniform(0.1, 1), "acc_std": 0.1}
                for _ in range(8)] for _ in range(4)]
    sched, ctl = population(8, noise=noise, prior=prior, perturbation_interval=4)
    for it, batch in enumerate(results, 1):
        report(sched, ctl, batch, it)
    histories = [[np.array([batch[i]["loss"], batch[i]["acc"]]) for batch in results] for i in range(8)]
    losers, winners = loop.pareto(noise, prior)(histories, results[-1], list(METRICS), np.array([1.0, -1.0]), 2, 0, 0)
    record = sched.selections[0]
    assert (record.losers, record.winners) == (tuple(f"t{i}" for i in losers), tuple(f"t{i}" for i in winners))


@pytest.mark.parametrize("speeds, same", [((1,), True), ((1, 2, 3), False)])
def test_bench_async_loop_aligned(speeds, same, monkeypatch):
    # Aligned comparison drops only snapshots more than an interval away: at equal speeds it changes nothing.
    loop, w = bench_module("loop", monkeypatch), bench_module("workloads", monkeypatch).Toy(trials=8)
    a, b = (loop.run_async(w, loop.arms(w.metrics)["pareto-window"], 3, aligned=x, speeds=speeds) for x in (0, 1))
    assert (a.curve == b.curve) == same and a.exploits > 0


@pytest.mark.parametrize("holders, expected", [({"t0", "t1"}, None), ({"t1"}, "t1"), (set(), "skip")])
def test_clone_fallback(holders, expected):
    # t0 is the winner; when it has no checkpoint the best holder that wins at least as often as it
    # loses is cloned (t1), never the loser's peers that mostly lose; with none the exploit is skipped.
    # The clone resumes at the iteration its checkpoint was saved at, not at the source's last result.
    sched, ctl = population(4, noise="none")
    saved = {"training_iteration": 7}
    for t in ctl.trials:
        manager = t.run_metadata.checkpoint_manager
        if t.trial_id not in holders:
            manager._latest_checkpoint_result = None
        elif expected == "t1":
            manager._latest_checkpoint_result = _TrainingResult(f"own-{t.trial_id}", saved)
    report(sched, ctl, rows([1.0, 2.0, 3.0, 4.0]), 1)
    if expected == "skip":
        assert (sched.exploits, sched.skipped_exploits) == (0, 1)
    else:
        assert (sched.exploits, sched.skipped_exploits) == (1, 0)
        source = expected or "t0"
        assert ctl.trials[3].checkpoint == f"own-{source}"
        assert (ctl.trials[3].latest_checkpoint_result.metrics == saved) == (expected == "t1")


@pytest.mark.parametrize(
    "kwargs, error, text",
    [
        (dict(metrics={"a": "min"}, metric="a"), TypeError, "metrics="),
        (dict(metrics={"a": "min"}, mode="min"), TypeError, "metrics="),
        (dict(metrics={}), ValueError, "non-empty"),
        (dict(metrics={"a": "up"}), ValueError, "'up'"),
        (dict(metrics={"a": "min"}, noise="gauss"), ValueError, "noise"),
        (dict(metrics={"a": "min"}, nonfinite="drop"), ValueError, "nonfinite"),
        (dict(metrics={"a": "min"}, window=0), ValueError, "window"),
        (dict(metrics={"a": "min"}, n_samples=0), ValueError, "n_samples"),
        (dict(metrics={"a": "min"}, seed=-1), ValueError, "seed"),
        (dict(metrics={"a": "min"}, quantile_fraction=0.6), ValueError, "quantile_fraction"),
    ],
)
def test_argument_errors(kwargs, error, text):
    with pytest.raises(error, match=text):
        ParetoPBT(**kwargs, **PBT)


@pytest.mark.parametrize(
    "metric, mode, ok",
    [(None, None, True), ("loss", "min", True), ("acc", "max", True), ("acc", None, True), (None, "min", True),
     ("acc", "min", False), ("other", "min", False), (None, "max", False)],
)
def test_tune_config_agreement(metric, mode, ok):
    sched = ParetoPBT(METRICS, **PBT)
    if ok:
        assert sched.set_search_properties(metric, mode) is True
    else:
        with pytest.raises(ValueError, match="disagrees with ParetoPBT"):
            sched.set_search_properties(metric, mode)
    assert (sched.metric, sched._mode) == ("loss", "min")


@pytest.mark.parametrize("require_attrs", [True, False])
def test_missing_metric(require_attrs, caplog):
    sched, ctl = population(2, require_attrs=require_attrs)
    result = {"training_iteration": 1, "loss": 1.0}
    if require_attrs:
        with pytest.raises(RuntimeError, match="'acc'"):
            sched.on_trial_result(ctl, ctl.trials[0], result)
    else:
        # Skipped, and warned once per metric however many results miss it.
        for t in ctl.trials * 2:
            assert sched.on_trial_result(ctl, t, result) == TrialScheduler.CONTINUE
        sched.on_trial_result(ctl, ctl.trials[0], {"training_iteration": 1, "acc": 1.0})
        assert not sched._trial_state[ctl.trials[0]].history
        warned = [r.getMessage() for r in caplog.records if r.levelname == "WARNING"]
        assert len(warned) == 2 and "'acc'" in warned[0] and "'loss'" in warned[1]


def test_private_ray_hooks_unchanged():
    drift = hook_drift()
    assert not drift, "Ray's PopulationBasedTraining hooks changed; ParetoPBT needs updating:\n" + "\n".join(drift)


def test_pickles_before_and_after_trials_and_selects_once_per_batch():
    sched, ctl = population(4)
    pickle.loads(pickle.dumps(ParetoPBT(METRICS, **PBT)))
    report(sched, ctl, rows([1.0, 2.0, 3.0, 4.0]), 1)
    sched._quantiles()  # the exploited trial keeps its estimate: nothing new, the selection is reused
    again = pickle.loads(pickle.dumps(sched))
    assert len(again.selections) == len(sched.selections) == 1 and "p_win" in again.debug_string()


@pytest.mark.parametrize("cls", [PopulationBasedTraining, ParetoPBT])
def test_synch_trial_leaving_before_the_sync_point(cls):
    # t3 finishes before reaching the sync point while the others wait there paused: Ray's scheduler
    # has nothing to run any more (the experiment stalls); ParetoPBT perturbs and runs on.
    sched, ctl = population(4, cls=cls, perturbation_interval=2)
    report(sched, ctl, [{"loss": 1.0, "acc": 0.5}] * 4, 1)
    report(sched, ctl, [{"loss": 1.0, "acc": 0.5}] * 3, 2)
    ctl.trials[3].status = Trial.TERMINATED
    chosen = sched.choose_trial_to_run(ctl)
    assert (chosen is None) == (cls is PopulationBasedTraining)


@pytest.mark.parametrize("cls, first", [(PopulationBasedTraining, "t0"), (ParetoPBT, "t2")])
def test_equal_train_times_go_to_the_trial_that_reported_longest_ago(cls, first):
    # A clone takes its source's train time. Ray then runs the first in trial order, ParetoPBT the
    # trial that reported longest ago: a clone listed first cannot keep running while others wait.
    sched, ctl = population(3, cls=cls, synch=False)
    for t, loss in zip(ctl.trials[::-1], (1.0, 2.0, 3.0)):
        t.status = Trial.RUNNING
        sched.on_trial_result(ctl, t, {"training_iteration": 1, "loss": loss, "acc": 0.5})
        t.status = Trial.PAUSED
    assert sched.choose_trial_to_run(ctl).trial_id == first


@pytest.mark.parametrize(
    "cut, expected",
    [(None, 3), ("last", 2), ("start", 2), ("newline", 3), ("middle", "line 2: not a selection record"),
     ("junk", "line 3: not a selection record"), ("alone", "line 1: not a selection record"),
     ("utf8", "line 2: not UTF-8"), ("schema", "line 2: .*unknown"), ("sizes", "line 1: .*sizes disagree")],
)
def test_history_lines_after_a_crash(cut, expected):
    # A driver dying mid-write leaves the last line short: dropped, and the part kept ends before it.
    # Anything else that is not a record is an error naming the line.
    sched, ctl = population(4, noise="none")
    for it in range(1, 4):
        report(sched, ctl, rows([1.0, 2.0, 3.0, 4.0 + it]), it)
    lines = [r.to_json().encode() + b"\n" for r in sched.selections[:3]]
    edits = {"last": lambda: lines[2][:40], "start": lambda: b'{"num', "newline": lambda: lines[2][:-1],
             "middle": lambda: (1, lines[1][:40] + b"\n"), "junk": lambda: b"left by a test",
             "alone": lambda: (slice(0, 3), [b"not a record"]), "utf8": lambda: (1, b"\xff\xfe\n"),
             "schema": lambda: (1, lines[1][:-2] + b', "extra": 1}\n'),
             "sizes": lambda: (0, lines[0].replace(b'"progress": [', b'"progress": [9.0, '))}
    if cut is not None:
        edit = edits[cut]()
        if isinstance(edit, tuple):
            lines[edit[0]] = edit[1]
        else:
            lines[2] = edit
    data = b"".join(lines)
    if isinstance(expected, str):
        with pytest.raises(ValueError, match="^h, " + expected):
            parse_history(data, "h")
        return
    back, end = read_history(data, "h")
    assert end == (len(data) if expected == 3 else len(b"".join(lines[:2])))
    assert [r.winners for r in back] == [r.winners for r in sched.selections[:expected]]
    np.testing.assert_array_equal(back[-1].means, sched.selections[expected - 1].means)
    if importlib.util.find_spec("matplotlib"):
        assert len(plot_history(back, ("loss", "acc")).axes) == expected + 1  # a panel each, and the probabilities


@pytest.mark.parametrize("cls", [PopulationBasedTraining, ParetoPBT])
def test_exploit_of_a_running_trial_leaves_it_paused(cls):
    # Asynchronous: t3 reports last and loses while Tune holds a CONTINUE queued for an earlier result
    # of its batch and t3 is saving. Ray's scheduler leaves both (Tune would then train the stopped
    # actor, and terminate the trial after its save); ParetoPBT leaves the pause alone.
    sched, ctl = population(4, cls=cls, synch=False)
    report(sched, ctl, rows([1.0, 2.0, 3.0, 9.0]), 1)  # Ray's winners hold a checkpoint from here on
    ctl._queued_trial_decisions["t3"], ctl.saving = TrialScheduler.CONTINUE, {"t3"}
    report(sched, ctl, rows([1.0, 2.0, 3.0, 9.0]), 2)
    assert ctl.trials[3].status == Trial.PAUSED
    left = (ctl._queued_trial_decisions.get("t3"), ctl._cached_trial_decisions.get("t3"))
    assert left == ((TrialScheduler.CONTINUE, TrialScheduler.STOP) if cls is PopulationBasedTraining
                    else (None, TrialScheduler.PAUSE))


def exploits_of(sched, monkeypatch):
    """The (trial, source) pairs the scheduler exploits, in order."""
    made, exploit = [], sched._exploit

    def record(tune_controller, trial, trial_to_clone):
        made.append((trial.trial_id, trial_to_clone.trial_id))
        exploit(tune_controller, trial, trial_to_clone)
    monkeypatch.setattr(sched, "_exploit", record)
    return made


RAY_SKIPS_NAN = "isnan" in inspect.getsource(PopulationBasedTraining._quantiles)  # Ray >= 2.55


@pytest.mark.parametrize(
    "synch, n, pbt",
    [(True, 8, {}), (True, 6, dict(quantile_fraction=0.5)), (True, 5, dict(burn_in_period=3)),
     (False, 4, {}), (False, 8, dict(quantile_fraction=0.1)), (False, 7, dict(quantile_fraction=0.5)),
     (False, 6, dict(quantile_fraction=0.0)), (False, 6, dict(burn_in_period=2)), (True, 6, dict(nan=True)),
     (False, 6, dict(nan=True))],
)
def test_one_metric_decides_as_ray(synch, n, pbt, monkeypatch):
    # One metric, noise "none": the same recorded results into Ray's scheduler and ParetoPBT give the
    # same losers and winners at every result, the same exploited trials, and clone sources among
    # Ray's winners. Results come in rounds, every trial at the round's iteration (synchronous: all,
    # in order; asynchronous: a shuffled part), so with an interval of 1 who is cloned does not
    # change when a trial perturbs next and both schedulers stay in step. Where Ray's randomly
    # chosen winner holds no checkpoint, Ray skips the exploit and ParetoPBT clones a winner that
    # holds one (or, with none, the fallback of `_clone_source`).
    pbt = dict(pbt)
    nan = pbt.pop("nan", False)  # a NaN score every third round
    if nan and not RAY_SKIPS_NAN:
        pytest.skip("this Ray ranks a NaN score")
    rng = np.random.default_rng(n + 10 * synch)
    ray_s, ray_ctl = population(n, cls=PopulationBasedTraining, synch=synch, **pbt)
    ours, our_ctl = population(n, metrics={"loss": "min"}, noise="none", nonfinite="skip", synch=synch, **pbt)
    ray_made, our_made = exploits_of(ray_s, monkeypatch), exploits_of(ours, monkeypatch)
    for it in range(1, 9):
        order = range(n) if synch else rng.permutation(n)[: rng.integers(1, n + 1)]
        scores = rng.normal(size=n)
        if nan and it % 3 == 0:
            scores[rng.integers(n)] = math.nan
        for i in order:
            made = len(ray_made), len(our_made)
            for sched, ctl in ((ray_s, ray_ctl), (ours, our_ctl)):
                t = ctl.trials[i]
                t.status = Trial.RUNNING
                if sched.on_trial_result(ctl, t, {"training_iteration": it, "loss": scores[i]}) == TrialScheduler.PAUSE:
                    t.status = Trial.PAUSED
            (ray_lower, ray_upper), (our_lower, our_upper) = ray_s._quantiles(), ours._quantiles()
            assert {t.trial_id for t in ray_lower} == {t.trial_id for t in our_lower}
            # With k = 0, older Ray (2.7) returns every trial as a winner (`trials[-0:]`), so checkpoints them all.
            assert {t.trial_id for t in ray_upper} == {t.trial_id for t in our_upper} or not ray_lower
            new_ray, new_ours = ray_made[made[0]:], our_made[made[1]:]
            assert {loser for loser, _ in new_ray} <= {loser for loser, _ in new_ours}
            holders = {t.trial_id for t in our_upper if ours._trial_state[t].last_checkpoint}
            for loser, source in new_ours:
                assert source in holders or (not holders and loser not in {x for x, _ in new_ray}), (loser, source)
            if synch:  # both schedulers' trials wait at the same points
                assert [t.status for t in ray_ctl.trials] == [t.status for t in our_ctl.trials]
    assert (len(ray_made) > 0) == (pbt.get("quantile_fraction") != 0.0) and len(our_made) >= len(ray_made)


@pytest.mark.parametrize(
    "kwargs, other, error",
    [(dict(columns=0), ("acc", "loss"), "columns must be an integer >= 1"),
     (dict(selections=[]), ("acc", "loss"), "selections is empty"),
     (dict(), ("acc", "loss"), None),  # each record drawn by its own metrics
     (dict(), ("acc", "cost"), "no metric 'loss' in selection 9"),
     (dict(metrics=(0, 1)), ("loss",), "out of range for the 1 metrics of selection 9")],
)
def test_plot_history_arguments_and_mixed_metrics(kwargs, other, error):
    pytest.importorskip("matplotlib")
    sched, ctl = population(4, noise="none")
    report(sched, ctl, rows([1.0, 2.0, 3.0, 4.0], [0.1, 0.2, 0.3, 0.4]), 1)
    first = sched.selections[0]
    columns = [list(first.metrics).index(m) if m in first.metrics else 0 for m in other]
    mixed = dataclasses.replace(first, number=9, metrics=other, means=first.means[:, columns],
                                variances=first.variances[:, columns])
    kwargs = {"metrics": ("loss", "acc"), **kwargs}
    if error:
        with pytest.raises(ValueError, match=error):
            plot_history([first, mixed], **kwargs)
    else:
        fig = plot_history([first, mixed], **kwargs)
        # The mixed record's panel: loss on x although it is its second metric.
        assert fig.axes[1].get_xlabel().startswith("loss")
        np.testing.assert_array_equal(fig.axes[1].lines[0].get_xdata(), first.means[:, 0])


@pytest.mark.parametrize("cls", [PopulationBasedTraining, ParetoPBT])
def test_custom_explore_fn_shapes_the_clone(cls):
    # Ray documents custom_explore_fn as applied to a clone's config after the built-in mutations.
    sched, ctl = population(4, cls=cls, custom_explore_fn=lambda config: {**config, "explored": config["lr"] * 10})
    report(sched, ctl, rows([1.0, 2.0, 3.0, 4.0]), 1)
    loser, winner = ctl.trials[3], ctl.trials[0]
    assert loser.config["explored"] == loser.config["lr"] * 10 and "explored" not in winner.config
