#!/usr/bin/python
# The run's own copy of the image, on the controller.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
module: zeda_snapshot
short_description: Takes the run's own copy of a gateware image on the controller
version_added: "1.2.0"
author: ZEDA
description:
  - Copies the image to I(dest) and returns the copy's SHA-256 and size. Every later step (the signature check, the
    copies on the PCs, the records) uses these bytes, so an image path replaced or changed during the run changes
    nothing. An image that is not a file of 1 to 8388608 bytes is refused.
  - Run it on the controller, delegated to localhost.
options:
  src:
    description: The image.
    type: path
    required: true
  dest:
    description: Where the run keeps its copy.
    type: path
    required: true
  name:
    description: The image as the operator named it, for the messages.
    type: str
    default: ""
'''

EXAMPLES = r'''
- name: Take the run's copy of the image
  zeda.fleet.zeda_snapshot:
    src: gateware.bin
    dest: /home/ops/fleet/zeda-fleet-reports/20250301T081500Z-3f9a1c.image
  delegate_to: localhost
'''

RETURN = r'''
sha256:
  description: The SHA-256 of the copy.
  returned: success
  type: str
size:
  description: Its size in bytes.
  returned: success
  type: int
'''

import os

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.zeda.fleet.plugins.module_utils import zeda_fleet_pc as pc

LARGEST = 8388608


def main():
    module = AnsibleModule(argument_spec=dict(src=dict(type='path', required=True), dest=dict(type='path', required=True),
                                              name=dict(type='str', default='')), supports_check_mode=True)
    p = module.params
    refuse = ("On the controller: zeda_field_update_image must name a raw image of 1 to %d bytes; '%s' is %%s."
              % (LARGEST, p['name'] or p['src']))
    if not os.path.isfile(p['src']):
        module.fail_json(msg=refuse % 'not a file')
    try:
        sha = pc.write_atomically(p['dest'], pc._chunks(p['src']))
        size = os.path.getsize(p['dest'])
    except OSError as e:
        module.fail_json(msg='On the controller: the image could not be copied for this run: %s.' % pc.strerror(e))
    if not 1 <= size <= LARGEST:
        os.remove(p['dest'])
        module.fail_json(msg=refuse % ('%d bytes' % size))
    module.exit_json(changed=False, sha256=sha, size=size, dest=p['dest'])


if __name__ == '__main__':
    main()
