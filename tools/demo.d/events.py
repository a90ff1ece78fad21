#!/usr/bin/env python3
"""Reads what the stand-ins logged while joyvane_service.exe ran under Wine and
turns it into button events, live on the terminal.

    events.py live FOLDER T0_US BUTTON MODE INVERTED SERVICE_EVENTS STOP_FILE
        follows the call logs FOLDER/ZUR_USBIO_KAD.log, FOLDER/virtual_hid.log
        and SERVICE_EVENTS (the caller's, "Demo" records with text=) and prints
        each event, in time order, with its time relative to T0_US (unix
        microseconds), until STOP_FILE exists (then reads what is left and
        ends; at most 10 minutes)

    events.py times SESSION_LOG CAPTURE_LOG OUT
        writes the moments of the service's status reports ("start", "running",
        "stop", "stopped", unix microseconds) from Wine's +service trace

The logs are read with tests/e2e/call_log.py; the timing diagram is drawn by
docs/diagrams/draw_timing.py, whose button decoding is used here. Only
standard Python 3.
"""

import os
import sys
import time

# The drawing's folder is documentation: no __pycache__ may appear in it.
sys.dont_write_bytecode = True
REPO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
sys.path[:0] = [os.path.join(REPO, "docs", "diagrams"), os.path.join(REPO, "tests", "e2e")]
import call_log as cl  # noqa: E402
from draw_timing import Decoder  # noqa: E402


class EventSource:
    """Turns log lines into (unix_us, text) events, remembering state."""

    def __init__(self, decoder):
        self.decoder = decoder
        self.gpio_state = None
        self.buttons = None
        self.opened = 0

    def capture(self, r):
        unix, call = r.unix_us, r.call.replace("ZUR_USBIO_API_", "")
        if call == "Load":
            return [(unix, "capture library loaded (%s)" % r.get("flavour", "?"))]
        if call == "Init" and r.result != 0:
            self.opened += 1
            return [(unix, "capture device opened" if self.opened == 1 else "capture device opened again")]
        if call == "GetGPIO":
            if r.result != 0:
                return [(unix, "capture device read failed")]
            state = int(r.get("state", "0"))
            events = []
            if state in (1, 3) and state != self.gpio_state:
                if state == 1:
                    events.append((unix, "capture button pressed"))
                elif self.gpio_state is not None:
                    events.append((unix, "capture button released"))
                self.gpio_state = state
            return events
        if call == "Close":
            return [(unix, "capture device closed")]
        if call == "Unload":
            return [(unix, "capture library unloaded")]
        return []

    def report(self, r):
        if r.call != "HidD_SetFeature":
            return []
        value, raw = cl.report_value(r), r.get("bytes", "").replace(",", " ")
        if r.result != 1 or value is None:
            return [(r.unix_us, "report %s  refused by the device" % raw)]
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
        return [(r.unix_us, "report %s  %s" % (raw, text))]


def follow(folder, t0_us, decoder, service_file, stop_file, limit_s=600):
    sources = EventSource(decoder)
    logs = [(cl.Follower(os.path.join(folder, "ZUR_USBIO_KAD.log")), sources.capture),
            (cl.Follower(os.path.join(folder, "virtual_hid.log")), sources.report),
            (cl.Follower(service_file), lambda r: [(r.unix_us, r.get("text", ""))])]
    deadline = time.time() + limit_s
    final = False
    while True:
        if os.path.exists(stop_file) or time.time() > deadline:
            final = True
            time.sleep(0.1)
        batch = [event for log, events in logs for r in log.new() for event in events(r)]
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
    records = cl.read(capture_log)
    if not records:
        return 1
    offset = records[0].unix_us - records[0].mono_us
    found = {}
    for r in cl.service_statuses(cl.read_lines(session_log)):
        name = {"2": "start", "4": "running", "3": "stop", "1": "stopped"}.get(r.args["state"])
        if name and name not in found:
            found[name] = r.mono_us + offset
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
