"""Command-line interface of tacitor: ``tacitor denoise``, ``tacitor demo``."""
