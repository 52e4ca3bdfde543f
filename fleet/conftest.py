# The collection's Python, importable in the unit cases as Ansible imports it
# (ansible_collections.zeda.fleet...), without installing the collection.
import os
import sys
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
root = tempfile.mkdtemp(prefix='zeda-fleet-test-')
os.makedirs(os.path.join(root, 'ansible_collections', 'zeda'))
os.symlink(here, os.path.join(root, 'ansible_collections', 'zeda', 'fleet'))
sys.path.insert(0, root)
