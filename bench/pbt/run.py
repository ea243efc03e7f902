"""Population-based training on Ray Tune: Ray's scheduler against ParetoPBT on a noisy toy problem.

    make bench-pbt                      # or: .venv-ray/bin/python bench/pbt/run.py [--seeds 5] [--stall-runs 20]

Toy problem with known true objectives (both minimised): a model's progress s in [0, 1) grows by
g(lr) * (1 - s) per iteration, with g(lr) = lr up to lr = 0.3 and falling beyond (overshooting), and
f1 = (1 - s) + w^2, f2 = (1 - s) + (1 - w)^2 for a trade-off knob w in [0, 1]. The trainable reports
f1 and f2 plus Gaussian noise of standard deviation 0.05 + 0.5 * lr (fast learning rates are noisy),
and that standard deviation as f1_std / f2_std. The final population is scored by its hypervolume
on the TRUE objectives (reference point (1.5, 1.5); larger is better).

Part 1 (synchronous PBT): hypervolume over seeds for Ray's PBT on f1, Ray's PBT on
f1 + f2, and ParetoPBT with noise="none", "window" and "reported"; time spent selecting against
wall time.
Part 2: repeated short synchronous runs in which trials finish at different times (stop on
iterations, perturbation on time_total_s, 4 trials at 0.5 CPU), counting stalls: runs in which every
unfinished trial sat paused, none running or starting, for 5 s.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import sys
import tempfile
import time

import numpy as np
import ray
from loop import hypervolume  # bench/pbt/loop.py, beside this script
from ray import cloudpickle, tune
from ray.tune.schedulers import PopulationBasedTraining

from vornaquill.ray_tune import ParetoPBT

ITERATIONS, INTERVAL, TRIALS = 16, 4, 6


def progress_step(lr: float) -> float:
    return lr if lr <= 0.3 else max(0.6 - lr, -0.2)


def true_objectives(s: float, w: float) -> tuple[float, float]:
    return (1.0 - s) + w * w, (1.0 - s) + (1.0 - w) ** 2


def toy(config):
    rng = random.Random()
    s, step = 0.0, 0
    if checkpoint := tune.get_checkpoint():
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "state.json")) as f:
            s, step = json.load(f)
    w, lr = min(max(config["w"], 0.0), 1.0), config["lr"]
    seconds = config.get("step_seconds", 0.0)
    if isinstance(seconds, (list, tuple)):  # one speed per trial slot, picked by the trial's number
        seconds = seconds[int(tune.get_context().get_trial_name().rsplit("_", 1)[-1]) % len(seconds)]
    while step < config["iterations"]:
        step += 1
        if seconds:
            time.sleep(seconds)
        s += progress_step(lr) * (1.0 - s)
        f1, f2 = true_objectives(s, w)
        sd = 0.05 + 0.5 * lr
        obs1, obs2 = f1 + rng.gauss(0, sd), f2 + rng.gauss(0, sd)
        metrics = {"f1": obs1, "f2": obs2, "f1_std": sd, "f2_std": sd, "wsum": obs1 + obs2,
                   "true_f1": f1, "true_f2": f2}
        if step % config["interval"]:
            tune.report(metrics)
            continue
        with tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "state.json"), "w") as f:
                json.dump([s, step], f)
            tune.report(metrics, checkpoint=tune.Checkpoint.from_directory(folder))


class StallWatch(tune.Callback):
    """A stall: unfinished trials, none running or starting, for `quiet` seconds; ends the experiment
    through `stopper` (the state Ray's synchronous PBT could never leave)."""

    def __init__(self, quiet: float):
        self.quiet, self.since, self.stalled = quiet, None, False
        self.stopper = _StopWhen(self)

    def on_step_end(self, iteration, trials, **info):
        waiting = [t for t in trials if not t.is_finished()]
        if waiting and all(t.status == "PAUSED" for t in waiting):
            self.since = self.since or time.monotonic()
            self.stalled = self.stalled or time.monotonic() - self.since > self.quiet
        else:
            self.since = None


class _StopWhen(tune.Stopper):
    def __init__(self, watch: StallWatch):
        self.watch = watch

    def __call__(self, trial_id, result):
        return False

    def stop_all(self):
        return self.watch.stalled


MUTATIONS = {"w": tune.uniform(0.0, 1.0), "lr": tune.loguniform(0.01, 1.0)}


def make_scheduler(arm: str, seed: int, **pbt):
    pbt = dict(hyperparam_mutations=MUTATIONS, log_config=False, **pbt)
    if arm == "ray-f1":
        return PopulationBasedTraining(metric="f1", mode="min", **pbt)
    if arm == "ray-sum":
        return PopulationBasedTraining(metric="wsum", mode="min", **pbt)
    noise = arm.split("-")[1]
    return ParetoPBT({"f1": "min", "f2": "min"}, noise=noise, seed=seed, **pbt)


def run(arm: str, seed: int, storage: str, *, stall_test: bool = False, callbacks: tuple = ()) -> dict:
    random.seed(seed)
    np.random.seed(seed)  # noqa: NPY002 - Ray's PBT draws its perturbations from the global generators
    watch = StallWatch(5.0)
    if stall_test:
        pbt = dict(time_attr="time_total_s", perturbation_interval=0.3, synch=True)
        config = {"iterations": 10, "interval": 2, "step_seconds": tune.uniform(0.01, 0.06)}
    else:
        pbt = dict(time_attr="training_iteration", perturbation_interval=INTERVAL, synch=True)
        config = {"iterations": ITERATIONS, "interval": INTERVAL}
    trials, cpu = (4, 0.5) if stall_test else (TRIALS, 2 / TRIALS)
    scheduler = make_scheduler(arm, seed, **pbt)
    tuner = tune.Tuner(
        tune.with_resources(toy, {"cpu": cpu}),
        param_space={**MUTATIONS, **config},
        tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=trials, reuse_actors=True, time_budget_s=120),
        run_config=tune.RunConfig(storage_path=storage, stop=watch.stopper, verbose=0, callbacks=[watch, *callbacks],
                                  checkpoint_config=tune.CheckpointConfig(num_to_keep=None)),
    )
    start = time.perf_counter()
    results = tuner.fit()
    wall = time.perf_counter() - start
    for e in results.errors[:1]:
        print("trial error:", repr(e)[:2000], file=sys.stderr)
    finals = [(r.metrics["true_f1"], r.metrics["true_f2"]) for r in results if "true_f1" in (r.metrics or {})]
    unfinished = sum(1 for r in results if not (r.metrics or {}).get("done"))
    return {
        "arm": arm, "seed": seed, "wall_s": wall,
        "hypervolume": hypervolume(np.array(finals).reshape(-1, 2), (1.5, 1.5), np.ones(2)),
        "select_s": getattr(scheduler, "selection_seconds", None),
        "selections": len(getattr(scheduler, "selections", [])),
        "exploits": getattr(scheduler, "exploits", getattr(scheduler, "_num_perturbations", 0)),
        "sync_releases": getattr(scheduler, "sync_releases", None),
        "stalled": watch.stalled and unfinished > 0, "unfinished": unfinished, "errors": len(results.errors),
    }


