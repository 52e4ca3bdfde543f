#!/usr/bin/python
# A PC's pre-flight or fleet status in one call.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: zeda_pc
short_description: The pre-flight, the hold or the fleet status of a PC with ZEDA FPGA boards
version_added: "1.2.0"
author: ZEDA
extends_documentation_fragment: zeda.fleet.pc_folders
description:
  - C(preflight) touches no board. It finds the tools and their versions, makes sure the state folder can be written
    and has room for the image, checks that no other run holds the PC, lists the boards and asks each its mode and
    record. On the controller (its action plugin) it then decides whether a run that holds the PC has ended, and
    copies the run's verified snapshot of the image to the PC when the PC lacks it; the PC checks its SHA-256 before
    the copy takes the image's name.
  - C(hold) takes the PC's lock (C(fleet.lock) in the state folder, kept by a small holder process that outlives the
    connection) for the run, naming it in C(fleet.owner); a PC that another run holds is refused, naming that run, and
    the lock of a run that provably ended (I(ended_owner)) is taken over. The PC's copy of the image is then checked,
    and copied again from the snapshot when it is gone. C(release) removes the PC's other image copies (with
    I(clean)) and ends the holder.
  - C(status) changes nothing. Per board its record (the SHA-256 of the last image written to it, and when) and its
    mode, unless an update holds the PC; with an image, whether the board is up to date with it.
options:
  host:
    description: The PC's name in the inventory, for the messages.
    type: str
    required: true
  purpose:
    description: What to do.
    type: str
    default: preflight
    choices: [preflight, hold, release, status, install]
  boards:
    description: The PC's boards, by id.
    type: list
    elements: int
    default: [0]
  image_sha256:
    description: The SHA-256 of the image the controller verified; for C(status), of an image to compare with.
    type: str
    default: ""
  image_size:
    description: The image's size in bytes.
    type: int
    default: 0
  step_timeout:
    description: Seconds before a tool is stopped.
    type: int
    default: 900
  ended_owner:
    description: The owner line of a run that provably ended; a lock it holds counts as free, and C(hold) takes it over.
    type: str
    default: ""
  install_from:
    description: For C(install), the file on the PC that holds the snapshot of the image.
    type: path
  snapshot:
    description: On the controller, the run's snapshot of the image (the action plugin copies it to the PC).
    type: path
  owner:
    description: This run's first five owner fields (run id, controller, machine id, boot id, process).
    type: str
    default: ""
  run_id:
    description: The run's id, for C(hold) and C(release).
    type: str
    default: ""
  clean:
    description: For C(release), remove the image copies other than this run's.
    type: bool
    default: false
  skip_unreachable:
    description: Report a PC another run holds and leave it out, instead of failing.
    type: bool
    default: false
attributes:
  check_mode:
    support: full
    description: Nothing is made or copied; a fresh PC without a state folder passes.
'''

EXAMPLES = r'''
- name: Pre-flight of the PC
  zeda.fleet.zeda_pc:
    host: "{{ inventory_hostname }}"
    boards: [0, 1]
    image_sha256: "{{ sha }}"
    image_size: 300003
'''

RETURN = r'''
tools:
  description: Each tool found, its path and version.
  returned: preflight
  type: dict
lock:
  description: C(held), whether another run holds the PC, and its C(owner) line.
  returned: preflight
  type: dict
image:
  description: C(copy), the path of the image copy, and C(present), whether it holds the image.
  returned: preflight, hold
  type: dict
removed:
  description: The image copies removed.
  returned: release
  type: list
  elements: str
zeda_fleet:
  description:
    - C(boards), by id, each board's row for the report (C(step), C(message), the last line a tool printed on the
      board, C(result), C(mode_before), C(sha256_before), for C(status) also C(record_time)); C(ready) when the PC
      passed; C(left_out), why a PC was left out.
  returned: always
  type: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_pc as pc
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_steps as steps


def main():
    module = AnsibleModule(argument_spec=dict(
        pc.FOLDER_OPTIONS,
        host=dict(type='str', required=True),
        purpose=dict(type='str', default='preflight', choices=['preflight', 'hold', 'release', 'status', 'install']),
        boards=dict(type='list', elements='int', default=[0]), image_sha256=dict(type='str', default=''),
        image_size=dict(type='int', default=0), step_timeout=dict(type='int', default=900),
        ended_owner=dict(type='str', default=''), install_from=dict(type='path'), snapshot=dict(type='path'),
        owner=dict(type='str', default=''), run_id=dict(type='str', default=''), clean=dict(type='bool', default=False),
        skip_unreachable=dict(type='bool', default=False)),
        supports_check_mode=True)
    p = module.params

    def run(tool, args, answer, timeout):
        return pc.run_tool(p['tools_dir'], tool, args, answer, timeout)

    if p['purpose'] == 'status':
        module.exit_json(changed=False, zeda_fleet={'boards': steps.status(p, run)})
    if p['purpose'] in ('hold', 'release'):
        try:
            done = getattr(steps, p['purpose'])(p)
        except steps.Failed as e:
            module.fail_json(msg=e.msg, zeda_fleet=e.zeda_fleet())
        module.exit_json(changed=False, **done)
    if p['purpose'] == 'install':
        try:
            copy = pc.install_image(p['install_from'], p['state_dir'], p['image_sha256'])
        except (OSError, ValueError) as e:
            module.fail_json(msg='%s: the image could not be copied to %s: %s. Check the state folder (room, '
                                 'permissions), then run the playbook again.'
                                 % (p['host'], pc.image_copy(p['state_dir'], p['image_sha256']), pc.strerror(e)))
        module.exit_json(changed=False, image={'copy': copy, 'present': True})
    try:
        facts = steps.preflight(p, run, module.check_mode)
    except steps.Failed as e:
        module.fail_json(msg=e.msg, zeda_fleet=e.zeda_fleet())
    boards = facts.pop('boards')
    module.exit_json(changed=False, zeda_fleet={'boards': boards}, **facts)


if __name__ == '__main__':
    main()
