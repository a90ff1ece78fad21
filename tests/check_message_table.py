#!/usr/bin/python3
"""Checks the message table in joyvane_service.exe against service/messages.mc:
every message of the .mc file is in the program's RT_MESSAGETABLE resource
(type 11 by number, where Event Viewer looks it up for the source's
EventMessageFile), under its id with its severity bits, with its text; and the
table holds nothing else.

    check_message_table.py BUILD_DIR...

Prints one line per check and exits non-zero when one failed.
"""

import os
import re
import struct
import sys

import pefile

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SEVERITIES = {"Success": 0, "Informational": 1, "Warning": 2, "Error": 3}
RT_MESSAGETABLE = 11

failures = 0


def check(ok, what, detail=""):
    global failures
    if ok:
        print(f"ok   messages: {what}")
    else:
        failures += 1
        print(f"FAIL messages: {what}" + (f" -- {detail}" if detail else ""))


def normalized(text):
    """One message's text as the lines it is made of, without their ends."""
    return [line.rstrip() for line in text.replace("\r\n", "\n").rstrip("\n").split("\n")]


def mc_messages():
    """{id with severity: (symbolic name, text lines)} from messages.mc."""
    messages = {}
    header = {}
    text = None
    with open(os.path.join(REPO, "service", "messages.mc"), encoding="ascii") as mc:
        for line in mc:
            line = line.rstrip("\n")
            if text is not None:
                if line == ".":
                    full = header["id"] | (SEVERITIES[header["severity"]] << 30)
                    messages[full] = (header["name"], normalized("\n".join(text)))
                    header, text = {}, None
                else:
                    text.append(line)
            elif m := re.match(r"MessageId=(\d+)$", line):
                header["id"] = int(m.group(1))
            elif m := re.match(r"Severity=(\w+)$", line):
                header["severity"] = m.group(1)
            elif m := re.match(r"SymbolicName=(\w+)$", line):
                header["name"] = m.group(1)
            elif line.startswith("Language="):
                text = []
    return messages


def exe_messages(path):
    """{id: text lines} of the program's message table, or None without one."""
    pe = pefile.PE(path)
    resources = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    for entry in resources.entries if resources is not None else []:
        # A type named by a string (name set, id None) is not the message table.
        if entry.name is not None or entry.id != RT_MESSAGETABLE:
            continue
        data = entry.directory.entries[0].directory.entries[0].data.struct
        raw = pe.get_data(data.OffsetToData, data.Size)
        (blocks,) = struct.unpack_from("<I", raw, 0)
        messages = {}
        for block in range(blocks):
            low, high, offset = struct.unpack_from("<III", raw, 4 + 12 * block)
            for message_id in range(low, high + 1):
                length, flags = struct.unpack_from("<HH", raw, offset)
                body = raw[offset + 4 : offset + length]
                text = body.decode("utf-16-le" if flags & 1 else "cp1252").rstrip("\0")
                messages[message_id] = normalized(text)
                offset += length
        return messages
    return None


def main():
    expected = mc_messages()
    check(len(expected) >= 11, f"{len(expected)} messages in service/messages.mc")
    for build_dir in sys.argv[1:]:
        exe = os.path.join(build_dir, "joyvane_service.exe")
        found = exe_messages(exe)
        check(found is not None, f"{exe}: a message table, resource type 11")
        if found is None:
            continue
        # The table's ids are the events' whole ids, severity bits and all:
        # Event Viewer looks up the id that ReportEventW was given.
        table = {full: found.get(full) for full in expected}
        for full, (name, text) in sorted(expected.items()):
            check(table[full] == text, f"{exe}: {name} (0x{full:08X}) as in messages.mc",
                  f"{table[full]!r}")
        extra = sorted(set(found) - set(expected))
        check(not extra, f"{exe}: nothing but the messages of messages.mc", f"{extra}")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
