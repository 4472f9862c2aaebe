"""Files in and out: instrument readers (``read``), the detection of files cut short
(``truncation``), the column names of a spectrum table (``columns``), results tables written
whole or not at all (``results``) and the JSON spelling of non-finite numbers
(``json_numbers``)."""
