"""The package's version: the one place it is written (the build reads it too)."""

__version__ = "0.2.0"
