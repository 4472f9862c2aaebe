"""The catalogues as the tests expect them: each element kind's notation code, class name
and fields (name, unit, default), in catalogue order; the named reference circuits."""

from typing import NamedTuple


class Kind(NamedTuple):
    code: str  # in notation; the parser also takes the class name
    class_name: str  # kelvara.<class_name>
    fields: tuple[tuple[str, str, float], ...]


# fmt: off
KINDS = (
    Kind("R", "R", (("r", "ohm", 1.0),)),
    Kind("C", "C", (("c", "F", 1e-3),)),
    Kind("L", "L", (("l", "H", 1e-6),)),
    Kind("La", "La", (("l", "H*s", 1e-6), ("alpha", "-", 0.8))),
    Kind("CPE", "Cpe", (("q", "ohm^-1*s^alpha", 1e-3), ("alpha", "-", 0.8))),
    Kind("W", "W", (("aw", "ohm*s^-0.5", 1.0),)),
    Kind("Wo", "Wo", (("z0", "ohm", 1.0), ("tau", "s", 10.0))),
    Kind("Ws", "Ws", (("z0", "ohm", 1.0), ("tau", "s", 10.0))),
    Kind("G", "G", (("rg", "ohm", 1.0), ("tg", "s", 1.0))),
    Kind("Gs", "Gs", (("rg", "ohm", 1.0), ("tg", "s", 1.0), ("phi", "-", 1.0))),
    Kind("K", "K", (("r", "ohm", 1.0), ("tau_k", "s", 1e-3))),
    Kind("Zarc", "Zarc", (("r", "ohm", 1.0), ("tau_k", "s", 1e-3), ("gamma", "-", 0.8))),
    Kind("TLMQ", "Tlmq", (("r_ion", "ohm", 1.0), ("qs", "F*s^(gamma-1)", 1e-3),
                          ("gamma", "-", 0.8))),
    Kind("T", "T", (("a", "ohm*m^2", 1.0), ("b", "ohm*m^2", 1.0), ("k_tau", "-", 1.0),
                    ("tau", "s", 1.0))),
)
# fmt: on

# Every code the parser takes, both spellings, -> the kind's parameter count.
PARAMETER_COUNTS = {
    code: len(kind.fields) for kind in KINDS for code in {kind.code, kind.class_name}
}

# Reference name -> circuit, in registry order; each has a built-in network.
REGISTRY = {
    "rc": "R0-(R1,C1)", "rc_l": "L0-R0-(R1,C1)", "rq": "R0-(R1,CPE1)", "rq_l": "L0-R0-(R1,CPE1)",
    "two_rc": "R0-(R1,C1)-(R2,C2)", "two_rc_l": "L0-R0-(R1,C1)-(R2,C2)",
    "two_rq": "R0-(R1,CPE1)-(R2,CPE2)", "two_rq_l": "L0-R0-(R1,CPE1)-(R2,CPE2)",
    "randles": "R0-(R1-W1,CPE1)", "sei_randles": "R0-(R1,CPE1)-(R2-W2,CPE2)",
    "sei_randles_wo": "R0-(R1,CPE1)-(R2-Wo2,CPE2)",
}  # fmt: skip
