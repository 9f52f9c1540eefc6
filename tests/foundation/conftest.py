import pytest

from foundation_env import run_python


@pytest.fixture
def fresh():
    return run_python
