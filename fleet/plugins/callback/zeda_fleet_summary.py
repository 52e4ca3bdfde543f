# The fleet update's summary and reports: a thin adapter that hands on what
# Ansible says to the run (plugin_utils/zeda_fleet_run.py) and writes what it
# takes back (plugin_utils/zeda_fleet_files.py). Every run writes its own
# report from its first play on, and completes it however the run ends; a
# run that reached a board also becomes the last over its inventory
# (latest-<inventory>.*). An update holds its inventory, so that a second
# run over it waits, for a time.
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
import getpass
import os
import secrets
import signal
import socket
import sys
import time

from ansible import context
from ansible.plugins.callback import CallbackBase
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_files as files
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_run as fleet_run

# Defaults of the run's own settings, as in the role's defaults/main.yml;
# the pre-flight checks that the role sees the same.
REPORT_DIR = 'zeda-fleet-reports'
INVENTORY_WAIT = 3600
SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
BOARD_STEP = 'zeda.fleet.zeda_board'
# What the role reads of this plugin; none is left from a run before.
ENVIRONMENT = ('ZEDA_FLEET_STOP', 'ZEDA_FLEET_REPORT_DIR', 'ZEDA_FLEET_REPORT_ERROR', 'ZEDA_FLEET_SNAPSHOT',
               'ZEDA_FLEET_SIGNAL')


def run_facts(cli, now):
    try:
        user = getpass.getuser()
    except Exception:
        user = str(os.getuid())
    return {'id': time.strftime('%Y%m%dT%H%M%SZ', time.gmtime(now)) + '-' + secrets.token_hex(3),
            'kind': fleet_run.kind_of(cli.get('check'), cli.get('tags'), cli.get('skip_tags')),
            'controller': socket.gethostname(), 'user': user, 'pid': os.getpid(),
            'machine_id': files.first_word_of('/etc/machine-id', '/var/lib/dbus/machine-id'),
            'boot_id': files.first_word_of('/proc/sys/kernel/random/boot_id'),
            'inventory': list(cli.get('inventory') or ()), 'limit': cli.get('subset'),
            'tags': list(cli.get('tags') or ()), 'skip_tags': list(cli.get('skip_tags') or ()),
            'check_mode': bool(cli.get('check'))}


def unpack(result):
    # ansible-core 2.14's TaskResult has no public accessors; these three are
    # what Ansible's own callbacks read.
    return result._host.get_name(), result._task, result._result


def say_now(text):
    """Straight to the descriptor, from a signal handler: the display may be
    in use right now, and a terminal that hung up takes nothing."""
    try:
        os.write(2, text.encode())
    except OSError:
        pass


def quiet_terminal():
    """A terminal that hung up takes no more output: the log and the report
    tell the rest."""
    null = os.open(os.devnull, os.O_WRONLY)
    for fd in (1, 2):
        if os.isatty(fd):
            os.dup2(null, fd)
    os.close(null)


