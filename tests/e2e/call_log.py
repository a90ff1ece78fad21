#!/usr/bin/env python3
"""call_log.py: the one reader of the call logs (the stand-ins' under Wine and
the host run). For shell scripts (exit status 1: nothing matched, or the wait
timed out):

    call_log.py [--after BYTES] count LOG CALL [NAME=VALUE ...]
    call_log.py [--after BYTES] wait LOG CALL COUNT TIMEOUT_MS [NAME=VALUE ...]
    call_log.py [--after BYTES] first|last|all LOG CALL FIELD [FIELD ...] [NAME=VALUE ...]
    call_log.py [--after BYTES] reports LOG [NAME=VALUE ...]
    call_log.py statuses SESSION_LOG
    call_log.py constant NAME [HEADER]

CALL: a call's name, several joined by commas, or * for all. FIELD: unix_us,
mono_us, pid, tid, call, result, error or an argument ("-" when missing).
NAME=VALUE keeps the records whose argument NAME, or else column NAME, has
that value. --after: only the records from byte BYTES on. reports prints each
HidD_SetFeature as "ok|refused B0 B1 ..."; statuses each status report the
service made, from Wine's +service trace; constant a constant of a product
header (default service/service_lifecycle.h).
"""

# One line per call, written by world/call_log.cpp:
#     UNIX_US MONO_US PID TID CALL RESULT ERROR [NAME=VALUE ...]
# A value has every byte up to the space, '%' and every byte from 0x7f on as
# %XX. Wine's +service trace is read here too, into the SetServiceStatus
# records that the host run writes, so that the two compare. Only standard
# Python 3.

import os
import re
import sys
import time

COLUMNS = ("unix_us", "mono_us", "pid", "tid", "call", "result", "error")
REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


class Record:
    __slots__ = COLUMNS + ("args", "t")

    def __init__(self, unix_us, mono_us, pid, tid, call, result, error, args):
        self.unix_us, self.mono_us, self.pid, self.tid = unix_us, mono_us, pid, tid
        self.call, self.result, self.error, self.args = call, result, error, args
        self.t = None  # milliseconds since the origin since_load chose

    @property
    def ms(self):  # the monotonic clock (Wine's +timestamp) in milliseconds
        return self.mono_us / 1000.0

    def get(self, name, default=None):
        """An argument, else the column of that name (as text), else default."""
        return self.args[name] if name in self.args else str(getattr(self, name)) if name in COLUMNS else default

    def __repr__(self):
        return "%s %s %s" % (self.call, self.result, " ".join("%s=%s" % a for a in self.args.items()))


def unescape(value):
    return re.sub(r"%([0-9A-Fa-f]{2})", lambda m: chr(int(m.group(1), 16)), value)


def parse_line(line):
    """The record of one line, None for a line that is none (a partial one)."""
    f = line.rstrip("\r\n").split(" ")
    try:
        head, result, error = [int(x) for x in f[:4]], int(f[5], 0), int(f[6])
        args = dict(item.split("=", 1) for item in f[7:])
    except (ValueError, IndexError):
        return None
    if any(not re.fullmatch(r"[a-z_]+", name) for name in args):
        return None
    return Record(*head, unescape(f[4]), result, error, {k: unescape(v) for k, v in args.items()})


def parse(text):
    return [r for r in map(parse_line, text.split("\n")) if r is not None]


def read(path, after=0):
    """The records of a log from byte AFTER on (a line it cuts is none); none
    when there is no log. A byte is one character (Latin-1), as escaped."""
    try:
        with open(path, "rb") as f:
            f.seek(max(0, after - 1))
            text = f.read().decode("latin-1")
    except FileNotFoundError:
        return []
    return parse(text if after <= 0 else text.partition("\n")[2])


class Follower:
    """A log that grows while it is read: new() gives the records written since
    its last call (a line still being written waits for its end)."""

    def __init__(self, path):
        self.path, self.offset = path, 0

    def new(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.offset)
                data = f.read()
        except FileNotFoundError:
            return []
        self.offset += data.rfind(b"\n") + 1
        return parse(data[:data.rfind(b"\n") + 1].decode("latin-1"))


def read_lines(path):
    try:
        with open(path, "r", encoding="latin-1") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def select(records, calls=None, **filters):
    """The records of CALLS (a name, several joined by commas, * or None for
    all) whose arguments (or else columns) have the values given."""
    return [r for r in records if (calls in (None, "*") or r.call in calls.split(","))
            and all(r.get(name) == value for name, value in filters.items())]


def first(records, calls=None, **filters):
    return next(iter(select(records, calls, **filters)), None)


