"""Real Ray Tune experiments with ParetoPBT: synchronous, interrupted as by Ctrl+C half-way and
restored; asynchronous with trials at different speeds, one failing and one finishing early; and on a
two-node cluster, where losers restore checkpoints written on the other node."""

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

import pyarrow.fs  # noqa: E402  (Ray's dependency)
from ray import cloudpickle, tune  # noqa: E402
from ray.train._internal.storage import StorageContext  # noqa: E402

try:  # Ray >= 2.44; older Ray has these in ray.train only
    from ray.tune import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report
except ImportError:
    from ray.train import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report

from vornaquill.ray_tune import ParetoPBT, load_history  # noqa: E402

ITERATIONS, INTERVAL = 12, 3


@pytest.fixture(autouse=True)
def driver_folder(tmp_path, monkeypatch):
    """Ray before 2.10 keeps the driver's copy of an experiment in ~/ray_results/<name>; here it goes
    to tmp_path/driver (later Ray refuses the variable and keeps that copy in its session folder)."""
    if not hasattr(StorageContext, "experiment_driver_staging_path"):
        monkeypatch.setenv("RAY_AIR_LOCAL_CACHE_DIR", str(tmp_path / "driver"))


def train(config):
    """config["case"] (optional): the trial's own "stop", "delay" per step, "fail_at" step, "scale"
    of the learning rate and "extra_cost"; config["marks"] (optional): a folder that gets a file for
    every restore from a checkpoint written on another node."""
    progress, step = 0.0, 0
    node = ray.get_runtime_context().get_node_id()
    if checkpoint := get_checkpoint():
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "state.json")) as f:
            progress, step, written_on = json.load(f)
        if written_on != node and "marks" in config:  # restored from a checkpoint another node wrote
            with open(os.path.join(config["marks"], f"{node}-{step}-{random.random()}"), "w"):
                pass
    case = config.get("case", {})
    while step < case.get("stop", config["stop"]):
        step += 1
        if step == case.get("fail_at"):
            raise RuntimeError("the intended failure")
        time.sleep(case.get("delay", 0.1))
        progress += config["lr"] * case.get("scale", 1.0) * (1.0 - progress)
        metrics = {"loss": 1.0 - progress + random.gauss(0, 0.05),
                   "cost": config["lr"] + case.get("extra_cost", 0.0) + random.gauss(0, 0.05)}
        if step % INTERVAL:
            report(metrics)
            continue
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "state.json"), "w") as f:
                json.dump([progress, step, node], f)
            report(metrics, checkpoint=Checkpoint.from_directory(folder))


def resources(config):
    """Half a CPU, and the custom resource of the trial's "node" when its case names one."""
    node = config.get("case", {}).get("node")
    return tune.PlacementGroupFactory([{"CPU": 0.5, **({node: 1} if node else {})}])


def fit(tmp_path, scheduler, param_space, **tune_config):
    """One experiment of `train` within a time budget."""
    tuner = tune.Tuner(
        tune.with_resources(train, resources), param_space={"stop": ITERATIONS, **param_space},
        run_config=RunConfig(name="run", storage_path=str(tmp_path), verbose=0,
                             checkpoint_config=CheckpointConfig(num_to_keep=None)),
        tune_config=tune.TuneConfig(scheduler=scheduler, reuse_actors=True, time_budget_s=60, **tune_config),
    )
    return tuner.fit()


class Interrupt(tune.Callback):
    """Interrupts the driver as Ctrl+C would once a trial is half-way, while the flag file exists."""

    def __init__(self, flag):
        self.flag = flag

    def on_trial_result(self, iteration, trials, trial, result, **info):
        if result["training_iteration"] >= ITERATIONS // 2 and os.path.exists(self.flag):
            os.unlink(self.flag)
            os.kill(os.getpid(), signal.SIGINT)


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("storage", ["local", "remote"])
def test_real_run_interrupted_and_restored(tmp_path, storage):
    # "remote": a filesystem Ray treats as remote storage (a pyarrow SubTreeFileSystem), so the history
    # goes through the driver's copy of the experiment folder and Ray's uploads. On Ray before 2.10
    # that copy is <RAY_AIR_LOCAL_CACHE_DIR>/<name>, shared by every run of that name: a history an
    # earlier run left there must not reach this experiment's.
    fs = pyarrow.fs.SubTreeFileSystem(str(tmp_path), pyarrow.fs.LocalFileSystem()) if storage == "remote" else None
    (tmp_path / "driver" / "pareto_pbt").mkdir(parents=True)
    (tmp_path / "driver" / "pareto_pbt" / "selections.jsonl").write_text("left by an earlier run\n")
    scheduler = ParetoPBT(
        {"loss": "min", "cost": "min"}, time_attr="training_iteration", perturbation_interval=INTERVAL,
        hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)}, synch=True, seed=1,
    )
    run_config = RunConfig(
        name="pareto_pbt", storage_path="." if fs else str(tmp_path), storage_filesystem=fs,
        callbacks=[Interrupt(str(tmp_path / "flag"))],
        checkpoint_config=CheckpointConfig(num_to_keep=None), verbose=0,
    )
    cloudpickle.register_pickle_by_value(sys.modules[__name__])  # workers cannot import this module
    ray.init(address="local", num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
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
        where = "pareto_pbt" if fs else str(tmp_path / "pareto_pbt")
        restored = tune.Tuner.restore(where, trainable=train, storage_filesystem=fs).fit()
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


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("where", ["asynchronous", "cluster"])
def test_real_run_asynchronous(tmp_path, where):
    # Locally: four trials at once, at different speeds; one fails before its first perturbation
    # point, one stops early, and the fastest learns slowly at a higher cost (worse in both metrics,
    # it loses its selections, so exploits happen whatever learning rates are drawn). On a head node
    # and a worker node sharing the storage path, one trial held on each by a custom resource: every
    # clone restores the other node's checkpoint (the slowly learning trial loses every selection).
    local = where == "asynchronous"
    cases = ([{"delay": 0.05, "scale": 0.1, "extra_cost": 1.0}, {"delay": 0.2}, {"delay": 0.1, "fail_at": 2},
              {"delay": 0.05, "stop": 6}]
             if local else [{"scale": 0.1, "node": "a"}, {"scale": 1.0, "node": "b"}])
    scheduler = ParetoPBT({"loss": "min"} if not local else {"loss": "min", "cost": "min"}, seed=2, synch=False,
                          time_attr="training_iteration", perturbation_interval=INTERVAL, quantile_fraction=0.5,
                          hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)})
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    cluster = None
    if local:
        ray.init(address="local", num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
    else:
        from ray.cluster_utils import Cluster

        cluster = Cluster(initialize_head=True, head_node_args=dict(num_cpus=1, resources={"a": 1},
                                                                     include_dashboard=False))
        cluster.add_node(num_cpus=1, resources={"b": 1})
        ray.init(address=cluster.address, configure_logging=False, log_to_driver=False)
    try:
        (tmp_path / "marks").mkdir()
        results = fit(tmp_path, scheduler, {"case": tune.grid_search(cases), "lr": tune.uniform(0.3, 0.5),
                                            "marks": str(tmp_path / "marks")})
    finally:
        ray.shutdown()
        if cluster is not None:
            cluster.shutdown()
        gc.collect()
    assert scheduler.selections and scheduler.exploits > 0, scheduler.debug_string()
    errors = [r for r in results if r.error]
    assert len(errors) == local and all("intended failure" in str(r.error) for r in errors)
    assert all(r.metrics["done"] for r in results if not r.error)
    if not local:
        assert os.listdir(tmp_path / "marks")
