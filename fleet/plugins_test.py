# The fleet plugins' pure parts, case by case, without a controller: the
# filters, the report's page and tables, and its files in a folder.
#   pytest-3 fleet/plugins_test.py
import json
import os

import pytest
from ansible_collections.zeda.fleet.plugins.filter.zeda_fleet import FilterModule, zeda_last_message, zeda_run_ended
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_files as files
from ansible_collections.zeda.fleet.plugins.plugin_utils import zeda_fleet_page as page

BAR = 'Progress:  |' + '#' * 60 + ' |  99%'


def row(host, result, board=0, **more):
    return dict(host=host, board=board, result=result, **more)


def report(*rows, **facts):
    return dict({'id': 'r1', 'kind': 'update', 'outcome': 'finished', 'boards': list(rows)}, **facts)


@pytest.mark.parametrize('output, want', [
    # A flash stopped by the step timeout: its bar, redrawn with CRs.
    ('Preparing to program 300000 bytes\nBoard 0 open\n' + ('%s\r' % BAR) * 400, BAR),
    ('Proceed [y/n]? Mode change complete.\n', 'Mode change complete.'),
    ('Board in bootloader mode. \nPress any key to exit...', 'Board in bootloader mode.'),
    ('', '(none)'),
    ('x' * 1000, 'x' * 300 + '...'),
])
def test_last_message(output, want):
    assert zeda_last_message(output, '(none)') == want


def test_run_ended():
    with open('/proc/sys/kernel/random/boot_id') as f:
        boot = f.read().strip()
    me = 'run-b ctl m1 %s 1' % boot
    dead = 2 ** 22 + 1  # above Linux's largest pid
    for owner, want in [
        ('run-a ctl m1 %s %d 7' % (boot, dead), True),
        ('run-a ctl m1 %s %d 7' % (boot, os.getpid()), False),  # still running
        ('run-a ctl m2 %s %d 7' % (boot, dead), False),          # a clone with the same host name
        ('run-a ctl m1 other-boot %d 7' % dead, False),          # before a restart: cannot tell
        ('run-a ctl unknown %s %d 7' % (boot, dead), False),
        ('ctl:%d:1 7' % dead, False),                            # an older collection's line
        ('run-b ctl m1 %s %d 7' % (boot, dead), False),          # this run itself
    ]:
        assert zeda_run_ended(owner, me) == want, owner
    assert sorted(FilterModule().filters()) == ['zeda_last_message', 'zeda_run_ended']


def test_order_and_counts():
    rows = [row('pc10', 'FAILED: flash'), row('pc2', 'updated'), row('pc2', 'up to date', 1),
            row('pc9', 'skipped: busy', None), row('pc1', 'up to date'), row('pc3', 'interrupted')]
    assert [(r['host'], r['board']) for r in page.ordered(rows)] == \
        [('pc1', 0), ('pc2', 0), ('pc2', 1), ('pc3', 0), ('pc9', None), ('pc10', 0)]
    assert page.counts(rows) == [('failed', 1), ('interrupted', 1), ('skipped', 1), ('updated', 1), ('up to date', 2)]


def test_one_long_message_widens_no_other_line():
    rows = [row('pc1', 'updated', seconds=11.84, message='Board in normal operation mode.', mode_before='normal'),
            row('pc2', 'FAILED: pre-flight', None, message='x' * 300, mode_before='?')]
    lines = page.format_table(page.summary_rows(rows))
    assert lines == ['HOST  BOARD  MODE BEFORE  RESULT              SECONDS  LAST MESSAGE',
                     'pc1   0      normal       updated             11.8     Board in normal operation mode.',
                     'pc2   -      ?            FAILED: pre-flight           ' + 'x' * 97 + '...']


def test_status_table():
    rows = [row('pc1', 'up to date', mode_before='normal', sha256_before='a' * 64, record_time='2025-03-01T08:15:00Z',
                message='Board in normal operation mode.')]
    assert page.format_table(page.summary_rows(rows, 'status'))[1].split() == \
        ['pc1', '0', 'normal', 'up', 'to', 'date', 'a' * 12, '2025-03-01T08:15:00Z', 'Board', 'in', 'normal', 'operation',
         'mode.']


def test_page():
    r = report(row('pc1', 'updated', batch=1, seconds=9.04),
               row('pc2', 'FAILED: flash', step='Flash', message='<script>x()</script>', advice='Run it again.', batch=1),
               row('pc3', 'interrupted', step='Confirm bootloader mode', message='Board 0 is back.', state='in bootloader mode',
                   batch=1),
               row('pc4', 'untouched', None), outcome='stopped', stopped='The run stopped after batch 1.',
               phases=[{'name': 'pre-flight', 'seconds': 372}, {'name': 'batch 1', 'seconds': 61.2}],
               batches=[{'number': 1, 'hosts': ['pc1', 'pc2', 'pc3'], 'seconds': 61.2}])
    html = page.render_html(r)
    # No script, not even from a tool's message.
    assert '<script' not in html
    assert '<h1>Fleet update r1: stopped</h1>' in html and 'Time: pre-flight 6 min 12 s, batch 1 1 min 01 s.' in html
    # A box for the failure and for the interruption, before the batches.
    assert html.index('pc2 board 0: FAILED: flash') < html.index('pc3 board 0: interrupted') < html.index('Batch 1')
    assert '<h2>Failures and interruptions</h2>' in html and '<b>The board now:</b> in bootloader mode' in html
    assert '<td>9.0</td>' in html and '<h2>Not in a batch</h2><table><tr><th>PC</th>' in html
    lines = page.render_csv(r).splitlines()
    assert lines[2].split(',')[:5] == ['pc2', '0', '1', '', 'FAILED: flash'] and lines[4].startswith('pc4,-,')


