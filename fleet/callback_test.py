# The summary plugin as Ansible drives it, with Ansible's objects played by
# small fakes: the report it writes, the links it moves, the hold on the
# inventory, and how a run ends on a signal. Nothing global is touched: the
# signal handlers, the fork hook and the exit hook are recorded, not set.
#   pytest-3 fleet/callback_test.py
import json
import os
import signal

import pytest
from ansible import context
from ansible.module_utils.common.collections import ImmutableDict
from ansible_collections.zeda.fleet.plugins.callback import zeda_fleet_summary as summary
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_files as files

SHA = 'a' * 64


class Display(object):
    verbosity = 0

    def __init__(self):
        self.said = []

    def display(self, msg, **kwargs):
        self.said.append(msg)

    def warning(self, msg):
        self.said.append('[WARNING]: ' + msg)

    def error(self, msg):
        self.said.append('[ERROR]: ' + msg)

    def banner(self, msg):
        self.said.append(msg + ' ***')


class Play(object):
    def __init__(self, name, hosts, batch=None, **settings):
        self.vars = {'zeda_fleet_play': name}
        self.serial = [1]
        self.found = {'ansible_play_hosts_all': hosts, 'ansible_play_batch': batch or hosts,
                      'hostvars': {h: settings for h in hosts}}

    def get_variable_manager(self):
        return self

    def get_vars(self, play):
        return self.found


class Host(object):
    def __init__(self, name):
        self.name = name

    def get_name(self):
        return self.name


class Task(object):
    def __init__(self, name, action='ansible.builtin.set_fact', step=None, delegate_to=None):
        self.name, self.action, self.resolved_action = name, action, action
        self.args = {'step': step} if step else {}
        self.delegate_to = delegate_to


class Result(object):
    def __init__(self, host, task, result):
        self._host, self._task, self._result = Host(host), task, result


class Stats(object):
    def __init__(self, failures=0, dark=0):
        self.failures, self.dark = {'pc1': failures}, {'pc1': dark}


CHECK = Task('Check the PC', 'zeda.fleet.zeda_pc')
PREPARE = Task('Switch to bootloader mode and wait', 'zeda.fleet.zeda_board', 'prepare')
READY = {'zeda_fleet': {'boards': {'0': {'result': 'untouched', 'mode_before': 'normal', 'message': 'M'}}, 'ready': True}}
PREPARED = {'zeda_fleet': {'boards': {'0': {'result': 'in progress', 'step': 'Confirm bootloader mode', 'message': 'B'}}}}
FAILED_RESULT = {'failed': True, 'msg': 'pc2: board 0 did not switch.', 'zeda_fleet': {'boards': {'0': {
    'result': 'FAILED: switch to bootloader', 'step': 'Switch to bootloader mode', 'message': 'Timed out.'}}}}
UPDATED = {'zeda_fleet': {'boards': {'0': {'result': 'updated', 'step': 'Confirm normal operation mode', 'message': 'N'}}}}


@pytest.fixture
def world(monkeypatch, tmp_path):
    """The process as the plugin sees it: what it sets is recorded."""
    seen = {'handlers': {}, 'fork': [], 'exit': [], 'ignored': set(), 'kills': [], 'written': []}
    monkeypatch.setattr(signal, 'getsignal', lambda sig: signal.SIG_IGN if sig in seen['ignored'] else signal.SIG_DFL)
    monkeypatch.setattr(signal, 'signal', lambda sig, handler: seen['handlers'].__setitem__(sig, handler))
    monkeypatch.setattr(os, 'register_at_fork', lambda after_in_child: seen['fork'].append(after_in_child))
    monkeypatch.setattr(summary.atexit, 'register', seen['exit'].append)
    monkeypatch.setattr(os, 'kill', lambda pid, sig: seen['kills'].append((pid, sig)))
    monkeypatch.setattr(os, '_exit', lambda status: seen['kills'].append(('exit', status)))
    monkeypatch.setattr(summary, 'say_now', seen['written'].append)
    monkeypatch.setattr(os, 'environ', dict(os.environ))
    monkeypatch.setattr(context, 'CLIARGS', ImmutableDict(inventory=('inventory.yml',), check=False, tags=('all',),
                                                          skip_tags=(), subset=None))
    monkeypatch.chdir(tmp_path)
    (tmp_path / 'inventory.yml').write_text('')
    return seen