class CallbackModule(CallbackBase):
    CALLBACK_VERSION = 2.0
    CALLBACK_TYPE = 'aggregate'
    CALLBACK_NAME = 'zeda_fleet_summary'
    CALLBACK_NEEDS_ENABLED = True

    def __init__(self, *args, **kwargs):
        super(CallbackModule, self).__init__(*args, **kwargs)
        now = time.time()
        self.pid = os.getpid()
        self.run = fleet_run.Run(run_facts(context.CLIARGS, now), now)
        self.inventory = files.inventory_name(self.run.facts['inventory'], os.getcwd())
        facts = self.run.facts
        # The run as the role sees it: its id, and as the owner of the PCs'
        # locks, its controller by machine id and boot id and its process.
        for name in ENVIRONMENT:
            os.environ.pop(name, None)
        os.environ['ZEDA_FLEET_RUN_ID'] = facts['id']
        os.environ['ZEDA_FLEET_OWNER'] = ' '.join(str(facts[k]) for k in ('id', 'controller', 'machine_id', 'boot_id',
                                                                            'pid'))
        self.reports = None
        self.held = None
        self.snapshot = None
        self.written = None
        self.write_error = None
        # Ctrl-C, a dropped SSH session (SIGHUP) or a kill (SIGTERM) is noted:
        # the role starts no further step, and the run ends with its report
        # complete and the status the signal gives. A signal the run was
        # started ignoring (nohup) stays ignored.
        self.signals = [s for s in SIGNALS if signal.getsignal(s) != signal.SIG_IGN]
        for sig in self.signals:
            signal.signal(sig, self.on_signal)
        # Ansible's workers, and the SSH sessions they start, take none of
        # them, not even from the terminal (a process group of their own): the
        # steps under way end with their own results.
        os.register_at_fork(after_in_child=self.in_child)
        atexit.register(self.at_exit)

    # Signals.

    def on_signal(self, signum, frame):
        if os.getpid() != self.pid or not self.run.signalled(signal.Signals(signum).name):
            return
        os.environ['ZEDA_FLEET_SIGNAL'] = self.run.signal
        if signum == signal.SIGHUP:
            quiet_terminal()
        say_now('\n%s: the run starts no further step; the steps under way end on their own, and the report says '
                'how.\n' % self.run.signal)

    def in_child(self):
        for sig in self.signals:
            signal.signal(sig, signal.SIG_IGN)
        os.setpgid(0, 0)

    def tell(self):
        while self.run.notices:
            self._display.warning(self.run.notices.pop(0))

    # The run's start: its report, its settings and the hold on its inventory.

    def stop(self, msg):
        """Stops the run at its first task (the role fails it with msg)."""
        self.run.facts['stopped'] = msg
        os.environ['ZEDA_FLEET_STOP'] = msg

    def begin(self, found, hosts):
        # Settings of the run as a whole: from -e, else the inventory's vars
        # of the first PC; the pre-flight refuses PCs that disagree.
        try:
            first = found['hostvars'][hosts[0]] if hosts else {}
            folder = first.get('zeda_field_update_report_dir', REPORT_DIR)
            wait = int(first.get('zeda_field_update_inventory_wait', INVENTORY_WAIT))
        except Exception as e:
            return self.stop('On the controller: the report folder or zeda_field_update_inventory_wait could not be '
                             'read: %s' % fleet_run.words(e))
        folder = os.path.realpath(os.path.expanduser(str(folder)))
        os.environ['ZEDA_FLEET_REPORT_DIR'] = folder
        try:
            # A run's report is its own: never one that exists.
            reports = files.Reports.create(folder, self.run.facts['id'])
        except OSError as e:
            return self.stop('On the controller: the report %s cannot be written (%s), so this run stopped before it '
                             'touched a PC. Set zeda_field_update_report_dir to a folder this user can write.'
                             % (os.path.join(folder, self.run.facts['id'] + '.json'), e.strerror or e))
        self.reports = reports
        self.run.facts['report'] = reports.path
        # The run's own copy of the image, which the role takes and this
        # plugin removes when the run ends.
        self.snapshot = reports.base + '.image'
        os.environ['ZEDA_FLEET_SNAPSHOT'] = self.snapshot
        if not self.write():
            return self.stop('On the controller: the report %s cannot be written (%s), so this run stopped before it '
                             'touched a PC.' % (reports.path, self.write_error))
        if self.run.facts['kind'] != 'status':
            self.hold(folder, wait)

    def hold(self, folder, wait):
        """Holds the inventory for the run: a second run over it waits, at
        most zeda_field_update_inventory_wait seconds, and says so."""
        facts = self.run.facts
        over = ', '.join(facts['inventory'])
        me = '%d %s@%s %s' % (self.pid, facts['user'], facts['controller'], facts['id'])
        hold = self.held = files.Hold(folder, self.inventory)
        try:
            if hold.take(me):
                return
            holder = hold.holder().split()[0]
            self._display.display('Another fleet update over %s is running (process %s): this run waits until it ends.'
                                  % (over, holder))
            self._display.display('It waits at most %d s (zeda_field_update_inventory_wait).' % wait)
            deadline = time.monotonic() + wait
            while not hold.take(me):
                if self.run.signal or time.monotonic() >= deadline:
                    why = ('it was ended by %s' % self.run.signal if self.run.signal
                           else 'after %d s (zeda_field_update_inventory_wait)' % wait)
                    return self.stop('On the controller: another fleet update over %s (process %s) was still running '
                                     '%s, so this run stopped before it touched a PC. Run it again once that one has '
                                     'ended.' % (over, holder, why))
                time.sleep(0.5)
        except OSError as e:
            return self.stop('On the controller: the inventory cannot be held for this run (%s: %s), so it stopped '
                             'before it touched a PC.' % (hold.path, e.strerror or e))
        self._display.display('The other fleet update over %s ended: this run goes on.' % over)

    def write(self):
        """Writes the report, its page and its table when they changed; says
        once when it can't."""
        if not self.reports:
            return False
        report = self.run.report()
        if report == self.written:
            return True
        try:
            self.reports.write(report)
        except OSError as e:
            if not self.write_error:
                self._display.warning('The fleet report %s could not be written: %s' % (self.reports.path, e))
            self.write_error = '%s: %s' % (e.filename or self.reports.path, e.strerror or e)
            os.environ['ZEDA_FLEET_REPORT_ERROR'] = self.write_error
            return False
        self.written = report
        if self.write_error:
            self.write_error = None
            os.environ.pop('ZEDA_FLEET_REPORT_ERROR', None)
        return True

    # What Ansible says.

    def v2_playbook_on_play_start(self, play):
        name = (play.vars or {}).get('zeda_fleet_play')
        if not name:
            return
        self.tell()
        found = play.get_variable_manager().get_vars(play=play)
        hosts = list(found.get('ansible_play_hosts_all') or [])
        self.run.begin_play(name, hosts, list(found.get('ansible_play_batch') or []), play.serial, time.time())
        if self.reports is None and not self.run.facts.get('stopped'):
            try:
                self.begin(found, hosts)
            except Exception as e:
                # Ansible would only warn, and the run would go on without its report.
                self.stop('On the controller: the summary plugin could not start the report: %s' % fleet_run.words(e))
        self.write()

    def v2_runner_on_start(self, host, task):
        step = task.args.get('step') if (getattr(task, 'resolved_action', None) or task.action) == BOARD_STEP else None
        self.run.begin_task(host.get_name(), step, task.name or task.action, time.time())

    def v2_runner_on_ok(self, result):
        host, _, found = unpack(result)
        self.run.took(host, found, time.time())
        self.write()
        self.tell()

    def v2_runner_on_skipped(self, result):
        self.run.skipped(unpack(result)[0])

    def v2_runner_on_failed(self, result, ignore_errors=False):
        if ignore_errors:
            return
        host, task, found = unpack(result)
        self.run.failed(host, found, task.name, task.delegate_to in ('localhost', '127.0.0.1'), time.time())
        self.write()

    def v2_runner_on_unreachable(self, result):
        host, task, found = unpack(result)
        self.run.unreachable(host, found, task.name, time.time())
        self.write()

    def v2_playbook_on_stats(self, stats):
        self.finish({'failures': sum(stats.failures.values()), 'dark': sum(stats.dark.values())})

    # The end.

    def finish(self, counts):
        self.run.end(time.time(), counts)
        if self.snapshot:
            try:
                os.remove(self.snapshot)
            except OSError:
                pass
        self.write()
        retry = None
        if self.reports and self.run.facts['kind'] == 'update' and self.run.reached:
            try:
                retry = self.reports.keep_latest(self.inventory, self.run.unfinished())
            except OSError as e:
                self._display.warning('The links to this run, latest-%s.*, or its retry list could not be made: %s'
                                      % (self.inventory, e))
        if self.held:
            # The next run over the inventory may start as this one says its summary.
            self.held.release()
        summary = self.run.summary(self.reports and self.reports.path, retry)
        try:
            if summary:
                self._display.banner(summary[0])
                for line in summary[1]:
                    self._display.display(line)
            if self.write_error:
                self._display.error('The report is not complete: %s' % self.write_error)
            if summary or self.write_error:
                self._display.display('')
        except OSError:
            # A terminal that hung up: the report tells.
            pass

    def at_exit(self):
        if os.getpid() != self.pid:
            return
        # A run that ansible-playbook ended without its stats, on an error.
        if not self.run.ended:
            self.finish(None)
        status = self.run.exit_status()
        if status != self.run.facts['exit_status']:
            self.run.facts['exit_status'] = status
            self.write()
        if self.run.signal:
            # Ended by the signal, as the caller expects; SIGINT with the
            # status of ansible-playbook's own Ctrl-C. No public call sets
            # ansible-playbook's status, and the report is complete by now.
            sys.stdout.flush()
            sys.stderr.flush()
            if self.run.signal == 'SIGINT':
                os._exit(status)
                return
            sig = signal.Signals[self.run.signal]
            signal.signal(sig, signal.SIG_DFL)
            os.kill(os.getpid(), sig)
