"""How far apart in training are the trials ParetoPBT compares in asynchronous mode, and does being
ahead decide?

    .venv-ray/bin/python bench/pbt/alignment.py [--seeds 5]

Fixed before the runs: 6 trials at 1/3 CPU each (all run at once on 2 CPUs), 24 iterations,
asynchronous PBT (synch=False), perturbation interval 4 iterations, quantile_fraction 0.25,
ParetoPBT(noise="window", window=4) on (f1, f2) of the toy problem of bench/pbt/run.py (progress
s grows by g(lr) (1 - s) per iteration; f1 = (1 - s) + w^2, f2 = (1 - s) + (1 - w)^2, Gaussian
noise of standard deviation 0.05 + 0.5 lr; lr ~ logU(0.01, 1), w ~ U(0, 1)). A trial's speed
belongs to its slot, not to its configuration: trial i sleeps 0.05, 0.1 or 0.2 s per iteration
(i mod 3), and keeps that speed when it clones another. Seeds 0..n-1 seed the scheduler and the
sampling of the configurations.

Measured per selection, from the history file (SelectionRecord.progress): the spread of the
compared trials' progress (max - min of training_iteration at their estimates, in perturbation
intervals); and for every (winner, loser) pair of a selection at different progress, whether the
winner was the one further ahead. Reported per run and as the mean over runs with a 95 % t interval.
If progress did not matter, winners would be ahead in half the pairs. Synchronous mode compares
at equal progress by construction (spread 0) and is not run.
"""

from __future__ import annotations

import argparse
import math
import random
import statistics
import sys
import tempfile
import time

import numpy as np
import ray
from ray import cloudpickle, tune

from run import toy  # bench/pbt/run.py's toy trainable, beside this script
from vornaquill.ray_tune import ParetoPBT, load_history

ITERATIONS, INTERVAL, TRIALS = 24, 4, 6
SPEEDS = (0.05, 0.1, 0.2)
T975 = {2: 12.706, 3: 4.303, 4: 3.182, 5: 2.776, 6: 2.571, 7: 2.447, 8: 2.365, 9: 2.306, 10: 2.262}


def run(seed: int, storage: str) -> dict[str, float]:
    random.seed(seed)
    np.random.seed(seed)  # noqa: NPY002  (Tune samples configurations from the global generator)
    scheduler = ParetoPBT({"f1": "min", "f2": "min"}, noise="window", window=4, seed=seed, synch=False,
                          time_attr="training_iteration", perturbation_interval=INTERVAL, quantile_fraction=0.25,
                          hyperparam_mutations={"lr": tune.loguniform(0.01, 1.0), "w": tune.uniform(0.0, 1.0)})
    tune.Tuner(
        tune.with_resources(toy, {"cpu": 1 / 3}),
        param_space={"lr": tune.loguniform(0.01, 1.0), "w": tune.uniform(0.0, 1.0), "iterations": ITERATIONS,
                     "interval": INTERVAL, "step_seconds": SPEEDS},
        tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=TRIALS, reuse_actors=True),
        run_config=tune.RunConfig(name=f"seed{seed}", storage_path=storage, verbose=0,
                                  checkpoint_config=tune.CheckpointConfig(num_to_keep=None)),
    ).fit()
    spreads, ahead, pairs = [], 0, 0
    for record in load_history(scheduler.history_path):
        at = dict(zip(record.trial_ids, record.progress))
        spreads.append((max(record.progress) - min(record.progress)) / INTERVAL)
        for w in record.winners:
            for lose in record.losers:
                if at[w] != at[lose]:
                    pairs += 1
                    ahead += at[w] > at[lose]
    return {"selections": len(spreads), "exploits": scheduler.exploits, "spread_mean": statistics.fmean(spreads),
            "spread_max": max(spreads), "pairs": pairs, "winner_ahead": ahead / pairs if pairs else math.nan}


def interval(values: list[float]) -> str:
    mean = statistics.fmean(values)
    half = T975[len(values)] * statistics.stdev(values) / math.sqrt(len(values))
    return f"{mean:.3f} (95 % CI {mean - half:.3f} to {mean + half:.3f})"


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seeds", type=int, default=5)
    args = parser.parse_args()
    cloudpickle.register_pickle_by_value(sys.modules[__name__])
    ray.init(address="local", num_cpus=2, include_dashboard=False, log_to_driver=False)
    rows = []
    with tempfile.TemporaryDirectory() as storage:
        for seed in range(args.seeds):
            start = time.perf_counter()
            rows.append(run(seed, storage))
            print(f"seed {seed}: {rows[-1]} ({time.perf_counter() - start:.0f} s)", flush=True)
    ray.shutdown()
    print(f"Ray {ray.__version__}, {args.seeds} runs")
    print("mean spread of compared progress (intervals):", interval([r["spread_mean"] for r in rows]))
    print("largest spread per run (intervals):", [r["spread_max"] for r in rows])
    ahead = [r["winner_ahead"] for r in rows if r["pairs"]]
    print(f"winner ahead in a (winner, loser) pair at different progress ({sum(r['pairs'] for r in rows)} pairs):",
          interval(ahead))


if __name__ == "__main__":
    main()