def plugin(world):
    return summary.CallbackModule(display=Display())


def preflight(cb, *hosts, **settings):
    cb.v2_playbook_on_play_start(Play('preflight', list(hosts), **settings))
    for host in hosts:
        cb.v2_runner_on_start(Host(host), CHECK)
        cb.v2_runner_on_ok(Result(host, CHECK, READY))


def update(cb, host, *results):
    cb.v2_playbook_on_play_start(Play('update', [host]))
    cb.v2_runner_on_start(Host(host), PREPARE)
    for found in results:
        cb.v2_runner_on_ok(Result(host, PREPARE, found))


def report(tmp_path, name='latest-inventory.yml.json'):
    return json.loads((tmp_path / 'zeda-fleet-reports' / name).read_text())


def test_a_run_that_reached_a_board_is_the_last_over_its_inventory(world, tmp_path):
    cb = plugin(world)
    preflight(cb, 'pc1', 'pc2')
    update(cb, 'pc1', PREPARED, UPDATED)
    cb.v2_playbook_on_play_start(Play('update', ['pc2']))
    cb.v2_runner_on_start(Host('pc2'), PREPARE)
    cb.v2_runner_on_failed(Result('pc2', PREPARE, FAILED_RESULT))
    cb.v2_playbook_on_stats(Stats(failures=1))
    r = report(tmp_path)
    assert (r['outcome'], r['exit_status'], r['phases'][0]['name']) == ('finished with failures', 2, 'pre-flight')
    assert [(b['host'], b['board'], b['result']) for b in r['boards']] == [('pc1', 0, 'updated'),
                                                                           ('pc2', 0, 'FAILED: switch to bootloader')]
    # The table has every board's row, as the page does.
    csv = (tmp_path / 'zeda-fleet-reports' / 'latest-inventory.yml.csv').read_text().splitlines()
    assert [line.split(',')[:5] for line in csv[1:]] == [['pc1', '0', '1', 'normal', 'updated'],
                                                         ['pc2', '0', '2', 'normal', 'FAILED: switch to bootloader']]
    assert (tmp_path / 'zeda-fleet-reports' / 'latest-inventory.yml.retry').read_text() == 'pc2\n'
    assert '1 PC(s) not finished: run again, or only those with --limit @%s' % r['report'].replace('.json', '.retry') \
        in cb._display.said
    assert (tmp_path / 'zeda-fleet-reports' / 'inventory.yml.lock').read_text().split()[-1] == r['id']


def test_a_refused_run_leaves_the_last_run_alone(world, tmp_path):
    first = plugin(world)
    preflight(first, 'pc1')
    update(first, 'pc1', UP_TO_DATE_RESULT)
    first.v2_playbook_on_stats(Stats())
    refused = plugin(world)
    refused.run.facts['id'] += '-2'
    preflight(refused, 'pc1')
    refused.v2_runner_on_failed(Result('pc1', Task('Stop at an image without a good signature', delegate_to='localhost'),
                                       {'msg': 'On the controller: the signature x.sig is missing.'}))
    refused.v2_playbook_on_stats(Stats(failures=1))
    assert report(tmp_path)['id'] == first.run.facts['id']
    assert report(tmp_path, refused.run.facts['id'] + '.json')['stopped'] == \
        'The run stopped at pre-flight, before any board was touched.'
    assert not os.path.lexists(str(tmp_path / 'zeda-fleet-reports' / 'latest-inventory.yml.retry'))


UP_TO_DATE_RESULT = {'zeda_fleet': {'boards': {'0': {'result': 'up to date', 'step': 'Query the mode', 'message': 'N'}}}}


