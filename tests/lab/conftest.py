import matplotlib
import pytest
import tqdm

matplotlib.use("Agg")
# tqdm's monitor thread would outlive the bars and wake every few seconds, allocating
# while later tests count the interpreter's memory blocks.
tqdm.tqdm.monitor_interval = 0


@pytest.fixture(scope="module")
def dask_client():
    """Two worker processes on this machine, no network beyond the loopback; shut down with
    the module, so that no other test shares the machine with them."""
    distributed = pytest.importorskip("distributed")
    import dask

    with (
        # A task that kills its worker fails at once, not after three more workers.
        dask.config.set({"distributed.scheduler.allowed-failures": 0}),
        distributed.LocalCluster(
            n_workers=2,
            processes=True,
            threads_per_worker=1,
            dashboard_address=":0",  # any free port: 8787 may be taken
            host="127.0.0.1",
            timeout=60,
        ) as cluster,
        distributed.Client(cluster, timeout=60) as client,
    ):
        yield client
