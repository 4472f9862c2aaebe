"""The Battery Data Format column names the kelvara core reads."""

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
SPECTRUM = "Spectrum"
