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


def zeda_run_ended(owner, me):
    """Whether the run that holds a PC has provably ended. owner is its line
    in fleet.owner (run id, controller, machine id, boot id, controller
    process, holder process), me this run's first five fields. Only a run of
    this very controller since its last boot, by machine id and boot id, whose
    process is gone, has: a host name proves nothing (cloned machines share
    one), and another machine's processes cannot be seen from here."""
    theirs, mine = str(owner).split(), str(me).split()
    if len(theirs) != 6 or len(mine) != 5 or theirs[0] == mine[0] or not theirs[4].isdigit():
        return False
    if 'unknown' in theirs[2:4] or theirs[2:4] != mine[2:4]:
        return False
    try:
        os.kill(int(theirs[4]), 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    return False


class FilterModule(object):
    def filters(self):
        return {'zeda_last_message': zeda_last_message, 'zeda_run_ended': zeda_run_ended}
