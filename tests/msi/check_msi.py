#!/usr/bin/env python3
"""Static checks of the service's MSI packages.

The x86 package, which counters use, cannot be installed here (32-bit
programs do not run on this machine); the x64 one is installed under wine64
by msi_wine_test.cpp. So the x86 package is held to the x64 one table by
table, where only what the architecture decides may differ; its programs are
checked for their machine. Both carry what Wine cannot show: the service's
account; its failure actions, SID type and preshutdown timeout by
MsiConfigureServices; no custom action that can roll the installation back;
the data folder's access list; the settings passed into a managed install.
Both packages can be signed.

Exit status 77: skipped (a tool or package missing).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys

# Columns that differ by architecture or by build, per table: the x64 value
# is compared after `normalise`, or not at all (None).
ARCH_COLUMNS = {
    "Component": {1: None, 3: "attributes"},  # generated GUIDs; msidbComponentAttributes64bit
    "RegLocator": {4: "reglocator"},          # msidbLocatorType64bit
    "Directory": {0: "folder", 1: "folder"},
    "File": {3: None},                        # sizes
    "MsiFileHash": None,                      # contents
    "Property": {"ProductCode": None},
}


def fail(message):
    print("FAIL: " + message, file=sys.stderr)
    sys.exit(1)


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, **kwargs)
    if result.returncode != 0:
        fail("%s: %s%s" % (" ".join(args), result.stdout, result.stderr))
    return result.stdout


def tables(msiinfo, package):
    names = sorted(run(msiinfo, "tables", package).split())
    out = {}
    for name in names:
        if name.startswith("_"):
            continue
        lines = run(msiinfo, "export", package, name).splitlines()
        out[name] = [line.split("\t") for line in lines[3:]]  # after the columns, types and keys
    return out


def normalise(kind, value):
    if kind == "attributes":
        return str(int(value) & ~256)
    if kind == "reglocator":
        return str(int(value) & ~16)
    if kind == "folder":
        return value.replace("ProgramFiles64Folder", "ProgramFilesFolder")
    return value


def comparable(table, rows):
    rule = ARCH_COLUMNS.get(table, {})
    if table in ARCH_COLUMNS and rule is None:
        return [len(rows)]
    out = []
    for row in rows:
        if table == "Property" and row[0] in rule:
            row = [row[0], "<build>"]
        else:
            row = [("<build>" if rule.get(i) is None else normalise(rule[i], cell)) if i in rule else cell
                   for i, cell in enumerate(row)]
        out.append(row)
    return sorted(out)


def row(tables_, table, key):
    for r in tables_.get(table, []):
        if r[0] == key:
            return r
    fail("%s has no row %s" % (table, key))


def service_sid(name):
    """NT SERVICE\\NAME's SID: S-1-5-80 and the SHA-1 of the upper-case name
    in UTF-16LE as five little-endian numbers (what `sc showsid` prints)."""
    digest = hashlib.sha1(name.upper().encode("utf-16-le")).digest()
    return "S-1-5-80-" + "-".join(str(n) for n in struct.unpack("<5I", digest))


# Custom action types that only set a property or a folder: nothing that can
# fail (msidbCustomActionTypeTextData with a property or a directory).
SETTERS = {51, 35}


def check_service_configuration(name, t, service):
    """The service's configuration by Windows Installer 5.0's own tables, and
    no custom action whose failure could roll the installation back."""
    sequence = {r[0]: int(r[2]) for r in t["InstallExecuteSequence"]}
    if not sequence.get("InstallServices", 0) < sequence.get("MsiConfigureServices", 0) < sequence.get("StartServices", 0):
        fail("%s: MsiConfigureServices is not between InstallServices and StartServices: %s" % (name, sequence))
    failure = row(t, "MsiServiceConfigFailureActions", "RestartOnFailure")
    # Name, Event (install and reinstall), ResetPeriod, ..., Actions (restart x3), DelayActions, Component_.
    if failure[1:4] != [service, "5", "86400"] or failure[6:] != ["1[~]1[~]1", "5000[~]30000[~]60000", "Service"]:
        fail("%s: failure actions: %s" % (name, failure))
    config = {r[3]: r for r in t.get("MsiServiceConfig", [])}
    # 4 failure actions flag, 5 service SID type (1: unrestricted), 7 preshutdown timeout (ms).
    for kind, check in (("4", lambda a: a == "1"), ("5", lambda a: a == "1"),
                        # kLongestStop in tools/common/service_platform.h: a SIM write (30 s) and 5 s.
                        ("7", lambda a: a.isdigit() and int(a) >= 35000)):
        r = config.get(kind)
        if r is None or r[1] != service or r[2] != "5" or r[5] != "Service" or not check(r[4]):
            fail("%s: MsiServiceConfig row of type %s: %s" % (name, kind, r))
    for action in t["CustomAction"]:
        kind = int(action[1])
        # msidbCustomActionTypeContinue (0x40): its return is ignored.
        if kind & 0x3F not in SETTERS and kind & 0x40 == 0:
            fail("%s: custom action %s can fail the installation: %s" % (name, action[0], action))
    action = row(t, "CustomAction", "ConfigureService")
    # Deferred (0x400), as LocalSystem (0x800), after MsiConfigureServices.
    if int(action[1]) & 0xC00 != 0xC00 or action[3] != "--configure-service" or \
            not sequence["MsiConfigureServices"] < sequence["ConfigureService"] < sequence["StartServices"]:
        fail("%s: the program's own restart-on-failure step: %s" % (name, action))
    # The data folder: SYSTEM and the Administrators, the service's own SID;
    # nothing inherited, nobody else.
    lock = row(t, "MsiLockPermissionsEx", "DataFolder")
    aces = re.findall(r"\(([^)]*)\)", lock[3])
    trustees = sorted(ace.split(";")[5] for ace in aces)
    if lock[1:3] != ["DATADIR", "CreateFolder"] or not lock[3].startswith("D:P(") or \
            trustees != sorted(["SY", "BA", service_sid(service)]):
        fail("%s: the data folder's access list: %s" % (name, lock))


def main():
    parser = argparse.ArgumentParser()
    for option in ("x86", "x64", "version", "work", "msiinfo", "msiextract", "check-exe", "objdump", "objdump64", "sign",
                   "osslsigncode", "openssl"):
        parser.add_argument("--" + option, required=True)
    args = parser.parse_args()
    for tool in (args.msiinfo, args.msiextract, args.osslsigncode, args.openssl, args.objdump, args.objdump64):
        if not shutil.which(tool):
            print("skipped: %s is missing (scripts/setup.sh installs it)" % tool)
            return 77
    for package in (args.x86, args.x64):
        if not os.path.isfile(package):
            print("skipped: %s is missing: build the windows-x86 and windows-x64 presets first" % package)
            return 77

    # The summary: the architecture each package installs for.
    for package, template in ((args.x86, "Intel;1033"), (args.x64, "x64;1033")):
        summary = run(args.msiinfo, "suminfo", package)
        if not re.search(r"^Template: %s$" % re.escape(template), summary, re.M):
            fail("%s: the summary's template is not %s:\n%s" % (package, template, summary))

    x86, x64 = tables(args.msiinfo, args.x86), tables(args.msiinfo, args.x64)
    if sorted(x86) != sorted(x64):
        fail("the packages have different tables: x86 %s, x64 %s" % (sorted(x86), sorted(x64)))
    for table in sorted(x86):
        if comparable(table, x86[table]) != comparable(table, x64[table]):
            fail("table %s differs beyond the architecture:\nx86 %s\nx64 %s" % (table, x86[table], x64[table]))
    # Every x64 component and registry search in the 64-bit view.
    for table, index, bit in (("Component", 3, 256), ("RegLocator", 4, 16)):
        if any(int(r[index]) & bit == 0 for r in x64[table]):
            fail("x64 %s rows without the 64-bit flag: %s" % (table, x64[table]))
    # Components without a file have their own GUID in each package.
    guids = {r[0]: r[1] for r in x86["Component"]}
    shared = [r[0] for r in x64["Component"] if guids.get(r[0]) == r[1]]
    if shared:
        fail("components with the same GUID in both packages: %s" % shared)

    # What the installer under Wine does not show.
    for name, t in (("x86", x86), ("x64", x64)):
        service = row(t, "ServiceInstall", "Service")
        if service[1] != "q48-service" or service[4] != "2" or service[8] != "NT AUTHORITY\\LocalService":
            fail("%s: the service is not q48-service, started automatically, as LocalService: %s" % (name, service))
        check_service_configuration(name, t, service[1])
        secure = row(t, "Property", "SecureCustomProperties")[1].split(";")
        if not {"ALLOWORIGIN", "LISTEN", "PORT", "WATCHINTERVAL", "WIX_UPGRADE_DETECTED"} <= set(secure):
            fail("%s: SecureCustomProperties: %s" % (name, secure))
        if row(t, "Property", "ProductVersion")[1] != args.version or row(t, "Property", "Manufacturer")[1] != "Q48Reader":
            fail("%s: version or publisher for Programs and Features" % name)
        if int(row(t, "Feature", "StandInDecoder")[5]) <= 1:
            fail("%s: the stand-in decoder is installed by default" % name)

    # The programs inside: the x86 package's are i386 and import only system
    # DLLs; the x64 package's are x86-64.
    for name, package, machine in (("x86", args.x86, "pei-i386"), ("x64", args.x64, "pei-x86-64")):
        folder = os.path.join(args.work, name)
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        run(args.msiextract, "-C", folder, package)
        found = {f: os.path.join(d, f) for d, _, files in os.walk(folder) for f in files}
        if sorted(found) != ["WltRS.dll", "q48-service.exe"]:
            fail("%s: the package holds %s" % (name, sorted(found)))
        if os.path.basename(os.path.dirname(found["WltRS.dll"])) != "stand-in":
            fail("%s: the stand-in decoder is not in stand-in\\ beside the program" % name)
        for program in found.values():
            header = subprocess.run([args.objdump64, "-f", program], capture_output=True, text=True).stdout
            if "file format " + machine not in header:
                fail("%s: %s is not %s:\n%s" % (name, program, machine, header))
        if name == "x86":
            run("sh", args.check_exe, found["q48-service.exe"], args.objdump)

    # Signing: scripts/sign.sh signs a package in place; osslsigncode verifies it.
    signing = os.path.join(args.work, "signing")
    shutil.rmtree(signing, ignore_errors=True)
    os.makedirs(signing)
    run(args.openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj", "/CN=Q48Reader test",
        "-keyout", os.path.join(signing, "key.pem"), "-out", os.path.join(signing, "cert.pem"))
    for package in (args.x86, args.x64):
        copy = os.path.join(signing, os.path.basename(package))
        shutil.copy(package, copy)
        run("bash", args.sign, "--cert", os.path.join(signing, "cert.pem"), "--key", os.path.join(signing, "key.pem"),
            copy)
        verify = subprocess.run([args.osslsigncode, "verify", "-CAfile", os.path.join(signing, "cert.pem"), copy],
                                capture_output=True, text=True)
        if verify.returncode != 0 or "Signature verification: ok" not in verify.stdout:
            fail("%s: signature not verified:\n%s%s" % (copy, verify.stdout, verify.stderr))
        if run(args.msiinfo, "tables", copy).split() != run(args.msiinfo, "tables", package).split():
            fail("%s: signing changed the package's tables" % copy)
    print("x86 and x64 packages: same tables beyond the architecture, programs for their machine, signed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
