# The collection's entry points as Ansible calls them: each module's main()
# with its arguments as Ansible hands them over, and the zeda_pc action's
# controller side with the PC's module and connection played by fakes. The
# logic behind them is modules_test.py's.
#   pytest-3 fleet/entry_test.py
import json
import socket

import pytest
from ansible.errors import AnsibleConnectionFailure
from ansible.module_utils import basic
from ansible.module_utils.common.text.converters import to_bytes
from ansible.plugins.action import ActionBase
from ansible_collections.zeda.fleet.plugins.action import zeda_pc as action
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_steps as steps
from ansible_collections.zeda.fleet.plugins.modules import zeda_board, zeda_pc, zeda_snapshot

SHA = 'a' * 64


@pytest.fixture
def call(monkeypatch, capsys):
    """Runs a module's main() with args; returns what it said to Ansible."""
    def run(module, check=False, **args):
        args = dict(args, _ansible_check_mode=check)
        monkeypatch.setattr(basic, '_ANSIBLE_ARGS', to_bytes(json.dumps({'ANSIBLE_MODULE_ARGS': args})))
        with pytest.raises(SystemExit):
            module.main()
        return json.loads(capsys.readouterr().out)
    return run


@pytest.mark.parametrize('content, name, want', [
    (b'gateware', 'g.bin', {'size': 8}),
    (b'', 'g.bin', {'failed': True, 'msg': "On the controller: zeda_field_update_image must name a raw image of 1 to "
                                           "8388608 bytes; 'g.bin' is 0 bytes."}),
    (None, '', {'failed': True, 'msg': "On the controller: zeda_field_update_image must name a raw image of 1 to "
                                       "8388608 bytes; '{src}' is not a file."}),
])
def test_the_runs_own_copy_of_the_image(call, tmp_path, content, name, want):
    src = tmp_path / 'g.bin'
    if content is not None:
        src.write_bytes(content)
    found = call(zeda_snapshot, src=str(src), dest=str(tmp_path / 'copy'), name=name)
    assert {k: found.get(k) for k in want} == {k: v.format(src=src) if isinstance(v, str) else v
                                               for k, v in want.items()}
    assert (tmp_path / 'copy').exists() == ('size' in want)


def test_a_copy_that_cannot_be_written(call, tmp_path):
    (tmp_path / 'g.bin').write_bytes(b'x')
    found = call(zeda_snapshot, src=str(tmp_path / 'g.bin'), dest=str(tmp_path / 'none' / 'copy'))
    assert found['msg'].startswith('On the controller: the image could not be copied for this run: ')


def fails(msg, **pc):
    def step(*args, **kwargs):
        raise steps.Failed(msg, rows={'0': {'result': 'FAILED: x'}}, pc=pc or None)
    return step


@pytest.mark.parametrize('purpose, name, does, want', [
    ('status', 'status', lambda p, run: {'0': {'result': 'up to date'}},
     {'zeda_fleet': {'boards': {'0': {'result': 'up to date'}}}}),
    ('hold', 'hold', lambda p: {'held': True}, {'held': True}),
    ('release', 'release', fails('pc1: the PC could not be let go.', **steps.HOLD_FAILED['release']),
     {'failed': True, 'zeda_fleet': {'boards': {'0': {'result': 'FAILED: x'}}, 'pc': {
         'result': 'FAILED: let go', 'step': 'Let the PC go', 'message': 'pc1: the PC could not be let go.'}}}),
    ('preflight', 'preflight', lambda p, run, check: {'boards': {'0': {'result': 'untouched'}}, 'tools': 'ok'},
     {'zeda_fleet': {'boards': {'0': {'result': 'untouched'}}}, 'tools': 'ok'}),
    ('preflight', 'preflight', fails('pc1: no tools.'),
     {'failed': True, 'msg': 'pc1: no tools.', 'zeda_fleet': {'boards': {'0': {'result': 'FAILED: x'}}}}),
])
def test_the_pc_module_hands_each_purpose_on(call, monkeypatch, purpose, name, does, want):
    monkeypatch.setattr(steps, name, does)
    found = call(zeda_pc, host='pc1', purpose=purpose)
    assert {k: found.get(k) for k in want} == want


