#!/usr/bin/env python3
"""Reads what the stand-ins logged while joyvane_service.exe ran under Wine and
turns it into button events: live on the terminal, or as a timing diagram.

    events.py live FOLDER T0_US BUTTON MODE INVERTED SERVICE_EVENTS STOP_FILE
        follows FOLDER/ZUR_USBIO_KAD.log, FOLDER/virtual_hid_reports.log and
        SERVICE_EVENTS ("UNIX_US text" lines written by the caller) and prints
        each event, in time order, with its time relative to T0_US (unix
        microseconds), until STOP_FILE exists (then reads what is left and
        ends; at most 10 minutes)

    events.py times SESSION_LOG CAPTURE_LOG OUT
        writes the moments of the service's status reports ("start", "running",
        "stop", "stopped", unix microseconds) from Wine's +service trace

    events.py svg LOG_DIR T0_US BUTTON MODE INVERTED ARGS OUT_SVG [AT:LENGTH...]
        writes the timing diagram of the capture button against the joystick
        buttons; LOG_DIR holds the two logs and, optionally, service.times (as
        written by "times"); AT:LENGTH are the presses of the button script,
        in milliseconds after the capture library was loaded (shaded)

Only standard Python 3.
"""

import html
import os
import sys
import time

MODE_NAMES = {0: "follow", 1: "pulse", 2: "short/long press"}


def button_bit(n):
    return 1 << (n - 1) if 1 <= n <= 8 else 0


def report_value(byte_texts):
    b = [int(x, 16) for x in byte_texts]
    return (b[3] >> 4) | (b[4] << 4) if len(b) == 5 else None


class Decoder:
    """Which joystick buttons a report shows down. With inverted values a
    button is down when its bit is cleared; only the buttons the service uses
    are decoded (button b, and b + 1 in mode 2)."""

    def __init__(self, button, mode, inverted):
        self.buttons = [button, button + 1] if mode == 2 else [button]
        self.inverted = inverted == 1

    def down(self, value):
        result = {}
        for n in self.buttons:
            bit_set = bool(value & button_bit(n))
            result[n] = bit_set != self.inverted
        return result


def parse_line(line):
    f = line.split()
    if len(f) < 5:
        return None
    try:
        return int(f[0]), int(f[1]), f
    except ValueError:
        return None


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
            state = next((int(x[6:], 0) for x in f if x.startswith("state=")), None)
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


# --- the timing diagram -------------------------------------------------------


def read_log(path):
    try:
        with open(path, "r", encoding="latin-1") as f:
            return [line.rstrip("\r\n") for line in f]
    except FileNotFoundError:
        return []


