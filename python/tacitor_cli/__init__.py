"""Command-line interface of tacitor."""
