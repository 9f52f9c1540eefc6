"""Main job: load both libraries and show what they derive from the shipped
input document."""
from dm.arm.cfgbase import Common
from dm.arm.trafswap import SwitchTraffic


def main():
    print(f"Input document: {len(Common.REGION)} regions, reserved subnets {Common.AZURE_SUBNET}")
    print("Gateway names per region with a gateway code:")
    for region in SwitchTraffic.region:
        transit = SwitchTraffic.deduceTransitNameWithRegion(region)
        spoke = SwitchTraffic.deduceGwNameWithSubnetCidr(region, "10.20.0.0/24")
        print(f"  {region:<14} transit {transit:<22} spoke for 10.20.0.0/24 {spoke}")


if __name__ == "__main__":
    main()