@pytest.mark.parametrize('name, number, ends', [
    ('SIGTERM', signal.SIGTERM, 'kill'), ('SIGHUP', signal.SIGHUP, 'kill'), ('SIGINT', signal.SIGINT, 'exit 99'),
])
def test_a_signal_ends_the_run_as_the_caller_expects(world, tmp_path, monkeypatch, name, number, ends):
    quieted = []
    monkeypatch.setattr(summary, 'quiet_terminal', lambda: quieted.append(True))
    cb = plugin(world)
    preflight(cb, 'pc1')
    update(cb, 'pc1', PREPARED)
    world['handlers'][number](number, None)
    assert os.environ['ZEDA_FLEET_SIGNAL'] == name and bool(quieted) == (name == 'SIGHUP')
    assert world['written'] == ['\n%s: the run starts no further step; the steps under way end on their own, and the '
                                'report says how.\n' % name]
    cb.v2_playbook_on_stats(Stats())
    world['exit'][0]()
    r = report(tmp_path, cb.run.facts['id'] + '.json')
    status = 99 if name == 'SIGINT' else 128 + number
    assert (r['exit_status'], r['signal'], r['boards'][0]['result']) == (status, name, 'interrupted')
    assert world['kills'] == ([('exit', 99)] if ends == 'exit 99' else [(os.getpid(), number)])
    assert world['handlers'][number] == (signal.SIG_DFL if ends == 'kill' else cb.on_signal)
    assert 'The run was ended by %s.' % name in cb._display.said


def test_nohup_leaves_sighup_ignored(world):
    world['ignored'].add(signal.SIGHUP)
    plugin(world)
    assert sorted(world['handlers']) == [signal.SIGINT, signal.SIGTERM]


def test_workers_take_no_signal(world, monkeypatch):
    groups = []
    monkeypatch.setattr(os, 'setpgid', lambda pid, group: groups.append((pid, group)))
    cb = plugin(world)
    world['handlers'].clear()
    world['fork'][0]()
    assert world['handlers'] == {sig: signal.SIG_IGN for sig in summary.SIGNALS} and groups == [(0, 0)]
    # A worker that was sent one all the same notes nothing.
    monkeypatch.setattr(cb, 'pid', -1)
    cb.on_signal(signal.SIGTERM, None)
    assert cb.run.signal is None


def test_a_run_that_ended_on_an_error(world, tmp_path):
    cb = plugin(world)
    preflight(cb, 'pc1')
    update(cb, 'pc1', PREPARED)
    cb.v2_runner_on_start(Host('pc1'), Task('Flash, record, switch back and wait', 'zeda.fleet.zeda_board', 'flash'))
    world['exit'][0]()
    r = report(tmp_path)
    assert (r['outcome'], r['exit_status'], r['boards'][0]['step']) == \
        ('ended early: ansible-playbook stopped with an error', None, 'Flash, record, switch back and wait')
    assert world['kills'] == []


def test_the_report_folder_cannot_be_made(world, tmp_path):
    (tmp_path / 'planted').write_text('')
    cb = plugin(world)
    cb.v2_playbook_on_play_start(Play('preflight', ['pc1'], zeda_field_update_report_dir=str(tmp_path / 'planted')))
    assert os.environ['ZEDA_FLEET_STOP'].startswith('On the controller: the report %s/planted/' % tmp_path)
    cb.v2_playbook_on_stats(Stats(failures=1))
    assert cb.reports is None


def test_settings_that_cannot_be_read(world):
    cb = plugin(world)
    cb.v2_playbook_on_play_start(Play('preflight', ['pc1'], zeda_field_update_inventory_wait='soon'))
    assert os.environ['ZEDA_FLEET_STOP'].startswith('On the controller: the report folder or '
                                                    'zeda_field_update_inventory_wait could not be read:')