@pytest.mark.parametrize('from_name, want', [
    ('image', {'image': {'copy': '{state}/image-%s.bin' % SHA, 'present': True}}),
    ('gone', {'failed': True, 'msg': 'pc1: the image could not be copied to {state}/image-%s.bin: ' % SHA}),
])
def test_the_image_put_on_a_pc(call, tmp_path, from_name, want):
    import hashlib
    (tmp_path / 'image').write_bytes(b'gateware')
    sha = hashlib.sha256(b'gateware').hexdigest() if from_name == 'image' else SHA
    found = call(zeda_pc, host='pc1', purpose='install', state_dir=str(tmp_path), image_sha256=sha,
                 install_from=str(tmp_path / from_name))
    if 'msg' in want:
        assert found['failed'] and found['msg'].startswith(want['msg'].format(state=tmp_path))
    else:
        assert found['image'] == {'copy': '%s/image-%s.bin' % (tmp_path, sha), 'present': True}


class FakeBoard(object):
    """steps.Board's calls as the module makes them; the flash fails."""

    def __init__(self, p, run):
        self.runs = [{'cmd': ['x'], 'rc': 0}]

    def prepare(self, check):
        return {'changed': not check, 'needs_update': True, 'rows': {'0': {'result': 'in progress'}}}

    def flash(self):
        raise steps.Failed('pc1 board 0: flash failed.', rows={'0': {'result': 'FAILED: flash'}})


@pytest.mark.parametrize('step, check, want', [
    ('prepare', False, {'changed': True, 'needs_update': True, 'zeda_fleet': {'boards': {'0': {'result': 'in progress'}}}}),
    ('prepare', True, {'changed': False, 'needs_update': True}),
    # A dry run flashes nothing.
    ('flash', True, {'changed': False, 'needs_update': False, 'zeda_fleet': {'boards': {}}, 'runs': []}),
    ('flash', False, {'failed': True, 'msg': 'pc1 board 0: flash failed.', 'runs': [{'cmd': ['x'], 'rc': 0}],
                      'zeda_fleet': {'boards': {'0': {'result': 'FAILED: flash'}}}}),
])
def test_the_board_module_runs_its_step(call, monkeypatch, step, check, want):
    monkeypatch.setattr(steps, 'Board', FakeBoard)
    found = call(zeda_board, check=check, host='pc1', board=0, step=step, image_sha256=SHA)
    assert {k: found.get(k) for k in want} == want


# The action plugin, with the PC's module answering from a list.

class Task(object):
    def __init__(self, args):
        self.args = args
        self.async_val = 0


class PlayContext(object):
    check_mode = False


class Action(action.ActionModule):
    def __init__(self, args, answers, check=False):
        self._task = Task(args)
        self._play_context = PlayContext()
        self._play_context.check_mode = check
        self.answers = list(answers)
        self.calls = []

    def _execute_module(self, name, module_args=None, task_vars=None):
        self.calls.append(dict(module_args))
        answer = self.answers.pop(0)
        if isinstance(answer, Exception):
            raise answer
        return json.loads(json.dumps(answer))


@pytest.fixture(autouse=True)
def no_base_run(monkeypatch):
    monkeypatch.setattr(ActionBase, 'run', lambda self, tmp=None, task_vars=None: {})


def test_a_pc_that_does_not_answer_at_the_first_word(monkeypatch):
    def lost(self, tmp=None, task_vars=None):
        raise LOST
    monkeypatch.setattr(ActionBase, 'run', lost)
    found = Action({'host': 'pc1', 'skip_unreachable': True}, []).run(task_vars={})
    assert found == {'zeda_fleet': {'boards': {'-': {'result': 'skipped: unreachable', 'step': 'Pre-flight',
                                                     'message': SAID}}, 'left_out': 'unreachable'}}


READY = {'zeda_fleet': {'boards': {'0': {'result': 'untouched'}}}, 'lock': {}, 'image': {'present': True}}
SAID = 'Failed to connect to the host via ssh: ssh: connect to host 10.0.0.2 port 22: No route to host'
LOST = AnsibleConnectionFailure(SAID)
OWNER = 'r0 ctl m1 b1 4242 77'


def busy(ended):
    return dict(READY, lock={'held': True, 'owner': OWNER, 'ended': ended})


