import pytest

from dm.arm.res.Globals import Globals
from dm.arm.res.YamlContext import YamlContext
from dm.arm.terraform import Terraform


@pytest.fixture(autouse=True)
def fresh_process_context():
    """Each test starts and leaves the process-wide contexts empty."""
    yield
    YamlContext.load({})
    YamlContext.setCredentialFactory(None)
    Globals.setDryRun(False)
    Terraform.outputFolder = None
