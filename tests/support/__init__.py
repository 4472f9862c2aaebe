"""What the suite shares with the training tools: the weight-file format and a NumPy
reference of the guesser network, both written apart from the module so that each checks
the other, and the element catalogue the tests expect."""