@pytest.mark.parametrize('signalled, why', [
    (False, 'after 0 s (zeda_field_update_inventory_wait)'), (True, 'it was ended by SIGTERM'),
])
def test_a_second_run_over_the_inventory_waits_for_the_first(world, tmp_path, monkeypatch, signalled, why):
    os.makedirs(str(tmp_path / 'zeda-fleet-reports'))
    other = files.Hold(str(tmp_path / 'zeda-fleet-reports'), 'inventory.yml')
    assert other.take('4242 ops@ctl r0')
    cb = plugin(world)
    monkeypatch.setattr(summary.time, 'sleep', lambda s: None)
    if signalled:
        cb.run.signalled('SIGTERM')
    cb.v2_playbook_on_play_start(Play('preflight', ['pc1'], zeda_field_update_inventory_wait=0 if not signalled else 60))
    assert cb._display.said[0] == ('Another fleet update over inventory.yml is running (process 4242): this run waits '
                                   'until it ends.')
    assert os.environ['ZEDA_FLEET_STOP'] == (
        'On the controller: another fleet update over inventory.yml (process 4242) was still running %s, so this run '
        'stopped before it touched a PC. Run it again once that one has ended.' % why)
    os.close(other.fd)
    again = plugin(world)
    again.hold(str(tmp_path / 'zeda-fleet-reports'), 60)
    assert again._display.said == []


def test_a_status_holds_nothing_and_moves_nothing(world, tmp_path):
    cb = plugin(world)
    cb.v2_playbook_on_play_start(Play('status', ['pc1']))
    cb.v2_runner_on_ok(Result('pc1', Task('Look at the PC', 'zeda.fleet.zeda_pc'), {'zeda_fleet': {'boards': {
        '-': {'result': 'unreachable', 'step': 'Status', 'message': 'no route'}}}}))
    cb.v2_playbook_on_stats(Stats())
    assert sorted(os.listdir(str(tmp_path / 'zeda-fleet-reports'))) == [cb.run.facts['id'] + ext
                                                                         for ext in ('.csv', '.html', '.json')]
    assert 'FLEET STATUS ***' in cb._display.said


def test_failures_unreachable_and_skipped_steps(world, tmp_path):
    cb = plugin(world)
    preflight(cb, 'pc1', 'pc2')
    cb.v2_playbook_on_play_start(Play('update', ['pc1', 'pc2']))
    cb.v2_runner_on_failed(Result('pc1', Task('Hold'), {'msg': 'ignored'}), ignore_errors=True)
    cb.v2_runner_on_start(Host('pc1'), PREPARE)
    cb.v2_runner_on_skipped(Result('pc1', PREPARE, {}))
    cb.v2_runner_on_unreachable(Result('pc2', Task('Hold the PC for this run', 'zeda.fleet.zeda_pc'), {'msg': 'no route'}))
    cb.v2_playbook_on_stats(Stats(dark=1))
    # No board was reached: the run keeps its report, and no latest link moves.
    assert not os.path.lexists(str(tmp_path / 'zeda-fleet-reports' / 'latest-inventory.yml.json'))
    r = report(tmp_path, cb.run.facts['id'] + '.json')
    assert [(b['host'], b['result']) for b in r['boards']] == [('pc1', 'untouched'), ('pc2', 'FAILED: unreachable')]
    assert r['exit_status'] == 4


def test_a_report_that_cannot_be_written_is_said_once(world, tmp_path, monkeypatch):
    cb = plugin(world)
    preflight(cb, 'pc1')

    def full(report):
        raise OSError(28, 'No space left on device', cb.reports.path)
    monkeypatch.setattr(cb.reports, 'write', full)
    update(cb, 'pc1', PREPARED, UPDATED)
    assert os.environ['ZEDA_FLEET_REPORT_ERROR'] == '%s: No space left on device' % cb.reports.path
    assert len([s for s in cb._display.said if s.startswith('[WARNING]: The fleet report')]) == 1
    monkeypatch.undo()
    monkeypatch.setattr(os, 'environ', dict(os.environ))
    assert cb.write() and 'ZEDA_FLEET_REPORT_ERROR' not in os.environ


def test_other_playbooks_are_left_alone(world, tmp_path):
    cb = plugin(world)
    play = Play('', ['localhost'])
    play.vars = {}
    cb.v2_playbook_on_play_start(play)
    assert cb.reports is None and not os.path.exists(str(tmp_path / 'zeda-fleet-reports'))
