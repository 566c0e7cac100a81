#!/usr/bin/env python3
"""Checks of the Windows kits that cpack makes, without running Windows code.

    check_kit.py contents  --arch x86|x64 --package DIR --version V --work DIR
    check_kit.py msvc-link --arch x86|x64 --work DIR --clang C --lld-link L --objdump O
                           [--mingw-example EXE]
    check_kit.py signing   --arch x86|x64 --package DIR --version V --work DIR
                           --sign SCRIPT --osslsigncode P --openssl P
    check_kit.py csharp    --example FILE --mcs P --work DIR

contents unpacks the kit into WORK/kit (the other checks and the Wine tests
use it); msvc-link leaves WORK/msvc_link.exe (and checks the C example that
MinGW linked against the kit's libQ48Reader.dll.a); signing leaves WORK/signed (the
kit signed with a throwaway certificate). Exit 0: passed; 1: failed; 77:
skipped, because a tool or a kit is missing (the reason is printed).
"""
import argparse
import hashlib
import os
import re
import shutil
import struct
import subprocess
import sys
import zipfile
import zlib

SKIP = 77
MACHINES = {"x86": 0x14C, "x64": 0x8664}
# The kit's programs and DLLs, wherever they are.
BINARY = r"(bin|service|service/stand-in)/[^/]+\.(exe|dll)"
SYSTEMS = {"x86": "win32", "x64": "win64"}
# What an integrator needs in every kit; setup.exe installs 32-bit controls.
REQUIRED = ["README.txt", "SHA256SUMS", "bin/Q48Reader.dll", "bin/WltRS.dll", "bin/q48.exe",
            "bin/q48-emulator.exe", "service/q48-service.exe", "service/stand-in/WltRS.dll",
            "include/Q48Reader.h", "lib/Q48Reader.lib", "lib/Q48Reader.def",
            "examples/read_card.c", "examples/ReadCard.cs", "examples/read_card.py"]
EXPORTS = {"zelListReaderCard", "zelReadCard", "zelReadICCID", "zelReadCardType", "zelWriteCard"}

failures = []


def fail(message):
    print("FAIL:", message)
    failures.append(message)


def skip(reason):
    print("skipped:", reason)
    sys.exit(SKIP)


def need(tool, name, package):
    if not tool or not shutil.which(tool):
        skip(f"{name} is not installed (Debian package {package})")
    return tool


def kit_name(args):
    return f"Q48Reader-{args.version}-{SYSTEMS[args.arch]}"


def kit_zip(args, suffix=""):
    path = os.path.join(args.package, kit_name(args) + suffix + ".zip")
    if not os.path.isfile(path):
        skip(f"{path} is missing (run cpack in the windows-{args.arch} build tree)")
    return path


# ---------------------------------------------------------------------------
# PE files: sections (long names from the string table), the debug link and
# the version resource.

class Pe:
    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE header")
        (self.machine, count, _, self.symbol_table, self.symbols, optional, _) = \
            struct.unpack_from("<HHIIIHH", data, pe + 4)
        strings = self.symbol_table + 18 * self.symbols
        self.sections = {}
        for i in range(count):
            at = pe + 24 + optional + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii")
            if name.startswith("/"):
                start = strings + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode("ascii")
            virtual_size, address, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections[name] = (address, raw, min(virtual_size or raw_size, raw_size))

    def section(self, name):
        _, raw, size = self.sections[name]
        return self.data[raw:raw + size]

    def at_rva(self, rva):
        for address, raw, size in self.sections.values():
            if address <= rva < address + size:
                return raw + rva - address
        raise ValueError(f"RVA {rva:#x} is in no section")

    def debug_link(self):
        """(file name, CRC-32) of .gnu_debuglink, or None."""
        if ".gnu_debuglink" not in self.sections:
            return None
        link = self.section(".gnu_debuglink")
        end = link.index(b"\0")
        return link[:end].decode(), struct.unpack_from("<I", link, (end + 4) & ~3)[0]

    def version_info(self):
        """(fixed file version, fixed product version, {key: text}) of the RT_VERSION resource."""
        base = self.sections[".rsrc"][0]

        def entries(rva):
            at = self.at_rva(rva)
            named, ids = struct.unpack_from("<HH", self.data, at + 12)
            for i in range(named + ids):
                ident, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                yield ident, target

        def first_leaf(target):
            while target & 0x80000000:
                target = next(entries(base + (target & 0x7FFFFFFF)))[1]
            rva, size = struct.unpack_from("<II", self.data, self.at_rva(base + target))
            return self.data[self.at_rva(rva):self.at_rva(rva) + size]

        version = next((target for ident, target in entries(base) if ident == 16), None)
        if version is None:
            raise ValueError("no version resource")
        return parse_version_block(first_leaf(version))


