"""`python -m zorbic`: see zorbic.cli."""

import sys

from zorbic.cli import main

sys.exit(main())
