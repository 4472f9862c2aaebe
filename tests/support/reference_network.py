"""A float64 NumPy forward pass of the initial-guess network.

Written independently of the compiled module so that the two can be checked against
each other, and so that training code can reproduce exactly what the module will
predict from a weight file.
"""

from __future__ import annotations

import math
import os
from collections.abc import Sequence
from dataclasses import dataclass

import numpy as np

from .eisnn_format import Tensor, decode_eisnn

TWO_PI = 2.0 * math.pi
HALF_PI = 1.5707963267948966
GELU_C = 0.7978845608028654  # sqrt(2/pi)


def _unsigned(text: str, key: str) -> int:
    digits = text[1:] if text.startswith("+") else text
    if not (digits.isascii() and digits.isdigit()):
        raise ValueError(f"unparsable {key}: {text!r}")
    return int(digits)


@dataclass(frozen=True)
class Guesser:
    circuit: str
    param_names: list[str]
    tensors: dict[str, Tensor]
    n_grid: int
    channels: int
    kernel: int
    groups: int
    dilations: list[int]
    alpha_min: float
    alpha_max: float

    @classmethod
    def from_bytes(cls, data: bytes) -> Guesser:
        metadata, tensors = decode_eisnn(data)
        if metadata["estimator"] != "reactive_centroid":
            raise ValueError(f"unsupported estimator {metadata['estimator']!r}")
        pieces = metadata["dilations"].split(",")
        dilations = [_unsigned(piece.strip(), "dilations") for piece in pieces]
        return cls(
            circuit=metadata["circuit"],
            param_names=metadata["param_names"].split(","),
            tensors=tensors,
            n_grid=_unsigned(metadata["n_grid"], "n_grid"),
            channels=_unsigned(metadata["channels"], "channels"),
            kernel=_unsigned(metadata["kernel"], "kernel"),
            groups=_unsigned(metadata["groups"], "groups"),
            dilations=dilations,
            alpha_min=float(metadata["alpha_min"]),
            alpha_max=float(metadata["alpha_max"]),
        )

    @classmethod
    def from_file(cls, path: str | os.PathLike) -> Guesser:
        with open(path, "rb") as handle:
            return cls.from_bytes(handle.read())

    def tensor(self, name: str) -> np.ndarray:
        return self.tensors[name].data

    # -- layers -------------------------------------------------------------------------

    def conv1d(self, x: np.ndarray, name: str, dilation: int) -> np.ndarray:
        """Zero-padded cross-correlation, output length G; x has shape [in, G]."""
        in_channels, g = x.shape
        k = self.kernel
        weight = self.tensors[f"w.{name}.weight"]
        out = weight.shape[0]
        w = weight.data[: out * in_channels * k].reshape(out, in_channels, k)
        y = np.repeat(self.tensor(f"w.{name}.bias")[:out, None], g, axis=1)
        pad = (k - 1) * dilation // 2
        for t in range(k):
            shift = t * dilation - pad  # output p reads input p + shift
            lo, hi = max(0, -shift), min(g, g - shift)
            if lo < hi:
                y[:, lo:hi] += w[:, :, t] @ x[:, lo + shift : hi + shift]
        return y

    def group_norm(self, x: np.ndarray, name: str) -> np.ndarray:
        c, g = x.shape
        cpg = c // self.groups
        if cpg * g == 0:
            return x
        gamma = self.tensor(f"w.{name}.weight")[:c, None]
        beta = self.tensor(f"w.{name}.bias")[:c, None]
        used = self.groups * cpg
        grouped = x[:used].reshape(self.groups, cpg * g)
        mean = grouped.sum(axis=1, keepdims=True) / grouped.shape[1]
        var = ((grouped - mean) ** 2).sum(axis=1, keepdims=True) / grouped.shape[1]
        normed = ((1.0 / np.sqrt(var + 1e-5)) * (grouped - mean)).reshape(used, g)
        y = x.copy()
        y[:used] = normed * gamma[:used] + beta[:used]
        return y

    def linear(self, x: np.ndarray, name: str) -> np.ndarray:
        weight = self.tensors[f"w.{name}.weight"]
        n_out, n_in = weight.shape[:2]
        if n_in != x.size:
            raise ValueError(f'tensor "{name}" has {n_in} elements, expected {x.size}')
        return self.tensor(f"w.{name}.bias")[:n_out] + weight.data.reshape(n_out, n_in) @ x

    # -- forward pass -------------------------------------------------------------------

    def features(self, f, z):
        f, z = np.asarray(f, dtype=np.float64), np.asarray(z, dtype=np.complex128)
        r_s, w_s = scale_estimate(f, z)
        order = np.argsort(f, kind="stable")
        lf = np.log10(f[order])
        lm = np.log10(np.abs(z[order]))
        ph = unwrap_phase(np.angle(z[order]))
        g = self.n_grid
        lo, hi = lf[0], lf[-1]
        step = (hi - lo) / (g - 1) if g > 1 else 0.0
        grid = lo + step * np.arange(g)
        channels = np.stack(
            [
                interpolate(lf, lm, grid) - math.log10(r_s),
                interpolate(lf, ph, grid) / HALF_PI,
                (grid - math.log10(w_s / TWO_PI)) * 0.25,
            ]
        )
        extras = np.array([(hi - lo) * 0.125, math.log10(f.size) * 0.5])
        return channels, extras, r_s, w_s

    def network(self, channels: np.ndarray, extras: np.ndarray) -> np.ndarray:
        """Raw head outputs (2P values) for prepared features."""
        x = self.conv1d(channels, "stem", 1)
        for j, d in enumerate(self.dilations):
            h = gelu(self.group_norm(self.conv1d(x, f"blocks.{j}.conv1", d), f"blocks.{j}.norm1"))
            h = self.group_norm(self.conv1d(h, f"blocks.{j}.conv2", d), f"blocks.{j}.norm2")
            x = gelu(x + h)
        finite_or_low = np.where(np.isnan(x), -np.inf, x)
        pooled = np.concatenate(
            [x.sum(axis=1) / x.shape[1], finite_or_low.max(axis=1, initial=-np.inf), extras]
        )
        y = gelu(self.linear(pooled, "head.0"))
        y = gelu(self.linear(y, "head.2"))
        return self.linear(y, "head.4")

    def predict(self, f, z) -> np.ndarray:
        """Physical parameter values in this file's param_names order."""
        channels, extras, r_s, w_s = self.features(f, z)
        p = len(self.param_names)
        y = self.network(channels, extras)[:p]
        u = y * self.tensor("target_std")[:p] + self.tensor("target_mean")[:p]
        log = self.tensor("log_params")[:p] != 0.0
        v = np.where(log, 10.0**u, u)
        # Exponents are clamped before they enter any q scaling; NaN passes through.
        v = np.where(~log & (v < self.alpha_min), self.alpha_min, v)
        v = np.where(~log & (v > self.alpha_max), self.alpha_max, v)
        w = v.copy()
        for i, (a, b, c, idx) in enumerate(self.tensor("scaling").reshape(-1, 4)):
            index = int(math.copysign(math.floor(abs(idx) + 0.5), idx))
            e = c * w[index] if index >= 0 else 0.0
            v[i] = w_s ** (b + e) * (w[i] * r_s**a)
        return v


