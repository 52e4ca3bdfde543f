# The fleet report as people read it: the summary table of the console, the
# HTML page and the CSV table, each rendered from the report (a dict).
# Nothing here talks to Ansible or the disk.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import csv
import html
import io
import re

HEADER = ('HOST', 'BOARD', 'MODE BEFORE', 'RESULT', 'SECONDS', 'LAST MESSAGE')
STATUS_HEADER = ('HOST', 'BOARD', 'MODE', 'RESULT', 'HOLDS', 'RECORDED', 'LAST MESSAGE')
# The headline's groups, in the order a reader wants them; others follow.
GROUPS = ('failed', 'interrupted', 'skipped', 'updated', 'up to date')
# The console cuts a message here (the report holds it whole), so that one
# long message makes one long line, not every line long.
CONSOLE_MESSAGE = 100


def natural(name):
    # pc2 before pc10, board 2 before board 10; a PC's own row (board None) first.
    return [int(part) if part.isdigit() else part for part in re.split(r'(\d+)', '' if name is None else str(name))]


def ordered(rows):
    return sorted(rows, key=lambda r: (natural(r['host']), natural(r.get('board'))))


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


def board_id(board):
    return '-' if board is None else str(board)


def seconds_text(seconds):
    return '' if seconds is None else '%.1f' % seconds


def duration(seconds):
    seconds = int(round(float(seconds or 0)))
    return '%d min %02d s' % divmod(seconds, 60) if seconds >= 60 else '%d s' % seconds


def phases_text(phases):
    """'pre-flight 6 min 12 s, batch 1 2 min 03 s, ...': each phase and its time."""
    return ', '.join('%s %s' % (p['name'], duration(p['seconds']) if p.get('seconds') is not None else 'running')
                     for p in phases)


def summary_rows(rows, kind='update'):
    """The summary's table, header first: a status shows what each board
    holds instead of how long its update took."""
    if kind == 'status':
        return [STATUS_HEADER] + [(r['host'], board_id(r.get('board')), r.get('mode_before', '?'), r.get('result', ''),
                                   str(r.get('sha256_before', ''))[:12], r.get('record_time', ''), r.get('message', ''))
                                  for r in ordered(rows)]
    return [HEADER] + [(r['host'], board_id(r.get('board')), r.get('mode_before', '?'), r.get('result', ''),
                        seconds_text(r.get('seconds')), r.get('message', '')) for r in ordered(rows)]


def format_table(rows, cut=CONSOLE_MESSAGE):
    """Columns as wide as their widest cell, the last (the message) as it
    comes, cut at cut characters."""
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]) - 1)]
    lines = []
    for row in rows:
        last = row[-1] if len(row[-1]) <= cut else row[-1][:cut - 3] + '...'
        lines.append('  '.join([cell.ljust(w) for cell, w in zip(row, widths)] + [last]).rstrip())
    return lines


CSV_FIELDS = ('host', 'board', 'batch', 'mode_before', 'result', 'step', 'sha256_before', 'sha256_after',
              'record_time', 'start', 'end', 'seconds', 'message', 'advice', 'state')


def render_csv(report):
    out = io.StringIO()
    writer = csv.DictWriter(out, CSV_FIELDS, extrasaction='ignore', lineterminator='\n')
    writer.writeheader()
    for row in report['boards']:
        writer.writerow(dict(row, board=board_id(row.get('board'))))
    return out.getvalue()


STYLE = '''
body { font: 15px/1.4 sans-serif; margin: 2em; color: #222; }
h1 { font-size: 1.5em; margin-bottom: .2em; }
h2 { font-size: 1.15em; margin-top: 1.6em; }
ul.counts { list-style: none; padding: 0; display: flex; flex-wrap: wrap; gap: .6em; }
ul.counts li { border: 1px solid #bbb; border-radius: 6px; padding: .4em .9em; font-size: 1.1em; }
ul.counts li b { font-size: 1.4em; margin-right: .25em; }
li.failed, div.failure { background: #fde2e1; border-color: #c0392b !important; }
li.interrupted, li.skipped, div.interrupted { background: #fff3cd; }
div.interrupted { border-color: #b7950b !important; }
li.updated, li.up-to-date { background: #e3f4e1; }
div.failure, div.interrupted { border: 2px solid; border-radius: 6px; padding: .6em 1em; margin: .8em 0; }
div.failure p, div.interrupted p { margin: .3em 0; }
p.stopped { font-weight: bold; color: #8a1c12; }
table { border-collapse: collapse; margin: .4em 0; }
th, td { border: 1px solid #ccc; padding: .25em .6em; text-align: left; vertical-align: top; }
th { background: #f0f0f0; }
td.FAILED { color: #a01b0f; font-weight: bold; }
code { font-size: .9em; }
/* The tools' messages as they print them, spaces and all. */
td, div.failure p, div.interrupted p { white-space: pre-wrap; }
'''

KIND_TITLE = {'update': 'Fleet update', 'check': 'Fleet update, dry run', 'preflight': 'Fleet update, pre-flight only',
              'status': 'Fleet status'}
