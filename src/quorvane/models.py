"""Model files written by ``train``: what they hold and how they are read back."""

from __future__ import annotations

import math
import os
import stat
import warnings
from collections.abc import Callable, Mapping, Sequence
from pathlib import Path
from typing import Any

from .errors import CliError, check_regular_file, os_reason
from .figures import tavrine as _tavrine
from .outputs import Outputs, written_together
from .symbols import LABEL_KEYS

MODEL_FORMAT = "quorvane-shmoo-model"
MODEL_VERSION = 1


def bundled_model_path() -> Path:
    """The model the package ships, used wherever no model file is given."""
    return Path(__file__).with_name("data") / "bundled_model.pt"


def model_or_bundled(path: Path | None) -> Path:
    """The model file a command scores with: the one given, else the bundled one."""
    if path is not None:
        return path
    bundled = bundled_model_path()
    if not bundled.is_file():
        raise CliError(f"the bundled model {bundled} is missing (a broken installation?); reinstall quorvane "
                       "or give a model file with --model FILE")
    return bundled


# torch.save writes a zip archive; a datalog is text and never starts so.
_ZIP_MAGIC = b"PK\x03\x04"
_MODEL_SUFFIXES = (".pt", ".pth")


def reads_as_model_file(path: Path) -> bool:
    """Whether a command's first file argument is a model rather than a
    datalog or CSV: a regular file starting as a zip archive, or a name ending
    in .pt or .pth (so that a missing or broken model file is reported as
    one). Anything else, a FIFO or device included, is never opened here."""
    if path.suffix.lower() in _MODEL_SUFFIXES:
        return True
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return False
        with open(path, "rb") as fh:
            return fh.read(len(_ZIP_MAGIC)) == _ZIP_MAGIC
    except (OSError, ValueError):
        return False


def training_info(**fields: Any) -> dict[str, Any]:
    """What every model file says of its training, with `fields` of its own."""
    from . import __version__
    from .symbols import POINT_SYMBOLS

    return {"point_symbols": dict(POINT_SYMBOLS), "optimizer": "Adam", "loss": "MSELoss",
            "quorvane_version": __version__, **fields}


def save_model(path: Path, net: Any, info: dict[str, Any], outputs: Outputs | None = None) -> None:
    """Writes the model file through the output helper (with `outputs`: staged
    there, renamed with the other files of that block)."""
    import torch

    payload = {
        "format": MODEL_FORMAT,
        "version": MODEL_VERSION,
        "network": "AlexNet",
        "labels": list(LABEL_KEYS),
        "state_dict": {k: v.detach().clone() for k, v in net.state_dict().items()},
        **info,
    }
    if outputs is None:
        with written_together() as alone:
            save_model(path, net, info, alone)
        return
    try:
        torch.save(payload, outputs.binary(path))
    except OSError as exc:
        raise CliError(f"cannot write model file {path}: {os_reason(exc)}") from None
    except RuntimeError as exc:
        # The tensor library reports a failed write (a full disk, say) as a
        # RuntimeError of its archive writer, raised while handling the
        # file's own OSError: that one says what happened.
        cause = _os_error_behind(exc)
        if cause is not None:
            reason = os_reason(cause)
        else:
            reason = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CliError(f"cannot write model file {path}: {reason}") from None


def _os_error_behind(exc: BaseException) -> OSError | None:
    seen: set[int] = set()
    current: BaseException | None = exc
    while current is not None and id(current) not in seen:
        if isinstance(current, OSError):
            return current
        seen.add(id(current))
        current = current.__cause__ or current.__context__
    return None


def load_model(path: Path, scoring_only: bool = False) -> tuple[Any, dict[str, Any]]:
    """Loads a model file written by ``train`` into a fresh AlexNet in evaluation
    mode. Only tensors and plain values are accepted (weights_only). With
    `scoring_only` the network may be the start-up-light stand-in of
    ``inference``, which only scores plots."""
    import torch

    check_regular_file(path, "model file")
    try:
        # A file that is no model at all makes the library warn before it
        # fails; the one-line error below says everything that matters.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            payload = torch.load(path, map_location="cpu", weights_only=True)
    except OSError as exc:
        raise CliError(f"cannot read model file {path}: {os_reason(exc)}") from None
    except Exception as exc:  # unpickling errors come in many classes
        raise CliError(f"{path} is not a quorvane model file ({type(exc).__name__})") from None
    if not isinstance(payload, dict) or payload.get("format") != MODEL_FORMAT:
        raise CliError(f"{path} is not a quorvane model file")
    if payload.get("version") != MODEL_VERSION:
        raise CliError(f"{path} has model format version {payload.get('version')}; this quorvane reads {MODEL_VERSION}")
    if payload.get("labels") != list(LABEL_KEYS):
        raise CliError(f"{path} was trained on other labels: {payload.get('labels')}")
    broken = first_non_finite_weight(payload.get("state_dict"))
    if broken is not None:
        # Such a network scores every plot NaN, which reads as a verdict for
        # each of them; earlier versions of train could write one.
        raise CliError(f"model {path} holds non-finite weights (first: {broken}); retrain it")
    if scoring_only:
        from .inference import InferenceAlexNet

        lean = InferenceAlexNet.from_state_dict(payload.get("state_dict"))
        if lean is not None:
            return lean, payload
    net = _tavrine().AlexNet()
    try:
        net.load_state_dict(payload["state_dict"])
    except (KeyError, RuntimeError, TypeError, AttributeError) as exc:
        first = str(exc).strip().splitlines()[0] if str(exc).strip() else type(exc).__name__
        raise CliError(f"{path} does not hold AlexNet weights: {first}") from None
    net.eval()
    return net, payload


def first_non_finite_weight(state: Any) -> str | None:
    """Name of the first floating-point tensor of a state dict holding NaN or
    an infinity; None when all are finite (or `state` is no mapping, which the
    network's loader reports)."""
    import torch

    if not isinstance(state, Mapping):
        return None
    for name, value in state.items():
        if isinstance(value, torch.Tensor) and value.dtype.is_floating_point and not bool(value.isfinite().all()):
            return str(name)
    return None


def check_finite_scores(scores: Sequence[Sequence[float]], name: Callable[[int], str]) -> None:
    """Stops the run at the first row of network scores holding NaN or an
    infinity (finite weights can still overflow on extreme inputs): such scores
    compare false with every threshold and would pass for a verdict.
    `name(i)` says which plot row i scored."""
    for i, row in enumerate(scores):
        if not all(math.isfinite(s) for s in row):
            raise CliError(f"the model's scores for {name(i)} are not finite numbers "
                           "(the weights or the plot's values overflow); no verdict can be given")


def plot_name(plot: Any) -> str:
    """A datalog plot as failure messages name it."""
    from .extraction import visible

    return f"datalog {visible(str(plot.datalog))} site {plot.site} plot {plot.plot}"


def model_calibration(payload: Mapping[str, Any], path: Path) -> Mapping[str, Any] | None:
    """The calibration a loaded model file carries (None in files of earlier
    versions); a broken one stops the run, naming the file."""
    from .calibration import CALIBRATION_KEY, check_calibration

    calibration = payload.get(CALIBRATION_KEY)
    if calibration is None:
        return None
    problem = check_calibration(calibration)
    if problem is not None:
        raise CliError(f"model file {path}: {problem}; retrain it or give another model")
    return calibration
