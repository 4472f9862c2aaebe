"""The guesser network in PyTorch, layer for layer what the module computes, and its export.

The module runs: stem conv -> residual blocks (conv, group norm, GELU, conv, group norm,
add, GELU) -> per-channel mean and max over the grid plus two extras -> a three-layer
perceptron with 2P outputs. Convolutions are cross-correlations with zero padding
floor((K-1)d/2) on both sides, which keeps the length for the odd kernel used here;
group norm uses the population variance and eps 1e-5; GELU is the tanh form.
"""

from __future__ import annotations

import numpy as np
import torch
from support.eisnn_format import F16, F32, scaling_rows
from torch import nn

N_GRID, KERNEL, GROUPS, DILATIONS = 64, 5, 8, (1, 2, 4, 8)
ALPHA_MIN, ALPHA_MAX = 0.05, 1.0


def _conv(c_in: int, c_out: int, dilation: int) -> nn.Conv1d:
    return nn.Conv1d(c_in, c_out, KERNEL, padding=(KERNEL - 1) * dilation // 2, dilation=dilation)


class Block(nn.Module):
    def __init__(self, channels: int, dilation: int):
        super().__init__()
        self.conv1 = _conv(channels, channels, dilation)
        self.norm1 = nn.GroupNorm(GROUPS, channels, eps=1e-5)
        self.conv2 = _conv(channels, channels, dilation)
        self.norm2 = nn.GroupNorm(GROUPS, channels, eps=1e-5)
        self.act = nn.GELU(approximate="tanh")

    def forward(self, x):
        h = self.act(self.norm1(self.conv1(x)))
        h = self.norm2(self.conv2(h))
        return self.act(x + h)


class GuesserNet(nn.Module):
    def __init__(self, channels: int, n_params: int):
        super().__init__()
        hidden = 4 * channels
        self.stem = _conv(3, channels, 1)
        self.blocks = nn.ModuleList(Block(channels, d) for d in DILATIONS)
        self.head = nn.Sequential(
            nn.Linear(2 * channels + 2, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, hidden),
            nn.GELU(approximate="tanh"),
            nn.Linear(hidden, 2 * n_params),
        )

    def forward(self, channels, extras):
        """[B, 3, G] features and [B, 2] extras -> [B, 2P]: P means, then P log-variances."""
        x = self.stem(channels)
        for block in self.blocks:
            x = block(x)
        pooled = torch.cat([x.mean(dim=2), x.amax(dim=2), extras], dim=1)
        return self.head(pooled)


def export_tensors(
    net: GuesserNet,
    circuit: str,
    param_names: list[str],
    target_mean: np.ndarray,
    target_std: np.ndarray,
) -> tuple[dict[str, str], dict[str, tuple[np.ndarray, int]]]:
    """Metadata and tensors of the weight file: network in binary16, tables in binary32."""
    scaling, log_params = scaling_rows(param_names)
    metadata = {
        "circuit": circuit,
        "param_names": ",".join(param_names),
        "estimator": "reactive_centroid",
        "n_grid": str(N_GRID),
        "channels": str(net.stem.out_channels),
        "kernel": str(KERNEL),
        "groups": str(GROUPS),
        "dilations": ",".join(str(d) for d in DILATIONS),
        "alpha_min": repr(ALPHA_MIN),
        "alpha_max": repr(ALPHA_MAX),
    }
    tensors = {
        "target_mean": (np.asarray(target_mean, dtype=np.float64), F32),
        "target_std": (np.asarray(target_std, dtype=np.float64), F32),
        "log_params": (log_params, F32),
        "scaling": (scaling, F32),
    }
    for name, value in net.state_dict().items():
        tensors[f"w.{name}"] = (value.detach().double().numpy(), F16)
    return metadata, tensors


def load_tensors(net: GuesserNet, tensors) -> None:
    """The network weights of a decoded weight file (the inverse of export_tensors)."""
    state = {
        name: torch.from_numpy(tensors[f"w.{name}"].data.reshape(tuple(value.shape))).to(
            value.dtype
        )
        for name, value in net.state_dict().items()
    }
    net.load_state_dict(state)
