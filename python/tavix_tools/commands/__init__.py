"""One module per subcommand of ``tavix``. Each defines:

    NAME              the word on the command line
    HELP              one line for ``tavix --help``
    ORDER             where it stands in ``tavix --help`` (smaller first)
    add_arguments(parser)   its options, on an argparse parser
    run(args) -> int        does the work; the exit status (0 success, 1 a device problem)

A subcommand raises errors.CommandError for a failure it can explain in one line.
"""
