"""Fit a spectrum held in a pandas or a polars data frame.

Columns named as in the Battery Data Format are found by name; no
conversion to arrays is needed.
"""

import numpy as np
import pandas as pd
import polars as pl

import kelvara

circuit = kelvara.Circuit("rq")  # the reference circuit R0-(R1,CPE1)
f = np.logspace(4, -2, 50)
z = circuit.with_values([0.02, 0.05, 0.5, 0.85]).impedance(f)
columns = {
    "Frequency / Hz": f,
    "Real Impedance / ohm": z.real,
    "Imaginary Impedance / ohm": z.imag,
}
start = circuit.with_values([0.05, 0.1, 1.0, 0.8])

for frame in (pd.DataFrame(columns), pl.DataFrame(columns)):
    result = start.fit(frame)  # the frame alone: impedances left as None
    values = ", ".join(f"{name}={value:.4g}" for name, value in result.params.items())
    print(f"{type(frame).__module__.split('.')[0]:>6}: {values}")

# Modulus and phase columns work too, and rows at zero frequency are dropped.
polar = pd.DataFrame(
    {
        "Frequency / Hz": np.append(f, 0.0),
        "Absolute Impedance / ohm": np.append(np.abs(z), np.nan),
        "Phase / deg": np.append(np.degrees(np.angle(z)), np.nan),
    }
)
print("polar columns:", start.fit(polar).success)
print("impedance of a frame's frequency column:", circuit.impedance(polar).shape)
