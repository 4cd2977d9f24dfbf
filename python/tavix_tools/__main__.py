import sys

from tavix_tools.cli import main

sys.exit(main())
