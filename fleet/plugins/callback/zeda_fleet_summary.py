# The fleet update's summary and report. Every run writes its own report,
# <report dir>/<run id>.json with the same as an HTML page and a CSV table,
# from its first task on and again as each board changes state, and completes
# it however the run ends (Ctrl-C, SIGTERM and SIGHUP included); no other run
# touches it. A real update run also points latest.json (.html, .csv) at its
# report and leaves the PCs it did not finish in <run id>.retry, with
# latest.retry pointing at it. At the end it prints one line per board. An
# update holds its inventory, so that a second run over it waits, for a time.
# The rows come from the role's set_stats keys zeda_fleet_run,
# zeda_fleet_summary and zeda_fleet_ready, and from the failures it sees.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = '''
    name: zeda_fleet_summary
    type: aggregate
    short_description: summary and per-run report of the ZEDA fleet update
    description:
      - Prints one line per board at the end of a run of zeda.fleet.field_update
        or zeda.fleet.status, and writes the run's own report
        (zeda_field_update_report_dir/<run id>.json, .html and .csv).
      - Enable it with callbacks_enabled = zeda.fleet.zeda_fleet_summary (the
        collection's ansible.cfg does); the playbooks refuse to run without it.
'''

import atexit
import fcntl
import getpass
import json
import os
import secrets
import signal
import socket
import sys
import threading
import time

from ansible import context
from ansible.plugins.callback import CallbackBase
from ansible.template import Templar
from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_report import (
    FINISHED, OPEN, close_rows, format_table, group, natural, ordered, render_csv, render_html,
    state_after, summary_rows, unfinished_hosts)

# Defaults of the run's own settings, as in the role's defaults/main.yml;
# the pre-flight checks that the role sees the same.
REPORT_DIR = 'zeda-fleet-reports'
INVENTORY_WAIT = 3600
# A message longer than this is cut: the summary, page and table stay readable.
MESSAGE_WIDTH = 300


def utc(t):
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(t))


def first_line_of(*paths):
    for path in paths:
        try:
            with open(path) as f:
                value = f.read().strip()
            if value and ' ' not in value:
                return value
        except OSError:
            pass
    return 'unknown'


def words(msg):
    return ' '.join(str(msg or '').split())[:MESSAGE_WIDTH]


def said(result):
    """What a failed task said: its message, or a failed command's last line."""
    lines = [line for line in str(result.get('stderr') or '').splitlines() if line.strip()]
    msg = result.get('msg')
    return words(lines[-1] if lines and msg in (None, '', 'non-zero return code') else msg)


def kind_of(cli):
    """update, check, or preflight for a run whose tags leave the update out."""
    if cli.get('check'):
        return 'check'
    every = {'all', 'tagged', 'update'}
    tags, skip = set(cli.get('tags') or ('all',)), set(cli.get('skip_tags') or ())
    return 'update' if tags & every and not skip & every else 'preflight'


def write_atomically(path, text):
    tmp = '%s.%d.tmp' % (path, os.getpid())
    try:
        with open(tmp, 'w') as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise


def point(link, target):
    """Points the symbolic link at target (a name in its folder) in one step."""
    tmp = '%s.%d.tmp' % (link, os.getpid())
    os.symlink(target, tmp)
    os.replace(tmp, link)


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


def try_lock(fd):
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except BlockingIOError:
        return False


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'zeda_fleet_summary'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        now = time.time()
        cli = context.CLIARGS
        self.pid = os.getpid()
        self.t0 = now
        try:
            user = getpass.getuser()
        except Exception:
            user = str(os.getuid())
        self.run = {
            'id': time.strftime('%Y%m%dT%H%M%SZ', time.gmtime(now)) + '-' + secrets.token_hex(3),
            'start': utc(now), 'end': None, 'seconds': None, 'kind': kind_of(cli),
            'controller': socket.gethostname(), 'user': user, 'pid': self.pid,
            'machine_id': first_line_of('/etc/machine-id', '/var/lib/dbus/machine-id'),
            'boot_id': first_line_of('/proc/sys/kernel/random/boot_id'),
            'inventory': list(cli.get('inventory') or ()), 'limit': cli.get('subset'),
            'tags': list(cli.get('tags') or ()), 'skip_tags': list(cli.get('skip_tags') or ()),
            'check_mode': bool(cli.get('check')), 'finished': False, 'interrupted': False,
            'exit_status': None, 'stopped': None}
        # The run as the role sees it: its id, and as the owner of the PCs'
        # locks, its controller by machine id and boot id and its process.
        os.environ['ZEDA_FLEET_RUN_ID'] = self.run['id']
        os.environ['ZEDA_FLEET_OWNER'] = ' '.join(
            str(self.run[k]) for k in ('id', 'controller', 'machine_id', 'boot_id', 'pid'))
        for name in ('ZEDA_FLEET_STOP', 'ZEDA_FLEET_REPORT_DIR', 'ZEDA_FLEET_REPORT_ERROR', 'ZEDA_FLEET_SNAPSHOT'):
            os.environ.pop(name, None)
        self.path = None
        self.snapshot = None
        self.task_started = {}
        self.rows = {}
        self.started = {}
        self.step = {}
        self.hosts = []
        self.batches = []
        self.batch_of = {}
        self.locks = []
        self.play = ''
        self.begun = False
        self.ended = False
        self.write_error = None
        self.signal = None
        self.exit_status = None
        self.warned_signature = False
        # Ctrl-C, a dropped SSH session (SIGHUP) or a kill (SIGTERM) ends the
        # run with its report completed; the status still tells which. A
        # signal the run was started ignoring (nohup) stays ignored.
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            if signal.getsignal(sig) != signal.SIG_IGN:
                signal.signal(sig, self.on_signal)
        # ansible-playbook's status is known only when it exits: keep it for
        # the report.
        self.sys_exit = sys.exit
        sys.exit = self.on_exit
        atexit.register(self.at_exit)

    def on_signal(self, signum, frame):
        if os.getpid() != self.pid:
            # A worker ends as it would have.
            signal.signal(signum, signal.SIG_DFL)
            os.kill(os.getpid(), signum)
            return
        if self.signal is None:
            self.signal = signum
            raise KeyboardInterrupt()

    def halt_if_signalled(self):
        # The handler's exception is lost when the signal lands while Python
        # runs its fork hooks, as Ansible starts a worker ("Exception ignored
        # in _releaseLock"), and the run would go on to its end: no play or
        # task starts after the signal, and the report says interrupted.
        if self.signal and threading.current_thread() is threading.main_thread():
            raise KeyboardInterrupt()

    def v2_playbook_on_task_start(self, task, is_conditional):
        self.halt_if_signalled()

    def v2_playbook_on_handler_task_start(self, task):
        self.halt_if_signalled()

    def on_exit(self, code=0):
        if os.getpid() == self.pid:
            self.exit_status = code if isinstance(code, int) else 0 if code is None else 1
        self.sys_exit(code)

    # Settings of the run as a whole: from -e, else the inventory's vars of
    # the play's first PC; the pre-flight refuses PCs that disagree.
    def settings(self, play):
        vm = play.get_variable_manager()
        hosts = vm._inventory.get_hosts(play.hosts)
        variables = vm.get_vars(play=play, host=hosts[0] if hosts else None, include_hostvars=False)
        templar = Templar(loader=play._loader, variables=variables)
        return (templar.template(variables.get('zeda_field_update_report_dir', REPORT_DIR)),
                templar.template(variables.get('zeda_field_update_inventory_wait', INVENTORY_WAIT)))

    def stop(self, msg):
        """Stops the run at its first task (the role fails it with msg)."""
        self.run['stopped'] = msg
        os.environ['ZEDA_FLEET_STOP'] = msg

    def begin(self, play):
        self.begun = True
        if self.play == 'status':
            self.run['kind'] = 'status'
        try:
            folder, wait = self.settings(play)
            wait = int(wait)
        except Exception as e:
            return self.stop('On the controller: the report folder or zeda_field_update_inventory_wait '
                             'could not be read: %s' % words(e))
        folder = os.path.realpath(os.path.expanduser(str(folder)))
        os.environ['ZEDA_FLEET_REPORT_DIR'] = folder
        path = os.path.join(folder, self.run['id'] + '.json')
        # The run's own copy of the image, which the role takes and this
        # plugin removes when the run ends.
        self.snapshot = os.path.join(folder, self.run['id'] + '.image')
        os.environ['ZEDA_FLEET_SNAPSHOT'] = self.snapshot
        try:
            os.makedirs(folder, exist_ok=True)
            # A run's report is its own: never one that exists.
            os.close(os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
        except OSError as e:
            return self.stop('On the controller: the report %s cannot be written (%s), so this run stopped before '
                             'it touched a PC. Set zeda_field_update_report_dir to a folder this user can write.'
                             % (path, e.strerror or e))
        self.path = path
        self.run['report'] = path
        if not self.write():
            return self.stop('On the controller: the report %s cannot be written (%s), so this run stopped before '
                             'it touched a PC.' % (path, self.write_error))
        if self.run['kind'] == 'update':
            self.point_latest()
        if self.run['kind'] != 'status':
            self.hold(wait)

    # The inventory is held for the run (an flock, released when this process
    # ends): a second run over it waits, at most zeda_field_update_inventory_wait
    # seconds, and says so.
    def hold(self, wait):
        for source in self.run['inventory']:
            if not os.path.isfile(source):
                continue
            fd = os.open(source, os.O_RDONLY)
            self.locks.append(fd)
            if try_lock(fd):
                continue
            holder = lock_holder(fd)
            self._display.display('Another fleet update over %s is running (process %s): this run waits until it ends.'
                                  % (source, holder))
            self._display.display('It waits at most %d s (zeda_field_update_inventory_wait).' % wait)
            deadline = time.monotonic() + wait
            while not try_lock(fd):
                if time.monotonic() >= deadline:
                    return self.stop('On the controller: another fleet update over %s (process %s) was still running '
                                     'after %d s (zeda_field_update_inventory_wait), so this run stopped before it '
                                     'touched a PC. Run it again once that one has ended.' % (source, holder, wait))
                time.sleep(0.5)
            self._display.display('The other fleet update over %s ended: this run goes on.' % source)

    def v2_playbook_on_play_start(self, play):
        self.halt_if_signalled()
        self.play = (play.vars or {}).get('zeda_fleet_play', '')
        if not self.begun:
            try:
                self.begin(play)
            except Exception as e:
                # Ansible would only warn, and the run would go on without its report.
                self.stop('On the controller: the summary plugin could not start the report: %s' % words(e))
        hosts = [h.name for h in play.get_variable_manager()._inventory.get_hosts(play.hosts)]
        if self.play in ('preflight', 'status'):
            self.hosts = sorted(set(self.hosts) | set(hosts), key=natural)
        elif self.play == 'update':
            self.start_batch(hosts, play)

    def start_batch(self, hosts, play):
        now = time.time()
        self.end_batch(now)
        # The batch after one that stopped the run ends before it begins.
        if self.run.get('stopped'):
            return
        if not self.batches:
            self.run['batch_sizes'] = list(play.serial or [])
        number = len(self.batches) + 1
        self.batches.append({'number': number, 'hosts': sorted(hosts, key=natural), 'start': utc(now),
                             'end': None, 'seconds': None, 't0': now})
        for host in hosts:
            self.batch_of[host] = number
        for row in self.rows.values():
            if row['host'] in hosts:
                row['batch'] = number
        self.write()

    def end_batch(self, now):
        if self.batches and self.batches[-1]['end'] is None:
            self.batches[-1].update(end=utc(now), seconds=round(now - self.batches[-1]['t0'], 1))

    def v2_runner_on_start(self, host, task):
        self.task_started[host.get_name()] = time.time()
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
        self.take_rows(result._host.get_name(), result._result)

    def take_rows(self, host, result):
        """The boards' rows a module of the collection returned (zeda_fleet:
        per board its step, last message and result); whether it did."""
        fleet = result.get('zeda_fleet') if isinstance(result, dict) else None
        if not isinstance(fleet, dict):
            return False
        rows = {}
        for board, fields in (fleet.get('boards') or {}).items():
            fields = dict(fields)
            # A board's time runs from the first step of its update.
            if fields.get('result') not in ('untouched', 'ready'):
                fields['started'] = self.task_started.get(host, time.time())
            rows[board] = fields
        self.take_stats(host, {'zeda_fleet_summary': rows})
        if fleet.get('ready'):
            self.take_stats(host, {'zeda_fleet_ready': True})
        return bool(rows)

    def row(self, host, board):
        return self.rows.setdefault((host, str(board)), {'host': host, 'board': str(board),
                                                         'batch': self.batch_of.get(host)})

    def stamp(self, row, started=None):
        """A board's start when its update begins, its end and seconds when
        its result is final."""
        key = (row['host'], row['board'])
        now = time.time()
        if started is not None and key not in self.started:
            self.started[key] = float(started)
            row['start'] = utc(float(started))
        if row.get('result') not in OPEN and key in self.started and not row.get('end'):
            row.update(end=utc(now), seconds='%.1f' % (now - self.started[key]))

    def take_stats(self, host, data):
        if 'zeda_fleet_run' in data:
            self.run.update(data['zeda_fleet_run'])
            # set_stats hands on every number as a string.
            for key in ('image_size', 'max_fail_percent'):
                if str(self.run.get(key, '')).isdigit():
                    self.run[key] = int(self.run[key])
            if self.run.get('signature') == 'not checked' and not self.warned_signature:
                self.warned_signature = True
                self._display.warning('Images are not checked: zeda_field_update_allowed_signers is not set, so '
                                      'this run flashes the image without looking at its signature.')
        if data.get('zeda_fleet_ready'):
            for row in self.rows.values():
                if row['host'] == host and row.get('result') == 'untouched':
                    row['result'] = 'ready'
        for board, fields in (data.get('zeda_fleet_summary') or {}).items():
            row = self.row(host, board)
            fields = dict(fields)
            started = fields.pop('started', None)
            row.update(fields)
            if 'step' not in fields:
                row['step'] = ('done' if row.get('result') in FINISHED + ('would update',)
                               else 'pre-flight' if row.get('result') in ('untouched', 'ready')
                               else self.step.get(host, ''))
            self.stamp(row, started)
        self.write()

    def fail_rows(self, host, result, step, message, state_too):
        """Marks the board of a PC that a failure stopped mid-way, or else all
        of its boards still open, or a row for the PC itself."""
        mine = [r for r in self.rows.values() if r['host'] == host]
        targets = ([r for r in mine if r.get('result') == 'in progress']
                   or [r for r in mine if r.get('result') in OPEN])
        if not mine:
            targets = [self.row(host, '-')]
        for row in targets:
            if state_too and row.get('result') == 'in progress':
                row['state'] = state_after(row.get('step', ''))
            row.update(result=result, step=step, message=message)
            self.stamp(row)
        self.write()

    def v2_runner_on_failed(self, result, ignore_errors=False):
        # The last play names the PCs left out on purpose: their rows say so.
        if ignore_errors or self.play == 'close':
            return
        host = result._host.get_name()
        if self.take_rows(host, result._result):
            return
        task = result._task
        step = task.get_name().split(' : ')[-1]
        # A check on the controller is not a PC's failure.
        if task.delegate_to in ('localhost', '127.0.0.1'):
            host = 'controller'
        stage = 'pre-flight' if self.play in ('preflight', 'status') else step.lower()
        self.fail_rows(host, 'FAILED: ' + stage, step, said(result._result), True)

    def v2_runner_on_unreachable(self, result):
        self.fail_rows(result._host.get_name(), 'FAILED: unreachable', self.step.get(result._host.get_name(), ''),
                       words(result._result.get('msg')), True)

    def report(self):
        rows = [dict(r) for r in ordered(self.rows.values())]
        batches = [{k: v for k, v in b.items() if k != 't0'} for b in self.batches]
        return dict(self.run, batches=batches, boards=rows)

    def write(self):
        """Writes the report, its page and its table; says once when it can't."""
        if not self.path:
            return False
        base = self.path[:-len('.json')]
        report = self.report()
        try:
            write_atomically(self.path, json.dumps(report, indent=2, sort_keys=True) + '\n')
            write_atomically(base + '.html', render_html(report))
            write_atomically(base + '.csv', render_csv(report))
        except OSError as e:
            if not self.write_error:
                self._display.warning('The fleet report %s could not be written: %s' % (self.path, e))
            self.write_error = '%s: %s' % (e.filename or self.path, e.strerror or e)
            os.environ['ZEDA_FLEET_REPORT_ERROR'] = self.write_error
            return False
        if self.write_error:
            self.write_error = None
            os.environ.pop('ZEDA_FLEET_REPORT_ERROR', None)
        return True

    def point_latest(self):
        folder = os.path.dirname(self.path)
        try:
            for ext in ('json', 'html', 'csv'):
                point(os.path.join(folder, 'latest.' + ext), '%s.%s' % (self.run['id'], ext))
        except OSError as e:
            self._display.warning('latest.json could not be pointed at %s: %s' % (self.path, e))

    def keep_retry_list(self):
        """The PCs a real update did not finish, for --limit @<run id>.retry;
        latest.retry points at the last real run's list, or is gone when that
        run finished every PC."""
        folder = os.path.dirname(self.path)
        retry, latest = self.path[:-len('.json')] + '.retry', os.path.join(folder, 'latest.retry')
        # PCs only: a failed check on the controller is no host to retry.
        unfinished = [h for h in unfinished_hosts(self.rows.values()) if h in self.hosts]
        try:
            if unfinished:
                write_atomically(retry, ''.join(h + '\n' for h in unfinished))
                point(latest, os.path.basename(retry))
            elif os.path.lexists(latest):
                os.remove(latest)
        except OSError as e:
            self._display.warning('The retry list %s could not be written: %s' % (retry, e))
        return unfinished

    def stop_reason(self):
        """Why an update ended before every PC had its turn."""
        rows = list(self.rows.values())
        if self.run.get('stopped') or self.run['interrupted'] or self.run['kind'] == 'status':
            return self.run.get('stopped')
        if not self.batches and any(group(r.get('result')) == 'failed' for r in rows):
            return 'The run stopped at pre-flight, before any board was touched.'
        left = [r for r in rows if r.get('result') in ('untouched', 'not reached') and not r.get('batch')]
        if self.batches and left:
            last = self.batches[-1]
            failed = sorted({r['host'] for r in rows if r.get('batch') == last['number']
                             and group(r.get('result')) == 'failed'}, key=natural)
            return ('The run stopped after batch %d: %d of its %d PC(s) failed (%s); the PCs after it were not '
                    'updated.' % (last['number'], len(failed), len(last['hosts']), ', '.join(failed)))
        return None

    def finish(self, interrupted):
        self.ended = True
        now = time.time()
        self.end_batch(now)
        self.run.update(end=utc(now), seconds=round(now - self.t0, 1), finished=True, interrupted=interrupted)
        if self.signal:
            self.run['signal'] = signal.Signals(self.signal).name
        close_rows(self.rows, self.hosts, self.run['kind'])
        for row in self.rows.values():
            self.stamp(row)
        self.run['stopped'] = self.stop_reason()
        if self.snapshot:
            try:
                os.remove(self.snapshot)
            except OSError:
                pass
        self.write()
        unfinished = []
        if self.path and self.run['kind'] == 'update':
            self.point_latest()
            unfinished = self.keep_retry_list()
        try:
            self.show(unfinished)
        except OSError:
            # A terminal that hung up: the report tells.
            pass

    def show(self, unfinished):
        rows = summary_rows(self.rows.values(), self.run['kind'])
        if len(rows) < 2:
            return
        self._display.banner('FLEET STATUS' if self.run['kind'] == 'status' else 'FLEET UPDATE SUMMARY')
        for line in format_table(rows):
            self._display.display(line)
        if self.run.get('signer'):
            self._display.display('Image %s (SHA-256 %s), signed by %s.' % (
                self.run.get('image_name'), str(self.run.get('image_sha256'))[:12], self.run['signer']))
        if self.run['kind'] != 'status' and all(row[3] == 'up to date' for row in rows[1:]):
            self._display.display('Every board already runs the image: nothing was changed.')
        for row in ordered(self.rows.values()):
            if row.get('result') == 'interrupted':
                self._display.display('%s board %s was interrupted at "%s": %s.'
                                      % (row['host'], row['board'], row.get('step', ''), row['state']))
        skipped = ['%s (%s)' % (r['host'], r['result'].split(': ', 1)[-1]) for r in ordered(self.rows.values())
                   if group(r.get('result')) == 'skipped']
        if skipped:
            self._display.display('Left out of this run: %s.' % ', '.join(skipped))
        if self.run.get('stopped'):
            self._display.display(self.run['stopped'])
        if self.signal:
            self._display.display('The run was ended by %s.' % signal.Signals(self.signal).name)
        if self.path:
            self._display.display('Report: %s' % self.path)
            self._display.display('Page: %s.html' % self.path[:-len('.json')])
            if unfinished:
                self._display.display('%d PC(s) not finished: run again, or only those with --limit @%s.retry'
                                      % (len(unfinished), self.path[:-len('.json')]))
        if self.write_error:
            self._display.error('The report is not complete: %s' % self.write_error)
        self._display.display('')

    def v2_playbook_on_stats(self, stats):
        # Rows only set_stats saw (none expected) are kept too.
        for host, data in stats.custom.items():
            if host != '_run':
                for board, fields in (data.get('zeda_fleet_summary') or {}).items():
                    self.rows.setdefault((host, str(board)), dict(fields, host=host, board=str(board)))
        self.finish(interrupted=self.signal is not None)

    def at_exit(self):
        if os.getpid() != self.pid:
            return
        # Ctrl-C, SIGTERM and SIGHUP end ansible-playbook without the stats callback.
        if not self.ended:
            self.finish(interrupted=True)
        # Ctrl-C ends with ansible-playbook's own status, 99.
        killed = self.signal not in (None, signal.SIGINT)
        self.run['exit_status'] = 128 + self.signal if killed else self.exit_status
        self.write()
        if killed:
            # Ended by the signal, as the caller expects.
            sys.stdout.flush()
            signal.signal(self.signal, signal.SIG_DFL)
            os.kill(os.getpid(), self.signal)
