"""Real Ray Tune experiments with ParetoPBT: synchronous, interrupted as by Ctrl+C half-way and
restored; synchronous, its driver killed and its history's last line cut, restored twice;
asynchronous with trials at different speeds, one failing and one finishing early; on a two-node
cluster, where losers restore checkpoints written on the other node; continuation after exploits for
function and class trainables. Run as a script, this file is the driver the crash test kills."""

import gc
import importlib.util
import json
import os
import random
import signal
import subprocess
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

from vornaquill.ray_tune import ParetoPBT, load_history, plot_history  # noqa: E402

ITERATIONS, INTERVAL = 12, 3


@pytest.fixture(autouse=True)
def driver_folder(tmp_path, monkeypatch):
    """Ray before 2.10 keeps the driver's copy of an experiment in ~/ray_results/<name>; here it goes
    to tmp_path/driver (later Ray refuses the variable and keeps that copy in its session folder)."""
    if not hasattr(StorageContext, "experiment_driver_staging_path"):
        monkeypatch.setenv("RAY_AIR_LOCAL_CACHE_DIR", str(tmp_path / "driver"))


def advance(config, state, node):
    """One step of the shared toy model: `state` is [progress, step, written on node, lineage] (the
    lineage a token drawn at a fresh start and carried by checkpoints, so a clone shows its source's)."""
    case = config.get("case", {})
    state[1] += 1
    if state[1] == case.get("fail_at"):
        raise RuntimeError("the intended failure")
    time.sleep(case.get("delay", 0.1))
    state[0] += config["lr"] * case.get("scale", 1.0) * (1.0 - state[0])
    state[2] = node
    return {"loss": 1.0 - state[0] + random.gauss(0, 0.05), "step": state[1], "lineage": state[3],
            "cost": config["lr"] + case.get("extra_cost", 0.0) + random.gauss(0, 0.05)}


def train(config):
    """config["case"] (optional): the trial's own "stop", "delay" per step, "fail_at" step, "scale"
    of the learning rate and "extra_cost"; config["marks"] (optional): a folder that gets a file for
    every restore from a checkpoint written on another node."""
    state = [0.0, 0, None, random.random()]
    node = ray.get_runtime_context().get_node_id()
    if checkpoint := get_checkpoint():
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "state.json")) as f:
            state = json.load(f)
        if state[2] != node and "marks" in config:  # restored from a checkpoint another node wrote
            with open(os.path.join(config["marks"], f"{node}-{state[1]}-{random.random()}"), "w"):
                pass
    while state[1] < config.get("case", {}).get("stop", config["stop"]):
        metrics = advance(config, state, node)
        if state[1] % INTERVAL:
            report(metrics)
            continue
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "state.json"), "w") as f:
                json.dump(state, f)
            report(metrics, checkpoint=Checkpoint.from_directory(folder))


class Stepper(tune.Trainable):
    """The same model as a class trainable: Tune saves and restores it when PBT asks."""

    def setup(self, config):
        self.state = [0.0, 0, None, random.random()]

    def step(self):
        metrics = advance(self.config, self.state, None)
        return {**metrics, "done": self.state[1] >= self.config["stop"]}

    def save_checkpoint(self, checkpoint_dir):
        with open(os.path.join(checkpoint_dir, "state.json"), "w") as f:
            json.dump(self.state, f)

    def load_checkpoint(self, checkpoint):  # the folder save_checkpoint wrote into
        with open(os.path.join(checkpoint, "state.json")) as f:
            self.state = json.load(f)

    def reset_config(self, new_config):  # an actor reused for another trial starts afresh (or restores)
        self.setup(new_config)
        return True


def resources(config):
    """Half a CPU, and the custom resource of the trial's "node" when its case names one."""
    node = config.get("case", {}).get("node")
    return tune.PlacementGroupFactory([{"CPU": 0.5, **({node: 1} if node else {})}])