def since_load(records, origin=None):
    """Sets each record's t, milliseconds since ORIGIN (by default the capture
    library's Load record among them; none: 0) on the wall clock."""
    origin = origin or first(records, "Load", dll="ZUR_USBIO_KAD")
    for r in records:
        r.t = (r.unix_us - (origin.unix_us if origin else 0)) / 1000.0
    return records


def reports(records, taken=None):
    """The HidD_SetFeature records; with TAKEN only those with result 1 (True) or 0 (False)."""
    return [r for r in select(records, "HidD_SetFeature") if taken is None or (r.result == 1) == taken]


def report_value(report):
    """The button bits of a 5-byte feature report (a record, or its bytes= text):
    bytes 3 and 4 above the low nibble; None for any other length."""
    text = report.get("bytes", "") if isinstance(report, Record) else report
    b = [int(x, 16) for x in text.split(",")] if text else []
    return (b[3] >> 4) | (b[4] << 4) if len(b) == 5 else None


def report_text(record):
    return "%s %s" % ("ok" if record.result == 1 else "refused", record.get("bytes", "").replace(",", " "))


def product_constant(name, header="service/service_lifecycle.h"):
    """A constant of a product header: `constexpr ... NAME[] = "TEXT";` or `= N;`."""
    with open(os.path.join(REPO, header)) as f:
        m = re.search(r"constexpr[^=;]*\b%s(\[\])?\s*=\s*(\"[^\"]*\"|\d+)\s*;" % re.escape(name), f.read())
    if not m:
        raise LookupError("%s is not in %s" % (name, header))
    return m.group(2)[1:-1] if m.group(2).startswith('"') else int(m.group(2))


SERVICE_TRACE = re.compile(r"^(?:(\d+\.\d+):)?([0-9a-f]+):[0-9a-f]+:trace:service:(\w+) ?(.*)$")
STATUS_FIELDS = ("type", "state", "accepted", "exit", "specific", "checkpoint", "wait_hint")
STATUS_SHOWN = ("state", "checkpoint", "wait_hint", "accepted", "exit")


def service_statuses(lines, service=None):
    """The service's SetServiceStatus calls in Wine's +service trace (with +pid;
    +timestamp gives mono_us), as the host run's records: decimal pid and
    arguments. The service's process registered a control handler by its name."""
    service, ours, out = service or product_constant("serviceName"), set(), []
    for m in filter(None, (SERVICE_TRACE.match(line.rstrip("\r\n")) for line in lines)):
        ts, pid, function, rest = m.groups()
        values = rest.split()[1:8]
        if function.startswith("RegisterServiceCtrlHandler") and rest.startswith('L"%s" ' % service):
            ours.add(pid)
        elif function == "SetServiceStatus" and pid in ours and len(values) == 7:
            out.append(Record(0, round(float(ts) * 1e6) if ts else 0, int(pid, 16), 0, "SetServiceStatus", 1, 0,
                              {k: str(int(v, 16)) for k, v in zip(STATUS_FIELDS, values)}))
    return out


def main(argv):
    after, args = (int(argv[2]), argv[3:]) if argv[1:2] == ["--after"] and len(argv) > 2 else (0, argv[1:])
    verb, rest = (args[0], args[1:]) if args else ("", [])
    fields = [w for w in rest[2:] if "=" not in w]
    filters = dict(w.split("=", 1) for w in rest[1:] if "=" in w)
    try:
        if verb == "statuses" and len(rest) == 1:
            for r in service_statuses(read_lines(rest[0])):
                print("pid=%d" % r.pid, *("%s=%s" % (k, r.args[k]) for k in STATUS_SHOWN))
            return 0
        if verb == "constant" and rest:
            print(product_constant(*rest[:2]))
            return 0
        if verb == "reports" and rest:
            print("".join(report_text(r) + "\n" for r in select(reports(read(rest[0], after)), **filters)), end="")
            return 0
        if verb in ("count", "wait") and len(rest) >= (2 if verb == "count" else 4):
            deadline = time.monotonic() + (int(rest[3]) / 1000.0 if verb == "wait" else 0)
            while verb == "wait" and len(select(read(rest[0], after), rest[1], **filters)) < int(rest[2]):
                if time.monotonic() >= deadline:
                    return 1
                time.sleep(0.01)
            if verb == "count":
                print(len(select(read(rest[0], after), rest[1], **filters)))
            return 0
        if verb in ("first", "last", "all") and fields:
            found = select(read(rest[0], after), rest[1], **filters)
            for r in found[:1] if verb == "first" else found[-1:] if verb == "last" else found:
                print(" ".join(r.get(f, "-") for f in fields))
            return 0 if found else 1
    except BrokenPipeError:  # a reader such as head took what it wanted
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, LookupError) as error:
        sys.stderr.write("call_log.py: %s\n" % error)
        return 2
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
