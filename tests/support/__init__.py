"""Test-only extensions of vornaquill, built only with VORNAQUILL_TEST_SUPPORT=ON."""
