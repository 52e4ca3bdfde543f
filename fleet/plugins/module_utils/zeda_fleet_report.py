# The fleet report's pure parts, used by the summary plugin: the rows, what
# they count as, the retry list, the summary table, and the report rendered as
# an HTML page and a CSV table. Nothing here talks to Ansible or the disk.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import csv
import html
import io
import re

# A PC none of whose boards has another result needs no retry.
FINISHED = ('updated', 'up to date')
# Rows whose result may still change; any other result is final.
OPEN = ('ready', 'untouched', 'in progress')
HEADER = ('HOST', 'BOARD', 'MODE BEFORE', 'RESULT', 'LAST MESSAGE', 'SECONDS')
STATUS_HEADER = ('HOST', 'BOARD', 'MODE', 'RESULT', 'HOLDS', 'RECORDED', 'LAST MESSAGE')
# The headline's groups, in the order a reader wants them; others follow.
GROUPS = ('failed', 'interrupted', 'skipped', 'updated', 'up to date')

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
    ('Record', 'flashed, in bootloader mode; the next run flashes it again and switches it back'),
    ('image', 'in bootloader mode, not yet flashed; the next run flashes it'),
)
STATE_UNTOUCHED = 'as it was: only queried'


def natural(name):
    # pc2 before pc10, board 2 before board 10.
    return [int(part) if part.isdigit() else part for part in re.split(r'(\d+)', str(name))]


def ordered(rows):
    return sorted(rows, key=lambda r: (natural(r['host']), natural(r['board'])))


def group(result):
    """The headline group of a result: failed, skipped, or the result itself."""
    result = str(result or '')
    if result.startswith('FAILED'):
        return 'failed'
    if result.startswith('skipped'):
        return 'skipped'
    return result


def counts(rows):
    found = {}
    for row in rows:
        found[group(row.get('result'))] = found.get(group(row.get('result')), 0) + 1
    return [(g, found[g]) for g in GROUPS if g in found] + sorted((g, n) for g, n in found.items() if g not in GROUPS)


def state_after(step):
    for words, state in STATE_BY_STEP:
        if words in step:
            return state
    return 'unknown: check it with zeda_pcie_get_mode on the PC'


def close_rows(rows, hosts, kind):
    """The rows of a run that has ended: a board still in progress was
    interrupted, one only queried stayed as it was, a PC without a row was
    not reached; a pre-flight run's boards that passed are ready."""
    for host in hosts:
        if not any(r['host'] == host for r in rows.values()):
            rows[(host, '-')] = {'host': host, 'board': '-', 'result': 'not reached', 'step': ''}
    for row in rows.values():
        if row.get('result') == 'in progress':
            row.update(result='interrupted', state=state_after(row.get('step', '')))
        elif row.get('result') == 'ready' and kind != 'preflight':
            row['result'] = 'untouched'
        if row.get('result') == 'untouched':
            row['state'] = STATE_UNTOUCHED


def unfinished_hosts(rows):
    return sorted({r['host'] for r in rows if r.get('result') not in FINISHED}, key=natural)


def summary_rows(rows, kind='update'):
    """The summary's table, header first: a status shows what each board
    holds instead of how long its update took."""
    if kind == 'status':
        return [STATUS_HEADER] + [(r['host'], r['board'], r.get('mode_before', '?'), r.get('result', ''),
                                   str(r.get('sha256_before', ''))[:12], r.get('record_time', ''), r.get('message', ''))
                                  for r in ordered(rows)]
    return [HEADER] + [(r['host'], r['board'], r.get('mode_before', '?'), r.get('result', ''),
                        r.get('message', ''), str(r.get('seconds', ''))) for r in ordered(rows)]


def format_table(rows):
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    return ['  '.join(cell.ljust(w) for cell, w in zip(r, widths)).rstrip() for r in rows]


def duration(seconds):
    seconds = int(round(float(seconds or 0)))
    return '%d min %02d s' % divmod(seconds, 60) if seconds >= 60 else '%d s' % seconds


CSV_FIELDS = ('host', 'board', 'batch', 'mode_before', 'result', 'step', 'sha256_before', 'sha256_after',
              'record_time', 'start', 'end', 'seconds', 'message', 'advice', 'state')


def render_csv(report):
    out = io.StringIO()
    writer = csv.DictWriter(out, CSV_FIELDS, extrasaction='ignore', lineterminator='\n')
    writer.writeheader()
    for row in report['boards']:
        writer.writerow(row)
    return out.getvalue()


STYLE = '''
body { font: 15px/1.4 sans-serif; margin: 2em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: .2em; }
h2 { font-size: 1.15em; margin-top: 1.6em; }
ul.counts { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: .6em; }
ul.counts li { border: 1px solid #bbb; border-radius: 6px; padding: .4em .9em; font-size: 1.1em; }
ul.counts li b { font-size: 1.4em; margin-right: .25em; }
li.failed, div.failure { background: #fde2e1; border-color: #c0392b !important; }
li.interrupted, li.skipped { background: #fff3cd; }
li.updated, li.up-to-date { background: #e3f4e1; }
div.failure { border: 2px solid; border-radius: 6px; padding: .6em 1em; margin: .8em 0; }
div.failure p { margin: .3em 0; }
p.stopped { font-weight: bold; color: #8a1c12; }
table { border-collapse: collapse; margin: .4em 0; }
th, td { border: 1px solid #ccc; padding: .25em .6em; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
td.FAILED { color: #a01b0f; font-weight: bold; }
code { font-size: .9em; }
/* The tools' messages as they print them, spaces and all. */
td, div.failure p { white-space: pre-wrap; }
'''

