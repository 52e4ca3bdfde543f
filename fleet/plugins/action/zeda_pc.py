# The controller's side of a PC's pre-flight, hold and status
# (modules/zeda_pc.py): a PC that does not answer said in one line (left out,
# refused, or in the status), whether a run that holds the PC provably ended
# (only the controller can tell), and the run's verified snapshot of the
# image copied to a PC that lacks it.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import socket

from ansible.errors import AnsibleConnectionFailure
from ansible.plugins.action import ActionBase
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_lock as lock
from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_pc import last_message

MODULE = 'zeda.fleet.zeda_pc'
STATE_DIR = '/var/lib/zeda-fleet'


def left_out(host, why, said, skip):
    """The pre-flight's result for a PC that does not answer or that another
    run holds: left out with zeda_field_update_skip_unreachable, else failed."""
    result = {'zeda_fleet': {'boards': {'-': {'result': ('skipped' if skip else 'FAILED') + ': ' + why,
                                              'step': 'Pre-flight', 'message': said}}}}
    if skip:
        result['zeda_fleet']['left_out'] = why
        return result
    lead = '%s is unreachable: %s. Set' % (host, said) if why == 'unreachable' else said + ' Or set'
    return dict(result, failed=True, msg=lead + ' zeda_field_update_skip_unreachable=true to update the other PCs '
                                                'without it.')


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        args = dict(self._task.args)
        purpose = args.get('purpose', 'preflight')
        result = {}
        try:
            # Makes the PC's temporary folder: the first word with the PC.
            result = super(ActionModule, self).run(tmp, task_vars)
            if purpose == 'preflight':
                result.update(self.preflight(args, task_vars))
            elif purpose == 'hold':
                result.update(self.hold(args, task_vars))
            else:
                result.update(self._execute_module(MODULE, module_args=args, task_vars=task_vars))
        except AnsibleConnectionFailure as e:
            # Said in one line, not as Ansible's UNREACHABLE! of the PC; a
            # PC lost during its update stays Ansible's unreachable.
            said = last_message(str(e))
            if purpose == 'preflight':
                result.update(left_out(args['host'], 'unreachable', said, bool(args.get('skip_unreachable'))))
            elif purpose == 'status':
                result['zeda_fleet'] = {'boards': {'-': {'result': 'unreachable', 'step': 'Status', 'message': said}}}
            else:
                raise
        return result

    def hold(self, args, task_vars):
        held = self._execute_module(MODULE, module_args=args, task_vars=task_vars)
        if not held.get('failed') and not held['image']['present']:
            # Another run's clean-up may have removed it since the pre-flight.
            held.update(self.install(args, task_vars))
            if held.get('failed'):
                held['zeda_fleet'] = {'pc': {'result': 'FAILED: copy the image', 'step': 'Hold the PC for this run',
                                             'message': last_message(held.get('msg'))}}
        return held

    def preflight(self, args, task_vars):
        found = self._execute_module(MODULE, module_args=args, task_vars=task_vars)
        held = found.get('lock') or {}
        if not found.get('failed') and held.get('held') and lock.run_ended(held.get('owner'), args.get('owner', '')):
            args['ended_owner'] = held['owner']
            found = self._execute_module(MODULE, module_args=args, task_vars=task_vars)
            held = found.get('lock') or {}
        if found.get('failed'):
            return found
        if held.get('held') and not held.get('ended'):
            said = lock.busy_message(args['host'], held.get('owner'), args.get('state_dir') or STATE_DIR)
            return dict(found, **left_out(args['host'], 'busy', said, bool(args.get('skip_unreachable'))))
        if held.get('ended'):
            # The update takes the lock over from it (its hold).
            found['ansible_facts'] = {'zeda_field_update_takeover': held['owner']}
        if not self._play_context.check_mode and not found['image']['present']:
            installed = self.install(args, task_vars)
            if installed.get('failed'):
                return dict(found, failed=True, msg=installed['msg'])
            found['image'] = installed['image']
        found['zeda_fleet']['ready'] = True
        return found

    def install(self, args, task_vars):
        """Copies the snapshot to the PC, which checks its SHA-256 before the
        copy takes the image's name."""
        snapshot = args.get('snapshot') or ''
        if not os.path.isfile(snapshot):
            return {'failed': True, 'msg': "On the controller %s: the run's snapshot of the image, %s, is gone, so "
                                           'nothing can be copied to %s; no board was switched. Run the playbook '
                                           'again.' % (socket.gethostname(), snapshot, args['host'])}
        tmp = self._make_tmp_path()
        try:
            remote = self._connection._shell.join_path(tmp, 'image')
            self._transfer_file(snapshot, remote)
            self._fixup_perms2((tmp, remote), execute=False)
            return self._execute_module(MODULE, module_args=dict(args, purpose='install', install_from=remote),
                                        task_vars=task_vars)
        finally:
            self._remove_tmp_path(tmp)