def svg_diagram(log_dir, t0_us, button, mode, inverted, args, presses, out):
    decoder = Decoder(button, mode, inverted)
    polls = []      # (t_s, state) of every successful poll
    reports = []    # (t_s, value)
    load_s = None
    for line in read_log(os.path.join(log_dir, "ZUR_USBIO_KAD.log")):
        p = parse_line(line)
        if not p:
            continue
        unix, _, f = p
        t = (unix - t0_us) / 1e6
        if f[4].startswith("Load(") and load_s is None:
            load_s = t
        if f[4].startswith("GetGPIO(") and f[5] == "0":
            state = next((int(x[6:], 0) for x in f if x.startswith("state=")), None)
            polls.append((t, state))
    for line in read_log(os.path.join(log_dir, "virtual_hid_reports.log")):
        p = parse_line(line)
        if p and p[2][4] == "ok":
            reports.append(((p[0] - t0_us) / 1e6, report_value(p[2][5:])))
    times = {}
    for line in read_log(os.path.join(log_dir, "service.times")):
        f = line.split()
        if len(f) == 2:
            times[f[0]] = (int(f[1]) - t0_us) / 1e6
    script = []     # physical presses of the button script, in seconds since start
    if load_s is not None:
        script = [(load_s + at / 1000.0, load_s + (at + length) / 1000.0) for at, length in presses]

    end = max([times.get("stopped", 0)] + [t for t, _ in polls] + [t for t, _ in reports]) + 0.4
    px = 110.0                       # pixels per second
    left, right, top = 190, 30, 78
    lane_h, gap = 46, 26
    lanes = ["capture button (polled)"] + ["joystick button %d" % n for n in decoder.buttons]
    width = int(left + end * px + right)
    height = top + len(lanes) * (lane_h + gap) + 60

    def x(t):
        return left + max(0.0, t) * px

    out_lines = []
    add = out_lines.append
    add('<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" viewBox="0 0 %d %d" '
        'font-family="DejaVu Sans, Arial, sans-serif" font-size="12">' % (width, height, width, height))
    add('<rect width="100%" height="100%" fill="white"/>')
    title = "Joyvane, mode %d (%s), button %d, %s values" % (
        mode, MODE_NAMES.get(mode, "?"), button, "inverted" if inverted == 1 else "normal")
    add('<text x="12" y="22" font-size="15" font-weight="bold">%s</text>' % html.escape(title))
    add('<text x="12" y="42" fill="#444">joyvane_service.exe %s under Wine with the stand-in capture library and '
        'virtual joystick; times from the service start; high = pressed%s</text>'
        % (html.escape(args), " (the joystick bits are active-low)" if inverted == 1 else ""))

    # grid and time axis
    axis_y = top + len(lanes) * (lane_h + gap) + 4
    t = 0.0
    while t <= end + 1e-9:
        whole = abs(t - round(t)) < 1e-9
        add('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="%s" stroke-width="1"/>'
            % (x(t), top - 8, x(t), axis_y, "#d8d8d8" if whole else "#efefef"))
        if whole:
            add('<text x="%.1f" y="%d" text-anchor="middle" fill="#444">%d s</text>' % (x(t), axis_y + 16, round(t)))
        t += 0.5

    # service milestones
    for key, label, anchor in (("running", "running", "start"), ("stop", "stop requested", "end"),
                               ("stopped", "stopped", "start")):
        if key in times:
            add('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#7a5cc7" stroke-dasharray="4 3"/>'
                % (x(times[key]), top - 14, x(times[key]), axis_y))
            add('<text x="%.1f" y="%d" fill="#7a5cc7" text-anchor="%s">%s</text>'
                % (x(times[key]) + (3 if anchor == "start" else -3), top - 18, anchor, label))

    def lane_y(i):
        base = top + i * (lane_h + gap)
        return base + 6, base + lane_h   # high, low

    def waveform(i, segments, color):
        """segments: [(t_from, t_to, level)] with level True/False/None (unknown)."""
        hi, lo = lane_y(i)
        path = []
        for t_from, t_to, level in segments:
            if level is None:
                add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#bbb" stroke-dasharray="3 3"/>'
                    % (x(t_from), (hi + lo) / 2, x(t_to), (hi + lo) / 2))
                if path:
                    add('<path d="%s" fill="none" stroke="%s" stroke-width="2"/>' % (" ".join(path), color))
                    path = []
                continue
            y = hi if level else lo
            if not path:
                path.append("M%.1f %.1f" % (x(t_from), y))
            else:
                path.append("V%.1f" % y)
            path.append("H%.1f" % x(t_to))
            if level:
                add('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="%s" fill-opacity="0.13"/>'
                    % (x(t_from), hi, max(0.5, x(t_to) - x(t_from)), lo - hi, color))
        if path:
            add('<path d="%s" fill="none" stroke="%s" stroke-width="2"/>' % (" ".join(path), color))

    def label_pulses(i, segments, color):
        hi, _ = lane_y(i)
        for t_from, t_to, level in segments:
            if level and t_to - t_from < 5:
                add('<text x="%.1f" y="%.1f" text-anchor="middle" font-size="11" fill="%s">%d ms</text>'
                    % ((x(t_from) + x(t_to)) / 2, hi - 4, color, round((t_to - t_from) * 1000)))

    for i, name in enumerate(lanes):
        hi, lo = lane_y(i)
        add('<text x="12" y="%.1f">%s</text>' % ((hi + lo) / 2 + 4, html.escape(name)))
        add('<text x="%d" y="%.1f" font-size="10" fill="#888" text-anchor="end">down</text>' % (left - 8, hi + 4))
        add('<text x="%d" y="%.1f" font-size="10" fill="#888" text-anchor="end">up</text>' % (left - 8, lo))

    # lane 0: the script's presses as shaded bands, the polled state as the line
    hi, lo = lane_y(0)
    for a, b in script:
        add('<rect x="%.1f" y="%.1f" width="%.1f" height="%.1f" fill="#f2c14e" fill-opacity="0.25"/>'
            % (x(a), hi - 4, x(b) - x(a), lo - hi + 8))
    segments = []
    if polls:
        segments.append((0.0, polls[0][0], None))
        level = polls[0][1] == 1
        start = polls[0][0]
        for t, state in polls[1:]:
            if state not in (1, 3):
                continue
            if (state == 1) != level:
                segments.append((start, t, level))
                start, level = t, state == 1
        segments.append((start, polls[-1][0], level))
        segments.append((polls[-1][0], end, None))
    waveform(0, segments, "#c77c02")
    label_pulses(0, segments, "#c77c02")

    # joystick lanes
    colors = ["#1f6fb2", "#2a9d55"]
    first_press_poll = []
    previous = None
    for t, state in polls:
        if state == 1 and previous != 1:
            first_press_poll.append(t)
        if state in (1, 3):
            previous = state
    for k, n in enumerate(decoder.buttons):
        segments = []
        if reports:
            segments.append((0.0, reports[0][0], None))
            level = decoder.down(reports[0][1])[n]
            start = reports[0][0]
            for t, value in reports[1:]:
                down = decoder.down(value)[n]
                if down != level:
                    segments.append((start, t, level))
                    start, level = t, down
            closed = times.get("stopped", reports[-1][0])
            segments.append((start, max(closed, reports[-1][0]), level))
            segments.append((max(closed, reports[-1][0]), end, None))
        waveform(k + 1, segments, colors[k % 2])
        label_pulses(k + 1, segments, colors[k % 2])
        # mode 2: mark the 800 ms from the poll that saw the press to the long click
        if mode == 2 and n == button + 1:
            hi, lo = lane_y(k + 1)
            for t_from, _, level in segments:
                if not level:
                    continue
                seen = [p for p in first_press_poll if 0.6 < t_from - p < 1.0]
                if seen:
                    p = seen[-1]
                    y = lo + 12
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555" stroke-width="1"/>'
                        % (x(p), y, x(t_from), y))
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555"/>' % (x(p), y - 4, x(p), y + 4))
                    add('<line x1="%.1f" y1="%.1f" x2="%.1f" y2="%.1f" stroke="#555"/>'
                        % (x(t_from), y - 4, x(t_from), y + 4))
                    add('<text x="%.1f" y="%.1f" text-anchor="middle" font-size="10" fill="#555">'
                        'held %d ms</text>' % ((x(p) + x(t_from)) / 2, y + 13, round((t_from - p) * 1000)))

    legend_y = height - 14
    add('<rect x="12" y="%d" width="14" height="10" fill="#f2c14e" fill-opacity="0.4"/>' % (legend_y - 9))
    add('<text x="32" y="%d" font-size="11" fill="#444">button script (what the capture device reports); '
        'lines: what the service read and what it wrote to the joystick; dashed grey: no connection</text>' % legend_y)
    add('</svg>')
    os.makedirs(os.path.dirname(os.path.abspath(out)), exist_ok=True)
    with open(out, "w") as f:
        f.write("\n".join(out_lines) + "\n")
    return 0


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
    if len(argv) >= 9 and argv[1] == "svg":
        presses = [tuple(int(v) for v in p.split(":")) for p in argv[9:]]
        return svg_diagram(argv[2], int(argv[3]), int(argv[4]), int(argv[5]), int(argv[6]), argv[7], presses,
                           argv[8])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
