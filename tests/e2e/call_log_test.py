#!/usr/bin/env python3
"""Self-test of call_log.py on lines as world/call_log.cpp writes them, Wine's
+service trace and the command line the scripts use. Run by tools/test."""

import os
import shlex
import subprocess
import sys
import tempfile
import unittest

sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import call_log as cl  # noqa: E402

LOG = """\
10 110 332 352 Load 1 0 dll=ZUR_USBIO_KAD flavour=stdcall
20 120 332 352 Process 1 0 exe=C:\\Program%20Files\\j.exe path=C:\\jv;C:\\windows
1010 1110 332 352 ZUR_USBIO_API_GetGPIO 0 0 device=0 state=3
2010 2110 332 352 ZUR_USBIO_API_GetGPIO 0 0 device=0 state=1
2020 2120 332 360 HidD_SetFeature 1 0 handle=1 device=0 length=5 bytes=00,00,00,80,00
2030 2130 332 360 HidD_SetFeature 0 1167 handle=1 device=0 length=5 bytes=00,00,00,00,00
2040 2140 40 41 OutputDebugStringA 1 0 pid=332 text=ZUR%20Joyvane:%20100%25
3010 3110 332 352 Unload 1 0 dll=ZUR_USBIO_KAD how=FreeLibrary
3020 31"""  # a last line still being written
THIRD = LOG.index("1010 ")
SESSION = """\
1.010:0020:0024:trace:service:RegisterServiceCtrlHandlerExW L"Other" 0x1 (nil)
1.020:0030:0034:trace:service:RegisterServiceCtrlHandlerExW L"%s" 0x1 (nil)
1.030:0020:0024:trace:service:SetServiceStatus 0x1 10 4 0 0 0 0 0
1.040:0030:0034:trace:service:SetServiceStatus 0x1 10 2 0 0 0 1 bb8
2.500:0030:0038:trace:service:SetServiceStatus 0x1 10 1 5 57 0 0 0
""" % cl.product_constant("serviceName")


