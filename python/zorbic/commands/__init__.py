"""The command line, `python -m zorbic COMMAND`: one module per command. A new command goes here."""
