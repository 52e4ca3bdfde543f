# The collection's Python, importable in the unit cases as Ansible imports it
# (ansible_collections.zeda.fleet...) without installing the collection:
# Ansible's own collection loader finds it in a folder of its own.
import os
import tempfile

here = os.path.dirname(os.path.abspath(__file__))
root = tempfile.mkdtemp(prefix='zeda-fleet-test-')
os.makedirs(os.path.join(root, 'ansible_collections', 'zeda'))
os.symlink(here, os.path.join(root, 'ansible_collections', 'zeda', 'fleet'))
os.environ['ANSIBLE_COLLECTIONS_PATH'] = root
import ansible.plugins.loader  # noqa: E402,F401 (installs the loader, which reads the path above)
