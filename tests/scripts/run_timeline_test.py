"""scripts/run-timeline read against run_timeline_sample.log: a main log of six runs.

1 default mode, checkpoints on local and peer     4 default mode, killed inside the frozen window
2 externally initiated, the runner never thaws    5, 6 two agents started together, their records in
3 provider service missing (-1006)                     blocks, the later one's banner first; it waits for
                                                       the mutex and reuses thread ids of ended runs
"""
import contextlib
import io
import os
import tempfile
import unittest
from importlib.machinery import SourceFileLoader
from importlib.util import module_from_spec, spec_from_loader

HERE = os.path.dirname(os.path.abspath(__file__))
SAMPLE = os.path.join(HERE, "run_timeline_sample.log")
loader = SourceFileLoader("run_timeline", os.path.join(HERE, "..", "..", "scripts", "run-timeline"))
tool = module_from_spec(spec_from_loader("run_timeline", loader))
loader.exec_module(tool)

FINAL = "final wait (for the runner's read notification): "
TIMED_OUT = FINAL + "timed out, nobody read the status"

# run -> (outcome, requester result, rows expected in this order: (offset, duration, text)); a duration of
# None is a single record, "open" a phase whose end record is missing, "?" an end the agent does not log.
CASES = {
    1: ("exit 0", "0", [
        (0, 43, "set-up (tweaks, logs, command line)"), (43, 12, "provider service start: already running"),
        (58, 1, "wait for the snapshot mutex"), (60, 19, "prepare / ping"), (60, 8, "ping local: ok"),
        (69, 9, "ping peer: ok"), (79, 100, "crash guards set (boot policy, RunOnce, LastAliveStamp)"),
        (179, 29, "wait for quiesced"), (208, 31, "frozen window (quiesced -> thaw set)"),
        (209, 23, "checkpoint on local"), (233, 5, "checkpoint on peer"), (240, 9, "join (requester ends)"),
        (348, None, "requester result 0"), (349, 19, "second snapshot"), (369, None, "outcome: exit 0"),
        (369, 1001, TIMED_OUT)]),
    2: ("exit 0", "0", [
        (10, 1, "runner prepare (events)"), (100, 2, "wait for quiesced"),
        (102, 9501, "frozen window (quiesced -> thaw set)"),
        (102, 9500, "runner handshake (freeze-complete set -> thaw-start): timed out, no thaw-start"),
        (9603, 1, "join (requester ends)"),
        (9702, "?", FINAL + "no end record (the notification came, or the process ended)")]),
    3: ("exit -1006 (provider service does not exist)", None, [
        (0, 2, "set-up (tweaks, logs, command line)"), (2, 5, "provider service start: failed, error 1060"),
        (8, None, "freeze-complete set for the runner (early failure)"),
        (8, None, "outcome: exit -1006 (provider service does not exist)"), (9, 1000, TIMED_OUT)]),
    4: (None, None, [
        (100, 20, "wait for quiesced"), (120, "open", "frozen window (quiesced -> thaw set) ... not ended"),
        (121, "open", "checkpoint on local ... not ended")]),
    5: ("exit 0", "0", [
        (0, 12, "set-up (tweaks, logs, command line)"), (18, 1, "wait for the snapshot mutex"),
        (140, 702, "frozen window (quiesced -> thaw set)"), (141, 700, "checkpoint on local"),
        (951, None, "requester result 0"), (961, 1000, TIMED_OUT)]),
    6: ("exit 0", "0x8004230F", [
        (0, 5, "set-up (tweaks, logs, command line)"), (10, 931, "wait for the snapshot mutex"),
        (942, 3, "ping local: ok"), (1060, 11, "frozen window (quiesced -> thaw set)"),
        (1180, None, "requester result 0x8004230F"), (1191, 1000, TIMED_OUT)]),
}
# Runs whose every row is listed above: nothing may be added to them.
COMPLETE = {3}


def rows_of(run):
    rows, outcome, requester = tool.analyse(run)
    cells = [(r.offset, None if r.instant else {"open": "open", "unlogged": "?"}.get(r.state, r.duration),
              r.text()) for r in rows]
    return cells, outcome, requester


def run_tool(*argv):
    out, err = io.StringIO(), io.StringIO()
    with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
        code = tool.main(list(argv))
    return code, out.getvalue(), err.getvalue()


