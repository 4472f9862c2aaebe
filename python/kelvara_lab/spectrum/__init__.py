"""A measured spectrum as the workflow carries it: the record every step takes (``record``)
and the data checks that run when a spectrum is read or loaded (``checks``)."""