@pytest.mark.parametrize('boxed, title', [
    (['FAILED: flash'], 'Failures'), (['interrupted'], 'Interrupted'),
    (['interrupted', 'FAILED: unreachable'], 'Failures and interruptions'),
])
def test_the_boxes_title(boxed, title):
    html = page.render_html(report(*[row('pc%d' % i, result) for i, result in enumerate(boxed)], kind='status'))
    assert '<h2>%s</h2>' % title in html and '<h2>Boards</h2>' in html and 'Fleet status' in html


@pytest.mark.parametrize('sources, made, want', [
    (['inventory.ini'], ['inventory.ini'], 'inventory.ini'),
    (['site/inventory.ini'], ['site/inventory.ini'], 'site_inventory.ini'),
    (['/etc/ansible/hosts'], [], 'etc_ansible_hosts'),
    (['pc1,pc2,'], [], 'pc1_pc2'),
    (['a.yml', 'b.yml'], ['a.yml', 'b.yml'], 'a.yml+b.yml'),
    (['x' * 150], [], 'x' * 91 + '-'),
])
def test_inventory_names(tmp_path, sources, made, want):
    for name in made:
        os.makedirs(str(tmp_path / os.path.dirname(name)), exist_ok=True)
        (tmp_path / name).write_text('')
    assert files.inventory_name(sources, str(tmp_path)).startswith(want)
    assert len(files.inventory_name(['x' * 150], str(tmp_path))) == files.NAME_LIMIT


def test_an_inventory_outside_the_folder_is_named_whole(tmp_path):
    (tmp_path / 'inv.yml').write_text('')
    os.mkdir(str(tmp_path / 'run'))
    assert files.inventory_name(['../inv.yml'], str(tmp_path / 'run')) == str(tmp_path / 'inv.yml').strip('/').replace('/', '_')


def test_a_report_is_its_own(tmp_path):
    reports = files.Reports.create(str(tmp_path / 'reports'), 'r1')
    with pytest.raises(FileExistsError):
        files.Reports.create(str(tmp_path / 'reports'), 'r1')
    reports.write(report(row('pc1', 'updated', batch=1)))
    assert json.loads((tmp_path / 'reports' / 'r1.json').read_text())['boards'][0]['host'] == 'pc1'
    assert (tmp_path / 'reports' / 'r1.csv').read_text().splitlines()[1].startswith('pc1,0,1,')
    assert (tmp_path / 'reports' / 'r1.html').read_text().startswith('<!DOCTYPE html>')


def test_latest_per_inventory(tmp_path):
    folder = str(tmp_path)
    first, second = files.Reports(folder, 'r1'), files.Reports(folder, 'r2')
    assert first.keep_latest('inv.yml', ['pc2', 'pc10']) == os.path.join(folder, 'r1.retry')
    assert (tmp_path / 'latest-inv.yml.retry').read_text() == 'pc2\npc10\n'
    assert os.readlink(str(tmp_path / 'latest-inv.yml.json')) == 'r1.json'
    # Another inventory's run leaves these alone; this one's next run that
    # finished every PC takes the links and leaves no retry link.
    files.Reports(folder, 'r3').keep_latest('other.yml', ['pc1'])
    assert second.keep_latest('inv.yml', []) is None
    assert os.readlink(str(tmp_path / 'latest-inv.yml.html')) == 'r2.html'
    assert not os.path.lexists(str(tmp_path / 'latest-inv.yml.retry'))
    assert os.readlink(str(tmp_path / 'latest-other.yml.retry')) == 'r3.retry'


def test_the_hold_on_an_inventory_names_its_holder(tmp_path):
    mine, theirs = files.Hold(str(tmp_path), 'inv.yml'), files.Hold(str(tmp_path), 'inv.yml')
    assert mine.take('11 ops@ctl r1')
    assert not theirs.take('22 ops@ctl r2') and theirs.holder() == '11 ops@ctl r1'
    os.close(mine.fd)
    assert theirs.take('22 ops@ctl r2') and mine.holder() == '22 ops@ctl r2'
    assert files.Hold(str(tmp_path / 'gone'), 'inv.yml').holder() == '?'


def test_machine_facts(tmp_path):
    (tmp_path / 'two words').write_text('a b\n')
    (tmp_path / 'id').write_text('0123abcd\n')
    assert files.first_word_of(str(tmp_path / 'missing'), str(tmp_path / 'two words'), str(tmp_path / 'id')) == '0123abcd'
    assert files.first_word_of(str(tmp_path / 'missing')) == 'unknown'
