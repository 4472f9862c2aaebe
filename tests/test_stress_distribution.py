"""The stress sampler's promises that a retraining would otherwise lose without notice."""

import math

import numpy as np
import pytest
import stress
import synth
import train

DRAWS = 2000


def _log_f(r, q, alpha):
    return -math.log10(2.0 * math.pi * (q * r) ** (1.0 / alpha))


def _draws(key, seed=5):
    rng = np.random.default_rng(seed)
    for _ in range(DRAWS):
        win = synth.draw_window(rng)
        yield win, stress.draw_stress_params(key, rng, win)


def test_sei_randles_wo_covers_every_placement():
    alphas, gaps, knee_above, ratios = [], [], 0, []
    for win, v in _draws("sei_randles_wo"):
        r0, r1, q1, a1, r2, z0, tau, q2, a2 = v
        fast, slow = _log_f(r1, q1, a1), _log_f(r2, q2, a2)
        knee = -math.log10(2.0 * math.pi * tau)
        for at in (fast, slow, knee):
            assert win.lo - 0.5 - 1e-9 <= at <= win.hi + 0.5 + 1e-9
        assert fast - slow >= 0.4 - 1e-9  # arc 1 is the faster one
        gaps.append(fast - slow)
        knee_above += knee > slow
        alphas += [a1, a2]
        ratios.append(math.log10(r1 / r2))
    alphas = np.array(alphas)
    assert alphas.min() >= 0.45 and alphas.max() <= 1.0
    assert 0.12 < np.mean(alphas == 1.0) < 0.18
    assert 0.12 < np.mean((alphas >= 0.98) & (alphas < 1.0)) < 0.18
    assert np.mean(alphas < 0.5) > 0.02
    assert min(gaps) < 0.5 and knee_above > DRAWS // 5
    assert np.ptp(ratios) > 3.5  # resistances over four decades


def test_randles_diffusion_crossover_also_above_the_arc():
    above = 0
    for _win, (_r0, r1, aw, q, alpha) in _draws("randles"):
        crossover = math.log10((aw / r1) ** 2 / (2.0 * math.pi))
        above += crossover > _log_f(r1, q, alpha)
    assert DRAWS // 4 < above < 3 * DRAWS // 4


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


def test_a_fifth_are_richer_and_every_richer_circuit_is_drawn():
    rng = np.random.default_rng(4)
    richer = sum(stress.stress_spectrum("rq", rng).extra is not None for _ in range(100))
    assert 10 <= richer <= 32
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
