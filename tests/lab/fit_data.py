"""Synthetic spectra with known parameters for the fitting tests."""

import numpy as np

import kelvara

TWO_RQ_L = {
    "L0.l": 1e-7,
    "R0.r": 0.02,
    "R1.r": 0.01,
    "CPE1.q": 0.05,
    "CPE1.alpha": 0.85,
    "R2.r": 0.03,
    "CPE2.q": 2.0,
    "CPE2.alpha": 0.8,
}


def spectrum(circuit="two_rq_l", values=None, points=60, noise=5e-4, seed=1, scale=1.0):
    """(f, z): the circuit at `values` with Gaussian noise relative to |Z|."""
    values = dict(TWO_RQ_L if values is None else values)
    values["R1.r"] = values["R1.r"] * scale
    f = np.logspace(4, -2, points)
    z = kelvara.Circuit(circuit).with_named_values(values).impedance(f)
    rng = np.random.default_rng(seed)
    z = z + noise * np.abs(z) * (rng.standard_normal(points) + 1j * rng.standard_normal(points))
    return f, z
