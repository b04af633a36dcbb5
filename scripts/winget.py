"""winget.py RELEASE URL: writes the Windows Package Manager's manifests of the release's MSIs
into RELEASE/winget/manifests/o/Ostrival/Ostrival/VERSION/, as the community repository lays
them out: the version, the installers and the default locale (ManifestVersion 1.12.0). Each
installer is the MSI at URL/NAME with the SHA-256 it has in RELEASE (signed, where the release
is), and the codes Windows Installer knows it by, as the MSI holds them; the release notes are
this version's from RELEASE/CHANGELOG.md. Nothing else varies, so the same release at the same
URL gives the same bytes."""

import hashlib
import os
import re
import subprocess
import sys

import yaml

release, url = sys.argv[1], sys.argv[2].rstrip("/")
IDENTIFIER, MANIFESTS, LOCALE = "Ostrival.Ostrival", "1.12.0", "en-US"
with open(os.path.join(release, "BUILDINFO"), encoding="utf-8") as f:
    version = re.search(r"^Version: (\S+)$", f.read(), re.M)[1]
with open(os.path.join(release, "CHANGELOG.md"), encoding="utf-8") as f:
    date, notes = re.search(rf"^## \[{re.escape(version)}\](?: - (\S+))?\n(.*?)(?=^## |^\[|\Z)",
                            f.read(), re.M | re.S).groups()


def properties(msi):
    """The MSI's Property table, as msiinfo reads it."""
    table = subprocess.run(["msiinfo", "export", msi, "Property"], check=True,
                           capture_output=True, text=True).stdout
    return dict(line.rstrip("\r").split("\t", 1) for line in table.splitlines()[3:])


installers = []
for arch in ("x64", "x86"):
    name = f"ostrival-{version}-{arch}.msi"
    path = os.path.join(release, name)
    msi = properties(path)
    with open(path, "rb") as f:
        digest = hashlib.sha256(f.read()).hexdigest().upper()
    installers.append({
        "Architecture": arch, "InstallerUrl": f"{url}/{name}", "InstallerSha256": digest,
        "ProductCode": msi["ProductCode"],
        "AppsAndFeaturesEntries": [{"DisplayName": msi["ProductName"],
                                    "Publisher": msi["Manufacturer"],
                                    "DisplayVersion": msi["ProductVersion"],
                                    "ProductCode": msi["ProductCode"],
                                    "UpgradeCode": msi["UpgradeCode"]}]})
# The x86 package refuses to install on 64-bit Windows: winget is not to offer it there.
installers[1]["UnsupportedOSArchitectures"] = ["x64", "arm64"]

common = {"PackageIdentifier": IDENTIFIER, "PackageVersion": version}
manifests = {
    "version": ("", {**common, "DefaultLocale": LOCALE}),
    # It installs a service, which needs an administrator: the community repository's rule.
    "installer": (".installer", {**common, "InstallerType": "wix", "Scope": "machine",
                                 "UpgradeBehavior": "install",
                                 **({"ReleaseDate": date} if date else {}),
                                 "ElevationRequirement": "elevationRequired",
                                 "Installers": installers}),
    "defaultLocale": (f".locale.{LOCALE}", {
        **common, "PackageLocale": LOCALE, "Publisher": properties(path)["Manufacturer"],
        "PackageName": "Ostrival", "License": "MIT",
        "ShortDescription": "A Windows service that broadcasts the PC's clock to its local "
                            "networks as NTP every 128 seconds.",
        "Moniker": "ostrival", "Tags": ["ntp", "time", "broadcast", "service"],
        "ReleaseNotes": notes.strip()}),
}


def block(dumper, text):
    """Text of several lines as YAML's literal block, as the notes read in CHANGELOG.md."""
    return dumper.represent_scalar("tag:yaml.org,2002:str", text, style="|" if "\n" in text else None)


yaml.SafeDumper.add_representer(str, block)
folder = os.path.join(release, "winget", "manifests", "o", "Ostrival", "Ostrival", version)
os.makedirs(folder)
for kind, (suffix, manifest) in manifests.items():
    manifest.update(ManifestType=kind, ManifestVersion=MANIFESTS)
    with open(os.path.join(folder, f"{IDENTIFIER}{suffix}.yaml"), "w", encoding="utf-8") as f:
        f.write(f"# yaml-language-server: $schema=https://aka.ms/winget-manifest.{kind}."
                f"{MANIFESTS}.schema.json\n")
        yaml.safe_dump(manifest, f, sort_keys=False, allow_unicode=True, width=100)
