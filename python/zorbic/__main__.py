"""`python -m zorbic`: see zorbic.commands.main."""

import sys

from zorbic.commands.main import main

sys.exit(main())
