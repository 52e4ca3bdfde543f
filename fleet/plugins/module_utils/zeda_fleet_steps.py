# The steps of the fleet update on a PC, each whole with its checks: the
# pre-flight of a PC, the fleet status of a PC, and a board's update (switch
# to bootloader mode and wait; check the copy, flash and record; switch back
# and wait, which the module runs in one call with the flash). Each returns a plain result; a failure is said once,
# in words, with what to do. Every result that concerns boards carries, per
# board, its row: the step that ran (words for a person), the last line a
# tool printed on that board (message) and the outcome (result). Tools are
# run through run(tool, args, answer, timeout), which tests replace.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import re

from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_lock as lock
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_pc as pc


class Failed(Exception):
    """A step that failed: msg in words, rows for the report (per board, or
    for the PC's boards not yet done: pc)."""

    def __init__(self, msg, rows=None, pc=None):
        Exception.__init__(self, msg)
        self.msg, self.rows, self.pc = msg, rows or {}, pc

    def zeda_fleet(self):
        found = {'boards': self.rows}
        if self.pc:
            found['pc'] = dict(self.pc, message=pc.last_message(self.msg))
        return found


# The result word of a failed step, where the step's own name is long.
SHORT = {'Record the image of the board': 'record', 'Forget the image of the board': 'forget the record',
         'Check the image before the switch': 'check the image', 'Check the image before the flash': 'check the image'}

REFLASH = {'bootloader': 'The flash does not hold a good image. Do not switch the board back by hand: find the cause, '
                         'then run the playbook again, which flashes the board again before it switches it back.',
           '': 'The flash does not hold a good image. Find the cause, then run the playbook again, which flashes the '
               'board again.'}
# What to do after a tool's message, by the text it contains; the first
# match wins, else the advice for a timeout, else the step's own advice.
BY_MESSAGE = (
    ('Could not get FPGA', 'Check the board id in zeda_field_update_boards (the first board is 0), that the card is '
                           'seated and powered, and that the RIFFA driver is loaded (lsmod | grep riffa).'),
    ('Incorrect mode value', 'The board did not answer a valid mode. Run the playbook again; if it stays, power-cycle '
                             'the PC. A board that never reports a valid mode needs its image reloaded over JTAG.'),
    ('Board not in bootloader mode', 'Nothing was sent to the programmer. Run the playbook again; it switches the '
                                     'board to bootloader mode before it flashes.'),
    ('Programming hardware error', REFLASH),
    ('Error reading image file', REFLASH),
    ('Error writing data', REFLASH),
    ('is in use by another program', 'Another program held the board until the step timed out '
                                     '(zeda_field_update_step_timeout). Let it finish or stop it, then run the '
                                     'playbook again.'),
)
TIMEOUT = ('The tool did not finish within its time (zeda_field_update_step_timeout, and '
           'zeda_field_update_reboot_timeout for a wait) and was stopped. Check the board and the PC, then run the '
           'playbook again; a board left in bootloader mode is flashed again before it is switched back.')
RESCAN_FAILED = ('The rescan (zeda_field_update_rescan_command) did not bring it back: restart the PC, then run the '
                 'playbook again.')
RESCAN = ('Rescan the PCI bus of the PC (man zeda_pcie_wait_board) or restart it, then run the playbook again; '
          'zeda_field_update_rescan_command lets a run do the rescan itself.')
NOT_NORMAL = ('The new image did not start or the board did not come back. %s If the board stays in bootloader '
              'mode, run the playbook again to flash it again; if that does not help, load an image over JTAG.')
STATE_FOLDER = ('The state folder could not be changed (full or read-only?); nothing was flashed. Make room in it or '
                'make it writable, then run the playbook again.')
