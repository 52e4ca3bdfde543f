# The fleet run as the summary plugin sees it (plugin_utils/zeda_fleet_run.py),
# played event by event, a second apart, without Ansible: what each board's
# row says, the run's phases, statuses and retry list.
#   pytest-3 fleet/run_test.py
import pytest
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_run as fleet_run

SHA = 'a' * 64
PREPARE, FLASH = 'Switch to bootloader mode and wait', 'Flash, record, switch back and wait'


def boards(rows, **fleet):
    return {'zeda_fleet': dict({'boards': rows}, **fleet)}


def ready(*ids, mode='normal'):
    return boards({str(b): {'result': 'untouched', 'step': 'Pre-flight query', 'mode_before': mode,
                            'message': 'Board in %s mode.' % mode} for b in ids}, ready=True)


PREPARED = boards({'0': {'result': 'in progress', 'step': 'Confirm bootloader mode', 'message': 'Board 0 is back in '
                         'bootloader mode.', 'sha256_after': 'unknown'}}, )
UPDATED = boards({'0': {'result': 'updated', 'step': 'Confirm normal operation mode', 'sha256_after': SHA,
                        'message': 'Board in normal operation mode.'}})
FLASH_FAILED = boards({'0': {'result': 'FAILED: flash', 'step': 'Flash', 'message': 'Programming hardware error.',
                             'advice': 'Find the cause.', 'state': 'The board is in bootloader mode now.'}})
UP_TO_DATE = boards({'0': {'result': 'up to date', 'step': 'Query the mode', 'message': 'Board in normal operation mode.'}})


def play(*events, **facts):
    """A run of facts (kind update unless said) through events, each a tuple
    naming a Run method and its arguments but the time; the run ends last
    unless an event ends it."""
    run = fleet_run.Run(dict({'id': 'r1', 'kind': 'update'}, **facts), 1000.0)
    now = 1000.0
    for event in events:
        now += 1
        name, args = event[0], list(event[1:])
        if name in ('took', 'failed', 'unreachable', 'begin_task', 'begin_play', 'end'):
            args.append(now)
        if name == 'end':
            args.reverse()
        getattr(run, name)(*args)
    if not run.ended:
        run.end(now + 1, {'failures': 0, 'dark': 0})
    return run


def preflight(*hosts):
    return [('begin_play', 'preflight', list(hosts), list(hosts), [])] + [
        e for h in hosts for e in (('begin_task', h, None, 'Check the PC'), ('took', h, ready(0)))]


def batch(*hosts):
    return ('begin_play', 'update', ['pc1', 'pc2'], list(hosts), ['1'])


def prepare(host, result=PREPARED):
    return [('begin_task', host, 'prepare', PREPARE), ('took', host, result)]


def rows_of(run):
    return {(r['host'], r['board']): r for r in run.report()['boards']}


# The last step that ran and the last thing a tool printed on the board,
# however the run ended with the board's update under way.
@pytest.mark.parametrize('events, result, step, message, state', [
    # A signal between its steps: the flash never starts.
    (prepare('pc1') + [('signalled', 'SIGTERM'), ('end', {'failures': 0, 'dark': 0})],
     'interrupted', 'Confirm bootloader mode', 'Board 0 is back in bootloader mode.', fleet_run.STATE_PREPARED),
    # A signal during the flash: the step ends on its own, with its result.
    (prepare('pc1') + [('begin_task', 'pc1', 'flash', FLASH), ('signalled', 'SIGINT'), ('took', 'pc1', UPDATED)],
     'updated', 'Confirm normal operation mode', 'Board in normal operation mode.', None),
    # ansible-playbook ended on an error with the flash under way.
    (prepare('pc1') + [('begin_task', 'pc1', 'flash', FLASH), ('end', None)],
     'interrupted', FLASH, 'Board 0 is back in bootloader mode.', fleet_run.STATE_CUT['flash']),
    ([('begin_task', 'pc1', 'prepare', PREPARE), ('end', None)],
     'interrupted', PREPARE, 'Board in normal mode.', fleet_run.STATE_CUT['prepare']),
    # The PC lost during the flash.
    (prepare('pc1') + [('begin_task', 'pc1', 'flash', FLASH), ('unreachable', 'pc1', {'msg': 'ssh: no route'}, FLASH)],
     'FAILED: unreachable', FLASH, 'ssh: no route', fleet_run.STATE_CUT['flash']),
    (prepare('pc1') + [('begin_task', 'pc1', 'flash', FLASH), ('failed', 'pc1', FLASH_FAILED, FLASH, False)],
     'FAILED: flash', 'Flash', 'Programming hardware error.', 'The board is in bootloader mode now.'),
])
def test_a_board_row_tells_the_last_step_and_message(events, result, step, message, state):
    run = play(*(preflight('pc1') + [batch('pc1')] + events))
    row = rows_of(run)[('pc1', 0)]
    assert (row['result'], row['step'], row['message'], row.get('state')) == (result, step, message, state)
    assert run.reached


