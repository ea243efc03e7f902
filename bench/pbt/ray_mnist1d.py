"""The MNIST-1D workload of bench/pbt/local.py through Ray Tune itself, to confirm the direction.

    .venv-ray/bin/python bench/pbt/ray_mnist1d.py --seeds 0-4 --arms pareto-reported,pareto-none

Same model, data, sizes and synchronous schedule as the in-process loop, but Ray draws the initial
configurations, explores and clones, and each trial draws its own minibatches and validation
batches: the arms of one seed share Ray's seeded configurations only, so the runs are not paired
sample for sample as in the loop. The data come from the cache the in-process bench writes
(bench/results/mnist1d), or from the generator when `mnist1d` is installed here.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import sys
import tempfile
import time

import numpy as np
import ray
from ray import cloudpickle, tune
from ray.tune.schedulers import PopulationBasedTraining

from vornaquill.ray_tune import ParetoPBT

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from local import SMOKE, interval, seeds  # noqa: E402
from loop import hypervolume  # noqa: E402
from workloads import Mnist1dMLP  # noqa: E402


def trainable(config):
    w = Mnist1dMLP(**{**config["sizes"], "trials": 1})
    cfg = [{k: config[k] for k in w.domains}]
    rng, step = np.random.default_rng(), 0
    if checkpoint := tune.get_checkpoint():
        with checkpoint.as_directory() as folder, np.load(os.path.join(folder, "state.npz")) as f:
            state, step = {k: f[k] for k in f.files if k != "step"}, int(f["step"])
    else:
        state = w.start(cfg, [rng])
    while step < w.reports:
        step += 1
        w.train(state, cfg, [rng])
        result = {k: float(v) for k, v in w.report(state, cfg, [rng])[0].items()}
        result["sum"] = result["precision"] + result["recall"]
        if step % w.interval and step < w.reports:
            tune.report(result)
            continue
        result["true_precision"], result["true_recall"] = (float(v) for v in w.truth(state, cfg)[0])
        with tempfile.TemporaryDirectory() as folder:
            np.savez(os.path.join(folder, "state.npz"), step=step, **state)
            tune.report(result, checkpoint=tune.Checkpoint.from_directory(folder))


def scheduler(arm: str, seed: int, w: Mnist1dMLP):
    mutations = {k: (tune.loguniform if log else tune.uniform)(lo, hi) for k, (lo, hi, log) in w.domains.items()}
    pbt = dict(hyperparam_mutations=mutations, log_config=False, time_attr="training_iteration",
               perturbation_interval=w.interval, synch=True, quantile_fraction=0.25)
    if arm == "ray-sum":
        return PopulationBasedTraining(metric="sum", mode="max", **pbt), mutations
    _, noise, *prior = arm.split("-")
    return ParetoPBT(w.metrics, noise=noise, prior="population" if prior else None, seed=seed, **pbt), mutations


def run(arm: str, seed: int, storage: str, w: Mnist1dMLP, sizes: dict) -> dict:
    random.seed(seed)
    np.random.seed(seed)  # noqa: NPY002 - Ray's PBT draws configurations and perturbations from these
    sched, mutations = scheduler(arm, seed, w)
    tuner = tune.Tuner(
        tune.with_resources(trainable, {"cpu": 2 / w.trials}),
        param_space={**mutations, "sizes": sizes},
        tune_config=tune.TuneConfig(scheduler=sched, num_samples=w.trials, reuse_actors=True),
        run_config=tune.RunConfig(storage_path=storage, verbose=0,
                                  checkpoint_config=tune.CheckpointConfig(num_to_keep=None)),
    )
    start = time.perf_counter()
    results = tuner.fit()
    finals = [(r.metrics["true_precision"], r.metrics["true_recall"]) for r in results
              if "true_precision" in (r.metrics or {})]
    return {"arm": arm, "seed": seed, "wall_s": time.perf_counter() - start, "trials": len(finals),
            "errors": len(results.errors),
            "hypervolume": hypervolume(np.array(finals).reshape(-1, 2), w.truth_ref, -np.ones(2))}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", default="0-4")
    parser.add_argument("--arms", default="pareto-reported,pareto-none")
    parser.add_argument("--smoke", action="store_true", help="tiny sizes")
    parser.add_argument("--out", default="bench/results/pbt-ray-mnist1d.jsonl")
    args = parser.parse_args()
    sizes = dict(SMOKE) if args.smoke else {}
    w = Mnist1dMLP(**sizes)  # fills the data cache before the workers start
    for module in ("local", "loop", "workloads"):
        cloudpickle.register_pickle_by_value(sys.modules[module])
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False, logging_level="ERROR")
    names = args.arms.split(",")
    rows: dict[str, dict[int, float]] = {arm: {} for arm in names}
    with tempfile.TemporaryDirectory() as storage, open(args.out, "a") as f:
        for seed in seeds(args.seeds):
            for arm in names:
                row = run(arm, seed, storage, w, sizes)
                rows[arm][seed] = row["hypervolume"]
                f.write(json.dumps(row) + "\n")
                print(json.dumps(row), flush=True)
    ray.shutdown()
    base = rows[names[0]]
    for arm in names[1:]:
        diff = np.array([base[s] - rows[arm][s] for s in base])
        mean, low, high = interval(diff)
        print(f"{names[0]} minus {arm}: {mean:+.4f} [{low:+.4f}, {high:+.4f}] (n = {len(diff)}, not paired per sample)")


if __name__ == "__main__":
    main()
