import matplotlib
import pytest
from lab_samples import SAMPLES

matplotlib.use("Agg")


@pytest.fixture
def samples():
    if SAMPLES is None:
        pytest.skip("no instrument samples: ../shared/instrument-samples is absent")
    return SAMPLES
