# Prints the fleet update's summary at the end of every run, also one that a
# failure stopped: one line per board with its host, the mode it was found
# in, the result, the last message of its last tool and how long it took.
# The rows come from the playbook's set_stats key zeda_fleet_summary.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = '''
    name: zeda_fleet_summary
    type: aggregate
    short_description: summary of the ZEDA fleet update, one line per board
    description:
      - Prints the rows that fleet/field_update.yml records with set_stats.
'''

import re

from ansible.plugins.callback import CallbackBase

HEADER = ('HOST', 'BOARD', 'MODE BEFORE', 'RESULT', 'LAST MESSAGE', 'SECONDS')


def natural(name):
    # pc2 before pc10, board 2 before board 10.
    return [int(part) if part.isdigit() else part for part in re.split(r'(\d+)', str(name))]


def summary_rows(custom):
    rows = []
    for host in sorted((h for h in custom if h != '_run'), key=natural):
        boards = custom[host].get('zeda_fleet_summary', {})
        for board in sorted(boards, key=natural):
            row = boards[board]
            rows.append((host, str(board), row.get('mode_before', '?'), row.get('result', ''),
                         row.get('message', ''), str(row.get('seconds', ''))))
    return rows


def format_table(rows):
    widths = [max(len(r[i]) for r in [HEADER] + rows) for i in range(len(HEADER))]
    return ['  '.join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in [HEADER] + rows]


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'zeda_fleet_summary'
    CALLBACK_NEEDS_ENABLED = False

    def v2_playbook_on_stats(self, stats):
        rows = summary_rows(stats.custom)
        if not rows:
            return
        self._display.banner('FLEET UPDATE SUMMARY')
        for line in format_table(rows):
            self._display.display(line)
        if all(row[3] == 'up to date' for row in rows):
            self._display.display('Every board already runs the image: nothing was changed.')
        self._display.display('')
