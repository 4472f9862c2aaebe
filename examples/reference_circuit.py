"""Build a reference circuit by name and evaluate it over a measured window."""

import numpy as np

import kelvara

circuit = kelvara.Circuit("randles").with_named_values(
    {"R0.r": 0.012, "R1.r": 0.025, "W1.aw": 0.004, "CPE1.q": 2.0, "CPE1.alpha": 0.85}
)
print(circuit)
print()

frequencies = np.logspace(4, -2, 13)  # 10 kHz down to 10 mHz
z = circuit.impedance(frequencies)
print(f"{'f / Hz':>10}  {'Re Z / ohm':>12}  {'-Im Z / ohm':>12}")
for f, zi in zip(frequencies, z, strict=True):
    print(f"{f:10.4g}  {zi.real:12.6f}  {-zi.imag:12.6f}")
