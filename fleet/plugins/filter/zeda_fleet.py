# Filters of the fleet update, over the same functions the collection's
# modules use (module_utils). Written in Python because Ansible's templating
# turns a '\r' inside a template string into a line feed, so the flasher's
# progress bar (redrawn with carriage returns) cannot be cut in Jinja.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_lock import run_ended
from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_pc import last_message


def zeda_last_message(output, fallback='(no output)'):
    """The last line a tool printed that says something, progress bars cut."""
    return last_message(output, fallback)


def zeda_run_ended(owner, me):
    """Whether the run that holds a PC has provably ended (zeda_fleet_lock.run_ended)."""
    return run_ended(owner, me)


class FilterModule(object):
    def filters(self):
        return {'zeda_last_message': zeda_last_message, 'zeda_run_ended': zeda_run_ended}
