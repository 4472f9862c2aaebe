"""Train, export and evaluate the initial-guess networks.

    python -m training.train train rc        # one network -> training/out/rc.eisnn
    python -m training.train train all       # every network, smallest first
    python -m training.train evaluate rc     # held-out checks -> training/REPORT.md
    python -m training.train evaluate all --install   # ... and copy passing files to src/models

Training runs on one CPU thread; the evaluation runs each exported file through the
compiled module (put build/mod on PYTHONPATH), so it checks exactly what ships.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import shutil
import sys
import time
import types
from pathlib import Path

HERE = Path(__file__).resolve().parent
# The training modules import each other flatly; the weight-file format and the reference
# network are the test suite's (tests/support).
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]

import numpy as np  # noqa: E402
from networks import NETWORKS  # noqa: E402
from stress import mixture_spectrum  # noqa: E402
from support.eisnn_format import read_eisnn, scaling_rows, write_eisnn  # noqa: E402
from support.reference_network import Guesser  # noqa: E402
from synth import add_noise, draw_params, draw_window  # noqa: E402

ROOT = HERE.parent
OUT = HERE / "out"
MODELS = ROOT / "src" / "models"
REPORT = HERE / "REPORT.md"

BATCH = 128
SEED = 20261206

_FEATURES = types.SimpleNamespace(n_grid=64)  # all the reference features need


def _kelvara():
    os.environ.setdefault("RAYON_NUM_THREADS", "1")
    import kelvara

    return kelvara


def spectrum(key: str, rng: np.random.Generator, sigma: float | None = None):
    """(f, noisy z, generating values) of one random draw."""
    kelvara = _kelvara()
    win = draw_window(rng)
    values = draw_params(key, rng, win)
    z = kelvara.Circuit(NETWORKS[key].circuit).with_values(values).impedance(win.freqs)
    if sigma is None:  # a fifth of the spectra are clean, the rest carry 0..2 % noise
        sigma = 0.0 if rng.random() < 0.2 else rng.uniform(0.0, 0.02)
    return win.freqs, add_noise(rng, z, sigma), np.array(values)


def targets(names: list[str], values: np.ndarray, r_s: float, w_s: float) -> np.ndarray:
    """What the network should output before de-normalisation: the inverse of its scaling."""
    scaling, log_params = scaling_rows(names)
    u = np.empty(len(names))
    for i, (a, b, c, idx) in enumerate(scaling):
        if log_params[i]:
            e = c * values[int(idx)] if idx >= 0 else 0.0
            u[i] = math.log10(values[i]) - a * math.log10(r_s) - (b + e) * math.log10(w_s)
        else:
            u[i] = values[i]
    return u


def dataset(key: str, n: int, seed: int, stress_share: float = 0.0):
    """Features, extras, targets, log10(omega_s) of n spectra and the seconds they took;
    cached in out/ (a cache written before log10(omega_s) was kept is made again).
    stress_share > 0 draws that share from the stress distribution (stress.py); 0 keeps
    today's spectra exactly, so the shipped files stay reproducible."""
    mixed = f"-stress{stress_share:g}" if stress_share > 0.0 else ""
    cache = OUT / f"{key}-data-{n}-{seed}{mixed}.npz"
    if cache.exists():
        data = np.load(cache)
        if "lw" in data.files:
            seconds = float(data["seconds"]) if "seconds" in data.files else 0.0
            return data["x"], data["e"], data["y"], data["lw"], seconds
    started = time.time()
    names = _kelvara().Circuit(NETWORKS[key].circuit).param_names()
    rng = np.random.default_rng(seed)
    xs, es, ys, lws = [], [], [], []
    while len(ys) < n:
        if stress_share > 0.0:
            draw = mixture_spectrum(key, rng, stress_share)
            f, z, values = draw.freqs, draw.z, draw.truth
        else:
            f, z, values = spectrum(key, rng)
        x, e, r_s, w_s = Guesser.features(_FEATURES, f, z)
        y = targets(names, values, r_s, w_s)
        if np.all(np.isfinite(x)) and np.all(np.isfinite(y)):
            xs.append(x)
            es.append(e)
            ys.append(y)
            lws.append(math.log10(w_s))
    OUT.mkdir(exist_ok=True)
    x, e, y = np.array(xs, np.float32), np.array(es, np.float32), np.array(ys)
    lw = np.array(lws)
    seconds = time.time() - started
    np.savez(cache, x=x, e=e, y=y, lw=lw, seconds=seconds)
    return x, e, y, lw, seconds


