"""Ctrl-C stops a long fit promptly with KeyboardInterrupt, and polling changes nothing else."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

from kelvara import Circuit

# Budgets that run for minutes unless interrupted.
LONG = {
    "differential_evolution": {"de_evaluations": 10**9},
    "simulated_annealing": {"sa_iterations": 10**9, "seed": 1},
    "particle_swarm": {"num_particles": 100, "generations": 10**8, "seed": 1},
    "basin_hopping": {"basin_hopping_hops": 10**9, "seed": 1},
}

CHILD = textwrap.dedent(
    """
    import sys, time
    import numpy as np
    from kelvara import Circuit
    f = np.logspace(-2, 5, 40)
    c = Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    z = c.with_values([10, 100, 1e-5, 0.8, 1000, 1e-2, 0.9]).impedance(f) * (1 + 0.01j)
    print("fitting", flush=True)
    try:
        c.with_values([20, 50, 3e-5, 0.7, 500, 3e-2, 0.8]).fit(
            f, z, guess_init=False, method=sys.argv[1], **eval(sys.argv[2]))
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), flush=True)
        sys.exit(3)
    print("finished", flush=True)
    """
)


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child needs POSIX")
@pytest.mark.parametrize("method", LONG)
def test_sigint_raises_keyboard_interrupt_promptly(method):
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, method, repr(LONG[method])],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "fitting"
        time.sleep(1.0)
        assert child.poll() is None, "the fit ended before the signal"
        os.kill(child.pid, signal.SIGINT)
        out, err = child.communicate(timeout=120)
    finally:
        if child.poll() is None:
            child.kill()
            child.wait()
    # The budgets run for hours: an interrupt that comes back at all came from inside the fit.
    assert child.returncode == 3, (out, err)
    assert out.split()[0] == "interrupted"


@pytest.mark.parametrize(
    ("method", "options"),
    [
        ("simulated_annealing", {"sa_iterations": 200000, "seed": 1}),
        ("particle_swarm", {"num_particles": 100, "generations": 2000, "seed": 1}),
    ],
)
def test_signal_whose_handler_returns_leaves_the_fit_unchanged(method, options):
    f = np.logspace(-2, 5, 40)
    c = Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    z = c.with_values([10, 100, 1e-5, 0.8, 1000, 1e-2, 0.9]).impedance(f)
    start = c.with_values([20, 50, 3e-5, 0.7, 500, 3e-2, 0.8])

    def run():
        began = time.monotonic()
        r = start.fit(f, z, guess_init=False, method=method, **options)
        return (r.params, r.stderr, r.cost, r.iterations, r.impedance_evals, r.success), began

    began = time.monotonic()
    quiet, _ = run()
    duration = time.monotonic() - began
    handled = []
    previous = signal.signal(signal.SIGINT, lambda *_: handled.append(time.monotonic()))
    try:
        timer = threading.Timer(0.02, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        signalled, began = run()
        timer.join()
    finally:
        signal.signal(signal.SIGINT, previous)
    # Run by the fit's own polling, long before the fit would return.
    assert handled and handled[0] - began < 0.6 * duration, (handled, began, duration)
    assert signalled == quiet


# A child whose work runs on threads other than the main one.
THREADED = textwrap.dedent(
    """
    import sys, threading, time
    from concurrent.futures import ThreadPoolExecutor, wait
    import numpy as np
    from kelvara import Circuit
    f = np.logspace(-2, 5, 40)
    c = Circuit("R0-(R1,CPE1)-(R2,CPE2)")
    values = [10, 100, 1e-5, 0.8, 1000, 1e-2, 0.9]
    z = c.with_values(values).impedance(f) * (1 + 0.01j)
    start = c.with_values([20, 50, 3e-5, 0.7, 500, 3e-2, 0.8])
    many = np.logspace(-2, 5, 200_000)

    def work(kind):
        if kind == "fit":
            start.fit(f, z, guess_init=False, method="differential_evolution", de_evaluations=10**9)
        while kind == "impedance":
            c.with_values(values).impedance(many)
        while kind == "jacobian":
            c.jacobian(values, many[::100], np.ones(many[::100].size, complex))

    kind, how = sys.argv[1], sys.argv[2]
    if how == "pool":
        pool = ThreadPoolExecutor(2)
        futures = [pool.submit(work, kind) for _ in range(2)]
        print("working", flush=True)
        try:
            wait(futures)
        except KeyboardInterrupt:
            at = time.monotonic()
            errors = [type(future.exception(timeout=20)).__name__ for future in futures]
            print(*errors, time.monotonic() - at, flush=True)
            sys.exit(3)
    # Several daemon threads: at exit, one is sure to be inside kelvara.
    for _ in range(4 if how == "daemon" else 1):
        threading.Thread(target=work, args=(kind,), daemon=how == "daemon").start()
    print("working", flush=True)
    time.sleep(0.5 if how == "daemon" else 60)
    """
)


def run_threaded(kind, how, interrupt_after=None):
    with subprocess.Popen(
        [sys.executable, "-c", THREADED, kind, how],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    ) as child:
        try:
            assert child.stdout.readline().strip() == "working"
            if interrupt_after is not None:
                time.sleep(interrupt_after)
                assert child.poll() is None, "the work ended before the signal"
                os.kill(child.pid, signal.SIGINT)
            out, err = child.communicate(timeout=120)
        finally:
            if child.poll() is None:
                child.kill()
    return child.returncode, out, err


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child needs POSIX")
def test_sigint_stops_fits_on_pool_threads_promptly():
    code, out, err = run_threaded("fit", "pool", interrupt_after=1.0)
    assert code == 3, (out, err)
    # Each thread's fit has a budget of hours: both stopped from inside.
    *errors, _ = out.split()
    assert errors == ["KeyboardInterrupt", "KeyboardInterrupt"], (out, err)


# The interpreter finalizing while another thread is inside kelvara once ended in
# "terminate called without an active exception" and SIGABRT.
@pytest.mark.parametrize("kind", ["fit", "impedance", "jacobian"])
def test_exit_with_a_daemon_thread_inside_kelvara_is_clean(kind):
    code, out, err = run_threaded(kind, "daemon")
    assert code == 0, (code, err)
    assert "terminate" not in err


@pytest.mark.skipif(sys.platform == "win32", reason="SIGINT to a child needs POSIX")
@pytest.mark.parametrize("how", ["daemon", "thread"])
def test_sigint_while_a_worker_thread_fits_exits_cleanly(how):
    # "daemon": the main thread exits at once; "thread": it waits for the fit to stop.
    code, out, err = run_threaded("fit", how, interrupt_after=0.3)
    assert code == -signal.SIGINT, (code, err)
    assert "terminate" not in err
