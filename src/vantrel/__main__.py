# python -m vantrel: the vantrel command (see vantrel.cli).
import sys

from vantrel.cli import main

sys.exit(main())
