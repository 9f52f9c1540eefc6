import pytest
from azure.identity import ClientSecretCredential

import dm.arm.res.YamlContext as yaml_context
from dm.arm.lib.arm_utils import get_ad_cs_credential
from dm.arm.res.YamlContext import YamlContext

DOCUMENT = {
    "config": {
        "configure_route_table_name": [{"key": "base", "value": "rt-{vnet}"}],
        "configure_main_route_table_prefix": None,
        "configure_shared_route_table_replication": 2,
    },
    "azure_cred": {
        "zentrova": {"arm_application_secret_env": "DEFAULT_SECRET", "arm_application_id": "app-0",
                     "arm_directory_id": "dir-0"},
        "app1": {"arm_subscription_id": ["sub-1", "sub-2"], "arm_application_secret_env": "APP1_SECRET",
                 "arm_application_id": "app-1", "arm_directory_id": "dir-1"},
        "app2": {"arm_subscription_id": ["sub-2"], "arm_application_secret_env": "APP2_SECRET",
                 "arm_application_id": "app-2", "arm_directory_id": "dir-2"},
    },
    "account_info": [{"subscription_id": "sub-1"}, {"subscription_id": "sub-3"}],
}


def record_of(subscriptionId):
    captured = []
    YamlContext.setCredentialFactory(lambda record: captured.append(record) or object())
    YamlContext().generateAzureCredential(subscriptionId).getCSC()
    return captured[0]


def test_global_options_and_their_defaults():
    YamlContext.load(DOCUMENT)
    assert YamlContext().getGlobalContext("configure_route_table_name") == [{"key": "base", "value": "rt-{vnet}"}]
    assert YamlContext().getGlobalContext("configure_shared_route_table_replication") == 2
    assert YamlContext().getGlobalContext("configure_main_route_table_prefix") == []
    assert YamlContext().getGlobalContext("configure_shared_route_table_name") == []
    YamlContext.load({"config": {}})
    assert YamlContext().getGlobalContext("configure_shared_route_table_replication") == 0
    assert YamlContext().getGlobalContext("configure_gw_name") is None


def test_subscription_credentials_follow_the_owning_entry():
    YamlContext.load(DOCUMENT)
    assert record_of("sub-1") == {"sub_id": "sub-1", "app_id": "app-1", "dir_id": "dir-1",
                                  "secret_env": "APP1_SECRET"}
    assert record_of("sub-2")["app_id"] == "app-2"      # the later entry wins
    assert record_of("sub-3")["app_id"] == "app-0"      # account on the default credential
    assert YamlContext().generateAzureCredential("sub-9") is None
    assert YamlContext().generateAzureCredential("zentrova") is None


def test_without_default_credential_only_listed_subscriptions_are_known():
    document = dict(DOCUMENT, azure_cred={"app1": DOCUMENT["azure_cred"]["app1"]})
    YamlContext.load(document)
    assert YamlContext().generateAzureCredential("sub-3") is None
    assert YamlContext().generateAzureCredential("sub-2").getSubId() == "sub-2"


def test_client_secret_comes_from_the_named_environment_variable(monkeypatch):
    YamlContext.load(DOCUMENT)
    monkeypatch.setenv("APP1_SECRET", "s3cr3t")
    built = []
    monkeypatch.setattr(yaml_context, "get_ad_cs_credential",
                        lambda *args: built.append(args) or get_ad_cs_credential(*args))
    cred = YamlContext().generateAzureCredential("sub-1")
    csc, spc = cred.getCSC(), cred.getSPC()
    assert isinstance(csc, ClientSecretCredential) and isinstance(spc, ClientSecretCredential)
    assert csc is cred.getCSC() and spc is not csc
    assert built == [("dir-1", "app-1", "s3cr3t")] * 2


def test_factory_override_then_restore_to_client_secrets(monkeypatch):
    YamlContext.load(DOCUMENT)
    static = object()
    YamlContext.setCredentialFactory(lambda record: static)
    cred = YamlContext().generateAzureCredential("sub-1")
    assert cred.getCSC() is static and cred.getSPC() is static
    YamlContext.setCredentialFactory(None)
    monkeypatch.delenv("APP1_SECRET", raising=False)
    with pytest.raises(LookupError, match="APP1_SECRET.*not set"):
        YamlContext().generateAzureCredential("sub-1").getCSC()


def test_one_credential_per_subscription_until_the_next_load():
    YamlContext.load(DOCUMENT)
    first = YamlContext().generateAzureCredential("sub-1")
    assert YamlContext().generateAzureCredential("sub-1") is first
    assert YamlContext().generateAzureCredential("sub-3") is not first
    YamlContext.load(DOCUMENT)
    assert YamlContext().generateAzureCredential("sub-1") is not first
