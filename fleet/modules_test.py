# The logic of the collection's modules (plugins/module_utils), case by case,
# without Ansible: tools are played by a fake that records its calls, files
# live in a temporary state folder.
#   pytest-3 fleet/modules_test.py
import errno
import os
import subprocess
import sys

import pytest
from conftest import root
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_lock as lock
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_pc as pc
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_steps as steps

SHA = 'a' * 64
NORMAL, BOOT = 'Board in normal operation mode. \n', 'Board in bootloader mode. \n'
SWITCH = {'normal': 'Board is in normal operation mode. Preparing to reboot into bootloader mode\nMode change complete.\n',
          'bootloader': 'Board is in bootloader mode. Preparing to reboot into normal mode\nMode change complete.\n'}


class Tools(object):
    """Plays the tools: answers[tool] is a list of (rc, stdout, stderr),
    taken in turn, the last one kept; calls records (tool, args, answer)."""

    def __init__(self, **answers):
        self.answers = {k.replace('_', ' '): list(v) for k, v in answers.items()}
        self.calls = []

    def __call__(self, tool, args, answer, timeout):
        self.calls.append((tool, list(args), answer))
        said = self.answers[tool.replace('zeda_pcie_', '').replace('_', ' ')]
        rc, out, err = said[0] if len(said) == 1 else said.pop(0)
        return {'cmd': ['/t/' + tool] + list(args), 'rc': rc, 'stdout': out, 'stderr': err}

    def tools(self):
        return [c[0].replace('zeda_pcie_', '').replace('_', ' ') for c in self.calls]


def board_in(tmp_path, mode='normal', record='', copy=True, flash=(0, 'Programming done\n', ''),
             wait=((0, NORMAL, ''),), **p):
    state = tmp_path / 'state'
    state.mkdir(exist_ok=True)
    if record:
        (state / 'board0.sha256').write_text(record + '\n')
    if copy:
        (state / ('image-%s.bin' % SHA)).write_bytes(b'x')
    after = {'normal': BOOT, 'bootloader': NORMAL}[mode]
    tools = Tools(get_mode=[(0, NORMAL if mode == 'normal' else BOOT, '')], mode_change=[(0, SWITCH[mode], '')],
                  flash_image=[flash], wait_board=list(wait) if mode == 'bootloader' else [(0, after, '')] + list(wait),
                  list_boards=[(0, 'Board 0: ZEDA\n', '')])
    params = dict(host='pc1', board=0, tools_dir='/t', state_dir=str(state), image_sha256=SHA, step_timeout=9,
                  reboot_timeout=3, rescan_command='', force=False)
    params.update(p)
    return steps.Board(params, tools), tools, state


@pytest.fixture(autouse=True)
def the_copy_holds_the_image(monkeypatch):
    # The copy's bytes stand for the image whose SHA-256 is SHA.
    real = pc.sha256_of
    monkeypatch.setattr(pc, 'sha256_of', lambda path: SHA if os.path.basename(path) == 'image-%s.bin' % SHA
                        and os.path.exists(path) else real(path))


@pytest.mark.parametrize('mode, record, force, check, result, update, tools', [
    ('normal', SHA, False, False, 'up to date', False, ['get mode']),
    ('normal', SHA, True, False, 'in progress', True, ['get mode', 'mode change', 'wait board']),
    ('normal', 'b' * 64, False, False, 'in progress', True, ['get mode', 'mode change', 'wait board']),
    # Found in bootloader mode, as after a run that stopped: flashed, not switched.
    ('bootloader', SHA, False, False, 'in progress', True, ['get mode']),
    ('normal', '', False, True, 'would update', True, ['get mode']),
])
def test_prepare(tmp_path, mode, record, force, check, result, update, tools):
    board, played, _ = board_in(tmp_path, mode, record, force=force)
    done = board.prepare(check)
    assert (done['rows']['0']['result'], done['needs_update'], played.tools()) == (result, update, tools)
    if result == 'in progress':
        # The record goes with the flash that comes next.
        assert done['rows']['0']['sha256_after'] == 'unknown'
    if 'mode change' in tools:
        assert played.calls[1][2] == 'y\n'