def test_numbers_are_numbers_and_phases_have_times():
    run = play(*(preflight('pc1', 'pc2') + [batch('pc1')] + prepare('pc1') + [('took', 'pc1', UPDATED), batch('pc2')]
                 + prepare('pc2', UP_TO_DATE)))
    report = run.report()
    row = rows_of(run)[('pc1', 0)]
    assert (row['board'], row['seconds'], row['batch']) == (0, 2.0, 1)
    assert [(p['name'], p['seconds']) for p in report['phases']] == [('pre-flight', 5.0), ('batch 1', 4.0), ('batch 2', 3.0)]
    assert [(b['number'], b['hosts'], b['seconds']) for b in report['batches']] == [(1, ['pc1'], 4.0), (2, ['pc2'], 3.0)]
    assert (report['seconds'], report['batch_sizes'], report['outcome'], report['exit_status']) == (13.0, [1], 'finished', 0)
    assert run.summary()[1][3] == 'Time: pre-flight 5 s, batch 1 4 s, batch 2 3 s; the whole run 13 s.'


@pytest.mark.parametrize('signal, counts, status, outcome', [
    ('SIGINT', None, 99, 'interrupted by SIGINT'),
    ('SIGTERM', {'failures': 1, 'dark': 0}, 143, 'interrupted by SIGTERM'),
    ('SIGHUP', None, 129, 'interrupted by SIGHUP'),
    (None, {'failures': 1, 'dark': 1}, 4, 'finished with failures'),
    (None, {'failures': 2, 'dark': 0}, 2, 'finished with failures'),
    (None, None, None, 'ended early: ansible-playbook stopped with an error'),
])
def test_the_status_ansible_playbook_ends_with(signal, counts, status, outcome):
    events = preflight('pc1') + [batch('pc1')] + prepare('pc1') + [('failed', 'pc1', FLASH_FAILED, FLASH, False)]
    if signal:
        events.append(('signalled', signal))
    run = play(*(events + [('end', counts)]))
    assert (run.report()['exit_status'], run.report()['outcome'], run.report()['interrupted']) == \
        (status, outcome, counts is None or signal is not None)
    assert run.report().get('signal') == signal


# Only a run that reached a board becomes the last over its inventory.
@pytest.mark.parametrize('events, reached', [
    # Refused at pre-flight, by a check on the controller.
    ([('failed', 'pc1', {'msg': 'On the controller: the signature is missing'}, 'Stop at an image', True)], False),
    # A signal during the pre-flight.
    ([('signalled', 'SIGHUP')], False),
    ([batch('pc1'), ('begin_task', 'pc1', 'prepare', PREPARE), ('skipped', 'pc1')], False),
    ([batch('pc1')] + prepare('pc1', UP_TO_DATE), True),
])
def test_a_run_reached_a_board(events, reached):
    assert play(*(preflight('pc1') + events)).reached == reached


@pytest.mark.parametrize('events, rows', [
    # A PC another run holds by the time of its turn.
    ([('failed', 'pc1', boards({}, pc={'result': 'FAILED: held by another run', 'step': 'Hold the PC for this run',
                                       'message': 'pc1: another fleet update holds this PC'}), 'Hold', False)],
     {('pc1', 0): ('FAILED: held by another run', 'Hold the PC for this run')}),
    # A task of the role that fails without a module's rows.
    ([('failed', 'pc1', {'msg': 'boom'}, 'Note the PCs of the batch', False)],
     {('pc1', 0): ('FAILED: update', 'Note the PCs of the batch')}),
    # The last play names the PCs left out: their rows say so already.
    ([('begin_play', 'close', ['pc1'], ['pc1'], []), ('failed', 'pc1', {'msg': 'left out'}, 'Name the PCs', False)],
     {('pc1', 0): ('untouched', 'Pre-flight query')}),
])
def test_result_words(events, rows):
    run = play(*(preflight('pc1') + [batch('pc1')] + events))
    assert {k: (r['result'], r['step']) for k, r in rows_of(run).items()} == rows


def test_a_refused_run_names_the_controller_and_retries_no_pc():
    run = play(('begin_play', 'preflight', ['pc1', 'pc2'], ['pc1', 'pc2'], []),
               ('failed', 'pc1', {'msg': 'non-zero return code', 'stderr': 'first\nthe signature is missing\n'}, 'Verify', True),
               ('end', {'failures': 2, 'dark': 0}))
    rows = rows_of(run)
    assert rows[('controller', None)]['message'] == 'the signature is missing'
    assert rows[('pc1', None)]['result'] == rows[('pc2', None)]['result'] == 'not reached'
    assert run.report()['stopped'] == 'The run stopped at pre-flight, before any board was touched.'
    assert run.unfinished() == ['pc1', 'pc2'] and not run.reached


