"""The stress sampler's promises that a retraining would otherwise lose without notice."""

import math

import numpy as np
import pytest
import stress
import synth
import train

DRAWS = 500


def _log_f(r, q, alpha):
    return -math.log10(2.0 * math.pi * (q * r) ** (1.0 / alpha))


def _draws(key, seed=5):
    rng = np.random.default_rng(seed)
    for _ in range(DRAWS):
        win = synth.draw_window(rng)
        yield win, stress.draw_stress_params(key, rng, win)


def test_sei_randles_wo_places_both_arcs_and_the_knee_in_the_window():
    for win, v in _draws("sei_randles_wo"):
        r0, r1, q1, a1, r2, z0, tau, q2, a2 = v
        fast, slow = _log_f(r1, q1, a1), _log_f(r2, q2, a2)
        knee = -math.log10(2.0 * math.pi * tau)
        for at in (fast, slow, knee):
            assert win.lo - 0.5 - 1e-9 <= at <= win.hi + 0.5 + 1e-9
        assert fast - slow >= 0.4 - 1e-9  # arc 1 is the faster one
        assert 0.45 <= min(a1, a2) and max(a1, a2) <= 1.0


@pytest.mark.parametrize("key", ["rq", "two_rq_l"])
def test_seeded_draws_repeat_with_their_labels(key):
    def run(seed):
        rng = np.random.default_rng(seed)
        return [stress.stress_spectrum(key, rng, share_richer=0.5) for _ in range(8)]

    first, again = run(11), run(11)
    for a, b in zip(first, again, strict=True):
        assert np.array_equal(a.z, b.z) and np.array_equal(a.truth, b.truth)
        assert a.extra == b.extra
    richer = [d for d in first if d.extra is not None]
    assert richer
    assert all(np.all(np.isfinite(d.truth)) and np.all(d.truth > 0) for d in richer)


def test_every_richer_circuit_is_drawn():
    rng = np.random.default_rng(3)
    win = synth.draw_window(rng)
    kinds = {stress.draw_extra(rng, win, 100.0)[0] for _ in range(60)}
    assert kinds == set(stress.EXTRAS)


def test_mixture_today_half_is_todays_distribution():
    a = stress.mixture_spectrum("rq", np.random.default_rng(9), 0.0)
    f, z, values = train.spectrum("rq", _after_share(9))
    assert np.array_equal(a.freqs, f) and np.array_equal(a.z, z)
    assert np.array_equal(a.truth, values)
    with pytest.raises(ValueError, match="stress_share"):
        stress.mixture_spectrum("rq", np.random.default_rng(9), 1.5)


def _after_share(seed):
    """A generator past the mixture's one share draw."""
    rng = np.random.default_rng(seed)
    rng.random()
    return rng


@pytest.mark.parametrize(
    ("truth", "value", "kept"),
    [
        (2.0, 1.0, True),
        (99.0, 1.0, True),
        (101.0, 1.0, False),
        (1e300, 1e-10, False),  # the ratio overflows
        (2.0, 0.0, False),  # and divides by zero
        (2.0, math.nan, False),
        (0.0, 1.0, False),
    ],
)
def test_a_richer_label_decades_off_is_refused_without_a_warning(truth, value, kept):
    names = ["R0.r", "CPE1.alpha"]
    assert stress._plausible(names, np.array([truth, 0.9]), [value, 0.9]) is kept
