"""The Battery Data Format column names the kelvara core reads."""

FREQUENCY = "Frequency / Hz"
REAL = "Real Impedance / ohm"
IMAGINARY = "Imaginary Impedance / ohm"
MODULUS = "Absolute Impedance / ohm"
PHASE = "Phase / deg"
SPECTRUM = "Spectrum"

# The snake-case name the core also accepts for each column; the long name wins where a
# table holds both.
SHORT = {
    FREQUENCY: "frequency_hertz",
    REAL: "real_impedance_ohm",
    IMAGINARY: "imaginary_impedance_ohm",
    MODULUS: "absolute_impedance_ohm",
    PHASE: "phase_degree",
}
