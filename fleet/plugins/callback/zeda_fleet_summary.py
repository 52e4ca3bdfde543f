# The fleet update's summary and report. Prints one line per board at the end
# of every run, also one that a failure stopped or Ctrl-C interrupted: its
# host, the mode it was found in, the result, the last message of its last
# tool and how long it took. Keeps the JSON report (zeda_field_update_report) on the
# controller, written as each board's state changes and completed when the
# run ends however it ends, with a retry list of the PCs not finished. Holds
# the inventory for the run, so that a second run over it waits.
# The rows come from the playbook's set_stats keys zeda_fleet_run and
# zeda_fleet_summary.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = '''
    name: zeda_fleet_summary
    type: aggregate
    short_description: summary and report of the ZEDA fleet update, one line per board
    description:
      - Prints the rows that the playbook zeda.fleet.field_update records with
        set_stats, and writes them as a JSON report with a retry list of
        unfinished PCs.
      - Enable it with callbacks_enabled = zeda.fleet.zeda_fleet_summary (the
        collection's ansible.cfg does); the playbook refuses to run without it.
'''

import atexit
import fcntl
import json
import os
import re
import socket
import time

from ansible import context
from ansible.plugins.callback import CallbackBase

HEADER = ('HOST', 'BOARD', 'MODE BEFORE', 'RESULT', 'LAST MESSAGE', 'SECONDS')
FINISHED = ('updated', 'up to date', 'would update')

# What a board may be like when the run stopped during a step.
STATE_BY_STEP = (
    ('Flash', 'in bootloader mode with the flash maybe half written; the flasher is not stopped with the run '
              'and may still be running on the PC (it ends within zeda_field_update_step_timeout). The next run waits for '
              'it and flashes the board again'),
    ('bootloader mode', 'switching to bootloader mode: in either mode, or off the bus while it reboots; the next '
                        'run finds it and goes on'),
    ('normal operation mode', 'flashed and switching back: in either mode, or off the bus while it reboots; the '
                              'next run finds it and goes on'),
    ('Rescan', 'off the bus, while the rescan command runs; the next run finds it and goes on'),
    ('image', 'in bootloader mode, not yet flashed; the next run flashes it'),
    ('Record', 'flashed, in bootloader mode; the next run flashes it again and switches it back'),
)
STATE_UNTOUCHED = 'as it was: only queried'


def natural(name):
    # pc2 before pc10, board 2 before board 10.
    return [int(part) if part.isdigit() else part for part in re.split(r'(\d+)', str(name))]


def summary_rows(rows):
    ordered = sorted(rows.values(), key=lambda r: (natural(r['host']), natural(r['board'])))
    return [(r['host'], r['board'], r.get('mode_before', '?'), r.get('result', ''),
             r.get('message', ''), str(r.get('seconds', ''))) for r in ordered]


def format_table(rows):
    widths = [max(len(r[i]) for r in [HEADER] + rows) for i in range(len(HEADER))]
    return ['  '.join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in [HEADER] + rows]


def state_after(step):
    for words, state in STATE_BY_STEP:
        if words in step:
            return state
    return 'unknown: check it with zeda_pcie_get_mode on the PC'


def unfinished_hosts(rows):
    return sorted({r['host'] for r in rows.values() if r.get('result') not in FINISHED}, key=natural)


def write_atomically(path, text):
    tmp = '%s.%d.tmp' % (path, os.getpid())
    with open(tmp, 'w') as f:
        f.write(text)
    os.replace(tmp, path)


def lock_holder(fd):
    """The process that holds a flock on fd's file, from /proc/locks, or '?'."""
    st = os.fstat(fd)
    key = '%02x:%02x:%d' % (os.major(st.st_dev), os.minor(st.st_dev), st.st_ino)
    try:
        with open('/proc/locks') as f:
            for line in f:
                fields = line.split()
                if len(fields) > 5 and fields[1] == 'FLOCK' and fields[5] == key:
                    return fields[4]
    except OSError:
        pass
    return '?'


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'zeda_fleet_summary'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        # The run's name: its controller and process, so that a lock it left
        # on a PC can be told from a living run's by a later run.
        os.environ.setdefault('ZEDA_FLEET_RUN_ID', '%s:%d:%d' % (socket.gethostname(), os.getpid(), time.time()))
        self.pid = os.getpid()
        self.run = {}
        self.rows = {}
        self.step = {}
        self.hosts = []
        self.locks = []
        self.ended = False
        atexit.register(self.at_exit)

    # The inventory is held for the run (an flock, released when this process
    # dies): a second run over it waits, and says so.
    def v2_playbook_on_start(self, playbook):
        for source in context.CLIARGS.get('inventory') or ():
            if not os.path.exists(source):
                continue
            fd = os.open(source, os.O_RDONLY)
            try:
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                self._display.display('Another fleet update over %s is running (process %s): this run waits '
                                      'until it ends.' % (source, lock_holder(fd)))
                fcntl.flock(fd, fcntl.LOCK_EX)
                self._display.display('The other fleet update over %s ended: this run goes on.' % source)
            self.locks.append(fd)

    def v2_playbook_on_play_start(self, play):
        try:
            hosts = play.get_variable_manager()._inventory.get_hosts(play.hosts)
            self.hosts = sorted(set(self.hosts) | {h.name for h in hosts}, key=natural)
        except Exception:
            pass

    def v2_runner_on_start(self, host, task):
        self.step[host.get_name()] = task.get_name().split(' : ')[-1]
        for row in self.rows.values():
            if row['host'] == host.get_name() and row.get('result') == 'in progress':
                row['step'] = self.step[host.get_name()]

    def v2_runner_on_ok(self, result):
        found = [result._result] + list(result._result.get('results') or [])
        for res in found:
            stats = res.get('ansible_stats') if isinstance(res, dict) else None
            if stats:
                self.take_stats(result._host.get_name(), stats.get('data') or {})

    def v2_runner_on_failed(self, result, ignore_errors=False):
        host = result._host.get_name()
        # A check of the image on the controller is not a PC's failure.
        if result._task.delegate_to in ('localhost', '127.0.0.1'):
            host = 'controller'
        if not ignore_errors and not any(r['host'] == host for r in self.rows.values()):
            self.rows[(host, '-')] = {'host': host, 'board': '-', 'step': result._task.get_name().split(' : ')[-1],
                                      'result': 'FAILED: pre-flight', 'message': str(result._result.get('msg', ''))}
            self.write_report()

    def v2_runner_on_unreachable(self, result):
        host = result._host.get_name()
        for row in self.rows.values():
            if row['host'] == host and row.get('result') == 'in progress':
                row.update(result='FAILED: unreachable', state=state_after(row.get('step', '')))
        self.write_report()

    def take_stats(self, host, data):
        if 'zeda_fleet_run' in data:
            self.run.update(data['zeda_fleet_run'])
        for board, fields in (data.get('zeda_fleet_summary') or {}).items():
            row = self.rows.setdefault((host, str(board)), {'host': host, 'board': str(board)})
            row.update(fields)
            row['step'] = 'done' if row.get('result') in FINISHED else self.step.get(host, '')
            if row.get('result') == 'untouched':
                row['step'] = 'pre-flight'
        self.write_report()

    def write_report(self, interrupted=False):
        path = self.run.get('report')
        if not path:
            return
        report = dict(self.run, interrupted=interrupted, finished=self.ended,
                      boards=sorted(self.rows.values(), key=lambda r: (natural(r['host']), natural(r['board']))))
        try:
            write_atomically(path, json.dumps(report, indent=2, sort_keys=True) + '\n')
            unfinished = unfinished_hosts(self.rows)
            retry = path + '.retry'
            if self.ended and not self.run.get('check_mode') and unfinished:
                write_atomically(retry, ''.join(h + '\n' for h in unfinished))
            elif self.ended and os.path.exists(retry):
                os.remove(retry)
        except OSError as e:
            self._display.warning('The fleet report %s could not be written: %s' % (path, e))

    def finish(self, interrupted):
        self.ended = True
        for host in self.hosts:
            if not any(r['host'] == host for r in self.rows.values()):
                self.rows[(host, '-')] = {'host': host, 'board': '-', 'result': 'not reached', 'step': ''}
        for row in self.rows.values():
            if row.get('result') == 'in progress':
                row['result'] = 'interrupted'
                row['state'] = state_after(row.get('step', ''))
            elif row.get('result') == 'untouched':
                row['state'] = STATE_UNTOUCHED
        self.write_report(interrupted)
        rows = summary_rows(self.rows)
        if not rows:
            return
        self._display.banner('FLEET UPDATE SUMMARY')
        for line in format_table(rows):
            self._display.display(line)
        if all(row[3] == 'up to date' for row in rows):
            self._display.display('Every board already runs the image: nothing was changed.')
        for row in sorted(self.rows.values(), key=lambda r: (natural(r['host']), natural(r['board']))):
            if row.get('result') == 'interrupted':
                self._display.display('%s board %s was interrupted at "%s": %s.'
                                      % (row['host'], row['board'], row.get('step', ''), row['state']))
        if self.run.get('report'):
            self._display.display('Report: %s' % self.run['report'])
            unfinished = unfinished_hosts(self.rows)
            if unfinished and not self.run.get('check_mode'):
                self._display.display('%d PC(s) not finished: run again, or only those with --limit @%s.retry'
                                      % (len(unfinished), self.run['report']))
        self._display.display('')

    def v2_playbook_on_stats(self, stats):
        # Rows only set_stats saw (none expected) are kept too.
        for host, data in stats.custom.items():
            if host != '_run':
                for board, fields in (data.get('zeda_fleet_summary') or {}).items():
                    self.rows.setdefault((host, str(board)), dict(fields, host=host, board=str(board)))
        self.finish(interrupted=False)

    def at_exit(self):
        # Ctrl-C ends ansible-playbook without the stats callback.
        if os.getpid() == self.pid and not self.ended:
            self.finish(interrupted=True)
