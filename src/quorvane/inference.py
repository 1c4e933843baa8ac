"""A trained AlexNet's forward pass in evaluation mode, from its weights alone.

The classifier module builds its networks on torchvision and imports
matplotlib and pandas when it loads: seconds of start-up that a triage of one
datalog would spend before its first plot. Triage only scores plots with a
trained model, so it runs the same computation through the tensor library's
functional operations instead (``load_model(..., scoring_only=True)``; export
and classify load the module's AlexNet). The result equals the module's
AlexNet in evaluation mode (the tests compare the two on random weights and
plot sizes); weights of any other shape make ``from_state_dict`` decline, and
the caller builds the module's AlexNet, whose loader reports the mismatch.
"""

from __future__ import annotations

from typing import Any, Mapping

# (name, input channels, output channels, padding) of the convolution stages,
# then (name, inputs, outputs) of the fully connected ones; the last has no
# normalisation and no rectifier.
CONV_STAGES = (("conv1", 1, 32, 1), ("conv2", 32, 16, 1), ("conv3", 16, 8, 1), ("conv4", 8, 4, 0))
FC_STAGES = (("fc1", 84, 42), ("fc2", 42, 21))
OUTPUT_STAGE = ("fc3", 21, 6)
PYRAMID = (4, 2, 1)
BATCH_NORM_EPS = 1e-5


def _expected_shapes() -> dict[str, tuple[int, ...]]:
    shapes: dict[str, tuple[int, ...]] = {}

    def norm(prefix: str, n: int) -> None:
        for key in ("weight", "bias", "running_mean", "running_var"):
            shapes[f"{prefix}.1.{key}"] = (n,)
        shapes[f"{prefix}.1.num_batches_tracked"] = ()

    for name, c_in, c_out, _ in CONV_STAGES:
        shapes[f"{name}.0.weight"] = (c_out, c_in, 3, 3)
        shapes[f"{name}.0.bias"] = (c_out,)
        norm(name, c_out)
    for name, n_in, n_out in FC_STAGES:
        shapes[f"{name}.0.weight"] = (n_out, n_in)
        shapes[f"{name}.0.bias"] = (n_out,)
        norm(name, n_out)
    name, n_in, n_out = OUTPUT_STAGE
    shapes[f"{name}.0.weight"] = (n_out, n_in)
    shapes[f"{name}.0.bias"] = (n_out,)
    return shapes


class InferenceAlexNet:
    """Scores a batch of plots (N x 1 x rows x cols, float32) as the trained
    AlexNet does in evaluation mode."""

    def __init__(self, weights: dict[str, Any]) -> None:
        self._w = weights

    @classmethod
    def from_state_dict(cls, state: Any) -> "InferenceAlexNet | None":
        """None unless `state` holds exactly AlexNet's floating-point weights."""
        import torch

        expected = _expected_shapes()
        if not isinstance(state, Mapping) or set(state) != set(expected):
            return None
        weights = {}
        for key, shape in expected.items():
            tensor = state[key]
            if type(tensor) is not torch.Tensor or tuple(tensor.shape) != shape:
                return None
            if key.endswith("num_batches_tracked"):
                continue
            if not tensor.dtype.is_floating_point or tensor.device.type != "cpu":
                return None
            weights[key] = tensor.detach().to(torch.float32)
        return cls(weights)

    def eval(self) -> "InferenceAlexNet":
        return self

    def __call__(self, x: Any) -> Any:
        import torch
        import torch.nn.functional as F

        w = self._w

        def normalised(prefix: str, y: Any) -> Any:
            return F.relu(F.batch_norm(y, w[f"{prefix}.1.running_mean"], w[f"{prefix}.1.running_var"],
                                       w[f"{prefix}.1.weight"], w[f"{prefix}.1.bias"], training=False,
                                       eps=BATCH_NORM_EPS))

        for name, _, _, padding in CONV_STAGES:
            x = normalised(name, F.conv2d(x, w[f"{name}.0.weight"], w[f"{name}.0.bias"], padding=padding))
        n = x.size(0)
        x = torch.cat([F.adaptive_max_pool2d(x, (k, k)).view(n, -1) for k in PYRAMID], 1)
        for name, _, _ in FC_STAGES:
            x = normalised(name, F.linear(x, w[f"{name}.0.weight"], w[f"{name}.0.bias"]))
        name = OUTPUT_STAGE[0]
        return F.linear(x, w[f"{name}.0.weight"], w[f"{name}.0.bias"])
