"""Reading and writing EISNN001 weight files.

Byte layout (little-endian throughout, nothing padded or aligned):

    magic            8 bytes, b"EISNN001"
    metadata count   u32, then that many (key, value) string pairs
    tensor count     u32, then that many tensor records

    string           u32 byte length, then UTF-8 bytes
    tensor record    name (string), encoding (u8), rank (u8), rank x u32 dims
                     (outermost first), then the data of N = max(1, prod(dims))
                     elements:
                       encoding 0   N x binary32
                       encoding 1   N x binary16
                       encoding 2   a binary32 scale s, then N x int8 q; value s*q

A tensor of rank 0, or one with a zero dimension, still stores one element.
Readers ignore anything after the last tensor.
"""

from __future__ import annotations

import io
import os
import struct
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import BinaryIO

import numpy as np

MAGIC = b"EISNN001"
F32, F16, Q8 = 0, 1, 2
ENCODINGS = (F32, F16, Q8)


@dataclass(frozen=True)
class Tensor:
    shape: tuple[int, ...]
    data: np.ndarray  # flat float64, the N stored values in file order
    encoding: int


def _string(text: str) -> bytes:
    raw = text.encode("utf-8")
    return struct.pack("<I", len(raw)) + raw


def _tensor_bytes(name: str, values, encoding: int) -> bytes:
    if encoding not in ENCODINGS:
        raise ValueError(f"unknown tensor encoding {encoding}")
    array = np.asarray(values, dtype=np.float64)
    flat = array.reshape(-1) if array.size else np.zeros(1)
    head = _string(name) + struct.pack(f"<BB{array.ndim}I", encoding, array.ndim, *array.shape)
    if encoding == F32:
        return head + flat.astype("<f4").tobytes()
    if encoding == F16:
        return head + flat.astype("<f2").tobytes()
    # Symmetric int8: the largest magnitude maps to +-127; q is rounded against the
    # stored (binary32) scale so that decoding reproduces the nearest representable value.
    peak = float(np.max(np.abs(flat)))
    scale = np.float32(peak / 127.0 if peak > 0.0 and np.isfinite(peak) else 1.0)
    q = np.clip(np.rint(flat / np.float64(scale)), -127, 127).astype("i1")
    return head + struct.pack("<f", scale) + q.tobytes()


def encode_eisnn(
    metadata: Mapping[str, str] | Sequence[tuple[str, str]],
    tensors: Mapping[str, tuple[np.ndarray, int] | np.ndarray],
) -> bytes:
    """Serialise metadata and tensors; a bare array is stored as binary32.

    Metadata may also be a sequence of pairs, which is written as given, repeats included.
    """
    pairs = list(metadata.items() if isinstance(metadata, Mapping) else metadata)
    out = io.BytesIO()
    out.write(MAGIC)
    out.write(struct.pack("<I", len(pairs)))
    for key, value in pairs:
        out.write(_string(key) + _string(value))
    out.write(struct.pack("<I", len(tensors)))
    for name, item in tensors.items():
        values, encoding = item if isinstance(item, tuple) else (item, F32)
        out.write(_tensor_bytes(name, values, encoding))
    return out.getvalue()


def write_eisnn(destination: str | os.PathLike | BinaryIO, metadata, tensors) -> None:
    """Write to a path, or to an open binary file."""
    data = encode_eisnn(metadata, tensors)
    if hasattr(destination, "write"):
        destination.write(data)
        return
    with open(destination, "wb") as handle:
        handle.write(data)


class _Cursor:
    def __init__(self, data: bytes):
        self.data, self.pos = memoryview(data), 0

    def take(self, n: int) -> bytes:
        if n > len(self.data) - self.pos:
            raise ValueError("weight file is truncated")
        chunk = bytes(self.data[self.pos : self.pos + n])
        self.pos += n
        return chunk

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def string(self) -> str:
        return self.take(self.u32()).decode("utf-8")


def decode_eisnn(data: bytes) -> tuple[dict[str, str], dict[str, Tensor]]:
    """Parse a whole file into (metadata, tensors); later duplicates replace earlier ones."""
    cursor = _Cursor(data)
    if cursor.take(8) != MAGIC:
        raise ValueError("not an eisnn weight file (bad magic bytes)")
    metadata = {}
    for _ in range(cursor.u32()):
        key = cursor.string()
        metadata[key] = cursor.string()
    tensors = {}
    for _ in range(cursor.u32()):
        name = cursor.string()
        encoding, rank = cursor.take(2)
        shape = struct.unpack(f"<{rank}I", cursor.take(4 * rank))
        n = max(1, int(np.prod(shape, dtype=np.int64)))
        if encoding == F32:
            values = np.frombuffer(cursor.take(4 * n), "<f4")
        elif encoding == F16:
            values = np.frombuffer(cursor.take(2 * n), "<f2")
        elif encoding == Q8:
            (scale,) = struct.unpack("<f", cursor.take(4))
            values = np.float64(scale) * np.frombuffer(cursor.take(n), "i1")
        else:
            raise ValueError(f"weight file uses tensor encoding {encoding}")
        tensors[name] = Tensor(tuple(shape), values.astype(np.float64), encoding)
    return metadata, tensors