def spread(values: list[float]) -> str:
    sd = statistics.stdev(values) if len(values) > 1 else 0.0
    return f"{statistics.mean(values):.3f} ± {sd:.3f} (min {min(values):.3f}, max {max(values):.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=5)
    parser.add_argument("--stall-runs", type=int, default=20, help="per ParetoPBT arm (Ray's: half as many)")
    parser.add_argument("--arms", default="ray-f1,ray-sum,pareto-none,pareto-window,pareto-reported")
    parser.add_argument("--stall-arms", default="ray-f1,pareto-window")
    parser.add_argument("--out", default="bench/results/pbt.json")
    args = parser.parse_args()
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    os.environ.setdefault("RAY_DEDUP_LOGS", "1")
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
    rows: list[dict] = []
    started = time.perf_counter()
    with tempfile.TemporaryDirectory() as storage:
        for seed in range(args.seeds):
            for arm in args.arms.split(","):
                rows.append(run(arm, seed, storage))
                print(json.dumps(rows[-1]), flush=True)
        stalls = []
        for arm in args.stall_arms.split(","):
            for i in range(args.stall_runs if arm.startswith("pareto") else (args.stall_runs + 1) // 2):
                stalls.append(run(arm, 1000 + i, storage, stall_test=True))
                print(json.dumps(stalls[-1]), flush=True)
    ray.shutdown()
    print(f"\ncommand: make bench-pbt BENCH_PBT_ARGS='--seeds {args.seeds} --stall-runs {args.stall_runs}'"
          f"  (total {time.perf_counter() - started:.0f} s)\n")
    print(f"Final hypervolume on the true objectives, {args.seeds} seeds ({TRIALS} trials, {ITERATIONS} iterations)")
    print("| arm | hypervolume mean ± sd (min, max) | selecting / wall | wall per run |")
    print("|---|---|---|---|")
    for arm in args.arms.split(","):
        mine = [r for r in rows if r["arm"] == arm]
        sel = [r["select_s"] for r in mine if r["select_s"] is not None]
        ratio = f"{sum(sel):.3f} s / {sum(r['wall_s'] for r in mine):.0f} s" if sel else "n/a"
        print(f"| {arm} | {spread([r['hypervolume'] for r in mine])} | {ratio} | "
              f"{statistics.mean(r['wall_s'] for r in mine):.1f} s |")
    print("\nRepeated short synchronous runs: stalls")
    print("| arm | runs | stalled | unfinished trials | errored trials | sync releases (runs) |")
    print("|---|---|---|---|---|---|")
    for arm in args.stall_arms.split(","):
        mine = [r for r in stalls if r["arm"] == arm]
        print(f"| {arm} | {len(mine)} | {sum(r['stalled'] for r in mine)} | "
              f"{sum(r['unfinished'] for r in mine)} | {sum(r['errors'] for r in mine)} | "
              f"{sum(r['sync_releases'] or 0 for r in mine)} ({sum(bool(r['sync_releases']) for r in mine)}) |")
    os.makedirs(os.path.dirname(args.out), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump({"runs": rows, "stall_runs": stalls}, f, indent=1)


if __name__ == "__main__":
    main()