def train(
    key: str,
    steps: int | None = None,
    stress_share: float | None = None,
    spectra: int | None = None,
    start: Path | None = None,
) -> Path:
    """Train one network; with `start`, continue that weight file instead of starting anew."""
    import torch
    from network import GuesserNet, export_tensors

    torch.set_num_threads(1)
    torch.manual_seed(SEED)
    plan = NETWORKS[key]
    circuit = plan.circuit
    names = _kelvara().Circuit(circuit).param_names()
    n_train = spectra or plan.spectra
    if stress_share is None:
        stress_share = plan.stress_share
    steps = steps or plan.steps

    begun = None  # checked before the spectra are made, which can take minutes
    if start:
        about, begun = read_eisnn(start)
        if about.get("param_names") != ",".join(names):
            raise ValueError(f"{start} holds a network for {about.get('circuit')}, not {circuit}")
    seed = SEED + sum(map(ord, key))  # the data seed of both the mixture and the polish
    x, e, y, lw, data_seconds = dataset(key, n_train, seed, stress_share)
    started = time.time() - data_seconds  # a cached data set still counts its making
    mean, std = y.mean(axis=0), y.std(axis=0) + 1e-6
    if begun is not None:
        # The network's outputs are in the started file's target units: keep them.
        mean, std = _target_scale(begun)
    batches = _batches(plan, names, (x, e, y, lw), mean, std)

    net = GuesserNet(plan.channels, len(names))
    # A mixed training keeps its own first stage: one from today's spectra is no start for it.
    tag = f"-stress{stress_share:g}" if stress_share > 0.0 else ""
    stage1, stage1_log = OUT / f"{key}-stage1{tag}.eisnn", OUT / f"{key}-stage1{tag}.json"
    # A polished network keeps its mixture's file, so a session can stop between the two.
    polish = plan.polish if begun is None and stress_share > 0.0 else None
    mixed, mixed_log = OUT / f"{key}-mixture{tag}.eisnn", OUT / f"{key}-mixture{tag}.json"
    resumed = polish is not None and mixed.exists() and mixed_log.exists()
    if resumed:
        started -= json.loads(mixed_log.read_text())["seconds"]  # its time still counts
        print(f"{key}: polishing {mixed}", flush=True)
    elif begun is not None:
        _continue(key, net, begun, batches, steps)
    elif not plan.second_stage_steps:
        _optimise(key, net, batches, steps, lr=2e-3, seed=SEED)
    else:
        if stage1.exists() and stage1_log.exists():
            started -= json.loads(stage1_log.read_text())["seconds"]  # its time still counts
            print(f"{key}: continuing from {stage1}", flush=True)
        else:
            _optimise(key, net, batches, steps, lr=2e-3, seed=SEED)
            OUT.mkdir(exist_ok=True)
            write_eisnn(stage1, *export_tensors(net, circuit, names, mean, std))
            spent = time.time() - started - data_seconds
            stage1_log.write_text(json.dumps({"seconds": round(spent, 1)}))
        # The second stage starts from what the file keeps.
        steps += plan.second_stage_steps
        _continue(key, net, read_eisnn(stage1)[1], batches, plan.second_stage_steps)
    if polish is not None:
        # Continued from the file as --start would: the targets stay in the mixture's units.
        if not resumed:
            OUT.mkdir(exist_ok=True)
            write_eisnn(mixed, *export_tensors(net, circuit, names, mean, std))
            spent = time.time() - started - data_seconds
            mixed_log.write_text(json.dumps({"seconds": round(spent, 1)}))
        tensors = read_eisnn(mixed)[1]
        # The targets scaled as the file keeps them, not by the unrounded mean and spread.
        mean, std = _target_scale(tensors)
        today = dataset(key, polish[0], seed)
        started -= today[4]
        batches = _batches(plan, names, today[:4], mean, std)
        steps += polish[1]
        _continue(key, net, tensors, batches, polish[1])
    train_seconds = time.time() - started

    net.eval()
    OUT.mkdir(exist_ok=True)
    path = OUT / f"{key}.eisnn"
    write_eisnn(path, *export_tensors(net, circuit, names, mean, std))
    (OUT / f"{key}.json").write_text(
        json.dumps(
            {
                "steps": steps,
                "train_spectra": n_train,
                "batch": BATCH,
                "huber_delta": plan.huber_delta,
                "q_through_alpha": plan.q_through_alpha,
                "stress_share": stress_share,
                "started_from": start.name if start else None,
                "polish": polish,
                "data_seconds": round(data_seconds, 1),
                "total_seconds": round(train_seconds, 1),
            }
        )
    )
    print(f"{key}: wrote {path} ({path.stat().st_size} bytes) in {train_seconds:.0f} s")
    return path