BY_STEP = {
    'Confirm bootloader mode': 'The board did not come back in bootloader mode. %s',
    'Flash': 'Run the playbook again; it flashes the board before it switches it back.',
    'Confirm normal operation mode': NOT_NORMAL,
    'Check the image before the switch': 'Something on the PC changed or removed it since the pre-flight; the board '
                                         'was not switched. Run the playbook again, which copies it again.',
    'Check the image before the flash': 'Something on the PC changed or removed it; nothing was flashed. Run the '
                                        'playbook again.',
    'Forget the image of the board': STATE_FOLDER,
    'Record the image of the board': 'The flash holds the image, but its record could not be written in the state '
                                     'folder (full or read-only?). Make room in it or make it writable, then run the '
                                     'playbook again, which flashes the board again before it switches it back.',
}
OTHER = ('Check the board with zeda_pcie_get_mode on the PC (man zeda_pcie_get_mode), then run the playbook again; '
         'it resumes where this run stopped.')
STATE_NOW = {'bootloader': 'The board is in bootloader mode now.', 'normal': 'The board is in normal operation mode now.'}


def advice(step, message, rc=0, mode_after='', rescanned=False):
    for text, said in BY_MESSAGE:
        if text in message:
            return said.get(mode_after if mode_after == 'bootloader' else '') if isinstance(said, dict) else said
    if rc == pc.TIMED_OUT:
        return TIMEOUT
    text = BY_STEP.get(step.replace(' after a rescan', ''), OTHER)
    return text % (RESCAN_FAILED if rescanned else RESCAN) if '%s' in text else text


def failure(host, board, step, run, mode_after=None, rescanned=False):
    """The failure of a board's step in words: the message that stops the PC,
    and the board's row. run is the tool run that failed, or {'msg': why}
    for a step that runs no tool; mode_after the mode a query found after it
    (None: not asked)."""
    message = pc.said(run) if 'cmd' in run else pc.last_message(run.get('msg'))
    how = advice(step, message, run.get('rc', 0), mode_after or '', rescanned)
    state = '' if mode_after is None else STATE_NOW.get(mode_after, 'The board did not answer a query after the failure.')
    if 'cmd' in run:
        told = ". %s said '%s' (exit status %d)." % (pc.tool_name(run), message, run['rc'])
    else:
        told = ': %s.' % message
    msg = ' '.join(part for part in ('%s board %s: %s failed%s' % (host, board, step.lower(), told), how, state) if part)
    row = {'result': 'FAILED: ' + SHORT.get(step, step.lower()), 'step': step, 'message': message, 'advice': how,
           'state': state, 'mode_after': mode_after or 'unknown'}
    return Failed(msg, {str(board): row})