def read_eisnn(path: str | os.PathLike):
    with open(path, "rb") as handle:
        return decode_eisnn(handle.read())


# Per-field output scaling (resistance power, frequency power, alpha power) and whether
# the network predicts the log10 of the value. A physical value is
# w * R_s^a * omega_s^(b + c * alpha).
_FIELD_SCALING = {
    "r": (1.0, 0.0, 0.0),
    "rg": (1.0, 0.0, 0.0),
    "r_ion": (1.0, 0.0, 0.0),
    "c": (-1.0, -1.0, 0.0),
    "l": (1.0, -1.0, 0.0),
    "aw": (1.0, 0.5, 0.0),
    "z0": (1.0, 0.0, 0.0),
    "tau": (0.0, -1.0, 0.0),
    "q": (-1.0, 0.0, -1.0),
}
_LINEAR_FIELDS = ("alpha", "gamma")


def scaling_rows(param_names: Sequence[str]) -> tuple[np.ndarray, np.ndarray]:
    """(scaling [P, 4], log_params [P]) for the given output names."""
    rows, log_params = [], []
    for name in param_names:
        element, _, field = name.rpartition(".")
        a, b, c = _FIELD_SCALING.get(field, (0.0, 0.0, 0.0))
        index = -1
        if field == "q":
            index = list(param_names).index(f"{element}.alpha")
        rows.append((a, b, c, float(index)))
        log_params.append(0.0 if field in _LINEAR_FIELDS else 1.0)
    return np.array(rows, dtype=np.float64).reshape(-1, 4), np.array(log_params)


def random_guesser(
    circuit: str,
    param_names: Sequence[str],
    channels: int,
    *,
    encoding: int = F16,
    seed: int = 0,
    n_grid: int = 64,
    kernel: int = 5,
    groups: int = 8,
    dilations: Sequence[int] = (1, 2, 4, 8),
    alpha_min: float = 0.05,
    alpha_max: float = 1.0,
) -> tuple[dict[str, str], dict[str, tuple[np.ndarray, int]]]:
    """Metadata and tensors of an untrained guesser with well-conditioned random weights.

    Weights are N(0, 1/fan_in) so activations keep unit order through the stack; the
    output normalisation puts logarithmic outputs within about a decade of the spectrum's
    own scales and exponents around 0.75.
    """
    rng = np.random.default_rng(seed)
    c, k, p, hidden = channels, kernel, len(param_names), 4 * channels

    def normal(*shape, fan_in):
        return rng.normal(0.0, 1.0 / np.sqrt(fan_in), size=shape)

    weights = {
        "w.stem.weight": normal(c, 3, k, fan_in=3 * k),
        "w.stem.bias": normal(c, fan_in=9.0),
    }
    for j in range(len(dilations)):
        for conv in ("conv1", "conv2"):
            weights[f"w.blocks.{j}.{conv}.weight"] = normal(c, c, k, fan_in=c * k)
            weights[f"w.blocks.{j}.{conv}.bias"] = normal(c, fan_in=9.0)
        for norm in ("norm1", "norm2"):
            weights[f"w.blocks.{j}.{norm}.weight"] = 1.0 + normal(c, fan_in=25.0)
            weights[f"w.blocks.{j}.{norm}.bias"] = normal(c, fan_in=25.0)
    for layer, (n_out, n_in) in (("0", (hidden, 2 * c + 2)), ("2", (hidden, hidden))):
        weights[f"w.head.{layer}.weight"] = normal(n_out, n_in, fan_in=n_in)
        weights[f"w.head.{layer}.bias"] = normal(n_out, fan_in=9.0)
    weights["w.head.4.weight"] = normal(2 * p, hidden, fan_in=hidden)
    weights["w.head.4.bias"] = normal(2 * p, fan_in=9.0)

    scaling, log_params = scaling_rows(param_names)
    linear = log_params == 0.0
    target_mean = np.where(linear, 0.75, rng.uniform(-0.5, 0.5, size=p))
    target_std = np.where(linear, 0.1, 0.3)

    metadata = {
        "circuit": circuit,
        "param_names": ",".join(param_names),
        "estimator": "reactive_centroid",
        "n_grid": str(n_grid),
        "channels": str(c),
        "kernel": str(k),
        "groups": str(groups),
        "dilations": ",".join(str(d) for d in dilations),
        "alpha_min": repr(float(alpha_min)),
        "alpha_max": repr(float(alpha_max)),
    }
    tensors = {
        "target_mean": (target_mean, F32),
        "target_std": (target_std, F32),
        "log_params": (log_params, F32),
        "scaling": (scaling, F32),
    }
    tensors.update({name: (value, encoding) for name, value in weights.items()})
    return metadata, tensors