def parse_version_block(block):
    """VS_VERSIONINFO: its fixed part and every String of its StringFileInfo."""
    def node(at):
        length, value_length, kind = struct.unpack_from("<HHH", block, at)
        end = at + 6
        while block[end:end + 2] != b"\0\0":
            end += 2
        key = block[at + 6:end].decode("utf-16-le")
        value_at = (end + 2 + 3) & ~3
        value_size = value_length * 2 if kind == 1 else value_length
        value = block[value_at:value_at + value_size]
        children, child = [], (value_at + value_size + 3) & ~3
        while child < at + length:
            children.append(node(child))
            child = (child + children[-1][3] + 3) & ~3
        return key, value, children, length

    key, fixed, children, _ = node(0)
    if key != "VS_VERSION_INFO" or struct.unpack_from("<I", fixed)[0] != 0xFEEF04BD:
        raise ValueError("not a VS_VERSIONINFO")
    ms, ls, pms, pls = struct.unpack_from("<IIII", fixed, 8)
    numbers = lambda high, low: (high >> 16, high & 0xFFFF, low >> 16, low & 0xFFFF)  # noqa: E731
    strings = {}
    for child_key, _, tables, _ in children:
        if child_key == "StringFileInfo":
            for _, _, texts, _ in tables:
                for text_key, value, _, _ in texts:
                    strings[text_key] = value.decode("utf-16-le", errors="replace").split("\0")[0]
    return numbers(ms, ls), numbers(pms, pls), strings


def expected_numbers(version):
    numbers = [int(n) for n in version.split(".")]
    return tuple((numbers + [0, 0, 0, 0])[:4])


# ---------------------------------------------------------------------------

