"""Azure credential helpers."""
from azure.identity import ClientSecretCredential


def get_ad_cs_credential(tenant_id, client_id, client_secret):
    """An Azure AD client-secret credential for an application (service principal)."""
    return ClientSecretCredential(tenant_id, client_id, client_secret)
