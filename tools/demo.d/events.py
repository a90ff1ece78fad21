#!/usr/bin/env python3
"""Reads what the stand-ins logged while joyvane_service.exe ran under Wine and
turns it into button events, live on the terminal.

    events.py live FOLDER T0_US BUTTON MODE INVERTED SERVICE_EVENTS STOP_FILE
        follows FOLDER/ZUR_USBIO_KAD.log, FOLDER/virtual_hid_reports.log and
        SERVICE_EVENTS ("UNIX_US text" lines written by the caller) and prints
        each event, in time order, with its time relative to T0_US (unix
        microseconds), until STOP_FILE exists (then reads what is left and
        ends; at most 10 minutes)

    events.py times SESSION_LOG CAPTURE_LOG OUT
        writes the moments of the service's status reports ("start", "running",
        "stop", "stopped", unix microseconds) from Wine's +service trace

The timing diagram is drawn by docs/diagrams/draw_timing.py, which also holds
the log reading and report decoding used here. Only standard Python 3.
"""

import os
import sys
import time

# The drawing's folder is documentation: no __pycache__ may appear in it.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "docs", "diagrams"))
from draw_timing import Decoder, gpio_state, parse_line, read_log, report_value  # noqa: E402


class EventSource:
    """Turns log lines into (unix_us, text) events, remembering state."""

    def __init__(self, decoder):
        self.decoder = decoder
        self.gpio_state = None
        self.buttons = None
        self.opened = 0

    def capture_line(self, line):
        p = parse_line(line)
        if not p:
            return []
        unix, _, f = p
        call, result = f[4], f[5] if len(f) > 5 else ""
        name = call.split("(")[0]
        if name == "Load":
            return [(unix, "capture library loaded (%s)" % call[5:-1])]
        if name == "Init" and result != "0":
            self.opened += 1
            return [(unix, "capture device opened" if self.opened == 1 else "capture device opened again")]
        if name == "GetGPIO":
            if result != "0":
                return [(unix, "capture device read failed")]
            state = gpio_state(f)
            events = []
            if state in (1, 3) and state != self.gpio_state:
                if state == 1:
                    events.append((unix, "capture button pressed"))
                elif self.gpio_state is not None:
                    events.append((unix, "capture button released"))
                self.gpio_state = state
            return events
        if name == "Close":
            return [(unix, "capture device closed")]
        if name == "Unload":
            return [(unix, "capture library unloaded")]
        return []

    def report_line(self, line):
        p = parse_line(line)
        if not p:
            return []
        unix, _, f = p
        status, byte_texts = f[4], f[5:]
        value = report_value(byte_texts)
        raw = " ".join(byte_texts)
        if status != "ok" or value is None:
            return [(unix, "report %s  refused by the device" % raw)]
        down = self.decoder.down(value)
        changes = []
        for n in self.decoder.buttons:
            if self.buttons is None or self.buttons[n] != down[n]:
                changes.append("button %d %s" % (n, "down" if down[n] else "up"))
        first = self.buttons is None
        self.buttons = down
        if first:
            text = "all up" if not any(down.values()) else ", ".join(changes)
        else:
            text = ", ".join(changes) if changes else "no change"
        if self.decoder.inverted:
            text += "  [active-low]"
        return [(unix, "report %s  %s" % (raw, text))]


def follow(folder, t0_us, decoder, service_file, stop_file, limit_s=600):
    sources = EventSource(decoder)
    files = {"capture": os.path.join(folder, "ZUR_USBIO_KAD.log"),
             "report": os.path.join(folder, "virtual_hid_reports.log"),
             "service": service_file}
    offsets = {k: 0 for k in files}
    partial = {k: "" for k in files}
    deadline = time.time() + limit_s
    final = False
    while True:
        if os.path.exists(stop_file) or time.time() > deadline:
            final = True
            time.sleep(0.1)
        batch = []
        for key, path in files.items():
            try:
                with open(path, "r", encoding="latin-1") as f:
                    f.seek(offsets[key])
                    data = f.read()
                    offsets[key] = f.tell()
            except FileNotFoundError:
                continue
            data = partial[key] + data
            lines = data.split("\n")
            partial[key] = lines.pop()
            for line in lines:
                line = line.rstrip("\r")
                if key == "capture":
                    batch.extend(sources.capture_line(line))
                elif key == "report":
                    batch.extend(sources.report_line(line))
                else:
                    f = line.split(None, 1)
                    if len(f) == 2 and f[0].isdigit():
                        batch.append((int(f[0]), f[1]))
        batch.sort(key=lambda e: e[0])
        for unix, text in batch:
            print("%+8.3f s  %s" % ((unix - t0_us) / 1e6, text), flush=True)
        if final:
            return 0
        time.sleep(0.02)


def service_times(session_log, capture_log, out):
    """The service's own status reports from Wine's +service trace (with +pid
    and +timestamp, in whole milliseconds of the monotonic clock), moved to the
    unix time base with the offset that the capture library's log shows."""
    offset = None
    for line in read_log(capture_log):
        p = parse_line(line)
        if p:
            offset = p[0] - p[1]
            break
    ours, found = set(), {}
    for line in read_log(session_log):
        f = line.split(":", 5)
        if len(f) < 6 or f[3] != "trace" or f[4] != "service":
            continue
        ts, pid, rest = f[0], f[1], f[5]
        if rest.startswith('RegisterServiceCtrlHandlerExW L"ZUR Service 1.02" '):
            ours.add(pid)
        elif rest.startswith("SetServiceStatus ") and pid in ours and offset is not None:
            state = int(rest.split()[3], 16)
            name = {2: "start", 4: "running", 3: "stop", 1: "stopped"}.get(state)
            if name and name not in found:
                found[name] = int(float(ts) * 1e6) + offset
    with open(out, "w") as f:
        for name in ("start", "running", "stop", "stopped"):
            if name in found:
                f.write("%s %d\n" % (name, found[name]))
    return 0 if "stopped" in found else 1


def main(argv):
    if len(argv) == 9 and argv[1] == "live":
        decoder = Decoder(int(argv[4]), int(argv[5]), int(argv[6]))
        return follow(argv[2], int(argv[3]), decoder, argv[7], argv[8])
    if len(argv) == 5 and argv[1] == "times":
        return service_times(argv[2], argv[3], argv[4])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