def _target_scale(tensors) -> tuple[np.ndarray, np.ndarray]:
    """The target mean and spread as a weight file keeps them (its rounding included)."""
    return (
        tensors["target_mean"].data.astype(np.float64),
        tensors["target_std"].data.astype(np.float64),
    )


def _batches(plan, names: list[str], data, mean, std):
    """The tensors and loss settings one optimisation draws its batches from."""
    import torch

    x, e, y, lw = data
    x_t, e_t = torch.from_numpy(x), torch.from_numpy(e)
    y_t = torch.from_numpy(((y - mean) / std).astype(np.float32))
    lw_t = torch.from_numpy(lw.astype(np.float32))
    # (q column, its exponent's column, c / std of q, std and mean of the exponent)
    couplings = []
    if plan.q_through_alpha:
        scaling, _ = scaling_rows(names)
        for i, (_a, _b, c, idx) in enumerate(scaling):
            if idx >= 0 and c != 0.0:
                j = int(idx)
                couplings.append((i, j, float(c / std[i]), float(std[j]), float(mean[j])))
    return (x_t, e_t, y_t, lw_t, couplings, plan.huber_delta)


def _continue(key: str, net, tensors, batches, steps: int) -> None:
    """Train on from a weight file's tensors: a fresh optimiser at a quarter of the rate."""
    from network import load_tensors

    load_tensors(net, tensors)
    _optimise(key, net, batches, steps, lr=5e-4, seed=SEED + 1)


