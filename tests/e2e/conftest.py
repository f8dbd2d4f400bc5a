"""Fixtures of the end-to-end tests; the harness itself lives in harness.py."""

from harness import (  # noqa: F401  (fixtures are found by name)
    arch,
    certs,
    collector,
    game,
    game_factory,
    start_collector,
    trusted_prefix,
)
