"""Drive kelvara's residuals and Jacobian from scipy.optimize.least_squares.

`residuals()` is the weighted vector `fit()` minimises and `jacobian()` its
derivative, so any optimiser can work on the same mathematics.
"""

import numpy as np
from scipy.optimize import least_squares

import kelvara

circuit = kelvara.Circuit("randles")  # R0-(R1-W1,CPE1)
truth = [0.012, 0.025, 0.004, 2.0, 0.85]
f = np.logspace(4, -2, 60)
z = circuit.with_values(truth).impedance(f)

lower, upper = zip(*circuit.param_bounds(), strict=True)
solution = least_squares(
    lambda p: np.asarray(circuit.residuals(p, f, z)),
    x0=[0.02, 0.05, 0.01, 1.0, 0.8],
    jac=lambda p: np.asarray(circuit.jacobian(p, f, z)),
    bounds=(lower, upper),
    x_scale="jac",
)

print(f"scipy: {solution.message}")
for name, value, true in zip(circuit.param_names(), solution.x, truth, strict=True):
    print(f"  {name:<11} = {value:.6g}   (true {true})")
