# The fleet run as its summary plugin sees it, in plain Python: the plugin
# hands on what Ansible says (a play or a task starts, a task's result, a
# signal, the end) and takes back the report, the summary's lines, the PCs to
# retry and the run's exit status. A board's row holds the last step that ran
# on it and the last thing a tool printed there, both from the modules'
# results (zeda_fleet.boards), and its result in words.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import signal
import time

from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_page as page

# A PC none of whose boards has another result needs no retry.
FINISHED = ('updated', 'up to date')
# Rows whose result may still change; any other result is final.
OPEN = ('ready', 'untouched', 'in progress')
# A message longer than this is cut: the page and the table stay readable.
MESSAGE_WIDTH = 300
# ansible-playbook's statuses, as its playbook executor and its Ctrl-C give them.
RUN_OK, RUN_FAILED, RUN_UNREACHABLE, RUN_INTERRUPTED = 0, 2, 4, 99
PLAY_WORDS = {'preflight': 'pre-flight', 'status': 'status', 'update': 'update'}

STATE_UNTOUCHED = 'as it was: only queried'
# A board whose update began and did not end: by the step that ended last,
STATE_PREPARED = ('in bootloader mode, its image as it was (this run flashed nothing); the next run flashes it and '
                  'switches it back')
# or by the step under way when the run lost it.
STATE_CUT = {
    'prepare': 'switching to bootloader mode: in either mode, or off the bus while it reboots; the next run finds it '
               'and goes on',
    'flash': 'in bootloader mode with its flash maybe half written (a flasher that was running goes on to its end), '
             'or flashed and switching back: zeda.fleet.status shows which. The next run waits for a flasher still '
             'running and flashes the board again, unless it already runs the image',
}


def utc(t):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(t))


def words(msg):
    return ' '.join(str(msg or '').split())[:MESSAGE_WIDTH]


def said(result):
    """What a failed task said: its message, or a failed command's last line."""
    lines = [line for line in str(result.get('stderr') or '').splitlines() if line.strip()]
    msg = result.get('msg')
    return words(lines[-1] if lines and msg in (None, '', 'non-zero return code') else msg)


def kind_of(check, tags, skip_tags):
    """update, check, or preflight for a run whose tags leave the update out."""
    if check:
        return 'check'
    every = {'all', 'tagged', 'update'}
    tags, skip = set(tags or ('all',)), set(skip_tags or ())
    return 'update' if tags & every and not skip & every else 'preflight'


def board_key(board):
    """A board id as a number; None for a row about the PC itself ('-')."""
    text = str(board)
    return int(text) if text.lstrip('-').isdigit() else None