def contents(args):
    kit = zipfile.ZipFile(kit_zip(args))
    debug = zipfile.ZipFile(kit_zip(args, "-debug"))
    top = kit_name(args) + "/"
    for archive, label in ((kit, "kit"), (debug, "debug zip")):
        for info in archive.infolist():
            if not info.filename.startswith(top):
                fail(f"{label}: {info.filename} is outside the top folder {top}")
    files = {i.filename[len(top):]: kit.read(i) for i in kit.infolist() if not i.is_dir()}
    debug_files = {i.filename[len(top):]: debug.read(i) for i in debug.infolist() if not i.is_dir()}

    required = REQUIRED + (["bin/setup.exe"] if args.arch == "x86" else [])
    for name in required:
        if name not in files:
            fail(f"the kit lacks {name}")

    # SHA256SUMS: every other file, once, with its hash.
    listed = {}
    for line in files.get("SHA256SUMS", b"").decode().splitlines():
        match = re.fullmatch(r"([0-9a-f]{64})  (\S+)", line)
        if not match:
            fail(f"SHA256SUMS: malformed line {line!r}")
        elif match.group(2) in listed:
            fail(f"SHA256SUMS lists {match.group(2)} twice")
        else:
            listed[match.group(2)] = match.group(1)
    if set(listed) != set(files) - {"SHA256SUMS"}:
        fail(f"SHA256SUMS lists {sorted(listed)}, the kit holds {sorted(set(files) - {'SHA256SUMS'})}")
    for name, digest in listed.items():
        if name in files and hashlib.sha256(files[name]).hexdigest() != digest:
            fail(f"SHA256SUMS: wrong hash of {name}")

    # README.txt: UTF-8 with BOM, CR LF, Chinese and English, every file named.
    readme = files.get("README.txt", b"")
    if not readme.startswith(b"\xef\xbb\xbf"):
        fail("README.txt does not start with a UTF-8 BOM")
    if re.search(rb"(?<!\r)\n", readme):
        fail("README.txt has a line end without CR")
    text = readme.decode("utf-8", errors="replace")
    for phrase in ["替身", "stand-in", "__stdcall", "52200",
                   *sorted(EXPORTS), args.version, f"{'32' if args.arch == 'x86' else '64'}-bit"]:
        if phrase not in text:
            fail(f"README.txt does not mention {phrase}")
    for name in files:
        windows = name.replace("/", "\\")
        pattern = os.path.dirname(windows) + "\\*" + os.path.splitext(name)[1]
        if windows not in text and pattern not in text and name != "README.txt":
            fail(f"README.txt does not say what {windows} is")

    # Binaries: stripped, the kit's machine, a debug link to a .debug file with
    # the debugging information, and version information.
    # A decoder beside the service would hide a real one in the system folder.
    if "service/WltRS.dll" in files:
        fail("service/WltRS.dll: the stand-in decoder is beside q48-service.exe")
    binaries = [name for name in files if re.fullmatch(BINARY, name)]
    for name in binaries:
        base = os.path.basename(name)
        try:
            pe = Pe(files[name])
            if pe.machine != MACHINES[args.arch]:
                fail(f"{name}: machine {pe.machine:#x}, not {args.arch}")
            kept = [s for s in pe.sections if s.startswith(".debug")]
            if kept or pe.symbols:
                fail(f"{name} is not stripped: {pe.symbols} symbols, sections {kept}")
            link = pe.debug_link()
            debug_name = os.path.dirname(name) + "/" + base + ".debug"
            if link is None or link[0] != base + ".debug":
                fail(f"{name}: debug link {link}, expected {base}.debug")
            elif debug_name not in debug_files:
                fail(f"the debug zip lacks {debug_name}")
            else:
                if zlib.crc32(debug_files[debug_name]) != link[1]:
                    fail(f"{name}: the debug link's CRC does not match {debug_name}")
                info = Pe(debug_files[debug_name]).sections.get(".debug_info")
                if not info or info[2] == 0:
                    fail(f"{debug_name} holds no .debug_info")
            fixed, product, strings = pe.version_info()
            want = expected_numbers(args.version)
            if fixed != want or product != want:
                fail(f"{name}: fixed versions {fixed} {product}, expected {want}")
            for key, value in (("ProductName", "Q48Reader"), ("ProductVersion", args.version),
                               ("FileVersion", args.version), ("OriginalFilename", base)):
                if strings.get(key) != value:
                    fail(f"{name}: {key} is {strings.get(key)!r}, expected {value!r}")
            if not strings.get("FileDescription"):
                fail(f"{name}: no FileDescription")
        except (ValueError, KeyError, IndexError, struct.error) as error:
            fail(f"{name}: unreadable PE file ({error})")
    if sorted(debug_files) != sorted(f"{name}.debug" for name in binaries):
        fail(f"the debug zip holds {sorted(debug_files)}, not one .debug for each binary")

    # The unpacked kit, for the other checks.
    target = os.path.join(args.work, "kit")
    shutil.rmtree(target, ignore_errors=True)
    for name, data in files.items():
        os.makedirs(os.path.dirname(os.path.join(target, name)), exist_ok=True)
        with open(os.path.join(target, name), "wb") as out:
            out.write(data)
    print(f"{len(files)} files, {len(binaries)} binaries checked in {kit_name(args)}")