def fit(tmp_path, scheduler, param_space, trainable=train, **tune_config):
    """One experiment of `trainable` within a time budget."""
    tuner = tune.Tuner(
        tune.with_resources(trainable, resources), param_space={"stop": ITERATIONS, **param_space},
        run_config=RunConfig(name="run", storage_path=str(tmp_path), verbose=0, stop={"training_iteration": ITERATIONS},
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
    # earlier run left there must not reach this experiment's. With the population prior (four trials
    # with window variances: it applies), whose two selections per decision survive the restore.
    fs = pyarrow.fs.SubTreeFileSystem(str(tmp_path), pyarrow.fs.LocalFileSystem()) if storage == "remote" else None
    (tmp_path / "driver" / "pareto_pbt").mkdir(parents=True)
    (tmp_path / "driver" / "pareto_pbt" / "selections.jsonl").write_text("left by an earlier run\n")
    scheduler = ParetoPBT(
        {"loss": "min", "cost": "min"}, time_attr="training_iteration", perturbation_interval=INTERVAL,
        hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)}, synch=True, seed=1, prior="population",
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


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
@pytest.mark.parametrize("trainable", [train, Stepper], ids=["function", "class"])
def test_continuation_after_exploit(tmp_path, trainable):
    # As Ray documents for its PBT: a trial exploited goes on from its source's checkpoint, with its
    # source's state (the lineage) and Tune's iteration count in agreement with the model's steps;
    # log_config=True logs each exploit to pbt_global.txt and the exploited trial's policy file.
    scheduler = ParetoPBT({"loss": "min"}, noise="none", seed=3, synch=False, time_attr="training_iteration",
                          perturbation_interval=INTERVAL, quantile_fraction=0.5, log_config=True,
                          hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)})
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ray.init(address="local", num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
    try:
        results = fit(tmp_path, scheduler, {"lr": tune.grid_search([0.01, 0.5, 0.02, 0.4])}, trainable=trainable)
    finally:
        ray.shutdown()
        gc.collect()
    assert scheduler.exploits > 0 and not results.errors, scheduler.debug_string()
    frames = [r.metrics_dataframe for r in results]
    steps = [f[["training_iteration", "step", "lineage"]].to_numpy().tolist() for f in frames]
    assert all((f["step"] == f["training_iteration"]).all() and f["step"].iloc[-1] >= ITERATIONS for f in frames), steps
    fresh = {f["lineage"].iloc[0] for f in frames}
    assert all(set(f["lineage"]) <= fresh for f in frames) and any(f["lineage"].nunique() > 1 for f in frames)
    logs = {path.name: path for path in tmp_path.rglob("pbt_*.txt")}  # in storage (or old Ray's driver copy)
    assert len(logs["pbt_global.txt"].read_text().splitlines()) == scheduler.exploits
    exploited = [r.metrics["trial_id"] for r, f in zip(results, frames) if f["lineage"].nunique() > 1]
    assert all(f"pbt_policy_{tid}.txt" in logs for tid in exploited)


def crash_experiment(storage):
    """The synchronous experiment of the crash test (a second per step: killed well before its end)."""
    scheduler = ParetoPBT({"loss": "min", "cost": "min"}, time_attr="training_iteration", synch=True, seed=4,
                          perturbation_interval=INTERVAL, hyperparam_mutations={"lr": tune.uniform(0.05, 0.5)})
    return tune.Tuner(
        train, param_space={"lr": tune.uniform(0.05, 0.5), "stop": ITERATIONS, "case": {"delay": 0.3}},
        run_config=RunConfig(name="crash", storage_path=storage, verbose=0,
                             checkpoint_config=CheckpointConfig(num_to_keep=None)),
        tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=4, reuse_actors=True, time_budget_s=120),
    )


@pytest.mark.filterwarnings("ignore::ResourceWarning", "ignore::pytest.PytestUnraisableExceptionWarning")
def test_driver_killed_history_cut_restored_twice(tmp_path):
    # The driver (this file as a script, in its own process group) is killed with SIGKILL after two
    # selections; the last line of the history is then cut as a crash mid-write leaves it. Restored
    # to the end and restored again: every complete record is kept, numbers never repeat, and the
    # history loads and plots.
    history = tmp_path / "crash" / "selections.jsonl"
    env = {**os.environ, "TUNE_GLOBAL_CHECKPOINT_S": "0"}  # the experiment's state saved at every step
    driver = subprocess.Popen([sys.executable, __file__, str(tmp_path)], env=env, start_new_session=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 120
        while not (history.exists() and history.read_bytes().count(b"\n") >= 2):
            assert driver.poll() is None and time.monotonic() < deadline, "the driver ended before two selections"
            time.sleep(0.05)
    finally:
        os.killpg(driver.pid, signal.SIGKILL)
        driver.wait()
    data = history.read_bytes()
    complete = load_history(history)[:-1]
    head, last = data.rstrip(b"\n").rsplit(b"\n", 1)
    history.write_bytes(head + b"\n" + last[:50])
    assert [r.to_json() for r in load_history(history)] == [r.to_json() for r in complete]
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ray.init(address="local", num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
    try:
        restored = tune.Tuner.restore(str(tmp_path / "crash"), trainable=train).fit()
        after = load_history(history)
        tune.Tuner.restore(str(tmp_path / "crash"), trainable=train).fit()
    finally:
        ray.shutdown()
        gc.collect()
    assert not restored.errors and all(r.metrics["training_iteration"] >= ITERATIONS for r in restored)
    assert [r.to_json() for r in after[: len(complete)]] == [r.to_json() for r in complete]
    assert len(after) > len(complete) and [r.number for r in after] == list(range(len(after)))
    assert [r.to_json() for r in load_history(history)] == [r.to_json() for r in after]
    if importlib.util.find_spec("matplotlib"):
        assert len(plot_history(history, ("loss", "cost")).axes) == min(6, len(after)) + 1


if __name__ == "__main__":  # the driver of the crash test: runs until killed
    ray.init(address="local", num_cpus=2, include_dashboard=False, configure_logging=False, log_to_driver=False)
    crash_experiment(sys.argv[1]).fit()
