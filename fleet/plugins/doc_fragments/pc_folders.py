# The folders on a PC that the modules working there share.
from __future__ import absolute_import, division, print_function
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  tools_dir:
    description: Where the zeda-pcie tools are.
    type: path
    default: /usr/bin
  state_dir:
    description: The folder of the image copy and the boards' records.
    type: path
    default: /var/lib/zeda-fleet
'''
