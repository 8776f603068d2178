"""Fixtures shared by the module's test files."""

import pytest


@pytest.fixture
def a_file(tmp_path):
    """An empty file, where an option wants a folder."""
    path = tmp_path / "records.npy"
    path.write_bytes(b"")
    return path
