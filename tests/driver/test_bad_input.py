"""Bad input before a switch: one line per problem naming the file and the key, exit 2, nothing touched."""
import yaml

from test_migrate import SAMPLE_CONFIG, config_with, run


def changed(tmp_path, change):
    return config_with(tmp_path, change)


def test_every_problem_of_a_configuration_is_named_and_nothing_is_done(tmp_path):
    def spoil(document):
        spokes = document["account_info"][0]
        spokes["vnets"][0]["allow_vnet_cidrs"] = ["10.0.0.0/33"]
        spokes["vnets"].append(dict(spokes["vnets"][1], vnet_name="ghost-vnet"))
        spokes["vnets"].append(dict(spokes["vnets"][1]))                  # spoke2 listed twice
        document["account_info"].append(dict(document["account_info"][1],
                                             subscription_id="44444444-4444-4444-8444-444444444444"))
        del document["azure_cred"]["zentrova"]
        del document["switch_traffic"]["manage_propagate_gateway_routes"]
    config = changed(tmp_path, spoil)
    done = run(tmp_path, "switch", "--config", config, "--save-state", tmp_path / "after.json")
    assert done.returncode == 2, done.stdout + done.stderr
    errors = [line for line in done.stderr.splitlines() if line.startswith("error: ")]
    name = "error: " + str(config) + ": "
    assert name + "switch_traffic.manage_propagate_gateway_routes: missing key" in errors
    assert (name + "account_info[0] (spokes-prod).vnets[0] (spoke1-vnet).allow_vnet_cidrs: '10.0.0.0/33' "
            "is not a network range (") in "\n".join(errors)
    assert (name + "account_info[0] (spokes-prod): subscription 22222222-2222-4222-8222-222222222222 "
            "has no credential in azure_cred") in errors
    assert (name + "account_info[2] (hub-prod): subscription 44444444-4444-4444-8444-444444444444 "
            "has no credential in azure_cred") in errors
    assert "VNets spoke2-vnet, ghost-vnet are given the same spoke gateway spoke2-gw" in done.stderr
    assert "VNet spoke2-vnet is listed twice" in done.stderr
    assert done.stderr.splitlines()[-1] == "nothing was changed"
    assert "Traceback" not in done.stderr
    assert not (tmp_path / "after.json").exists() and not (tmp_path / "output").exists()


def test_a_vnet_missing_from_the_cloud_and_a_broken_file(tmp_path):
    def ghost(document):
        document["account_info"][0]["vnets"][0]["vnet_name"] = "ghost-vnet"
    config = changed(tmp_path, ghost)
    done = run(tmp_path, "plan", "--config", config)
    assert done.returncode == 2
    assert ("error: " + str(config) + ": account_info[0] (spokes-prod).vnets[0] (ghost-vnet): VNet ghost-vnet "
            "not found in subscription 22222222-2222-4222-8222-222222222222") in done.stderr.splitlines()

    broken = tmp_path / "broken.yaml"
    broken.write_text(SAMPLE_CONFIG.read_text().replace("label: MIGRATION", "label: [MIGRATION"))
    done = run(tmp_path, "switch", "--config", broken)
    assert done.returncode == 2
    assert done.stderr.splitlines()[0].startswith("error: " + str(broken) + ": line ")
    done = run(tmp_path, "switch", "--config", tmp_path / "absent.yaml")
    assert done.returncode == 2
    assert done.stderr.splitlines()[0] == ("error: " + str(tmp_path / "absent.yaml")
                                           + ": cannot read the configuration: No such file or directory")


def test_revert_takes_only_a_complete_records_file(tmp_path):
    records = tmp_path / "records.json"
    records.write_text('{"format": "dm-migration-records/1", "vnets": {"a')
    done = run(tmp_path, "revert", "--records", records)
    assert done.returncode == 2
    assert done.stderr.splitlines()[0].startswith("error: " + str(records) + ": cannot revert from it: "
                                                  "it is not complete JSON")
    done = run(tmp_path, "revert", "--records", tmp_path / "none.json")
    assert done.stderr.splitlines()[0] == ("error: " + str(tmp_path / "none.json")
                                           + ": cannot revert from it: the file does not exist")
    assert yaml.safe_load(SAMPLE_CONFIG.read_text())["label"] == "MIGRATION"
