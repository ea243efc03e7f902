"""Every private name of Ray Tune that `ParetoPBT` uses, in one place.

`ParetoPBT` subclasses `ray.tune.schedulers.PopulationBasedTraining`: it overrides and calls private
hooks of it, reads and writes private attributes of it and fields of its per-trial state, and
resolves checkpoints Ray is still saving. None of these is Ray's public API; any Ray release may
change them. The rest of the package reaches them only through this module, and `hook_drift()`
checks all of them against the installed Ray (`make test-ray` and `make test-ray-oldest` run it on
the newest and the oldest supported Ray).
"""

from __future__ import annotations

import inspect
import os
from typing import Any

import ray  # type: ignore[import-not-found,unused-ignore]

# The Ray releases this module was checked against; the `ray` extra in pyproject.toml says the same.
SUPPORTED_RAY = "2.7 to 2.60"

try:
    from ray.train._internal.session import _FutureTrainingResult  # type: ignore[import-not-found,unused-ignore]
    from ray.train._internal.storage import StorageContext  # type: ignore[import-not-found,unused-ignore]
    from ray.tune.execution.tune_controller import TuneController  # type: ignore[import-not-found,unused-ignore]
    from ray.tune.experiment import Trial  # type: ignore[import-not-found,unused-ignore]
    from ray.tune.schedulers import PopulationBasedTraining, TrialScheduler  # type: ignore[import-not-found,unused-ignore]
    from ray.tune.schedulers.pbt import _PBTTrialState  # type: ignore[import-not-found,unused-ignore]
except ImportError as error:
    raise ImportError(
        f"vornaquill.ray_tune supports Ray {SUPPORTED_RAY}; the installed Ray {ray.__version__} lacks what it "
        f"needs ({error})"
    ) from error

__all__ = [
    "PopulationBasedTraining", "Trial", "TrialScheduler", "hook_drift", "latest_checkpoint", "open_experiment_file",
    "resolve", "settle_pause",
]

# The hooks of PopulationBasedTraining that ParetoPBT overrides or calls, with their parameters.
HOOKS = {
    "_save_trial_state": ("self", "state", "time", "result", "trial"),
    "_checkpoint_or_exploit": ("self", "trial", "tune_controller", "upper_quantile", "lower_quantile"),
    "_exploit": ("self", "tune_controller", "trial", "trial_to_clone"),
    "_quantiles": ("self",),
    "choose_trial_to_run": ("self", "tune_controller"),
    "on_trial_result": ("self", "tune_controller", "trial", "result"),
    "on_trial_add": ("self", "tune_controller", "trial"),
}
# Attributes of a PopulationBasedTraining instance that ParetoPBT reads or writes.
ATTRIBUTES = (
    "_trial_state",  # Trial -> _PBTTrialState
    "_next_perturbation_sync",  # the time of the next synchronous perturbation
    "_synch",
    "_quantile_fraction",
    "_num_checkpoints",
    "_require_attrs",
    "_perturbation_interval",
)
# Fields of the per-trial state (`_PBTTrialState`) that ParetoPBT reads or writes.
STATE_FIELDS = ("last_checkpoint", "last_train_time", "last_perturbation_time", "last_result")
# Decisions Tune's controller keeps per trial id: queued for a batch of results, cached while saving.
CONTROLLER_ATTRIBUTES = ("_queued_trial_decisions", "_cached_trial_decisions")
# Where a trial's experiment lives: Trial.storage (a StorageContext) and Trial.local_experiment_path.
STORAGE_ATTRIBUTES = ("experiment_fs_path", "storage_filesystem")