def test_prepare_never_switches_without_the_copy(tmp_path):
    board, played, _ = board_in(tmp_path, copy=False)
    with pytest.raises(steps.Failed) as failed:
        board.prepare()
    assert played.tools() == ['get mode']
    assert failed.value.rows['0']['result'] == 'FAILED: check the image'
    assert 'is gone' in failed.value.msg


def test_flash_records_the_bytes_it_flashed(tmp_path):
    board, played, state = board_in(tmp_path, 'bootloader', record='b' * 64)
    done = board.flash()
    assert played.calls == [('zeda_pcie_flash_image', [str(state / ('image-%s.bin' % SHA)), 0], '')]
    assert (state / 'board0.sha256').read_text() == SHA + '\n'
    assert done['rows']['0']['step'] == 'Record the image of the board'


@pytest.mark.parametrize('step, result, said, flashed', [
    ('write_record', 'FAILED: record', 'record the image of the board failed: the record ', True),
    ('forget_record', 'FAILED: forget the record', 'forget the image of the board failed: the record ', False),
])
def test_a_record_that_cannot_be_changed_fails_the_board(tmp_path, monkeypatch, step, result, said, flashed):
    board, played, state = board_in(tmp_path, 'bootloader', record='b' * 64)

    def full(*args):
        raise OSError(errno.ENOSPC, 'No space left on device', str(state / 'board0.sha256'))
    monkeypatch.setattr(pc, step, full)
    with pytest.raises(steps.Failed) as failed:
        board.flash()
    row = failed.value.rows['0']
    assert (row['result'], row['mode_after']) == (result, 'bootloader')
    assert 'No space left on device' in row['message']
    assert failed.value.msg.startswith('pc1 board 0: ' + said)
    assert ('flash image' in played.tools()) == flashed
    # A record that names the image is only ever written after a good flash.
    assert not (state / 'board0.sha256').exists() or (state / 'board0.sha256').read_text() == 'b' * 64 + '\n'


def test_a_failed_flash_keeps_no_record(tmp_path):
    board, played, state = board_in(tmp_path, 'bootloader', record='b' * 64,
                                    flash=(1, 'Board 0 open\n', 'Programming hardware error. Code:    0x5\n'))
    with pytest.raises(steps.Failed) as failed:
        board.flash()
    assert failed.value.msg.startswith("pc1 board 0: flash failed. zeda_pcie_flash_image said 'Programming hardware "
                                       "error. Code:    0x5' (exit status 1). The flash does not hold a good image. "
                                       'Do not switch the board back by hand')
    assert failed.value.msg.endswith('The board is in bootloader mode now.')
    assert not (state / 'board0.sha256').exists()
    assert played.tools() == ['flash image', 'get mode']


def test_a_changed_copy_is_never_flashed(tmp_path):
    board, played, state = board_in(tmp_path, 'bootloader', record=SHA)
    os.remove(str(state / ('image-%s.bin' % SHA)))
    with pytest.raises(steps.Failed) as failed:
        board.flash()
    assert failed.value.rows['0']['step'] == 'Check the image before the flash'
    assert 'flash image' not in played.tools()
    assert (state / 'board0.sha256').exists()


@pytest.mark.parametrize('rescan, waits, step, result', [
    ('', [(0, NORMAL, '')], 'Confirm normal operation mode', 'updated'),
    ('rescan it', [(1, 'Board 0 did not come back within 3 s.\n', ''), (0, NORMAL, '')],
     'Confirm normal operation mode after a rescan', 'updated'),
    ('rescan it', [(1, 'Board 0 did not come back within 3 s.\n', '')] * 2,
     'Confirm normal operation mode after a rescan', 'FAILED: confirm normal operation mode after a rescan'),
    ('', [(1, 'Board 0 did not come back within 3 s.\n', '')], 'Confirm normal operation mode',
     'FAILED: confirm normal operation mode'),
])
def test_finish_waits_and_rescans(tmp_path, rescan, waits, step, result):
    board, played, _ = board_in(tmp_path, 'bootloader', wait=waits, rescan_command=rescan)
    rescans = []
    board.rescan = rescans.append
    try:
        row = board.finish()['rows']['0']
    except steps.Failed as failed:
        row = failed.rows['0']
        assert ('did not bring it back' in row['advice']) == bool(rescan)
    assert (row['step'], row['result'], rescans) == (step, result, [rescan] if rescan else [])


