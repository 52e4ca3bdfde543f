# The fleet plugins' pure parts, case by case, without a controller:
#   pytest-3 fleet/plugins_test.py
import os
import sys
import unittest

here = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(here, 'plugins', 'filter'), os.path.join(here, 'plugins', 'module_utils')]
from zeda_fleet import zeda_last_message, zeda_run_ended
import zeda_fleet_report as report

BAR = 'Progress:  |' + '#' * 60 + ' |  99%'


def row(host, result, board='0', **more):
    return dict(host=host, board=board, result=result, **more)


class Filters(unittest.TestCase):
    def test_last_message(self):
        for output, want in [
            # A flash stopped by the step timeout: its bar, redrawn with CRs.
            ('Preparing to program 300000 bytes\nBoard 0 open\n' + ('%s\r' % BAR) * 400, BAR),
            ('Proceed [y/n]? Mode change complete.\n', 'Mode change complete.'),
            ('Board in bootloader mode. \nPress any key to exit...', 'Board in bootloader mode.'),
            ('', '(none)'),
            ('x' * 1000, 'x' * 300 + '...'),
        ]:
            self.assertEqual(zeda_last_message(output, '(none)'), want)

    def test_run_ended(self):
        with open('/proc/sys/kernel/random/boot_id') as f:
            boot = f.read().strip()
        me = 'run-b ctl m1 %s 1' % boot
        dead = 2 ** 22 + 1  # above Linux's largest pid
        for owner, want in [
            ('run-a ctl m1 %s %d 7' % (boot, dead), True),
            ('run-a ctl m1 %s %d 7' % (boot, os.getpid()), False),  # still running
            ('run-a ctl m2 %s %d 7' % (boot, dead), False),          # a clone with the same host name
            ('run-a ctl m1 other-boot %d 7' % dead, False),          # before a restart: cannot tell
            ('run-a ctl unknown %s %d 7' % (boot, dead), False),
            ('ctl:%d:1 7' % dead, False),                            # an older collection's line
            ('run-b ctl m1 %s %d 7' % (boot, dead), False),          # this run itself
        ]:
            self.assertEqual(zeda_run_ended(owner, me), want, owner)


class Report(unittest.TestCase):
    def test_natural_order_and_retry_list(self):
        rows = [row('pc10', 'FAILED: flash'), row('pc2', 'updated'), row('pc2', 'up to date', '1'),
                row('pc9', 'skipped: busy', '-'), row('pc1', 'up to date')]
        self.assertEqual([(r['host'], r['board']) for r in report.ordered(rows)],
                         [('pc1', '0'), ('pc2', '0'), ('pc2', '1'), ('pc9', '-'), ('pc10', '0')])
        self.assertEqual(report.unfinished_hosts(rows), ['pc9', 'pc10'])
        self.assertEqual(report.counts(rows), [('failed', 1), ('skipped', 1), ('updated', 1), ('up to date', 2)])

    def test_close_rows(self):
        for kind, ready in [('update', 'untouched'), ('preflight', 'ready')]:
            rows = {('pc1', '0'): row('pc1', 'in progress', step='Flash'), ('pc2', '0'): row('pc2', 'ready')}
            report.close_rows(rows, ['pc1', 'pc2', 'pc3'], kind)
            self.assertEqual([rows[k]['result'] for k in sorted(rows)], ['interrupted', ready, 'not reached'])
            self.assertIn('half written', rows[('pc1', '0')]['state'])

    def test_state_after_a_step(self):
        for step, want in [('Flash, record, switch back and wait', 'half written'), ('Record the image of the board', 'flashed, in bootloader'),
                           ('Check the image before the flash', 'not yet flashed'),
                           ('Switch back to normal operation mode and wait', 'flashed and switching back')]:
            self.assertIn(want, report.state_after(step), step)

    def test_page_and_table(self):
        r = {'id': 'r1', 'kind': 'update', 'finished': True, 'batches': [{'number': 1, 'hosts': ['pc1'], 'seconds': 9}],
             'boards': [row('pc1', 'updated', batch=1), row('pc2', 'FAILED: flash', step='Flash', message='<script>x()</script>',
                                                          advice='Run it again.', batch=1)]}
        page = report.render_html(r)
        # No script, not even from a tool's message.
        self.assertNotIn('<script', page)
        self.assertLess(page.index('pc2 board 0: FAILED: flash'), page.index('Batch 1'))
        self.assertEqual(report.render_csv(r).splitlines()[2].split(',')[:5], ['pc2', '0', '1', '', 'FAILED: flash'])


if __name__ == "__main__":
    unittest.main()
