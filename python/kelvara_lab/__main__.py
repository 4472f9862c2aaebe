"""python -m kelvara_lab: the kelvara-lab command."""

from kelvara_lab.cli.main import main

main()
