"""Build a circuit, make a spectrum from it, and fit it back."""

import numpy as np

import kelvara

f = np.logspace(4, -2, 60)  # Hz, 10 kHz down to 10 mHz
truth = kelvara.Circuit("R0-(R1,CPE1)").with_values([0.02, 0.05, 0.5, 0.85])
z = truth.impedance(f)  # complex128, ohm

# Explicit starting values: the fit starts here instead of asking a network.
start = kelvara.Circuit("R0-(R1,CPE1)").with_values([0.05, 0.1, 1.0, 0.8])
result = start.fit(f, z)

print(f"success: {result.success} after {result.iterations} iterations")
for name, unit in zip(start.param_names(), start.param_units(), strict=True):
    print(f"  {name:<11} = {result.params[name]:.6g} {unit}")