@pytest.mark.parametrize('skip, answers, want', [
    (False, [READY], {'zeda_fleet': {'boards': {'0': {'result': 'untouched'}}, 'ready': True}}),
    (True, [LOST], {'zeda_fleet': {'boards': {'-': {
        'result': 'skipped: unreachable', 'step': 'Pre-flight',
        'message': SAID}}, 'left_out': 'unreachable'}}),
    (False, [LOST], {'failed': True, 'msg': 'pc1 is unreachable: %s. Set zeda_field_update_skip_unreachable=true to '
                                            'update the other PCs without it.' % SAID}),
    (True, [busy(False)], {'zeda_fleet': {'boards': {'-': {
        'result': 'skipped: busy', 'step': 'Pre-flight',
        'message': 'pc1: another fleet update (r0 from ctl, process 4242 there; holder process 77 on the PC) holds this '
                   'PC (/var/lib/zeda-fleet/fleet.lock); this run refuses it. Wait for that run to end, then run the '
                   'playbook again. If that run is gone (its controller restarted or died), stop the holder on the PC '
                   '(kill 77) first.'}}, 'left_out': 'busy'}}),
    (False, [busy(True)], {'ansible_facts': {'zeda_field_update_takeover': OWNER}}),
    (False, [{'failed': True, 'msg': 'pc1: no tools.'}], {'failed': True, 'msg': 'pc1: no tools.'}),
])
def test_the_preflight_of_a_pc(monkeypatch, skip, answers, want):
    monkeypatch.setattr(action.lock, 'run_ended', lambda owner, me: False)
    found = Action({'host': 'pc1', 'skip_unreachable': skip}, answers).run(task_vars={})
    assert {k: found.get(k) for k in want} == want
    if skip and 'left_out' in want.get('zeda_fleet', {}):
        assert not found.get('failed')


def test_a_holder_that_provably_ended_is_taken_over(monkeypatch):
    monkeypatch.setattr(action.lock, 'run_ended', lambda owner, me: owner == OWNER)
    act = Action({'host': 'pc1', 'owner': 'r1 ctl m1 b1 5'}, [busy(False), busy(True)])
    found = act.run(task_vars={})
    assert act.calls[1]['ended_owner'] == OWNER and found['ansible_facts'] == {'zeda_field_update_takeover': OWNER}


@pytest.mark.parametrize('purpose, answers, want', [
    ('status', [LOST], {'zeda_fleet': {'boards': {'-': {
        'result': 'unreachable', 'step': 'Status', 'message': SAID}}}}),
    ('release', [{'removed': []}], {'removed': []}),
    ('hold', [{'held': True, 'image': {'present': True}}], {'held': True}),
    # The run's copy of the image is gone on the controller too: said as the PC's failure.
    ('hold', [{'held': True, 'image': {'present': False}}], {'failed': True, 'zeda_fleet': {'pc': {
        'result': 'FAILED: copy the image', 'step': 'Hold the PC for this run',
        'message': "On the controller %s: the run's snapshot of the image, /nonexistent/run.image, is gone, so "
                   'nothing can be copied to pc1; no board was switched. Run the playbook again.'
                   % socket.gethostname()}}}),
])
def test_the_other_purposes(purpose, answers, want):
    found = Action({'host': 'pc1', 'purpose': purpose, 'snapshot': '/nonexistent/run.image'}, answers).run(task_vars={})
    assert {k: found.get(k) for k in want} == want


def test_a_pc_lost_during_its_update_stays_unreachable():
    with pytest.raises(AnsibleConnectionFailure):
        Action({'host': 'pc1', 'purpose': 'hold'}, [LOST]).run(task_vars={})


def test_the_image_goes_to_a_pc_that_lacks_it(monkeypatch, tmp_path):
    snapshot = tmp_path / 'run.image'
    snapshot.write_bytes(b'x')
    moved = []

    class Shell(object):
        @staticmethod
        def join_path(*parts):
            return '/'.join(parts)

    class Connection(object):
        _shell = Shell()

    act = Action({'host': 'pc1', 'snapshot': str(snapshot)},
                 [dict(READY, image={'present': False}), {'image': {'copy': '/s/image.bin', 'present': True}}])
    act._connection = Connection()
    monkeypatch.setattr(act, '_make_tmp_path', lambda: '/tmp/x', raising=False)
    monkeypatch.setattr(act, '_transfer_file', lambda src, dest: moved.append((src, dest)), raising=False)
    monkeypatch.setattr(act, '_fixup_perms2', lambda paths, execute: None, raising=False)
    monkeypatch.setattr(act, '_remove_tmp_path', lambda tmp: moved.append(('rm', tmp)), raising=False)
    found = act.run(task_vars={})
    assert moved == [(str(snapshot), '/tmp/x/image'), ('rm', '/tmp/x')]
    assert act.calls[1]['purpose'] == 'install' and act.calls[1]['install_from'] == '/tmp/x/image'
    assert found['image'] == {'copy': '/s/image.bin', 'present': True} and found['zeda_fleet']['ready']
