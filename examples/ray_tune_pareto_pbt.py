"""Multi-objective population-based training on Ray Tune with vornaquill's ParetoPBT (CPU only).

    pip install 'vornaquill[ray]'
    python examples/ray_tune_pareto_pbt.py

A cheap function trainable with three noisy objectives: a loss to minimise, a latency that grows with
the model width, and an accuracy to maximise. It reports a checkpoint at every perturbation point and
resumes from `get_checkpoint()`, so that PBT can clone it. Runs on Ray 2.7 to 2.60; on a cluster, pass
its address (`python examples/ray_tune_pareto_pbt.py --address auto --storage /shared/ray_results`).
`--plot history.png` draws the selections (needs matplotlib).
"""

import argparse
import json
import math
import os
import random
import tempfile

import ray
from ray import tune

try:  # Ray >= 2.44; older Ray has these in ray.train only
    from ray.tune import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report
except ImportError:
    from ray.train import Checkpoint, CheckpointConfig, RunConfig, get_checkpoint, report

from vornaquill.ray_tune import ParetoPBT, load_history, plot_history

INTERVAL = 4  # training iterations between perturbation points
ITERATIONS = 24


def train(config):
    rng = random.Random()
    progress, step = 0.0, 0
    checkpoint = get_checkpoint()
    if checkpoint:  # a fresh start, a resumed trial or a clone of a better one
        with checkpoint.as_directory() as folder, open(os.path.join(folder, "state.json")) as f:
            progress, step = json.load(f)
    while True:
        step += 1
        # Larger learning rates train faster until they overshoot; wider models learn more but are slower.
        lr, width = config["lr"], config["width"]
        progress += lr * (1.0 - progress) - 0.3 * max(lr - 0.5, 0.0) * rng.random()
        loss = (1.0 - progress) + 0.5 / width + rng.gauss(0.0, 0.05)
        metrics = {
            "loss": loss,
            "latency_ms": 2.0 * width + rng.gauss(0.0, 0.5),
            "accuracy": 1.0 - math.exp(-3.0 * progress * min(width, 4.0) / 4.0) + rng.gauss(0.0, 0.02),
        }
        if step % INTERVAL == 0:
            with tempfile.TemporaryDirectory() as folder:
                with open(os.path.join(folder, "state.json"), "w") as f:
                    json.dump([progress, step], f)
                report(metrics, checkpoint=Checkpoint.from_directory(folder))
        else:
            report(metrics)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", help="a running Ray cluster (e.g. auto); default: a local Ray with 2 CPUs")
    parser.add_argument("--storage", help="storage_path shared by every node (default: ~/ray_results)")
    parser.add_argument("--plot", metavar="PNG", help="draw the selections into this file")
    args = parser.parse_args()
    if args.address:
        ray.init(address=args.address)
    else:
        ray.init(address="local", num_cpus=2, include_dashboard=False)  # a Ray of its own, even beside a running one
    scheduler = ParetoPBT(
        metrics={"loss": "min", "latency_ms": "min", "accuracy": "max"},
        noise="window",
        window=4,
        seed=0,
        time_attr="training_iteration",
        perturbation_interval=INTERVAL,
        hyperparam_mutations={"lr": tune.loguniform(0.01, 1.0), "width": [1, 2, 4, 8, 16]},
        synch=True,
    )
    tuner = tune.Tuner(
        train,
        param_space={"lr": tune.loguniform(0.01, 1.0), "width": tune.choice([1, 2, 4, 8, 16])},
        tune_config=tune.TuneConfig(scheduler=scheduler, num_samples=6, reuse_actors=True),
        run_config=RunConfig(
            storage_path=args.storage,
            stop={"training_iteration": ITERATIONS},
            # PBT restores losers from the winners' checkpoints: keep them all.
            checkpoint_config=CheckpointConfig(num_to_keep=None),
            verbose=0,
        ),
    )
    results = tuner.fit()
    print(scheduler.debug_string())
    # Every selection is also in the experiment folder, as it happened (`load_history`, `plot_history`).
    for record in load_history(scheduler.history_path)[-2:]:
        print(f"selection {record.number}: winners {record.winners}, losers {record.losers}")
    if args.plot:
        plot_history(scheduler.history_path, ("loss", "accuracy")).savefig(args.plot, dpi=90)
    for result in results:
        m = result.metrics
        print(f"{result.config}  loss {m['loss']:.3f}  latency {m['latency_ms']:.1f} ms  accuracy {m['accuracy']:.3f}")
    ray.shutdown()


if __name__ == "__main__":
    main()