def gelu(x: np.ndarray) -> np.ndarray:
    return 0.5 * x * (1.0 + np.tanh(GELU_C * (x + 0.044715 * x**3)))


def scale_estimate(f: np.ndarray, z: np.ndarray) -> tuple[float, float]:
    """(R_s, omega_s): centroid of log|Z| and log(omega) weighted by capacitive share.

    A point weighs max(-Im Z / |Z|, 0), so inductive and resistive points do not count.
    Without any capacitive point, R_s is the upper median of |Z| and omega_s the
    geometric mean of the angular frequencies.
    """
    mag = np.abs(z)
    total = a = b = 0.0
    for fi, zi, mi in zip(f, z, mag, strict=True):  # in input order, like the module
        if fi > 0.0 and mi > 0.0:
            w = max(-zi.imag / mi, 0.0)
            total += w
            a += w * math.log(mi)
            b += w * math.log(TWO_PI * fi)
    if total >= 1e-9:
        return math.exp(a / total), math.exp(b / total)
    with np.errstate(divide="ignore", invalid="ignore"):
        w_s = math.exp(np.mean(np.log(TWO_PI * f)))
    return float(np.sort(mag)[mag.size // 2]), w_s


def unwrap_phase(raw: np.ndarray) -> np.ndarray:
    """Continuous phase: each step is brought into [-pi, pi), +pi when rising by exactly pi."""
    ph = np.empty_like(raw)
    ph[0] = raw[0]
    for k in range(1, raw.size):
        d = raw[k] - ph[k - 1]
        d -= TWO_PI * math.floor((d + math.pi) / TWO_PI)
        if d == -math.pi and raw[k] > ph[k - 1]:
            d = math.pi
        ph[k] = ph[k - 1] + d
    return ph


def interpolate(xs: np.ndarray, ys: np.ndarray, x: np.ndarray) -> np.ndarray:
    """Piecewise-linear in ascending xs, edge values outside; equal xs take the left y."""
    hi = np.clip(np.searchsorted(xs, x, side="right"), 1, xs.size - 1)
    lo = hi - 1
    span = xs[hi] - xs[lo]
    with np.errstate(divide="ignore", invalid="ignore"):
        inner = ys[lo] + (x - xs[lo]) * (ys[hi] - ys[lo]) / span
    inner = np.where(span == 0.0, ys[lo], inner)
    return np.where(x <= xs[0], ys[0], np.where(x >= xs[-1], ys[-1], inner))


def to_user_order(
    values: Sequence[float], perm: Sequence[int], user_names: Sequence[str], expanded: bool
) -> list[float]:
    """Carry network outputs into the user's parameter order.

    With expansion, the permuted values follow the expanded circuit, where each K stands
    as (R, C) and each Zarc as (R, CPE); those are folded back: tau_k = r*c for K, and
    tau_k = (r*q)^(1/gamma), gamma = alpha for Zarc (the inverse of q = tau_k^gamma / r).
    """
    r = [values[i] for i in perm]
    if not expanded:
        return r
    elements: dict[str, list[str]] = {}
    for name in user_names:
        element, _, field = name.rpartition(".")
        elements.setdefault(element, []).append(field)
    out, pos = [], 0
    for fields in elements.values():
        if fields == ["r", "tau_k"]:
            rr, c = r[pos : pos + 2]
            out += [rr, rr * c]
            pos += 2
        elif fields == ["r", "tau_k", "gamma"]:
            rr, q, alpha = r[pos : pos + 3]
            exponent = 1e-6 if math.isnan(alpha) else max(alpha, 1e-6)
            out += [rr, (rr * q) ** (1.0 / exponent), alpha]
            pos += 3
        else:
            out += r[pos : pos + len(fields)]
            pos += len(fields)
    return out