KIND_TITLE = {'update': 'Fleet update', 'check': 'Fleet update, dry run', 'preflight': 'Fleet update, pre-flight only',
              'status': 'Fleet status'}


def _cells(values, tag='td'):
    return ''.join('<%s%s>%s</%s>' % (tag, ' class="FAILED"' if str(v).startswith('FAILED') else '',
                                        html.escape(str(v)), tag) for v in values)


def _table(rows, columns):
    head = '<tr>%s</tr>' % _cells([title for title, _ in columns], 'th')
    body = ''.join('<tr>%s</tr>' % _cells([row.get(key, '') for _, key in columns]) for row in rows)
    return '<table>%s%s</table>' % (head, body)


def render_html(report):
    """The report as one page a person reads: no script, no link outside it."""
    e = html.escape
    rows = report['boards']
    kind = report.get('kind') or 'update'
    state = ('finished' if report.get('finished') and not report.get('interrupted')
             else 'interrupted' if report.get('interrupted') else 'in progress')
    parts = ['<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">',
             '<title>%s %s</title><style>%s</style></head><body>' % (e(KIND_TITLE.get(kind, kind)), e(report['id']), STYLE),
             '<h1>%s %s: %s</h1>' % (e(KIND_TITLE.get(kind, kind)), e(report['id']), state)]
    when = 'Started %s' % report.get('start', '?')
    if report.get('end'):
        when += ', ended %s, took %s' % (report['end'], duration(report.get('seconds')))
    image = ''
    if report.get('image'):
        image = ' Image %s (SHA-256 %s)%s.' % (
            report.get('image_name') or report['image'], str(report.get('image_sha256', ''))[:12],
            ', signed by %s' % report['signer'] if report.get('signer') else ', signature not checked')
    parts.append('<p>%s. %s%s</p>' % (e(when), e('%d boards.' % len(rows)), e(image)))
    parts.append('<ul class="counts">%s</ul>' % ''.join(
        '<li class="%s"><b>%d</b> %s</li>' % (e(g.replace(' ', '-')), n, e(g)) for g, n in counts(rows)))
    if report.get('stopped'):
        parts.append('<p class="stopped">%s</p>' % e(report['stopped']))
    failures = [r for r in rows if group(r.get('result')) == 'failed']
    if failures:
        parts.append('<h2>Failures</h2>')
        for r in failures:
            parts.append('<div class="failure"><p><b>%s board %s: %s</b> at step <i>%s</i></p><p>%s</p>%s%s</div>' % (
                e(r['host']), e(r['board']), e(r.get('result', '')), e(r.get('step', '')), e(r.get('message', '')),
                '<p><b>What to do:</b> %s</p>' % e(r['advice']) if r.get('advice') else '',
                '<p><b>The board now:</b> %s</p>' % e(r['state']) if r.get('state') else ''))
    columns = [('PC', 'host'), ('Board', 'board'), ('Mode before', 'mode_before'), ('Result', 'result'),
               ('Message', 'message'), ('Seconds', 'seconds')]
    if kind == 'status':
        columns = [('PC', 'host'), ('Board', 'board'), ('Mode', 'mode_before'), ('Result', 'result'),
                   ('Holds (SHA-256 on record)', 'sha256_before'), ('Recorded', 'record_time'), ('Message', 'message')]
    batches = report.get('batches') or []
    for b in batches:
        parts.append('<h2>Batch %d: %d PC(s), %s</h2>' % (
            b['number'], len(b['hosts']), e(duration(b['seconds']) if b.get('seconds') is not None else 'running')))
        parts.append(_table([r for r in rows if r.get('batch') == b['number']], columns))
    rest = [r for r in rows if not r.get('batch')]
    if rest:
        parts.append('<h2>%s</h2>' % ('Boards' if not batches else 'Not in a batch'))
        parts.append(_table(rest, columns))
    facts = [(k, report.get(k)) for k in ('id', 'kind', 'controller', 'machine_id', 'user', 'inventory', 'limit', 'tags',
                                          'image', 'image_sha256', 'signer', 'signature', 'batch_sizes',
                                          'max_fail_percent', 'exit_status')
             if report.get(k) not in (None, '', [])]
    parts.append('<h2>Run</h2><table>%s</table>' % ''.join(
        '<tr><th>%s</th><td><code>%s</code></td></tr>' % (
            e(k), e(', '.join(map(str, v)) if isinstance(v, list) else str(v))) for k, v in facts))
    parts.append('</body></html>\n')
    return ''.join(parts)