class Board(object):
    """One board's update on its PC: p holds the module's parameters (host,
    board, tools_dir, state_dir, image_sha256, step_timeout, reboot_timeout,
    rescan_command, force)."""

    def __init__(self, p, run, rescan=None):
        self.p, self.run = p, run
        self.rescan = rescan or (lambda command: run_shell(command, p['step_timeout']))
        self.rescanned = False
        # Every tool run, for the log.
        self.runs = []

    def tool(self, tool, args=(), answer='', timeout=None):
        said = self.run(tool, list(args), answer, self.p['step_timeout'] if timeout is None else timeout)
        self.runs.append(said)
        return said

    def query(self, timeout=None):
        return self.tool('zeda_pcie_get_mode', [self.p['board']], timeout=timeout)

    def fail(self, step, run):
        mode_after = pc.mode_of(self.query(30).get('stdout'))
        mode_after = {'?': 'unknown'}.get(mode_after, mode_after)
        return failure(self.p['host'], self.p['board'], step, run, mode_after, self.rescanned)

    def row(self, **fields):
        return {str(self.p['board']): fields}

    def switch(self, mode_now, step):
        run = self.tool('zeda_pcie_mode_change', [self.p['board']], answer='y\n')
        if not pc.passed(run, pc.SWITCHED[mode_now]):
            raise self.fail(step, run)
        return run

    def wait(self, mode, step):
        """Waits for the board to come back in mode; a wait that ran out of
        time is followed by the rescan command, when there is one, and one
        more wait."""
        timeout = self.p['reboot_timeout'] + self.p['step_timeout']
        args = [self.p['board'], self.p['reboot_timeout']]
        run = self.tool('zeda_pcie_wait_board', args, timeout=timeout)
        if run['rc'] == 1 and self.p.get('rescan_command'):
            self.rescan(self.p['rescan_command'])
            self.rescanned = True
            step += ' after a rescan'
            run = self.tool('zeda_pcie_wait_board', args, timeout=timeout)
        if not pc.passed(run, dict(pc.MODES)[mode]):
            raise self.fail(step, run)
        return run, step

    def check_copy(self, step):
        copy = pc.image_copy(self.p['state_dir'], self.p['image_sha256'])
        got = pc.sha256_of(copy)
        if got != self.p['image_sha256']:
            why = 'the copy of the image, %s, %s' % (copy, 'is gone' if got is None else 'has SHA-256 %s, not %s' % (
                got, self.p['image_sha256']))
            raise self.fail(step, {'msg': why}) if step.endswith('flash') else failure(
                self.p['host'], self.p['board'], step, {'msg': why})
        return copy

    def prepare(self, check_mode=False):
        """Queries the board; unless it already runs the image in normal
        operation mode, checks the PC's copy of the image, then switches the
        board to bootloader mode and waits for it. A board found in bootloader
        mode, as after a run that stopped, is left there."""
        before = pc.read_record(self.p['state_dir'], self.p['board'])
        run = self.query()
        mode = pc.mode_of(run.get('stdout'))
        if run['rc'] != 0 or mode == '?':
            raise self.fail('Query the mode', run)
        fields = {'mode_before': mode, 'sha256_before': before, 'sha256_after': before, 'step': 'Query the mode',
                  'message': pc.said(run)}
        if mode == 'normal' and before == self.p['image_sha256'] and not self.p.get('force'):
            return {'needs_update': False, 'changed': False, 'rows': self.row(result='up to date', **fields)}
        if check_mode:
            fields['message'] = 'has %s, would get %s' % (before[:12] or 'no record', self.p['image_sha256'][:12])
            return {'needs_update': True, 'changed': False, 'rows': self.row(result='would update', **fields)}
        self.check_copy('Check the image before the switch')
        changed = False
        if mode == 'normal':
            self.switch('normal', 'Switch to bootloader mode')
            run, fields['step'] = self.wait('bootloader', 'Confirm bootloader mode')
            fields['message'], changed = pc.said(run), True
        # The record goes with the flash that comes next.
        fields['sha256_after'] = 'unknown'
        return {'needs_update': True, 'changed': changed, 'rows': self.row(result='in progress', **fields)}

    def flash(self):
        """Flashes the PC's copy of the image, checked right before, so that the
        record names the bytes flashed; the record goes first, as erasing the
        flash ends the image on record, and is written only after a good flash."""
        copy = self.check_copy('Check the image before the flash')
        try:
            pc.forget_record(self.p['state_dir'], self.p['board'])
        except OSError as e:
            raise self.fail('Forget the image of the board', {'msg': 'the record %s could not be removed: %s' % (
                pc.record_path(self.p['state_dir'], self.p['board']), pc.strerror(e))})
        run = self.tool('zeda_pcie_flash_image', [copy, self.p['board']])
        if not pc.passed(run, pc.FLASHED):
            raise self.fail('Flash', run)
        try:
            pc.write_record(self.p['state_dir'], self.p['board'], self.p['image_sha256'])
        except OSError as e:
            raise self.fail('Record the image of the board', {'msg': 'the record %s could not be written: %s' % (
                pc.record_path(self.p['state_dir'], self.p['board']), pc.strerror(e))})
        return {'changed': True, 'rows': self.row(result='in progress', step='Record the image of the board',
                                                  message=pc.said(run))}

    def finish(self):
        """Switches the board back to normal operation mode and waits for it."""
        self.switch('bootloader', 'Switch back to normal operation mode')
        run, step = self.wait('normal', 'Confirm normal operation mode')
        return {'changed': True, 'rows': self.row(result='updated', step=step, message=pc.said(run),
                                                  sha256_after=self.p['image_sha256'])}


def run_shell(command, timeout):
    import subprocess
    try:
        return subprocess.run(['sh', '-c', command], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=timeout, preexec_fn=pc.default_signals).returncode
    except subprocess.TimeoutExpired:
        return pc.TIMED_OUT