class Run(object):
    """facts: the run's own (id, kind, controller, user, inventory, ...)."""

    def __init__(self, facts, now):
        self.facts = dict(facts, start=utc(now), end=None, seconds=None, finished=False, interrupted=False,
                          exit_status=None, stopped=None, outcome='in progress')
        self.t0 = now
        self.rows = {}
        self.hosts = []
        self.batches = []
        self.batch_of = {}
        self.phases = []
        self.play = ''
        # Per PC: when its last task started, and the board step under way.
        self.task_start = {}
        self.running = {}
        self.started = {}
        self.signal = None
        self.reached = False
        self.ended = False
        self.counts = None
        self.notices = []

    # What Ansible says.

    def begin_play(self, name, hosts, batch, serial, now):
        """A play starts: the pre-flight or the status with every PC of the
        run, or a batch of the update, or the last play."""
        self.play = name
        if name in ('preflight', 'status'):
            if name == 'status':
                self.facts['kind'] = 'status'
            self.hosts = sorted(set(self.hosts) | set(hosts), key=page.natural)
            if not self.phases:
                self.open_phase('pre-flight' if name == 'preflight' else 'status', now)
            return
        self.close_phase(now)
        # The batch after one that stopped the run ends before it begins.
        if name != 'update' or self.facts.get('stopped') or self.signal:
            return
        if not self.batches:
            self.facts['batch_sizes'] = [int(size) if str(size).isdigit() else size for size in serial or ()]
        number = len(self.batches) + 1
        self.batches.append({'number': number, 'hosts': sorted(batch, key=page.natural)})
        for host in batch:
            self.batch_of[host] = number
        for row in self.rows.values():
            if row['host'] in batch:
                row['batch'] = number
        self.open_phase('batch %d' % number, now)

    def begin_task(self, host, step, name, now):
        """A task starts on a PC; step is 'prepare' or 'flash' for a board's."""
        self.task_start[host] = now
        if step:
            self.running[host] = (step, name)

    def took(self, host, result, now):
        for res in [result] + list(result.get('results') or []):
            stats = res.get('ansible_stats') if isinstance(res, dict) else None
            if stats:
                self.take_facts((stats.get('data') or {}).get('zeda_fleet_run') or {})
        self.take_rows(host, result, now)
        self.end_step(host)

    def skipped(self, host):
        self.running.pop(host, None)

    def failed(self, host, result, task_name, on_controller, now):
        # The last play names the PCs left out on purpose: their rows say so.
        if self.play == 'close':
            return
        if not self.take_rows(host, result, now):
            # A check on the controller is not a PC's failure.
            self.fail_rows('controller' if on_controller else host, 'FAILED: ' + PLAY_WORDS.get(self.play, self.play),
                           task_name, said(result), now, self.running.get(host))
        self.end_step(host)

    def unreachable(self, host, result, task_name, now):
        self.fail_rows(host, 'FAILED: unreachable', task_name, words(result.get('msg')), now, self.running.get(host))
        self.end_step(host)

    def signalled(self, name):
        """Notes the first signal; whether it was the first."""
        first = self.signal is None
        self.signal = self.signal or name
        return first

    def end(self, now, counts=None):
        """The run ended: counts are the failures and unreachable PCs
        Ansible counted, None when it ended without them."""
        self.ended = True
        self.counts = counts
        self.close_phase(now)
        self.facts.update(end=utc(now), seconds=round(now - self.t0, 1), finished=True,
                          interrupted=self.signal is not None or counts is None)
        if self.signal:
            self.facts['signal'] = self.signal
        for host, (step, name) in sorted(self.running.items()):
            self.cut(host, step, name)
        self.running = {}
        self.close_rows()
        for row in self.rows.values():
            self.stamp(row, now)
        self.facts['stopped'] = self.stop_reason()
        self.facts.update(exit_status=self.exit_status(), outcome=self.outcome())

    # What the plugin takes back.

    def report(self):
        rows = [{k: v for k, v in r.items() if k != 't0'} for r in page.ordered(self.rows.values())]
        phases = [{k: v for k, v in p.items() if k != 't0'} for p in self.phases]
        batches = [dict(b, **{k: v for k, v in self.phases[b['phase']].items() if k in ('start', 'end', 'seconds')})
                   for b in self.batches]
        return dict(self.facts, phases=phases, batches=[{k: v for k, v in b.items() if k != 'phase'} for b in batches],
                    boards=rows)

    def unfinished(self):
        """The PCs to run again: a failed check on the controller is no PC."""
        return sorted({r['host'] for r in self.rows.values() if r.get('result') not in FINISHED
                       and r['host'] in self.hosts}, key=page.natural)

    def exit_status(self):
        """ansible-playbook's status: ended by a signal, or as its playbook
        executor derives it from the failures and unreachable PCs."""
        if self.signal:
            return RUN_INTERRUPTED if self.signal == 'SIGINT' else 128 + signal.Signals[self.signal]
        if self.counts is None:
            return None
        return RUN_UNREACHABLE if self.counts.get('dark') else RUN_FAILED if self.counts.get('failures') else RUN_OK

    def outcome(self):
        groups = {page.group(r.get('result')) for r in self.rows.values()}
        if self.signal:
            return 'interrupted by %s' % self.signal
        if self.counts is None:
            return 'ended early: ansible-playbook stopped with an error'
        if self.facts.get('stopped'):
            return 'stopped'
        return ('finished with failures' if 'failed' in groups else 'finished, PCs left out' if 'skipped' in groups
                else 'finished')

    def summary(self, report_path=None, retry_path=None):
        """The summary's title and lines, or None for a run without boards."""
        kind = self.facts['kind']
        table = page.summary_rows(self.rows.values(), kind)
        if len(table) < 2:
            return None
        lines = page.format_table(table)
        if self.facts.get('signer'):
            lines.append('Image %s (SHA-256 %s), signed by %s.' % (
                self.facts.get('image_name'), str(self.facts.get('image_sha256'))[:12], self.facts['signer']))
        if kind != 'status' and all(row[3] == 'up to date' for row in table[1:]):
            lines.append('Every board already runs the image: nothing was changed.')
        if self.phases and self.facts.get('seconds') is not None:
            lines.append('Time: %s; the whole run %s.' % (page.phases_text(self.phases),
                                                          page.duration(self.facts['seconds'])))
        for row in page.ordered(self.rows.values()):
            if row.get('result') == 'interrupted':
                lines.append('%s board %s was interrupted at "%s": %s.' % (
                    row['host'], page.board_id(row.get('board')), row.get('step', ''), row['state']))
        skipped = ['%s (%s)' % (r['host'], r['result'].split(': ', 1)[-1]) for r in page.ordered(self.rows.values())
                   if page.group(r.get('result')) == 'skipped']
        if skipped:
            lines.append('Left out of this run: %s.' % ', '.join(skipped))
        if self.facts.get('stopped'):
            lines.append(self.facts['stopped'])
        if self.signal:
            lines.append('The run was ended by %s.' % self.signal)
        if report_path:
            lines.append('Report: %s' % report_path)
            lines.append('Page: %s.html' % report_path[:-len('.json')])
        if retry_path:
            lines.append('%d PC(s) not finished: run again, or only those with --limit @%s'
                         % (len(self.unfinished()), retry_path))
        return ('FLEET STATUS' if kind == 'status' else 'FLEET UPDATE SUMMARY'), lines

    # The rows.

    def row(self, host, board):
        key = (host, board_key(board))
        if key not in self.rows:
            self.rows[key] = {'host': host, 'board': key[1], 'batch': self.batch_of.get(host)}
        return self.rows[key]

    def take_facts(self, data):
        self.facts.update(data)
        # set_stats hands on every number as a string.
        for key in ('image_size', 'max_fail_percent'):
            if str(self.facts.get(key, '')).isdigit():
                self.facts[key] = int(self.facts[key])
        if data.get('signature') == 'not checked':
            self.notices.append('Images are not checked: zeda_field_update_allowed_signers is not set, so this run '
                                'flashes the image without looking at its signature.')

    def take_rows(self, host, result, now):
        """The rows a module of the collection returned: per board (boards)
        or for the PC's boards not yet done (pc); whether there were any."""
        fleet = result.get('zeda_fleet')
        if not isinstance(fleet, dict) or not (fleet.get('boards') or fleet.get('pc') or fleet.get('ready')):
            return False
        for board, fields in (fleet.get('boards') or {}).items():
            row = self.row(host, board)
            row.update(fields)
            # A board's time runs from the first step of its update.
            key = (host, row['board'])
            if fields.get('result') not in ('untouched', 'ready') and key not in self.started:
                self.started[key] = self.task_start.get(host, now)
                row['start'] = utc(self.started[key])
            self.stamp(row, now)
        if fleet.get('pc'):
            self.fail_rows(host, fleet['pc']['result'], fleet['pc'].get('step', ''), fleet['pc'].get('message', ''),
                           now, self.running.get(host))
        if fleet.get('ready'):
            for row in self.rows.values():
                if row['host'] == host and row.get('result') == 'untouched':
                    row['result'] = 'ready'
        return True

    def fail_rows(self, host, result, step, message, now, running=None):
        """Marks the board of a PC that a failure stopped mid-way, or else
        all of its boards still open, or a row for the PC itself."""
        mine = [r for r in self.rows.values() if r['host'] == host]
        targets = ([r for r in mine if r.get('result') == 'in progress'] or [r for r in mine if r.get('result') in OPEN]
                   or [self.row(host, None)])
        for row in targets:
            if row.get('result') == 'in progress':
                row['state'] = STATE_CUT[running[0]] if running else STATE_PREPARED
            row.update(result=result, step=step, message=message)
            self.stamp(row, now)

    def cut(self, host, step, name):
        """A board step under way when the run ended without its result."""
        self.reached = True
        mine = page.ordered(r for r in self.rows.values() if r['host'] == host)
        targets = ([r for r in mine if r.get('result') == 'in progress']
                   or [r for r in mine if r.get('result') in OPEN][:1])
        for row in targets:
            row.update(result='interrupted', step=name, state=STATE_CUT[step])

    def end_step(self, host):
        if self.running.pop(host, None):
            self.reached = True

    def close_rows(self):
        """A board still in progress was interrupted after its last step, one
        only queried stayed as it was, a PC without a row was not reached; a
        pre-flight run's boards that passed are ready."""
        for host in self.hosts:
            if not any(r['host'] == host for r in self.rows.values()):
                self.row(host, None).update(result='not reached', step='')
        for row in self.rows.values():
            if row.get('result') == 'in progress':
                row.update(result='interrupted', state=STATE_PREPARED)
            elif row.get('result') == 'ready' and self.facts['kind'] != 'preflight':
                row['result'] = 'untouched'
            if row.get('result') == 'untouched':
                row['state'] = STATE_UNTOUCHED

    def stamp(self, row, now):
        """A board's end and seconds once its result is final."""
        start = self.started.get((row['host'], row['board']))
        if row.get('result') not in OPEN and start is not None and not row.get('end'):
            row.update(end=utc(now), seconds=round(now - start, 1))

    def open_phase(self, name, now):
        self.phases.append({'name': name, 'start': utc(now), 'end': None, 'seconds': None, 't0': now})
        if name.startswith('batch '):
            self.batches[-1]['phase'] = len(self.phases) - 1

    def close_phase(self, now):
        if self.phases and self.phases[-1]['end'] is None:
            self.phases[-1].update(end=utc(now), seconds=round(now - self.phases[-1]['t0'], 1))

    def stop_reason(self):
        """Why an update ended before every PC had its turn."""
        rows = list(self.rows.values())
        if self.facts.get('stopped') or self.signal or self.facts['kind'] == 'status':
            return self.facts.get('stopped')
        if not self.batches and any(page.group(r.get('result')) == 'failed' for r in rows):
            return 'The run stopped at pre-flight, before any board was touched.'
        left = [r for r in rows if r.get('result') in ('untouched', 'not reached') and not r.get('batch')]
        if self.batches and left:
            last = self.batches[-1]
            failed = sorted({r['host'] for r in rows if r.get('batch') == last['number']
                             and page.group(r.get('result')) == 'failed'}, key=page.natural)
            return ('The run stopped after batch %d: %d of its %d PC(s) failed (%s); the PCs after it were not '
                    'updated.' % (last['number'], len(failed), len(last['hosts']), ', '.join(failed)))
        return None