def test_a_stopped_batch_stops_the_run():
    run = play(*(preflight('pc1', 'pc2') + [batch('pc1')] + prepare('pc1') + [
        ('begin_task', 'pc1', 'flash', FLASH), ('failed', 'pc1', FLASH_FAILED, FLASH, False),
        ('end', {'failures': 1, 'dark': 0})]))
    report = run.report()
    assert report['stopped'] == ('The run stopped after batch 1: 1 of its 1 PC(s) failed (pc1); the PCs after it were '
                                 'not updated.')
    assert report['outcome'] == 'stopped' and len(report['batches']) == 1
    assert rows_of(run)[('pc2', 0)]['state'] == fleet_run.STATE_UNTOUCHED and run.unfinished() == ['pc1', 'pc2']


def test_no_batch_starts_after_a_stop_or_a_signal():
    run = play(*(preflight('pc1', 'pc2') + [('took', 'pc1', {'ansible_stats': {'data': {'zeda_fleet_run': {
        'stopped': 'The run stopped after the batch of pc1.'}}}}), batch('pc2')]))
    assert run.report()['batches'] == [] and run.report()['outcome'] == 'stopped'
    run = play(*(preflight('pc1') + [('signalled', 'SIGTERM'), ('signalled', 'SIGINT'), batch('pc1')]))
    assert run.report()['batches'] == [] and run.signal == 'SIGTERM'


def test_facts_from_the_role():
    run = play(*(preflight('pc1') + [('took', 'pc1', {'results': [{'ansible_stats': {'data': {'zeda_fleet_run': {
        'image_size': '300003', 'max_fail_percent': '10', 'signature': 'not checked', 'signer': ''}}}}]})]))
    assert (run.facts['image_size'], run.facts['max_fail_percent']) == (300003, 10)
    assert run.notices == ['Images are not checked: zeda_field_update_allowed_signers is not set, so this run flashes '
                           'the image without looking at its signature.']


def test_the_summary():
    run = play(*(preflight('pc1', 'pc2') + [
        ('begin_play', 'preflight', ['pc1', 'pc2', 'pc3'], ['pc1', 'pc2', 'pc3'], []),
        ('took', 'pc3', boards({'-': {'result': 'skipped: busy', 'step': 'Pre-flight', 'message': 'held'}}, left_out='busy')),
        ('took', 'pc1', {'ansible_stats': {'data': {'zeda_fleet_run': {'signer': 'release@zeda.example',
                                                                        'image_name': 'gw.bin', 'image_sha256': SHA}}}}),
        batch('pc1', 'pc2')] + prepare('pc1') + prepare('pc2', UP_TO_DATE) + [
        ('signalled', 'SIGTERM'), ('end', {'failures': 0, 'dark': 0})]))
    title, lines = run.summary('/r/r1.json', '/r/r1.retry')
    assert title == 'FLEET UPDATE SUMMARY'
    assert lines[1].split()[:5] == ['pc1', '0', 'normal', 'interrupted', '5.0']
    assert lines[4:] == [
        'Image gw.bin (SHA-256 aaaaaaaaaaaa), signed by release@zeda.example.',
        'Time: pre-flight 8 s, batch 1 6 s; the whole run 15 s.',
        'pc1 board 0 was interrupted at "Confirm bootloader mode": %s.' % fleet_run.STATE_PREPARED,
        'Left out of this run: pc3 (busy).',
        'The run was ended by SIGTERM.',
        'Report: /r/r1.json', 'Page: /r/r1.html',
        '2 PC(s) not finished: run again, or only those with --limit @/r/r1.retry']


def test_a_status_and_a_rerun_that_changed_nothing():
    run = play(('begin_play', 'status', ['pc1'], ['pc1'], []), ('took', 'pc1', boards({'0': {
        'result': 'up to date', 'sha256_before': SHA, 'record_time': 'T', 'mode_before': 'normal', 'message': 'M'}})))
    assert run.summary()[0] == 'FLEET STATUS' and run.report()['kind'] == 'status'
    assert run.report()['phases'][0]['name'] == 'status'
    run = play(*(preflight('pc1') + [batch('pc1')] + prepare('pc1', UP_TO_DATE)))
    assert 'Every board already runs the image: nothing was changed.' in run.summary()[1]
    assert play().summary() is None


@pytest.mark.parametrize('check, tags, skip, kind', [
    (True, ['all'], [], 'check'), (False, None, None, 'update'), (False, ['preflight'], [], 'preflight'),
    (False, ['all'], ['update'], 'preflight'), (False, ['update'], [], 'update'),
])
def test_kind_of_a_run(check, tags, skip, kind):
    assert fleet_run.kind_of(check, tags, skip) == kind


def test_a_preflight_run_keeps_its_ready_boards():
    run = play(*preflight('pc1'), kind='preflight')
    assert rows_of(run)[('pc1', 0)]['result'] == 'ready'
