import sys

try:
    from tavix_tools.cli import main
except KeyboardInterrupt:  # Ctrl-C while Python was still loading the tool
    sys.exit(130)

sys.exit(main())
