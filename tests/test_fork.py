"""Processes forked while other threads use the worker pool."""

import multiprocessing
import threading
import time

import numpy as np
import pytest

from kelvara import Circuit

NOTATION = "R0-(R1,C1)"
TRUTH = [10.0, 100.0, 1e-5]
# Past the size at which evaluation moves to the worker pool.
BIG_F = np.logspace(-1, 5, 3000)
F = BIG_F[::15]
Z = Circuit(NOTATION).with_values(TRUTH).impedance(F)
START = Circuit(NOTATION).with_values([20.0, 50.0, 3e-5])
CHILDREN = 40
DEADLINE_S = 90.0
CHILD_S = 15.0  # one child's work takes well under a second


def _use_the_pool():
    big = START.impedance(BIG_F)
    assert np.allclose(big[::15], START.impedance(F))
    START.jacobian(START.param_values(), F, Z)
    result = START.fit(F, Z, guess_init=False)
    assert result.success and np.allclose(result.circuit.param_values(), TRUTH, rtol=1e-6)


def _child(depth):
    _use_the_pool()
    if depth:  # a child of a child loses the stand-in threads too
        grandchild = multiprocessing.get_context("fork").Process(target=_child, args=(depth - 1,))
        grandchild.start()
        grandchild.join(30)
        if grandchild.exitcode != 0:
            grandchild.kill()
            raise SystemExit(3)


# Python 3.12+ warns that forking a threaded process may deadlock the child:
# that is the very case under test.
@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_children_forked_while_threads_use_the_pool_finish():
    stop = threading.Event()

    def busy():
        while not stop.is_set():
            START.impedance(BIG_F)
            START.jacobian(START.param_values(), F, Z)

    threads = [threading.Thread(target=busy) for _ in range(2)]
    for t in threads:
        t.start()
    context = multiprocessing.get_context("fork")
    deadline = time.monotonic() + DEADLINE_S
    outcomes = []
    try:
        for i in range(CHILDREN):
            child = context.Process(target=_child, args=(int(i % 8 == 0),))
            child.start()
            child.join(min(CHILD_S, max(0.0, deadline - time.monotonic())))
            if child.is_alive():  # hung: kill it, so the suite goes on
                child.kill()
                child.join()
                outcomes.append("hung")
            else:
                outcomes.append(child.exitcode)
    finally:
        stop.set()
        for t in threads:
            t.join()
    assert outcomes == [0] * CHILDREN
