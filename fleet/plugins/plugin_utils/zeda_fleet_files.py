# The fleet run's files on the controller, all in its report folder: the
# run's own report (<run id>.json, .html and .csv) and retry list, the links
# to the last run over an inventory that reached a board
# (latest-<inventory>.json, .html, .csv and .retry), and the hold on an
# inventory (<inventory>.lock, naming the run that holds it).
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import fcntl
import hashlib
import json
import os
import re

from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_pc import write_atomically
from ansible_collections.zeda.fleet.plugins.plugin_utils.zeda_fleet_page import render_csv, render_html

NAME_LIMIT = 100


def write_text(path, text):
    # A report is written whole many times a run: no sync for each.
    write_atomically(path, [text.encode()], sync=False)


def point(link, target):
    """Points the symbolic link at target (a name in its folder) in one step."""
    tmp = '%s.%d.tmp' % (link, os.getpid())
    os.symlink(target, tmp)
    os.replace(tmp, link)


def first_word_of(*paths):
    """The first file's content when it is one word (a machine or boot id)."""
    for path in paths:
        try:
            with open(path) as f:
                value = f.read().strip()
            if value and ' ' not in value:
                return value
        except OSError:
            pass
    return 'unknown'


def inventory_name(sources, cwd):
    """The inventories of a run as a file name: each as given, relative to
    where ansible-playbook runs or else absolute, '/' as '_'; several joined
    with '+'. Two inventories never share one."""
    names = []
    for source in sources or ('hosts',):
        path = os.path.join(cwd, os.path.expanduser(source))
        if os.path.exists(path):
            relative = os.path.relpath(path, cwd)
            source = os.path.abspath(path) if relative.startswith(os.pardir) else relative
        names.append(re.sub(r'[^A-Za-z0-9._+-]+', '_', source).strip('_.') or 'hosts')
    name = '+'.join(names)
    if len(name) > NAME_LIMIT:
        name = name[:NAME_LIMIT - 9] + '-' + hashlib.sha256(name.encode()).hexdigest()[:8]
    return name


class Reports(object):
    """A run's files in folder, named by its id."""

    def __init__(self, folder, run_id):
        self.folder = folder
        self.base = os.path.join(folder, run_id)
        self.path = self.base + '.json'

    @classmethod
    def create(cls, folder, run_id):
        """Makes the folder and the run's report, never one that exists;
        raises OSError."""
        reports = cls(folder, run_id)
        os.makedirs(folder, exist_ok=True)
        os.close(os.open(reports.path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644))
        return reports

    def write(self, report):
        write_text(self.path, json.dumps(report, indent=2, sort_keys=True) + '\n')
        write_text(self.base + '.html', render_html(report))
        write_text(self.base + '.csv', render_csv(report))

    def keep_latest(self, inventory, unfinished):
        """Makes this run the last over the inventory: latest-<inventory>.*
        point at its report, and at its retry list of the PCs it did not
        finish, or the retry link is gone. Returns the run's retry list or
        None; raises OSError."""
        retry = self.base + '.retry'
        latest = os.path.join(self.folder, 'latest-%s.' % inventory)
        if unfinished:
            write_text(retry, ''.join(host + '\n' for host in unfinished))
        for ext in ('json', 'html', 'csv'):
            point(latest + ext, os.path.basename(self.base) + '.' + ext)
        if unfinished:
            point(latest + 'retry', os.path.basename(retry))
            return retry
        if os.path.lexists(latest + 'retry'):
            os.remove(latest + 'retry')
        return None


class Hold(object):
    """The hold on an inventory: an flock on <folder>/<inventory>.lock, kept
    until this process ends, with the holder's line inside."""

    def __init__(self, folder, inventory):
        self.path = os.path.join(folder, inventory + '.lock')
        self.fd = None

    def take(self, me):
        """Whether the hold is this run's now; raises OSError."""
        if self.fd is None:
            self.fd = os.open(self.path, os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(self.fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            return False
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, (me + '\n').encode(), 0)
        return True

    def release(self):
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    def holder(self):
        """The line of the run that holds it, or '?'."""
        try:
            with open(self.path) as f:
                return f.read().strip() or '?'
        except OSError:
            return '?'
