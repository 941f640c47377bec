"""tacitor's companion package: everything in Python around the native ``tacitor`` module.

The command-line tool lives in :mod:`tacitor_tools.cli`.
"""