@pytest.mark.parametrize('step, message, rc, mode_after, words', [
    ('Flash', 'Could not get FPGA 0', 1, 'bootloader', 'Check the board id'),
    ('Flash', 'Programming hardware error. Code: 0x5', 1, 'normal', 'Find the cause, then run the playbook again, which'),
    ('Flash', 'Progress: |###', pc.TIMED_OUT, 'bootloader', 'did not finish within its time'),
    ('Confirm bootloader mode', 'Board 0 did not come back', 1, 'unknown', 'Rescan the PCI bus'),
    ('Forget the image of the board', 'Read-only file system', 0, 'normal', 'nothing was flashed'),
    ('Query the mode', 'Board in what mode?', 1, 'unknown', 'Check the board with zeda_pcie_get_mode'),
])
def test_advice(step, message, rc, mode_after, words):
    assert words in steps.advice(step, message, rc, mode_after)


def test_last_message_and_tidy_log():
    assert pc.tidy('Board 0 open\rProgress: |\xdb\xdb |  50%\rProgress: |\xdb\xdb\xdb|100%\nProgramming done\n') == \
        'Board 0 open\nProgress: |###|100%\nProgramming done\n'
    assert pc.said({'rc': 1, 'stdout': 'Board 0 open\n', 'stderr': 'Error writing data\n'}) == 'Error writing data'
    assert pc.said({'rc': 0, 'stdout': 'Proceed [y/n]? Mode change complete.\n', 'stderr': 'noise'}) == \
        'Mode change complete.'


def test_a_tool_past_its_time_is_stopped():
    ran = pc.run_tool('/bin', 'sleep', [30], timeout=0.3)
    assert ran['rc'] == pc.TIMED_OUT


def preflight_of(tmp_path, played, **p):
    tools_dir = tmp_path / 'bin'
    tools_dir.mkdir(exist_ok=True)
    for tool in pc.TOOLS:
        (tools_dir / tool).write_text('#!/bin/sh\n')
        (tools_dir / tool).chmod(0o755)
    params = dict(host='pc1', boards=[0], tools_dir=str(tools_dir), state_dir=str(tmp_path / 'state'),
                  image_sha256=SHA, image_size=100, step_timeout=9)
    params.update(p)
    return params, played


class Versions(Tools):
    def __call__(self, tool, args, answer, timeout):
        if args == ['--version']:
            return {'cmd': [tool], 'rc': 0, 'stdout': tool + ' 1.0.0\n', 'stderr': ''}
        return Tools.__call__(self, tool, args, answer, timeout)


def test_preflight_of_a_fresh_pc(tmp_path):
    played = Versions(get_mode=[(0, NORMAL, '')], list_boards=[(0, 'Board 0: ZEDA\n', '')])
    params, _ = preflight_of(tmp_path, played)
    facts = steps.preflight(params, played)
    assert facts['tools']['zeda_pcie_wait_board']['version'] == 'zeda_pcie_wait_board 1.0.0'
    assert facts['lock'] == {'held': False, 'owner': '', 'ended': False}
    assert facts['image']['present'] is False and os.path.isdir(params['state_dir'])
    assert facts['boards']['0']['result'] == 'untouched'


@pytest.mark.parametrize('change, words', [
    (lambda p, t: os.remove(os.path.join(p['tools_dir'], 'zeda_pcie_flash_image')),
     'pc1: zeda_pcie_flash_image not found in'),
    (lambda p, t: p.update(image_size=1 << 60), 'for the image, 65536 for the boards'),
    (lambda p, t: p.update(boards=[0, 3]), "pc1: board 3 not found. zeda_pcie_list_boards said 'Board 0: ZEDA'"),
    (lambda p, t: t.answers.update({'get mode': [(1, 'Incorrect mode value 7\n', '')]}),
     "pc1 board 0: pre-flight query failed. zeda_pcie_get_mode said 'Incorrect mode value 7'"),
    (lambda p, t: open(p['state_dir'], 'w').close(), 'is not a folder this run can write'),
])
def test_preflight_refuses(tmp_path, change, words):
    played = Versions(get_mode=[(0, NORMAL, '')], list_boards=[(0, 'Board 0: ZEDA\n', '')])
    params, _ = preflight_of(tmp_path, played)
    change(params, played)
    with pytest.raises(steps.Failed) as failed:
        steps.preflight(params, played)
    assert words in failed.value.msg


