"""Many spectra at once, serially, on threads, processes or a Dask cluster: the pooled runner
that keeps a dying worker's damage to its own spectra (``runner``), fits (``fits``) and DRTs
(``drt``) as results tables."""