class ReaderTest(unittest.TestCase):
    def test_lines(self):
        for line, want in [  # a line, and its (call, result, error, args) or None
                ("1 2 3 4 HidP_GetCaps 0x00110000 0 page=1", ("HidP_GetCaps", 0x110000, 0, {"page": "1"})),
                ("1 2 3 4 A -1 87 enumerator= set=0\r\n", ("A", -1, 87, {"enumerator": "", "set": "0"})),
                ("1 2 3 4 Stdout 1 0 text=a=b%0A%25%20%7F%ff%2f", ("Stdout", 1, 0, {"text": "a=b\n% \x7f\xff/"})),
                ("1 2 3 4 Blocked 1 0", ("Blocked", 1, 0, {})),
                ("1 2 3 4 Load 1", None), ("1 2 3 x Load 1 0", None), ("1 2 3 4 Load one 0", None),
                ("1 2 3 4 Load 1 0 Dll=hid", None), ("1 2 3 4 Load 1 0 dll", None), ("", None)]:
            r = cl.parse_line(line)
            self.assertEqual(r and (r.call, r.result, r.error, r.args), want, line)

    def test_records(self):
        with tempfile.TemporaryDirectory() as d:
            path = os.path.join(d, "x.log")
            follower = cl.Follower(path)
            self.assertEqual((cl.read(path), follower.new()), ([], []))  # no log yet
            for written, calls in [(LOG[:THIRD + 9], ["Load", "Process"]), (LOG[THIRD + 9:THIRD + 30], []),
                                   (LOG[THIRD + 30:], [r.call for r in cl.parse(LOG)[2:]])]:
                with open(path, "a", encoding="latin-1") as f:
                    f.write(written)
                self.assertEqual([r.call for r in follower.new()], calls)
            records = cl.read(path)
            self.assertEqual([len(records), records[1].args["exe"], records[6].args["text"]],
                             [8, "C:\\Program Files\\j.exe", "ZUR Joyvane: 100%"])
            # From a line's start on; a line cut by the offset is none.
            self.assertEqual([cl.read(path, n)[0].call for n in (THIRD, THIRD + 1)], [records[2].call, records[3].call])
        cases = [("ZUR_USBIO_API_GetGPIO", {"state": "1"}, 1), ("Load,ZUR_USBIO_API_GetGPIO", {}, 3),
                 ("*", {"tid": "360"}, 2),  # a column
                 (None, {"pid": "332"}, 8), (None, {"pid": "40"}, 0)]  # OutputDebugStringA's argument, not its column
        for calls, filters, count in cases:
            self.assertEqual(len(cl.select(records, calls, **filters)), count, (calls, filters))
        self.assertEqual([r.t for r in cl.since_load(records)[:3]], [0.0, 0.01, 1.0])
        self.assertEqual((records[2].ms, cl.since_load(records, records[2])[2].t), (1.11, 0.0))
        for text, value in [("00,00,00,10,00", 1), ("00,00,00,80,00", 8), ("00,00,00,00,01", 16),
                            ("00,00,00,f0,0f", 255), ("00,00,00,0f,00", 0), ("00,00,00,10", None), ("", None)]:
            self.assertEqual(cl.report_value(text), value, text)
        self.assertEqual(([cl.report_value(r) for r in cl.reports(records, True)],
                          [r.error for r in cl.reports(records, False)]), ([8], [1167]))

    def test_service_statuses(self):
        got = [(r.pid, r.mono_us, [r.args[k] for k in cl.STATUS_FIELDS]) for r in cl.service_statuses(SESSION.splitlines())]
        self.assertEqual(got, [(48, 1040000, ["16", "2", "0", "0", "0", "1", "3000"]),
                               (48, 2500000, ["16", "1", "5", "87", "0", "0", "0"])])
        untimed = [line.split(":", 1)[1] for line in SESSION.splitlines()]
        self.assertEqual([r.mono_us for r in cl.service_statuses(untimed)], [0, 0])
        self.assertEqual([r.args["state"] for r in cl.service_statuses(untimed, "Other")], ["4"])
        self.assertRaises(LookupError, cl.product_constant, "noSuchConstant")

    def test_command_line(self):
        with tempfile.TemporaryDirectory() as d:
            for name, text in (("x.log", LOG), ("s.log", SESSION)):
                with open(os.path.join(d, name), "w", encoding="latin-1") as f:
                    f.write(text)
            for args, status, out in [
                    ("count x.log ZUR_USBIO_API_GetGPIO", 0, "2"), ("count x.log * state=1 device=0", 0, "1"),
                    ("count missing.log Load", 0, "0"), ("first x.log Load unix_us flavour", 0, "10 stdcall"),
                    ("first x.log Unload pid how=exit", 1, ""), ("last x.log * state tid", 0, "- 352"),
                    ("all x.log Load,Unload pid call how", 0, "332 Load -\n332 Unload FreeLibrary"),
                    ("reports x.log", 0, "ok 00 00 00 80 00\nrefused 00 00 00 00 00"),
                    ("reports x.log result=1 pid=332", 0, "ok 00 00 00 80 00"),
                    ("--after %d count x.log *" % THIRD, 0, "6"), ("--after %d count x.log *" % (THIRD + 1), 0, "5"),
                    ("wait x.log HidD_SetFeature 2 5000", 0, ""), ("wait x.log HidD_SetFeature 3 50", 1, ""),
                    ("statuses s.log", 0, "pid=48 state=2 checkpoint=1 wait_hint=3000 accepted=0 exit=0\n"
                                          "pid=48 state=1 checkpoint=0 wait_hint=0 accepted=5 exit=87"),
                    ("constant workerStopDeadlineMs bridge/poll_worker.h", 0,
                     str(cl.product_constant("workerStopDeadlineMs", "bridge/poll_worker.h"))),
                    ("count x.log OutputDebugStringA 'text=ZUR Joyvane: 100%'", 0, "1"),
                    ("constant noSuchConstant", 2, ""), ("count x.log", 2, ""), ("", 2, "")]:
                p = subprocess.run([sys.executable, os.path.join(os.path.dirname(cl.__file__), "call_log.py")] +
                                   shlex.split(args), cwd=d, capture_output=True, text=True, timeout=30)
                self.assertEqual((p.returncode, p.stdout), (status, out + "\n" if out else ""), args)


if __name__ == "__main__":
    unittest.main()