def test_preflight_of_a_held_pc_asks_no_board(tmp_path):
    played = Versions(get_mode=[(0, NORMAL, '')], list_boards=[(0, 'Board 0: ZEDA\n', '')])
    params, _ = preflight_of(tmp_path, played)
    os.makedirs(params['state_dir'])
    assert lock.take(params['state_dir'], 'r1', 'r1 ctl m b 1') == (lock.FREE, '')
    try:
        facts = steps.preflight(params, played)
        assert facts['lock']['held'] and facts['lock']['owner'].startswith('r1 ctl m b 1 ')
        assert 'get mode' not in played.tools()
        # Once the controller knows that run ended, the rest is checked.
        facts = steps.preflight(dict(params, ended_owner=facts['lock']['owner']), played)
        assert facts['lock']['ended'] and facts['boards']['0']['mode_before'] == 'normal'
    finally:
        lock.release(params['state_dir'], 'r1')


def test_lock_take_refuse_takeover_release(tmp_path):
    state = str(tmp_path)
    assert lock.take(state, 'r1', 'r1 ctl m b 11') == (lock.FREE, '')
    first = lock.owner_line(state)
    rc, owner = lock.take(state, 'r2', 'r2 ctl m b 22')
    assert (rc, owner) == (lock.HELD, first)
    assert lock.probe(state, wait=0.2) == (lock.HELD, first)
    # A run that provably ended is taken over, its holder stopped.
    assert lock.take(state, 'r2', 'r2 ctl m b 22', takeover=first) == (lock.FREE, '')
    assert lock.owner_line(state).startswith('r2 ctl m b 22 ')
    assert lock.release(state, 'r2') == (0, '')
    assert lock.probe(state, wait=0.2) == (lock.FREE, '') and lock.owner_line(state) == ''


def test_hold_says_whether_the_copy_is_there(tmp_path):
    p = dict(host='pc1', state_dir=str(tmp_path), run_id='r1', owner='r1 c m b 1', image_sha256=SHA)
    assert steps.hold(p)['image']['present'] is False
    with pytest.raises(steps.Failed) as failed:
        steps.hold(dict(p, run_id='r2', owner='r2 c m b 2'))
    assert 'another fleet update (r1 from c, process 1 there; holder process' in failed.value.msg
    (tmp_path / ('image-%s.bin' % SHA)).write_bytes(b'x')
    (tmp_path / 'image-old.bin').write_bytes(b'y')
    assert steps.release(dict(p, clean=True)) == {'removed': ['image-old.bin']}


def test_install_takes_only_the_verified_bytes(tmp_path, monkeypatch):
    monkeypatch.undo()
    src = tmp_path / 'arrived'
    src.write_bytes(b'other bytes')
    with pytest.raises(ValueError):
        pc.install_image(str(src), str(tmp_path), SHA)
    assert sorted(os.listdir(str(tmp_path))) == ['arrived']
    good = pc.sha256_of(str(src))
    assert pc.install_image(str(src), str(tmp_path), good) == str(tmp_path / ('image-%s.bin' % good))


@pytest.mark.parametrize('mode, sha, image, word', [
    ('unknown', SHA, SHA, 'no answer'), ('normal', '', SHA, 'no record'), ('bootloader', SHA, SHA, 'in bootloader mode'),
    ('normal', SHA, '', 'on record'), ('normal', SHA, SHA, 'up to date'), ('normal', SHA, 'b' * 64, 'other image'),
])
def test_status_words(mode, sha, image, word):
    assert steps.status_word(mode, sha, image) == word


def test_status_asks_no_board_of_a_held_pc(tmp_path):
    played = Tools(get_mode=[(0, NORMAL, '')])
    p = dict(host='pc1', boards=[0], state_dir=str(tmp_path), image_sha256=SHA)
    assert steps.status(p, played)['0']['result'] == 'no record'
    assert lock.take(str(tmp_path), 'r1', 'r1 ctl m b 1') == (lock.FREE, '')
    try:
        assert steps.status(p, played)['0']['message'] == 'held by the fleet update r1 from ctl'
        assert played.tools() == ['get mode']
    finally:
        lock.release(str(tmp_path), 'r1')