COLUMNS = [('PC', 'host'), ('Board', 'board'), ('Mode before', 'mode_before'), ('Result', 'result'),
           ('Message', 'message'), ('Seconds', 'seconds')]
STATUS_COLUMNS = [('PC', 'host'), ('Board', 'board'), ('Mode', 'mode_before'), ('Result', 'result'),
                  ('Holds (SHA-256 on record)', 'sha256_before'), ('Recorded', 'record_time'), ('Message', 'message')]


def _cell(row, key):
    return (board_id(row.get('board')) if key == 'board' else seconds_text(row.get('seconds')) if key == 'seconds'
            else row.get(key, ''))


def _cells(values, tag='td'):
    return ''.join('<%s%s>%s</%s>' % (tag, ' class="FAILED"' if str(v).startswith('FAILED') else '',
                                        html.escape(str(v)), tag) for v in values)


def _table(rows, columns):
    head = '<tr>%s</tr>' % _cells([title for title, _ in columns], 'th')
    body = ''.join('<tr>%s</tr>' % _cells([_cell(row, key) for _, key in columns]) for row in rows)
    return '<table>%s%s</table>' % (head, body)


def _box(row):
    """A board that failed or was interrupted, with what to do."""
    e = html.escape
    kind = 'failure' if group(row.get('result')) == 'failed' else 'interrupted'
    return '<div class="%s"><p><b>%s board %s: %s</b> at step <i>%s</i></p><p>%s</p>%s%s</div>' % (
        kind, e(row['host']), e(board_id(row.get('board'))), e(row.get('result', '')), e(row.get('step', '')),
        e(row.get('message', '')),
        '<p><b>What to do:</b> %s</p>' % e(row['advice']) if row.get('advice') else '',
        '<p><b>The board now:</b> %s</p>' % e(row['state']) if row.get('state') else '')


def _boxes_title(rows):
    kinds = {group(r.get('result')) for r in rows}
    return ('Failures and interruptions' if len(kinds) == 2 else 'Failures' if 'failed' in kinds
            else 'Interrupted')


def render_html(report):
    """The report as one page a person reads: no script, no link outside it."""
    e = html.escape
    rows = report['boards']
    kind = report.get('kind') or 'update'
    title = '%s %s' % (KIND_TITLE.get(kind, kind), report['id'])
    parts = ['<!DOCTYPE html><html lang="en"><head><meta charset="utf-8">',
             '<title>%s</title><style>%s</style></head><body>' % (e(title), STYLE),
             '<h1>%s: %s</h1>' % (e(title), e(report.get('outcome') or 'in progress'))]
    when = 'Started %s' % report.get('start', '?')
    if report.get('end'):
        when += ', ended %s, took %s' % (report['end'], duration(report.get('seconds')))
    image = ''
    if report.get('image'):
        image = ' Image %s (SHA-256 %s)%s.' % (
            report.get('image_name') or report['image'], str(report.get('image_sha256', ''))[:12],
            ', signed by %s' % report['signer'] if report.get('signer') else ', signature not checked')
    parts.append('<p>%s. %s%s</p>' % (e(when), e('%d boards.' % len(rows)), e(image)))
    if report.get('phases'):
        parts.append('<p>Time: %s.</p>' % e(phases_text(report['phases'])))
    parts.append('<ul class="counts">%s</ul>' % ''.join(
        '<li class="%s"><b>%d</b> %s</li>' % (e(g.replace(' ', '-')), n, e(g)) for g, n in counts(rows)))
    if report.get('stopped'):
        parts.append('<p class="stopped">%s</p>' % e(report['stopped']))
    boxed = [r for r in ordered(rows) if group(r.get('result')) in ('failed', 'interrupted')]
    if boxed:
        parts.append('<h2>%s</h2>' % _boxes_title(boxed))
        parts.extend(_box(r) for r in boxed)
    columns = STATUS_COLUMNS if kind == 'status' else COLUMNS
    batches = report.get('batches') or []
    for b in batches:
        parts.append('<h2>Batch %d: %d PC(s), %s</h2>' % (
            b['number'], len(b['hosts']), e(duration(b['seconds']) if b.get('seconds') is not None else 'running')))
        parts.append(_table(ordered(r for r in rows if r.get('batch') == b['number']), columns))
    rest = ordered(r for r in rows if not r.get('batch'))
    if rest:
        parts.append('<h2>%s</h2>' % ('Boards' if not batches else 'Not in a batch'))
        parts.append(_table(rest, columns))
    facts = [(k, report.get(k)) for k in ('id', 'kind', 'controller', 'machine_id', 'user', 'inventory', 'limit', 'tags',
                                          'image', 'image_sha256', 'signer', 'signature', 'batch_sizes',
                                          'max_fail_percent', 'signal', 'exit_status')
             if report.get(k) not in (None, '', [])]
    parts.append('<h2>Run</h2><table>%s</table>' % ''.join(
        '<tr><th>%s</th><td><code>%s</code></td></tr>' % (
            e(k), e(', '.join(map(str, v)) if isinstance(v, list) else str(v))) for k, v in facts))
    parts.append('</body></html>\n')
    return ''.join(parts)
