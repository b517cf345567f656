"""Fixtures shared by the stand-ins' own tests."""

from __future__ import annotations

import pytest
from releaseservice import ReleaseService


@pytest.fixture(scope="module")
def _service():
    with ReleaseService() as service:
        yield service


@pytest.fixture
def svc(_service):
    """One service per test module, with no scripts or records left from other tests."""
    _service.clear_script()
    _service.clear_requests()
    return _service
