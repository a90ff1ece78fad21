#!/usr/bin/python3
"""Checks that the Windows build's programs and packages carry the project's
one version number (project(joyvane VERSION ...) in CMakeLists.txt).

    check_version_info.py BUILD_DIR      (cpack must have run in BUILD_DIR)

- joyvane_service.exe and joyvane_console.exe: the VERSIONINFO resource, read
  from the PE file itself (python3-pefile): FILEVERSION and PRODUCTVERSION, and
  the exact strings of its U.S. English Unicode block;
- joyvane-<version>.msi: its ProductVersion (msiinfo);
- the package file names.

Prints one line per check and exits non-zero when one failed.
"""

import os
import re
import subprocess
import sys

import pefile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

DESCRIPTIONS = {
    "joyvane_service": "Joyvane service: the capture button as joystick buttons",
    "joyvane_console": "Joyvane console: the button bridge until Ctrl+C",
}

failures = 0


def check(ok, what, detail=""):
    global failures
    if ok:
        print(f"ok   version: {what}")
    else:
        failures += 1
        print(f"FAIL version: {what}" + (f" -- {detail}" if detail else ""))


def project_version():
    with open(os.path.join(REPO, "CMakeLists.txt"), encoding="utf-8") as f:
        match = re.search(r"^project\(joyvane VERSION (\d+)\.(\d+)\.(\d+)\b", f.read(), re.M)
    return tuple(int(part) for part in match.groups())


def copyright_line():
    with open(os.path.join(REPO, "LICENSE"), encoding="utf-8") as f:
        return next(line.strip() for line in f if line.startswith("Copyright "))


def version_resource(path):
    """(fixed, strings, translations) of the file's VERSIONINFO; None if it has none."""
    pe = pefile.PE(path, fast_load=True)
    pe.parse_data_directories(
        directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    if not getattr(pe, "VS_FIXEDFILEINFO", None):
        return None
    fixed = pe.VS_FIXEDFILEINFO[0]
    strings, translations = {}, []
    for info in pe.FileInfo[0]:
        if info.Key == b"StringFileInfo":
            for table in info.StringTable:
                strings[table.LangID.decode()] = {
                    k.decode(): v.decode() for k, v in table.entries.items()}
        elif info.Key == b"VarFileInfo":
            for var in info.Var:
                translations.append(var.entry.get(b"Translation"))
    return fixed, strings, translations


def check_program(build_dir, program, version):
    path = os.path.join(build_dir, program + ".exe")
    resource = version_resource(path)
    check(resource is not None, f"{program}.exe has a VERSIONINFO resource")
    if resource is None:
        return
    fixed, strings, translations = resource
    major, minor, patch = version
    dotted = f"{major}.{minor}.{patch}"
    ms, ls = (major << 16) | minor, patch << 16
    got = (fixed.FileVersionMS, fixed.FileVersionLS, fixed.ProductVersionMS, fixed.ProductVersionLS)
    check(got == (ms, ls, ms, ls),
          f"{program}.exe FILEVERSION and PRODUCTVERSION {major},{minor},{patch},0",
          "got " + " ".join(f"{v:#010x}" for v in got))
    check((fixed.FileOS, fixed.FileType) == (0x40004, 1),
          f"{program}.exe is an application for Windows NT (VOS_NT_WINDOWS32, VFT_APP)",
          f"FileOS {fixed.FileOS:#x} FileType {fixed.FileType}")
    expected = {
        "CompanyName": "The Joyvane developers",
        "FileDescription": DESCRIPTIONS[program],
        "FileVersion": dotted,
        "InternalName": program,
        "LegalCopyright": copyright_line(),
        "OriginalFilename": program + ".exe",
        "ProductName": "Joyvane",
        "ProductVersion": dotted,
    }
    check(strings == {"040904B0": expected},
          f"{program}.exe strings (U.S. English, Unicode): " +
          ", ".join(f"{k} \"{v}\"" for k, v in expected.items()),
          f"got {strings}")
    check(translations == ["0x0409 0x04b0"], f"{program}.exe translation 0x0409 1200",
          f"got {translations}")


def main():
    build_dir = sys.argv[1]
    version = project_version()
    dotted = "%d.%d.%d" % version
    print(f"version: project version {dotted} (CMakeLists.txt)")
    for program in DESCRIPTIONS:
        check_program(build_dir, program, version)

    msi = os.path.join(build_dir, f"joyvane-{dotted}.msi")
    check(os.path.isfile(msi), f"the MSI is named joyvane-{dotted}.msi")
    zip_file = os.path.join(build_dir, f"joyvane-{dotted}-win32.zip")
    check(os.path.isfile(zip_file), f"the ZIP is named joyvane-{dotted}-win32.zip")
    if os.path.isfile(msi):
        table = subprocess.run(["msiinfo", "export", msi, "Property"], check=True,
                               capture_output=True, text=True).stdout
        got = re.findall(r"^ProductVersion\t(.*)$", table, re.M)
        check(got == [dotted], f"the MSI's ProductVersion is {dotted}", f"got {got}")
    print(f"version: {failures} failed")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