def _optimise(key: str, net, batches, steps: int, lr: float, seed: int) -> None:
    """AdamW with a linear warm-up and a cosine decay over `steps` batches."""
    import torch

    opt = torch.optim.AdamW(net.parameters(), lr=lr, weight_decay=1e-4)
    warm = max(1, steps // 20)  # a run of under 20 steps still warms up
    sched = torch.optim.lr_scheduler.LambdaLR(
        opt,
        lambda s: min(1.0, (s + 1) / warm) * 0.5 * (1.0 + math.cos(math.pi * min(s / steps, 1.0))),
    )
    gen = torch.Generator().manual_seed(seed)
    x_t, e_t, y_t, lw_t, couplings, delta = batches
    p = y_t.shape[1]
    order = torch.randperm(len(y_t), generator=gen)
    pos = 0
    net.train()
    for step in range(steps):
        if pos + BATCH > len(order):
            order, pos = torch.randperm(len(y_t), generator=gen), 0
        idx = order[pos : pos + BATCH]
        pos += BATCH
        out = net(x_t[idx], e_t[idx])
        mu, log_var = out[:, :p], out[:, p:].clamp(-12.0, 8.0)
        if couplings:
            # q as the module will compute it: the predicted exponent (clamped as the module
            # clamps it) in omega_s^(c*alpha), so the q outputs learn to offset its error.
            shift = torch.zeros_like(mu)
            for i, j, c_over_std, std_j, mean_j in couplings:
                alpha = (mu[:, j].detach() * std_j + mean_j).clamp(0.05, 1.0)
                alpha_true = y_t[idx, j] * std_j + mean_j
                shift[:, i] = c_over_std * (alpha - alpha_true) * lw_t[idx]
            mu = mu + shift
        err = mu - y_t[idx]
        # Huber with a small delta is L1 beyond a few hundredths of a standard deviation, so
        # spectra whose parameters the data barely fix (an arc half outside the window)
        # cannot dominate, and quadratic below it for precision on the typical spectrum.
        # The variance half learns the spread of the error through a Gaussian likelihood
        # against the detached means, so it cannot pull the guesses.
        fit_loss = torch.nn.functional.huber_loss(mu, y_t[idx], delta=delta) / delta
        nll = 0.5 * (err.detach() ** 2 * torch.exp(-log_var) + log_var).mean()
        loss = fit_loss + 0.1 * nll
        opt.zero_grad()
        loss.backward()
        torch.nn.utils.clip_grad_norm_(net.parameters(), 1.0)
        opt.step()
        sched.step()
        if step % 500 == 0 or step == steps - 1:
            print(f"{key} step {step:6d}  huber {fit_loss.item():.4f}", flush=True)


# -- evaluation --------------------------------------------------------------------------

F_SAMPLE = np.logspace(-1, 5, 60)
SAMPLES = {  # the two documented sample spectra: key -> (values, tolerance)
    "rc": ([10.0, 100.0, 1e-5], 0.02),
    "rq": ([5.0, 50.0, 1e-4, 0.8], 0.01),
}
N_ACCURACY, N_FIT = 1000, 200
EVAL_SEED = 777


def _costs_agree(cost: float, best: float, rel: float = 1e-6) -> bool:
    return cost <= best * (1.0 + rel) + 1e-300


def evaluate(key: str, path: Path) -> dict:
    kelvara = _kelvara()
    circuit = kelvara.Circuit(NETWORKS[key].circuit)
    names = circuit.param_names()
    report: dict = {"key": key, "file": str(path), "bytes": path.stat().st_size}

    if key in SAMPLES:
        values, tol = SAMPLES[key]
        z = circuit.with_values(values).impedance(F_SAMPLE)
        guess = np.array(circuit.guess(F_SAMPLE, z, weights=str(path)))
        rel = np.abs(guess / np.array(values) - 1.0)
        report["sample"] = {"guess": guess.tolist(), "max_rel": float(rel.max()), "tol": tol}

    rng = np.random.default_rng(EVAL_SEED + sum(map(ord, key)))

    def error(values, truth):
        return [
            abs(v - t) if n.endswith(".alpha") else abs(v / t - 1.0)
            for v, t, n in zip(values, truth, names, strict=True)
        ]

    errs, fitted_errs = [], []
    for _ in range(N_ACCURACY):
        f, z, truth = spectrum(key, rng, sigma=0.01)
        errs.append(error(circuit.guess(f, z, weights=str(path)), truth))
        # What the spectrum itself pins down: the least-squares values, reached from the
        # generating ones (a network can still do better, from what it learned of the
        # distribution).
        fitted = circuit.with_values(truth.tolist()).fit(f, z).params
        fitted_errs.append(error([fitted[n] for n in names], truth))
    report["median_error"] = dict(zip(names, np.median(errs, axis=0).tolist(), strict=True))
    report["median_error_fit"] = dict(
        zip(names, np.median(fitted_errs, axis=0).tolist(), strict=True)
    )
    report["p90_error"] = dict(zip(names, np.percentile(errs, 90, axis=0).tolist(), strict=True))

    counts = dict.fromkeys(
        (
            "global",
            "global_noguess",
            "basin",
            "basin_noguess",
            "recover_truth",
            "recover_guess",
            "recover_noguess",
        ),
        0,
    )
    for _ in range(N_FIT):
        f, z, truth = spectrum(key, rng, sigma=0.005)
        best = circuit.with_values(truth.tolist()).fit(f, z)
        guessed = circuit.fit(f, z, weights=str(path))
        blind = circuit.fit(f, z, guess_init=False)

        def recovers(result, truth=truth):
            got = np.array([result.params[n] for n in names])
            return bool(np.all(np.abs(got / truth - 1.0) <= 0.02))

        counts["global"] += _costs_agree(guessed.cost, best.cost)
        counts["global_noguess"] += _costs_agree(blind.cost, best.cost)
        # Within 0.1 %: the same minimum, where the run may stop short of its
        # floor in a flat valley (termination tolerances), not another minimum.
        counts["basin"] += _costs_agree(guessed.cost, best.cost, 1e-3)
        counts["basin_noguess"] += _costs_agree(blind.cost, best.cost, 1e-3)
        if recovers(best):
            counts["recover_truth"] += 1
            counts["recover_guess"] += recovers(guessed)
            counts["recover_noguess"] += recovers(blind)
    report["fit"] = {**counts, "n": N_FIT}
    report["passes"] = passes(report)
    return report


def passes(report: dict) -> bool:
    ok = True
    if "sample" in report:
        ok &= report["sample"]["max_rel"] <= report["sample"]["tol"]
    for name, err in report["median_error"].items():
        ok &= err <= (0.03 if name.endswith(".alpha") else 0.10)
    fit = report["fit"]
    ok &= fit["global"] >= 0.95 * fit["n"]
    ok &= fit["recover_guess"] == fit["recover_truth"]
    return bool(ok)


def _section(report: dict, timing: dict | None) -> str:
    key = report["key"]
    lines = [f"## {key}", ""]
    status = "passes the bar" if report["passes"] else "does NOT pass the bar"
    plan = NETWORKS[key]
    if not report["passes"] and plan.ships_below_bar:
        status += " (shipped all the same: see LOG.md)"
    lines += [f"`{plan.circuit}`, {plan.channels} channels, {report['bytes']} bytes: {status}.", ""]
    if timing:
        made = (
            f"{timing['data_seconds']:.0f} s of it making {timing['train_spectra']} spectra"
            if timing["data_seconds"] > 0
            else f"{timing['train_spectra']} spectra taken from the cache"
        )
        lines.append(
            f"Training: {timing['total_seconds']:.0f} s on one CPU thread ({made}), "
            f"{timing['steps']} steps of {timing['batch']}."
        )
        lines.append("")
    if "sample" in report:
        s = report["sample"]
        shown = ", ".join(f"{v:.4g}" for v in s["guess"])
        lines.append(
            f"Sample spectrum: guess [{shown}], worst relative error {s['max_rel']:.2%} "
            f"(limit {s['tol']:.0%})."
        )
        lines.append("")
    lines += [
        f"Held-out guesses, 1 % noise, {N_ACCURACY} spectra (relative error; alpha absolute):",
        "",
    ]
    lines.append(
        "| parameter | median | 90th percentile | median of the fit started from the truth |"
    )
    lines.append("|---|---|---|---|")
    for name, med in report["median_error"].items():
        row = (med, report["p90_error"][name], report["median_error_fit"][name])
        shown = [f"{v:.4f}" if name.endswith(".alpha") else f"{v:.2%}" for v in row]
        lines.append(f"| {name} | " + " | ".join(shown) + " |")
    fit = report["fit"]
    n = fit["n"]
    lines += [
        "",
        f"Downstream fits, 0.5 % noise, {n} spectra:",
        "",
        "| start | reaches the global minimum | within 0.1 % of its cost "
        "| recovers all values within 2 % |",
        "|---|---|---|---|",
        f"| default (guess) | {fit['global']}/{n} ({fit['global'] / n:.1%}) "
        f"| {fit['basin']}/{n} ({fit['basin'] / n:.1%}) "
        f"| {fit['recover_guess']}/{fit['recover_truth']} |",
        f"| guess_init=False | {fit['global_noguess']}/{n} ({fit['global_noguess'] / n:.1%}) "
        f"| {fit['basin_noguess']}/{n} ({fit['basin_noguess'] / n:.1%}) "
        f"| {fit['recover_noguess']}/{fit['recover_truth']} |",
        "",
        "(The recovery column counts spectra where the fit started from the generating values "
        "recovers them. The last column of the first table is the error of that fit on the "
        "1 % noise spectra: how well the data fix each value. The 0.1 % column counts fits that "
        "end in the global minimum's valley but stop short of its floor.)",
        "",
    ]
    return "\n".join(lines)


def write_report(sections: dict[str, str]) -> None:
    """Network sections in registry order, then any other section (downstream.py's)."""
    head = (
        "# Trained initial-guess networks\n\n"
        "Written by `python -m training.train evaluate`. Every number comes from the exported "
        "file run through the compiled module, on spectra drawn with seeds the training never "
        "used. Global minimum: the default fit's cost is no higher, to 1e-6 relative, than "
        "the same fit started from the generating values.\n\n"
    )
    order = [k for k in NETWORKS if k in sections] + [k for k in sections if k not in NETWORKS]
    REPORT.write_text(head + "".join(sections[k].rstrip() + "\n\n" for k in order))


def _existing_sections() -> dict[str, str]:
    if not REPORT.exists():
        return {}
    chunks = REPORT.read_text().split("\n## ")[1:]
    return {chunk.split("\n", 1)[0].strip(): "## " + chunk for chunk in chunks}


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("command", choices=("train", "evaluate"))
    parser.add_argument("key", choices=(*NETWORKS, "all"))
    parser.add_argument("--steps", type=int, help="override the optimiser steps")
    parser.add_argument("--spectra", type=int, help="override the number of training spectra")
    parser.add_argument(
        "--start", type=Path, help="continue this weight file (at a quarter of the learning rate)"
    )
    parser.add_argument(
        "--stress-share",
        type=float,
        help="share of the training spectra drawn from the stress distribution "
        "(the network's stress_share in networks.py)",
    )
    parser.add_argument(
        "--install", action="store_true", help="copy files that pass to src/models/"
    )
    parser.add_argument(
        "--out", type=Path, help="folder for weight files and cached spectra (training/out)"
    )
    args = parser.parse_args(argv)
    global OUT
    OUT = args.out or OUT
    keys = list(NETWORKS) if args.key == "all" else [args.key]
    if args.key == "all":  # smallest networks first
        keys.sort(key=lambda k: NETWORKS[k].channels)
    if args.command == "train":
        if args.start and args.key == "all":
            parser.error("--start continues one network's file: name its key, not all")
        for key in keys:
            train(key, args.steps, args.stress_share, args.spectra, args.start)
        return
    sections = _existing_sections()
    for key in keys:
        path = OUT / f"{key}.eisnn"
        if not path.exists():
            path = MODELS / f"{key}.eisnn"
        if not path.exists():
            print(f"{key}: no weight file, skipped")
            continue
        report = evaluate(key, path)
        timing_file = OUT / f"{key}.json"
        timing = json.loads(timing_file.read_text()) if timing_file.exists() else None
        sections[key] = _section(report, timing)
        print(sections[key])
        ships = report["passes"] or NETWORKS[key].ships_below_bar
        if args.install and ships and path.parent != MODELS:
            shutil.copyfile(path, MODELS / f"{key}.eisnn")
            print(f"{key}: installed {MODELS / (key + '.eisnn')}")
        write_report(sections)


if __name__ == "__main__":
    main()