def objdump_imports(objdump, path):
    """{DLL name: [imported names]} from objdump -p."""
    imports, current = {}, None
    for line in subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout.splitlines():
        match = re.match(r"\s*DLL Name: (\S+)", line)
        if match:
            current = imports.setdefault(match.group(1), [])
        elif current is not None and re.match(r"\s+[0-9a-f]+\s+\d+\s+\S+$", line):
            current.append(line.split()[-1])
        elif not line.strip():
            current = None
    return imports


def objdump_exports(objdump, path):
    text = subprocess.run([objdump, "-p", path], capture_output=True, text=True, check=True).stdout
    table = text.split("[Ordinal/Name Pointer] Table", 1)[-1].split("\n\n", 1)[0]
    return set(re.findall(r"\[\s*\d+\]\s+(\S+)", table))


def msvc_link(args):
    clang = need(args.clang, "clang", "clang")
    lld_link = need(args.lld_link, "lld-link", "lld")
    objdump = need(args.objdump, args.objdump,
                   f"binutils-mingw-w64-{'i686' if args.arch == 'x86' else 'x86-64'}")
    kit = os.path.join(args.work, "kit")
    if not os.path.isfile(os.path.join(kit, "lib/Q48Reader.lib")):
        skip(f"{kit} is missing (the kit.{args.arch}.contents check unpacks it)")
    target = {"x86": "i686-pc-windows-msvc", "x64": "x86_64-pc-windows-msvc"}[args.arch]
    source = os.path.join(os.path.dirname(os.path.abspath(__file__)), "msvc_link.c")
    obj = os.path.join(args.work, "msvc_link.obj")
    exe = os.path.join(args.work, "msvc_link.exe")
    for path in (obj, exe):
        if os.path.exists(path):
            os.remove(path)
    # No C runtime: no builtin calls (memset ...), no stack probes' helper.
    compile_run = subprocess.run([clang, f"--target={target}", "-O2", "-fno-builtin", "-Wall", "-Werror",
                                  "-I", os.path.join(kit, "include"), "-c", source, "-o", obj],
                                 capture_output=True, text=True)
    link_run = compile_run.returncode == 0 and subprocess.run(
        [lld_link, "/nologo", "/entry:Start", "/subsystem:console", "/nodefaultlib", f"/out:{exe}", obj,
         os.path.join(kit, "lib/Q48Reader.lib")], capture_output=True, text=True)
    if compile_run.returncode != 0:
        fail(f"clang: {compile_run.stderr}")
    elif link_run.returncode != 0:
        fail(f"lld-link against Q48Reader.lib alone: {link_run.stdout}{link_run.stderr}")
    else:
        imports = objdump_imports(objdump, exe)
        if list(imports) != ["Q48Reader.dll"] or set(imports["Q48Reader.dll"]) != EXPORTS:
            fail(f"msvc_link.exe imports {imports}, expected the five exports from Q48Reader.dll only")
        missing = EXPORTS - objdump_exports(objdump, os.path.join(kit, "bin/Q48Reader.dll"))
        if missing:
            fail(f"the kit's Q48Reader.dll does not export {sorted(missing)}")
        print(f"{exe}: imports {imports}")
    # The C example, linked by MinGW against the kit's libQ48Reader.dll.a.
    if args.mingw_example:
        if not os.path.isfile(args.mingw_example):
            skip(f"{args.mingw_example} is missing (build the windows-{args.arch} preset)")
        imported = set(objdump_imports(objdump, args.mingw_example).get("Q48Reader.dll", []))
        if imported != EXPORTS:
            fail(f"{args.mingw_example} imports {sorted(imported)} from Q48Reader.dll, not the five exports")


