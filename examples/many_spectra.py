"""Fit many spectra at once from a pool of Python threads.

`fit()` releases the interpreter lock while it works, so plain threads
run fits on all cores at the same time; a circuit object may be shared.
"""

import os
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

import kelvara

circuit = kelvara.Circuit("two_rq")  # R0-(R1,CPE1)-(R2,CPE2)
truth = np.array([0.02, 0.01, 0.05, 0.85, 0.03, 2.0, 0.8])
f = np.logspace(4, -2, 60)
rng = np.random.default_rng(0)

# A cell ageing: both resistances grow over 200 measurements.
spectra = []
for age in np.linspace(0.0, 1.0, 200):
    values = truth * [1, 1 + age, 1, 1, 1 + 2 * age, 1, 1]
    z = circuit.with_values(values).impedance(f)
    spectra.append(z + 1e-3 * np.abs(z) * rng.standard_normal(z.size))

start = circuit.with_values(truth)


def fit(z: np.ndarray) -> kelvara.FitResult:
    return start.fit(f, z)


begin = time.perf_counter()
with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
    results = list(pool.map(fit, spectra))
elapsed = time.perf_counter() - begin

print(f"{len(results)} fits in {elapsed:.2f} s on {os.cpu_count()} threads")
print(f"all converged: {all(r.success for r in results)}")
print(f"R2 grew from {results[0].params['R2.r']:.4f} to {results[-1].params['R2.r']:.4f} ohm")
