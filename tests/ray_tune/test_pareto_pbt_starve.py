"""No run starves: small real Ray Tune experiments with ParetoPBT, drawn by a fixed generator, each
within a time budget; every trial that does not fail reaches its stop and the run ends.

`make test-ray` runs the setup of the starvation loop, a configuration that once churned and a handful
of drawn configurations; `make test-ray-soak` (VQ_PBT_SOAK=<count>) draws many more."""

import json
import os
import random
import sys
import tempfile
import time

import pytest

ray = pytest.importorskip("ray", reason="ParetoPBT needs the `ray` extra (make test-ray)")

from ray import cloudpickle, tune  # noqa: E402

try:  # Ray >= 2.44; older Ray has these in ray.train only
    from ray.tune import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report
except ImportError:
    from ray.train import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report

from vornaquill.ray_tune import ParetoPBT  # noqa: E402

SLOTS = 4  # Ray's CPUs; a configuration's `cpus` is how many trials run at once (4 / cpus CPUs each)
# Seconds per run: a run that starves meets it with trials short of their stop. On a machine busy with
# other work at full priority, trials that each need every CPU run several times slower, with Ray's
# scheduler as with ParetoPBT: raise it there (VQ_PBT_BUDGET, `make test-ray-soak SOAK_BUDGET=...`).
BUDGET = float(os.environ.get("VQ_PBT_BUDGET", "120"))


def train(config):
    """config["slot"]: the trial's own settings (a, b, fail_at, early). Score `(a - step) * b`
    (falling), `(a + step) * b` (rising) or `a * b` plus noise, to maximise; a checkpoint with every
    result. config["fail_at"] raises there, config["early"] returns there."""
    config = {**config, **config["slot"]}
    step = 0
    if checkpoint := get_checkpoint():
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "step.json")) as f:
            step = json.load(f)
    rng = random.Random()
    while True:  # a result after every start: a clone of a model at its stop reports past it and ends
        step += 1
        if step == config.get("fail_at"):
            raise RuntimeError("the intended failure")
        time.sleep(config["delay"])
        a, b = config["a"], config["b"]
        score = {"falling": (a - step) * b, "rising": (a + step) * b, "noisy": a * b + rng.gauss(0, 5)}[config["kind"]]
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "step.json"), "w") as f:
                json.dump(step, f)
            report({"score": score}, checkpoint=Checkpoint.from_directory(folder))
        if step >= config.get("early", config["stop"]):
            return


# The setup of the starvation loop: 4 trials on 2 CPUs, asynchronous, a result per iteration,
# perturbation_interval=1, a falling score, stop at iteration 3, every checkpoint kept.
# A second per step lets the trials' results interleave as the loop needs.
LOOP = dict(trials=4, cpus=2, interval=1, stop=3, kind="falling", synch=False, noise="none", fail=False,
            early=False, delay=1.0, seed=0)


def configurations(count, seed=29):
    """`count` configurations drawn by a fixed generator (trials 2-12, 1-4 at once, interval 1-4,
    stop 3-12; falling, rising or noisy; one failing and one early-stopping trial or not;
    synchronous or not; noise "none" or the default; 0.02 to 0.3 s per step)."""
    rng = random.Random(seed)
    return [dict(trials=rng.randint(2, 12), cpus=rng.randint(1, 4), interval=rng.randint(1, 4),
                 stop=rng.randint(3, 12), kind=rng.choice(["falling", "rising", "noisy"]), synch=rng.random() < 0.5,
                 noise=rng.choice(["none", "window"]), fail=rng.random() < 0.5, early=rng.random() < 0.5,
                 delay=rng.choice([0.02, 0.1, 0.3]), seed=i)
            for i in range(count)]


def label(case):
    mode = "sync" if case["synch"] else "async"
    extra = "-fail" * case["fail"] + "-early" * case["early"]
    return "{trials}t-{cpus}c-i{interval}-s{stop}-{kind}-".format(**case) + f"{mode}-{case['noise']}{extra}"


# A soak configuration that churned (about 350 exploits in the budget, trials stuck at 4 to 6 of
# 10) while equal train times went to the first trial in order: 9 trials on 2 slots, asynchronous,
# interval 2, a falling score; clones listed first kept running while their sources waited.
CHURN = configurations(15)[14]
CASES = [LOOP, CHURN] + configurations(int(os.environ.get("VQ_PBT_SOAK", "5")))


@pytest.fixture(scope="module")
def cluster():
    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import this module
    ray.init(address="local", num_cpus=SLOTS, include_dashboard=False, configure_logging=False, log_to_driver=False)
    yield
    ray.shutdown()


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("case", CASES, ids=label)
def test_every_trial_reaches_its_stop(cluster, tmp_path, case):
    # Ray frees the last run's CPUs a moment after it returns; a run whose trials need every CPU,
    # started before that, got no result in its whole budget now and then (seen in the soak).
    deadline = time.monotonic() + 30
    while ray.available_resources().get("CPU", 0) < SLOTS and time.monotonic() < deadline:
        time.sleep(0.2)
    rng = random.Random(case["seed"])
    n, stop = case["trials"], case["stop"]
    # Trial i: a = 10 (i + 1), b drawn; the last may fail half-way, the one before it stop early.
    bs = [1.2, 0.9, 1.1, 0.8] if case is LOOP else [round(rng.uniform(0.8, 1.2), 2) for _ in range(n)]
    slots = [{"a": 10.0 * (i + 1), "b": b} for i, b in enumerate(bs)]
    if case["fail"]:
        slots[-1]["fail_at"] = max(1, stop // 2)
    if case["early"] and n > 1:
        slots[-2]["early"] = max(1, stop - 2)
    scheduler = ParetoPBT({"score": "max"}, noise=case["noise"], seed=case["seed"], synch=case["synch"],
                          time_attr="training_iteration", perturbation_interval=case["interval"],
                          hyperparam_mutations={"b": tune.uniform(0.8, 1.2)})
    tuner = tune.Tuner(
        tune.with_resources(train, {"cpu": round(SLOTS / case["cpus"], 4)}),
        param_space={"slot": tune.grid_search(slots), "kind": case["kind"], "stop": stop,
                     "delay": case["delay"], "b": tune.sample_from(lambda spec: spec.config["slot"]["b"])},
        run_config=RunConfig(name="run", storage_path=str(tmp_path), verbose=0, stop={"training_iteration": stop},
                             checkpoint_config=CheckpointConfig(num_to_keep=None)),
        tune_config=tune.TuneConfig(scheduler=scheduler, reuse_actors=True, time_budget_s=BUDGET),
    )
    start = time.monotonic()
    results = tuner.fit()
    seconds = time.monotonic() - start
    reached = []
    for r in results:
        if r.error:
            assert "intended failure" in str(r.error)
            continue
        slot = (r.config or {}).get("slot", {})  # no config: the trial never started
        reached.append(((r.metrics or {}).get("training_iteration", 0), min(stop, slot.get("early", stop))))
    # Clones copy the failing trial's settings, so when it is the one cloned every trial may fail.
    assert all(it >= target for it, target in reached), (reached, seconds, scheduler.debug_string())
    assert seconds < BUDGET, scheduler.debug_string()
