"""The crash-point table on a sample: every kind of durable step of every kind of run is cut off at
least once, under a rotation of the power-cut variants (scripts/crash-table.sh runs the whole table)."""
import shutil
import unittest

import crashtable
import harness


def sample(kinds_seen, variants):
    """One row for each kind of step not yet cut in an earlier run kind, plus the last step; and lost writes
    at the first deletion after the journal has noted the commit, when the previous installation is about
    to be given up."""
    def choose(kind, trace):
        registry = next((k for k, step in trace if step == "registry"), len(trace))
        noted = next((k for k, step in trace[registry:] if step == "journal"), len(trace))
        rows = [(next((k for k, step in trace[noted:] if step == "delete"), len(trace)), "lost-writes")]
        for k, step in trace:
            if step in kinds_seen and k != len(trace):
                continue
            kinds_seen.add(step)
            last = trace[k - 2][1] if k >= 2 else None
            usable = [v for v in variants
                      if v != "lost-writes" and (v not in ("cut", "nul") or last in ("journal", "marker"))]
            rows.append((k, usable[len(kinds_seen) % len(usable)]))
        return rows
    return choose


class CrashPointTest(unittest.TestCase):
    def sweep(self, name, kinds, choose):
        work = harness.WORK / name
        shutil.rmtree(work, ignore_errors=True)
        work.mkdir(parents=True)
        server = harness.PayloadServer()
        try:
            table = crashtable.CrashTable(work, server)
            points, rows = table.sweep(kinds, choose)
        finally:
            server.close()
        print("%d crash points, %d variants, %d violations, %d bytes left in the temporary folder by runs whose "
              "journal was lost" % (points, rows, len(table.violations), table.lost_journal_bytes))
        print("lost writes: %d unflushed files damaged, %d registry states dropped"
              % (table.lost_files, table.lost_registry))
        self.assertEqual([], table.violations)
        self.assertEqual(0, table.lost_journal_bytes)
        return table, rows

    def test_every_kind_of_step_cut_off_leaves_one_installation_and_a_matching_registry(self):
        table, rows = self.sweep("crash-sample", crashtable.KINDS, sample(set(), crashtable.VARIANTS))
        self.assertGreater(rows, 10)
        # The lost writes reached what a run changes: registry changes at least, as files are flushed.
        self.assertGreater(table.lost_registry, 0)

    def test_a_run_cut_after_its_download_whose_journal_is_lost_leaves_nothing_in_the_temporary_folder(self):
        def after_download(kind, trace):
            backing_up = next(k for k, step in trace if step == "marker")
            return [(backing_up, variant) for variant in ("emptied", "local-gone")]
        self.assertEqual(2, self.sweep("crash-journal-lost", ["reinstall"], after_download)[1])


if __name__ == "__main__":
    unittest.main()
