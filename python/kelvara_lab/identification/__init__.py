"""Which circuit do the data support: the grammar of candidate circuits (``candidates``), the
rules that prune them by the spectrum's features (``pruning``), and the fits and ranking
(``rank``)."""
