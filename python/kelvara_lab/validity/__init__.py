"""Is the spectrum valid before anything is fitted to it: the Lin-KK test (``kk``) and the
Z-HIT reconstruction of the modulus from the phase (``zhit``)."""