class Timeline(unittest.TestCase):
    def setUp(self):
        with open(SAMPLE) as f:
            self.text = f.read()

    def test_phases_offsets_durations_and_outcome_of_each_run(self):
        runs = tool.split_runs(self.text)
        self.assertEqual(len(CASES), len(runs))
        for number, (outcome, requester, expected) in CASES.items():
            with self.subTest(run=number):
                cells, got_outcome, got_requester = rows_of(runs[number - 1])
                self.assertEqual((outcome, requester), (got_outcome, got_requester))
                if number in COMPLETE:
                    self.assertEqual(expected, cells)
                # In this order, with nothing of another run in between.
                remaining = iter(cells)
                for row in expected:
                    self.assertIn(row, remaining, "%r in %r" % (row, cells))

    def test_a_killed_run_shows_its_open_phases_up_to_its_last_record(self):
        code, out, _ = run_tool(SAMPLE, "--run", "4")
        self.assertEqual(0, code)
        self.assertIn("outcome: none", out.splitlines()[0])
        self.assertRegex(out, r"\+120 ms  >=5 ms  frozen window \(quiesced -> thaw set\) \.\.\. not ended\n")
        self.assertIn("no outcome record", out.splitlines()[-1])

    def test_runs_are_chosen_from_the_first_or_the_last_and_listed(self):
        shown = {n: run_tool(SAMPLE, "--run", str(n))[1] for n in (1, 2, -1, -5)}
        self.assertEqual(shown[2], shown[-5])
        self.assertEqual(shown[-1], run_tool(SAMPLE)[1])
        self.assertTrue(shown[1].startswith("run 2026-12-07 00:14:10.812  (default mode, 127.0.0.1:39847, "
                                            "peer 10.0.0.2:39848, tag nightly)  outcome: exit 0"))
        self.assertIn("tag second", shown[-1].splitlines()[0])
        code, listing, _ = run_tool(SAMPLE, "--list")
        self.assertEqual(0, code)
        lines = listing.splitlines()
        self.assertEqual(6, len(lines))
        for line, want in zip(lines, ["(default mode, 127.0.0.1:39847, peer 10.0.0.2:39848, tag nightly)  exit 0",
                                      "(externally initiated, requester simulator)  exit 0",
                                      "(externally initiated)  exit -1006", "tag killed)  no outcome record",
                                      "tag first)  exit 0", "tag second)  exit 0, requester result 0x8004230F"]):
            self.assertIn(want, line)

    def test_crlf_lines_and_a_current_log_read_the_same(self):
        with tempfile.TemporaryDirectory() as folder:
            main_log, current = os.path.join(folder, "main.txt"), os.path.join(folder, "current.txt")
            with open(main_log, "w", newline="") as f:
                f.write(self.text.replace("\n", "\r\n"))
            last_banner = self.text.index("\n\n\n2026-12-07 00:30:00.000")
            with open(current, "w", newline="") as f:
                f.write(self.text[:self.text.index("\n\n\n2026-12-07 00:40")][last_banner + 1:])
            for n in range(1, 7):
                self.assertEqual(run_tool(SAMPLE, "--run", str(n)), run_tool(main_log, "--run", str(n)))
            self.assertEqual(run_tool(SAMPLE, "--run", "4"), run_tool(current))

    def test_a_file_that_begins_inside_a_run_after_a_rotation(self):
        start = self.text.index("2026-12-07 00:14:10.991,Info,100,NON,SnapshotFlow,execute,Invoking requester")
        runs = tool.split_runs(self.text[start:])
        self.assertEqual(6, len(runs))
        cells, outcome, _ = rows_of(runs[0])
        self.assertEqual(((0, 29, "wait for quiesced"), "exit 0"), (cells[0], outcome))
        self.assertIn("begins in an earlier log file", tool.render(runs[0]))

    def test_unreadable_file_or_no_run_fails_with_a_message(self):
        with tempfile.TemporaryDirectory() as folder:
            empty = os.path.join(folder, "empty.txt")
            with open(empty, "w") as f:
                f.write("\n\nnot a log\n")
            for argv, message in [((os.path.join(folder, "missing.txt"),), "cannot read"),
                                  ((empty,), "holds no run"), ((SAMPLE, "--run", "7"), "no run 7"),
                                  ((SAMPLE, "--run", "0"), "no run 0")]:
                with self.subTest(argv=argv):
                    code, out, err = run_tool(*argv)
                    self.assertEqual((2, ""), (code, out))
                    self.assertIn(message, err)


if __name__ == "__main__":
    unittest.main()