def hook_drift() -> list[str]:
    """Differences between the installed Ray's private names and the ones ParetoPBT was written for
    (empty when none)."""
    problems = []
    for name, params in HOOKS.items():
        hook = getattr(PopulationBasedTraining, name, None)
        if hook is None:
            problems.append(f"PopulationBasedTraining.{name} no longer exists")
            continue
        found = tuple(inspect.signature(hook).parameters)
        if found != params:
            problems.append(f"PopulationBasedTraining.{name}{found} changed; ParetoPBT expects {params}")
    probe = PopulationBasedTraining(metric="m", mode="min", hyperparam_mutations={"x": [0, 1]}, synch=True)
    problems += [f"PopulationBasedTraining().{a} no longer exists" for a in ATTRIBUTES if not hasattr(probe, a)]
    trial = Trial("__fake", config={}, stub=True)
    state = _PBTTrialState(trial)
    problems += [f"_PBTTrialState.{f} no longer exists" for f in STATE_FIELDS if not hasattr(state, f)]
    if not hasattr(trial, "storage"):
        problems.append("Trial().storage no longer exists")
    if not hasattr(Trial, "latest_checkpoint_result"):
        problems.append("Trial.latest_checkpoint_result no longer exists")
    if not hasattr(Trial, "local_experiment_path"):
        problems.append("Trial.local_experiment_path no longer exists")
    storage_init = inspect.getsource(StorageContext.__init__)
    problems += [f"StorageContext.{a} no longer exists" for a in STORAGE_ATTRIBUTES
                 if not hasattr(StorageContext, a) and f"self.{a}" not in storage_init]
    controller_init = inspect.getsource(TuneController.__init__)
    problems += [f"TuneController().{a} no longer exists" for a in CONTROLLER_ATTRIBUTES if a not in controller_init]
    if not callable(getattr(_FutureTrainingResult, "resolve", None)):
        problems.append("_FutureTrainingResult.resolve no longer exists")
    if problems:
        problems.append(f"(installed Ray {ray.__version__}; ParetoPBT supports Ray {SUPPORTED_RAY})")
    return problems


def resolve(state: Any) -> None:
    """Wait for a checkpoint Ray is still saving for this trial state, as Ray's own exploit does."""
    if isinstance(state.last_checkpoint, _FutureTrainingResult):
        resolved = state.last_checkpoint.resolve()
        state.last_result = resolved.metrics if resolved else state.last_result
        state.last_checkpoint = resolved.checkpoint if resolved else None


def latest_checkpoint(trial: Trial) -> Any:
    """The trial's latest checkpoint with the result it was saved with (Ray's `_TrainingResult`:
    `.checkpoint`, `.metrics`), or None."""
    return trial.latest_checkpoint_result


def open_experiment_file(trial: Trial, name: str) -> tuple[str, bytes] | None:
    """(path to append to, content stored so far) of the file `name` in the experiment folder of `trial`;
    None for a trial without storage (not run by Tune).

    Ray keeps the experiment folder in its storage (`storage_path`) and a driver's copy of it (the
    local experiment path: `~/ray_results/<name>` on Ray before 2.10, a per-session folder later),
    which it uploads over the stored one. On this machine's filesystem the file is appended to in
    storage itself, so that what is written survives the driver, and a copy left in the driver's
    folder by an earlier run is removed (Ray would upload it over the stored file). With remote
    storage the driver's copy is appended to and uploaded by Ray; it starts as the stored text."""
    storage = getattr(trial, "storage", None)
    if storage is None:
        return None
    fs, stored_path = storage.storage_filesystem, f"{storage.experiment_fs_path}/{name}"
    try:
        with fs.open_input_stream(stored_path) as f:
            data = bytes(f.read())
    except OSError:  # pyarrow's missing file is a FileNotFoundError
        data = b""
    driver_copy = os.path.join(trial.local_experiment_path, name)
    if fs.type_name == "local":
        if os.path.exists(driver_copy) and os.path.abspath(driver_copy) != os.path.abspath(stored_path):
            os.remove(driver_copy)
        return stored_path, data
    os.makedirs(os.path.dirname(driver_copy), exist_ok=True)
    with open(driver_copy, "wb") as f:
        f.write(data)
    return driver_copy, data


def settle_pause(tune_controller: Any, trial: Trial) -> None:
    """After Ray's exploit paused a running trial (and stopped its actor), leave Tune no decision that
    would act otherwise on it: a CONTINUE queued for an earlier result of the same batch would train
    the stopped actor (KeyError in Tune, Ray issue 58483); a STOP cached because the trial was saving
    would terminate it once the save is done (Ray issue 57906). The pause stands in both cases."""
    queued = getattr(tune_controller, "_queued_trial_decisions", None)
    if isinstance(queued, dict):
        queued.pop(trial.trial_id, None)
    cached = getattr(tune_controller, "_cached_trial_decisions", None)
    if isinstance(cached, dict) and cached.get(trial.trial_id) == TrialScheduler.STOP:
        cached[trial.trial_id] = TrialScheduler.PAUSE
