"""One circuit fitted to one spectrum and judged: the fit itself (``run``), the checked user
inputs it takes (``inputs``), its record (``report``), the verdict on it (``verdict``), and
several circuits fitted to one spectrum and ranked (``compare``)."""
