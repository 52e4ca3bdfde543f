# Filters of the fleet update. Written in Python because Ansible's templating
# turns a '\r' inside a template string into a line feed, so the flasher's
# progress bar (redrawn with carriage returns) cannot be cut in Jinja.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import re

# Lines that are the tools' prompts, not what they found.
NOISE = ('Press any key to exit...',)
PROMPT = 'Proceed [y/n]? '
# A progress bar may be redrawn thousands of times; a message never needs more.
LIMIT = 300


def zeda_last_message(output, fallback='(no output)'):
    """The last line a tool printed that says something, progress bars cut."""
    lines = re.split(r'[\r\n]+', str(output or '').replace(PROMPT, ''))
    said = [line.strip() for line in lines if line.strip() and line.strip() not in NOISE]
    if not said:
        return fallback
    last = said[-1]
    return last if len(last) <= LIMIT else last[:LIMIT] + '...'


def zeda_run_ended(owner, run):
    """Whether the run that holds a PC, owner ('controller:pid:start'), has
    ended: a run of the same controller as run whose process is gone. A run
    of another controller cannot be seen from here and counts as running."""
    parts = str(owner).split(':')
    if len(parts) != 3 or not parts[1].isdigit() or parts[0] != str(run).split(':')[0] or owner == run:
        return False
    try:
        os.kill(int(parts[1]), 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    return False


class FilterModule(object):
    def filters(self):
        return {'zeda_last_message': zeda_last_message, 'zeda_run_ended': zeda_run_ended}