def tools_found(tools_dir, run):
    """Each tool's path and version; the tools missing (also through
    symbolic links, as where the tools are installed by a link)."""
    found, missing = {}, []
    for tool in pc.TOOLS:
        path = os.path.join(tools_dir, tool)
        if not (os.path.isfile(path) and os.access(path, os.X_OK)):
            missing.append(tool)
            continue
        said = run(tool, ['--version'], '', 30)
        found[tool] = {'path': path, 'version': pc.last_message(said.get('stdout'), 'unknown')}
    return found, missing


def usable_state_folder(state_dir, check_mode):
    """'' when the state folder can be written, else why not (a dry run on a
    fresh PC finds none yet, and makes none)."""
    why = ''
    if not check_mode:
        try:
            os.makedirs(state_dir, mode=0o755, exist_ok=True)
        except OSError as e:
            why = pc.strerror(e)
    if os.path.isdir(state_dir) and os.access(state_dir, os.W_OK):
        return ''
    return why or ('' if check_mode and not os.path.lexists(state_dir) else 'not writable')


def preflight(p, run, check_mode=False):
    """A PC's pre-flight, touching no board: the tools and their versions,
    the state folder and its room, the lock, the image copy, the boards
    listed, each board's mode and record. Returns the PC's facts; raises
    Failed. A PC that another run holds is returned as such, with its
    boards not asked: the controller decides whether that run ended."""
    host, state_dir = p['host'], p['state_dir']
    tools, missing = tools_found(p['tools_dir'], run)
    if missing:
        raise Failed('%s: %s not found in %s. Install the zeda-pcie-tools package, or set zeda_field_update_tools_dir '
                     'to where the tools are.' % (host, ', '.join(missing), p['tools_dir']))
    why = usable_state_folder(state_dir, check_mode)
    if why:
        raise Failed('%s: the state folder %s is not a folder this run can write (%s). It keeps the image and the '
                     "boards' records: make it writable, or set zeda_field_update_state_dir to another folder."
                     % (host, state_dir, why))
    rc, owner = lock.probe(state_dir)
    if rc not in (lock.FREE, lock.HELD):
        raise Failed("%s: the PC's lock %s/fleet.lock cannot be checked: %s. Have root remove what is in its place, "
                     'then run the playbook again.' % (host, state_dir, owner))
    ended = rc == lock.HELD and bool(owner) and owner == p.get('ended_owner')
    facts = {'tools': tools, 'lock': {'held': rc == lock.HELD, 'owner': owner, 'ended': ended}, 'boards': {}}
    if rc == lock.HELD and not ended:
        return facts
    copy = pc.image_copy(state_dir, p['image_sha256'])
    present = not check_mode and pc.sha256_of(copy) == p['image_sha256']
    facts['image'] = {'copy': copy, 'present': present}
    if not check_mode and not present:
        room, need = pc.free_bytes(state_dir), p['image_size'] + pc.ROOM_EXTRA
        facts['image']['room'] = room
        if room < need:
            raise Failed('%s: the state folder %s has %d bytes free; the image needs %d bytes there (%d for the image, '
                         "%d for the boards' records and the lock). Free at least %d bytes there, or set "
                         'zeda_field_update_state_dir to a folder with room, then run the playbook again.'
                         % (host, state_dir, room, need, p['image_size'], pc.ROOM_EXTRA, need - room))
    listed = run('zeda_pcie_list_boards', [], '', p['step_timeout'])
    ids = re.findall(r'(?m)^Board (-?[0-9]+): ', listed.get('stdout') or '')
    absent = [str(b) for b in p['boards'] if str(b) not in ids]
    if absent:
        said = ' '.join(((listed.get('stdout') or '') + ' ' + (listed.get('stderr') or '')).split())
        raise Failed("%s: board %s not found. zeda_pcie_list_boards said '%s' (exit status %d). Check "
                     'zeda_field_update_boards against the ids it lists, that the cards are seated and powered, and '
                     'that the RIFFA driver is loaded.' % (host, ', '.join(absent), said, listed['rc']))
    for board in p['boards']:
        asked = run('zeda_pcie_get_mode', [board], '', p['step_timeout'])
        mode = pc.mode_of(asked.get('stdout'))
        facts['boards'][str(board)] = {'mode_before': mode, 'result': 'untouched', 'step': 'Pre-flight query',
                                       'message': pc.said(asked),
                                       'sha256_before': pc.read_record(state_dir, board)}
        if asked['rc'] != 0 or mode == '?':
            failed = failure(host, board, 'Pre-flight query', asked)
            failed.rows[str(board)]['result'] = 'FAILED: pre-flight'
            failed.rows = dict(facts['boards'], **failed.rows)
            raise failed
    return facts


