import sys
from pathlib import Path

# The weight-file writer and the NumPy reference network live with the training tools.
sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "training"))