def signing(args):
    ossl = need(args.osslsigncode, "osslsigncode", "osslsigncode")
    openssl = need(args.openssl, "openssl", "openssl")
    original = zipfile.ZipFile(kit_zip(args))
    work = os.path.join(args.work, "signing")
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    run = lambda *command: subprocess.run(command, capture_output=True, text=True, cwd=work)  # noqa: E731

    made = run(openssl, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out", "cert.pem",
               "-days", "2", "-subj", "/CN=Q48Reader throwaway test signer",
               "-addext", "extendedKeyUsage=codeSigning")
    if made.returncode != 0:
        fail(f"openssl: {made.stderr}")
        return
    zip_path = os.path.join(work, os.path.basename(kit_zip(args)))
    shutil.copy(kit_zip(args), zip_path)
    signed_run = run("bash", args.sign, "--cert", "cert.pem", "--key", "key.pem", zip_path)
    if signed_run.returncode != 0:
        fail(f"sign.sh: {signed_run.stdout}{signed_run.stderr}")
        return

    top = kit_name(args) + "/"
    signed = zipfile.ZipFile(zip_path)
    target = os.path.join(args.work, "signed")
    shutil.rmtree(target, ignore_errors=True)
    signed.extractall(args.work)
    os.rename(os.path.join(args.work, top), target)
    names = sorted(i.filename[len(top):] for i in original.infolist() if not i.is_dir())
    if sorted(i.filename[len(top):] for i in signed.infolist() if not i.is_dir()) != names:
        fail("signing changed the kit's list of files")
    sums = {line[66:]: line[:64] for line in open(os.path.join(target, "SHA256SUMS")).read().splitlines()}
    binaries = [n for n in names if re.fullmatch(BINARY, n)]
    for name in names:
        data = open(os.path.join(target, name), "rb").read()
        if name != "SHA256SUMS" and sums.get(name) != hashlib.sha256(data).hexdigest():
            fail(f"the signed kit's SHA256SUMS is wrong for {name}")
        if name in binaries:
            verified = run(ossl, "verify", "-CAfile", "cert.pem", "-in", os.path.join(target, name))
            if verified.returncode != 0 or "Signature verification: ok" not in verified.stdout:
                fail(f"{name}: osslsigncode verify: {verified.stdout}{verified.stderr}")
            if Pe(data).debug_link() != Pe(original.read(top + name)).debug_link():
                fail(f"{name}: signing changed the debug link")
        elif data != original.read(top + name) and name != "SHA256SUMS":
            fail(f"signing changed {name}, which is no program or DLL")
    # The check sees an unsigned file as unsigned.
    unsigned = os.path.join(work, "unsigned.dll")
    with open(unsigned, "wb") as out:
        out.write(original.read(top + "bin/Q48Reader.dll"))
    if run(ossl, "verify", "-CAfile", "cert.pem", "-in", unsigned).returncode == 0:
        fail("osslsigncode verify accepts an unsigned DLL: the check proves nothing")
    print(f"{len(binaries)} binaries signed and verified in {target}")


def csharp(args):
    mcs = need(args.mcs, "mcs", "mono-mcs")
    os.makedirs(args.work, exist_ok=True)
    out = os.path.join(args.work, "ReadCard.exe")
    built = subprocess.run([mcs, "-warnaserror", "-platform:x86", f"-out:{out}", args.example],
                           capture_output=True, text=True)
    if built.returncode != 0:
        fail(f"mcs: {built.stdout}{built.stderr}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("check", choices=["contents", "msvc-link", "signing", "csharp"])
    for option in ("--arch", "--package", "--version", "--work", "--clang", "--lld-link", "--objdump",
                   "--sign", "--osslsigncode", "--openssl", "--mcs", "--example", "--mingw-example"):
        parser.add_argument(option)
    args = parser.parse_args()
    if args.work:
        os.makedirs(args.work, exist_ok=True)
    {"contents": contents, "msvc-link": msvc_link, "signing": signing, "csharp": csharp}[args.check](args)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