def status(p, run):
    """What every board of a PC holds, changing nothing: its record and when it
    was written, its mode, and with an image, whether it is up to date. The
    boards of a PC that an update holds are not asked."""
    rc, owner = lock.probe(p['state_dir'], wait=0.5)
    held = rc == lock.HELD
    rows = {}
    for board in p['boards']:
        sha = pc.read_record(p['state_dir'], board)
        row = {'sha256_before': sha or 'none', 'record_time': pc.record_time(p['state_dir'], board),
               'step': 'Status'}
        if held:
            f = (owner.split() + ['?', '?'])[:2]
            row.update(mode_before='unknown', result='updating', message='held by the fleet update %s from %s' % tuple(f))
        else:
            # A board that another program holds gives up soon: a status waits for nothing.
            asked = run('zeda_pcie_get_mode', [board], '', 10)
            mode = 'unknown' if asked['rc'] != 0 else {'?': 'unknown'}.get(pc.mode_of(asked['stdout']),
                                                                           pc.mode_of(asked['stdout']))
            row.update(mode_before=mode, message=pc.said(asked), result=status_word(mode, sha, p.get('image_sha256')))
        rows[str(board)] = row
    return rows


def status_word(mode, sha, image_sha):
    if mode == 'unknown':
        return 'no answer'
    if not sha:
        return 'no record'
    if mode == 'bootloader':
        return 'in bootloader mode'
    if not image_sha:
        return 'on record'
    return 'up to date' if sha == image_sha else 'other image'


# A PC that could not be held or let go: the result of its boards not yet
# done, in words.
HOLD_FAILED = {'busy': {'result': 'FAILED: held by another run', 'step': 'Hold the PC for this run'},
               'hold': {'result': 'FAILED: hold', 'step': 'Hold the PC for this run'},
               'release': {'result': 'FAILED: let go', 'step': 'Let the PC go'},
               'clean': {'result': 'FAILED: remove old images', 'step': 'Let the PC go'}}


def hold(p):
    """Takes the PC's lock for the run (from a run that provably ended, when
    p['ended_owner'] names it) and says whether the PC still has the image's
    copy. Raises Failed."""
    where = '%s/fleet.lock' % p['state_dir']
    rc, said = lock.take(p['state_dir'], p['run_id'], p['owner'], p.get('ended_owner') or '')
    if rc == lock.HELD:
        raise Failed(lock.busy_message(p['host'], said, p['state_dir']), pc=HOLD_FAILED['busy'])
    if rc:
        raise Failed('%s: the PC could not be held for this run (%s): %s. Make room in the state folder or make it '
                     'writable, then run the playbook again.' % (p['host'], where, said), pc=HOLD_FAILED['hold'])
    copy = pc.image_copy(p['state_dir'], p['image_sha256'])
    return {'held': True, 'image': {'copy': copy, 'present': pc.sha256_of(copy) == p['image_sha256']}}


def release(p):
    """Removes the PC's other image copies (p['clean']) and lets the PC go."""
    removed, kept = [], ''
    if p.get('clean') and p.get('image_sha256'):
        try:
            removed = pc.remove_old_images(p['state_dir'], p['image_sha256'])
        except OSError as e:
            kept = pc.strerror(e)
    rc, why = lock.release(p['state_dir'], p['run_id'])
    if rc:
        raise Failed('%s: the PC could not be let go (%s/fleet.lock): %s.' % (p['host'], p['state_dir'], why),
                     pc=HOLD_FAILED['release'])
    if kept:
        raise Failed('%s: old image copies could not be removed from %s: %s. Remove them by hand.' % (
            p['host'], p['state_dir'], kept), pc=HOLD_FAILED['clean'])
    return {'removed': removed}
