#!/usr/bin/python
# One step of a board's update on its PC, whole with its checks.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: zeda_board
short_description: One step of the update of a ZEDA FPGA board on its PC
version_added: "1.2.0"
author: ZEDA
extends_documentation_fragment: zeda.fleet.pc_folders
description:
  - C(prepare) reads the board's record and asks its mode. Unless the board runs the image in normal operation mode
    (and I(force) is false), it checks the PC's copy of the image, switches the board to bootloader mode and waits
    for it, with the rescan command and one more wait when it does not come back in time. A board found in
    bootloader mode is left there.
  - C(flash) checks the copy's SHA-256 again, removes the board's record, flashes the copy and records its SHA-256,
    then switches the board back to normal operation mode and waits for it, as C(prepare) does. A board whose flash
    failed stays in bootloader mode, never switched back onto a broken image.
  - A failed step fails with the PC, the board, the step, the tool's last message and what to do, and asks the board
    its mode once more. Every result carries the board's row under C(zeda_fleet.boards).
options:
  host:
    description: The PC's name in the inventory, for the messages.
    type: str
    required: true
  board:
    description: The board's id.
    type: int
    required: true
  step:
    description: The step to run.
    type: str
    required: true
    choices: [prepare, flash]
  image_sha256:
    description: The SHA-256 of the image the controller verified.
    type: str
    required: true
  step_timeout:
    description: Seconds before a tool is stopped and its step fails.
    type: int
    default: 900
  reboot_timeout:
    description: Seconds a board may take to come back after a mode switch.
    type: int
    default: 120
  rescan_command:
    description: A shell command run when the board did not come back in time, before one more wait.
    type: str
    default: ""
  force:
    description: Update the board also when its record names the image.
    type: bool
    default: false
attributes:
  check_mode:
    support: partial
    description: C(prepare) only asks and says whether the board would be updated; the other steps do nothing.
'''

EXAMPLES = r'''
- name: Switch to bootloader mode and wait
  zeda.fleet.zeda_board:
    host: "{{ inventory_hostname }}"
    board: 0
    step: prepare
    image_sha256: "{{ image_sha256 }}"
'''

RETURN = r'''
needs_update:
  description: Whether the board is to be updated (C(prepare)).
  returned: always
  type: bool
zeda_fleet:
  description:
    - C(boards), by id, the board's row for the report. C(step) is the step that ran, in words; C(message) the last
      line a tool printed on the board; C(result) the outcome (C(in progress), C(updated), C(up to date),
      C(would update), C(FAILED) and the step's word); on failure also C(advice), C(state) and C(mode_after); C(mode_before),
      C(sha256_before) and C(sha256_after) where known.
  returned: always
  type: dict
runs:
  description: Every tool run of the step, its command, status and output.
  returned: always
  type: list
  elements: dict
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_pc as pc
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_steps as steps


def main():
    module = AnsibleModule(argument_spec=dict(
        pc.FOLDER_OPTIONS,
        host=dict(type='str', required=True), board=dict(type='int', required=True),
        step=dict(type='str', required=True, choices=['prepare', 'flash']),
        image_sha256=dict(type='str', required=True), step_timeout=dict(type='int', default=900),
        reboot_timeout=dict(type='int', default=120), rescan_command=dict(type='str', default=''),
        force=dict(type='bool', default=False)), supports_check_mode=True)
    p = module.params
    board = steps.Board(p, lambda tool, args, answer, timeout: pc.run_tool(p['tools_dir'], tool, args, answer, timeout))
    if module.check_mode and p['step'] != 'prepare':
        module.exit_json(changed=False, needs_update=False, zeda_fleet={'boards': {}}, runs=[])
    try:
        if p['step'] == 'prepare':
            done = board.prepare(module.check_mode)
        else:
            board.flash()
            done = board.finish()
    except steps.Failed as e:
        module.fail_json(msg=e.msg, zeda_fleet=e.zeda_fleet(), runs=board.runs)
    module.exit_json(changed=done['changed'], needs_update=done.get('needs_update', True), zeda_fleet={'boards': done['rows']},
                     runs=board.runs)


if __name__ == '__main__':
    main()
