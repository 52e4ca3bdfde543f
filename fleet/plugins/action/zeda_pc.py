# The controller's side of a PC's pre-flight (modules/zeda_pc.py): whether a
# run that holds the PC provably ended (only the controller can tell), and
# the run's verified snapshot of the image copied to a PC that lacks it.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import os
import socket

from ansible.plugins.action import ActionBase
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_lock as lock

MODULE = 'zeda.fleet.zeda_pc'


class ActionModule(ActionBase):
    TRANSFERS_FILES = True

    def run(self, tmp=None, task_vars=None):
        result = super(ActionModule, self).run(tmp, task_vars)
        args = dict(self._task.args)
        purpose = args.get('purpose', 'preflight')
        if purpose == 'hold':
            result.update(self._execute_module(MODULE, module_args=args, task_vars=task_vars))
            if not result.get('failed') and not result['image']['present']:
                # Another run's clean-up may have removed it since the pre-flight.
                installed = self.install(args, task_vars)
                result.update(installed)
            return result
        if purpose != 'preflight':
            result.update(self._execute_module(MODULE, module_args=args, task_vars=task_vars))
            return result
        found = self._execute_module(MODULE, module_args=args, task_vars=task_vars)
        held = found.get('lock') or {}
        if not found.get('failed') and held.get('held') and lock.run_ended(held.get('owner'), args.get('owner', '')):
            args['ended_owner'] = held['owner']
            found = self._execute_module(MODULE, module_args=args, task_vars=task_vars)
            held = found.get('lock') or {}
        result.update(found)
        if found.get('failed'):
            return result
        host = args['host']
        if held.get('held') and not held.get('ended'):
            said = lock.busy_message(host, held.get('owner'), args.get('state_dir') or '/var/lib/zeda-fleet')
            left = bool(args.get('skip_unreachable'))
            result['zeda_fleet'] = {'boards': {'-': {'result': ('skipped' if left else 'FAILED') + ': busy',
                                                     'step': 'Pre-flight', 'message': said}}}
            if left:
                result['zeda_fleet']['left_out'] = 'busy'
                return result
            result.update(failed=True, msg=said + ' Or set zeda_field_update_skip_unreachable=true to update the '
                                                  'other PCs without it.')
            return result
        if held.get('ended'):
            # The update takes the lock over from it (modules/zeda_lock.py).
            result['ansible_facts'] = {'zeda_field_update_takeover': held['owner']}
        if not self._play_context.check_mode and not found['image']['present']:
            installed = self.install(args, task_vars)
            if installed.get('failed'):
                result.update(failed=True, msg=installed['msg'])
                return result
            result['image'] = installed['image']
        result['zeda_fleet']['ready'] = True
        return result

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
