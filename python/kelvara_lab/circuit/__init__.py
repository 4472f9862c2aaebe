"""Circuits as the companion reads them: registry names and the one notation reader, kelvara's
own parser reached through the engine (``notation``)."""
