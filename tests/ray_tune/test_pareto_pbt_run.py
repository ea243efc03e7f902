"""One real Ray Tune experiment with ParetoPBT: interrupted as by Ctrl+C half-way, then restored."""

import gc
import json
import os
import random
import signal
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

from vornaquill.ray_tune import ParetoPBT, load_history  # noqa: E402

ITERATIONS, INTERVAL = 12, 3


def train(config):
    progress, step = 0.0, 0
    if checkpoint := get_checkpoint():
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "state.json")) as f:
            progress, step = json.load(f)
    while step < config["stop"]:
        step += 1
        time.sleep(0.1)
        progress += config["lr"] * (1.0 - progress)
        metrics = {"loss": 1.0 - progress + random.gauss(0, 0.05), "cost": config["lr"] + random.gauss(0, 0.05)}
        if step % INTERVAL:
            report(metrics)
            continue
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "state.json"), "w") as f:
                json.dump([progress, step], f)
            report(metrics, checkpoint=Checkpoint.from_directory(folder))


class Interrupt(tune.Callback):
    """Interrupts the driver as Ctrl+C would once a trial is half-way, while the flag file exists."""

    def __init__(self, flag):
        self.flag = flag

    def on_trial_result(self, iteration, trials, trial, result, **info):
        if result["training_iteration"] >= ITERATIONS // 2 and os.path.exists(self.flag):
            os.unlink(self.flag)
            os.kill(os.getpid(), signal.SIGINT)


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
def test_real_run_interrupted_and_restored(tmp_path):
    scheduler = ParetoPBT(
        {"loss": "min", "cost": "min"}, time_attr="training_iteration", perturbation_interval=INTERVAL,
        hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)}, synch=True, seed=1,
    )
    run_config = RunConfig(
        name="pareto_pbt", storage_path=str(tmp_path), callbacks=[Interrupt(str(tmp_path / "flag"))],
        checkpoint_config=CheckpointConfig(num_to_keep=None), verbose=0,
    )
    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import this module
    ray.init(num_cpus=2, include_dashboard=False, configure_logging=False)
    try:
        # Interrupted half-way; the restored experiment runs on to the end within its time budget.
        (tmp_path / "flag").touch()
        tuner = tune.Tuner(
            train, param_space={"lr": tune.uniform(0.05, 0.5), "stop": ITERATIONS}, run_config=run_config,
            tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=4, reuse_actors=True, time_budget_s=60),
        )
        first = tuner.fit()
        assert scheduler.selections and scheduler.exploits > 0, scheduler.debug_string()
        before = len(load_history(tmp_path / "pareto_pbt"))
        assert before == len(scheduler.selections)
        assert not first.errors and all(r.metrics["training_iteration"] < ITERATIONS for r in first)
        restored = tune.Tuner.restore(str(tmp_path / "pareto_pbt"), trainable=train).fit()
    finally:
        ray.shutdown()
        gc.collect()  # Ray's loggers of the interrupted experiment close their files here
    assert not restored.errors and len(restored) == 4
    # Every trial ran to its end (a clone's last result carries its source's id and iteration).
    assert all(r.metrics["done"] and r.metrics["training_iteration"] >= ITERATIONS for r in restored)
    # The restored scheduler read the history and numbered on: no selection number or seed repeats.
    history = load_history(tmp_path / "pareto_pbt")
    assert len(history) > before and [r.number for r in history] == list(range(len(history)))
    assert len({r.seed for r in history}) == len(history) and history[0].metrics == ("loss", "cost")
    frame = load_history(tmp_path / "pareto_pbt", as_frame=True)
    assert len(frame) == sum(len(r.trial_ids) for r in history) and frame["winner"].sum() >= len(history)
