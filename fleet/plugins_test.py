# The fleet's filter plugin, case by case: python3 fleet/plugins_test.py
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), 'plugins', 'filter'))
from zeda_fleet import zeda_last_message, zeda_run_ended

BAR = 'Progress:  |' + '\xdb' * 60 + ' |  99%'


class LastMessage(unittest.TestCase):
    def test_cases(self):
        for output, want in [
            # A flash stopped by the step timeout: its bar, redrawn with CRs.
            ('Preparing to program 300000 bytes\nBoard 0 open\n' + ('%s\r' % BAR) * 400, BAR),
            ('Proceed [y/n]? Mode change complete.\n', 'Mode change complete.'),
            ('Board in bootloader mode. \nPress any key to exit...', 'Board in bootloader mode.'),
            ('', '(none)'),
            ('x' * 1000, 'x' * 300 + '...'),
        ]:
            self.assertEqual(zeda_last_message(output, '(none)'), want)


class RunEnded(unittest.TestCase):
    def test_cases(self):
        me = 'ctl:%d:1' % os.getpid()
        dead = 'ctl:%d:1' % (2 ** 22 + 1)  # above Linux's largest pid
        for owner, run, want in [
            (dead, me, True),
            (me, 'ctl:1:2', False),          # still running
            (dead, 'other:1:2', False),      # another controller's: cannot tell
            ('garbage', me, False),
            (me, me, False),
        ]:
            self.assertEqual(zeda_run_ended(owner, run), want, (owner, run))


if __name__ == '__main__':
    unittest.main()