def test_the_lock_outlives_the_process_that_took_it(tmp_path):
    code = ('import sys; sys.path.insert(0, %r)\nfrom ansible_collections.zeda.fleet.plugins.module_utils import '
            'zeda_fleet_lock as lock\nprint(lock.take(%r, "r1", "r1 c m b 1"))' % (root, str(tmp_path)))
    assert subprocess.run([sys.executable, '-c', code], stdout=subprocess.PIPE, timeout=30).stdout == b"(0, '')\n"
    assert lock.probe(str(tmp_path), wait=0.2)[0] == lock.HELD
    assert lock.release(str(tmp_path), 'r1') == (0, '')


@pytest.mark.parametrize('run, mode_after, start, end', [
    ({'cmd': ['/t/zeda_pcie_wait_board', '0', '3'], 'rc': 124, 'stdout': 'Waiting for board 0\n', 'stderr': ''}, 'unknown',
     "pc1 board 0: confirm bootloader mode failed. zeda_pcie_wait_board said 'Waiting for board 0' (exit status 124). "
     'The tool did not finish', 'The board did not answer a query after the failure.'),
    ({'msg': 'the copy of the image, /s/image-a.bin, is gone'}, None,
     'pc1 board 0: check the image before the switch failed: the copy of the image, /s/image-a.bin, is gone. '
     'Something on the PC changed', 'Run the playbook again, which copies it again.'),
    ({'cmd': ['/t/zeda_pcie_mode_change', '0'], 'rc': 0, 'stdout': 'Proceed [y/n]? Board is busy\n', 'stderr': ''}, 'normal',
     "pc1 board 0: switch to bootloader mode failed. zeda_pcie_mode_change said 'Board is busy' (exit status 0).",
     'The board is in normal operation mode now.'),
])
def test_a_failure_in_words(run, mode_after, start, end):
    step = {'zeda_pcie_wait_board': 'Confirm bootloader mode', 'zeda_pcie_mode_change': 'Switch to bootloader mode'}.get(
        pc.tool_name(run), 'Check the image before the switch')
    failed = steps.failure('pc1', 0, step, run, mode_after)
    assert failed.msg.startswith(start) and failed.msg.endswith(end), failed.msg
    # Said once: the message and the row tell the same, the state only when it was asked.
    assert failed.rows['0']['advice'] in failed.msg and (failed.rows['0']['state'] == '') == (mode_after is None)


def test_a_dry_run_on_a_fresh_pc_makes_nothing(tmp_path):
    played = Versions(get_mode=[(0, BOOT, '')], list_boards=[(0, 'Board 0: ZEDA\n', '')])
    params, _ = preflight_of(tmp_path, played)
    facts = steps.preflight(params, played, check_mode=True)
    assert not os.path.exists(params['state_dir']) and facts['image'] == {'copy': pc.image_copy(params['state_dir'], SHA),
                                                                           'present': False}
    assert facts['boards']['0']['mode_before'] == 'bootloader'


def test_a_write_that_fails_leaves_nothing(tmp_path):
    def chunks():
        yield b'half'
        raise OSError(errno.ENOSPC, 'No space left on device')
    with pytest.raises(OSError):
        pc.write_atomically(str(tmp_path / 'board0.sha256'), chunks())
    assert os.listdir(str(tmp_path)) == []


def test_only_the_image_in_use_is_kept(tmp_path):
    for name in ('image-%s.bin' % SHA, 'image-b.bin', 'image-c.bin.part', 'board0.sha256', 'fleet.lock'):
        (tmp_path / name).write_text('x')
    assert pc.remove_old_images(str(tmp_path), SHA) == ['image-b.bin', 'image-c.bin.part']
    assert sorted(os.listdir(str(tmp_path))) == ['board0.sha256', 'fleet.lock', 'image-%s.bin' % SHA]


def test_a_lock_that_is_no_file_cannot_be_checked(tmp_path):
    (tmp_path / 'fleet.lock').mkdir()
    rc, why = lock.probe(str(tmp_path), wait=0.1)
    assert rc == 1 and why.endswith('fleet.lock: not a file')
