# The per-PC lock of a fleet run: fleet.lock in the state folder, held with
# flock(1) by a holder process in the background from take to release (or
# until the holder is stopped, or the PC restarts), so that it outlives the
# SSH session that took it. fleet.owner names the run that holds it, in one
# line:
#   <run id> <controller> <machine id> <boot id> <controller process> <holder process>
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import errno
import os
import signal
import stat
import subprocess
import time

from ansible_collections.zeda.fleet.plugins.module_utils.zeda_fleet_pc import default_signals

try:
    import fcntl
except ImportError:
    fcntl = None

FREE, HELD = 0, 75

# The holder, run by flock while it holds the lock: it adds its process id to
# the owner line and renames it into place, then waits for the release file.
HOLDER = '''printf " %s\\n" "$$" >> "$2.$1" && mv "$2.$1" "$2" || exit 1
while [ ! -e "$3" ]; do sleep 0.3; done
rm -f "$2" "$3"'''


def paths(state_dir, run_id):
    return (os.path.join(state_dir, 'fleet.lock'), os.path.join(state_dir, 'fleet.owner'),
            os.path.join(state_dir, 'fleet.release.%s' % run_id))


def owner_line(state_dir):
    try:
        with open(os.path.join(state_dir, 'fleet.owner')) as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return ''


def probe(state_dir, wait=2.0):
    """(FREE, ''), (HELD, owner line), or (1, reason). Shared and waiting a
    moment, so that the probes of runs in their pre-flight at the same time,
    or a take, do not pass for a run that holds the PC."""
    lock = os.path.join(state_dir, 'fleet.lock')
    try:
        fd = os.open(lock, os.O_RDONLY)
    except FileNotFoundError:
        return FREE, ''
    except OSError as e:
        return 1, '%s: %s' % (lock, e.strerror)
    try:
        if not stat.S_ISREG(os.fstat(fd).st_mode):
            return 1, '%s: not a file' % lock
        deadline = time.monotonic() + wait
        while True:
            try:
                fcntl.flock(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
                return FREE, ''
            except OSError as e:
                if e.errno not in (errno.EWOULDBLOCK, errno.EAGAIN):
                    return 1, '%s: %s' % (lock, e.strerror)
            if time.monotonic() >= deadline:
                return HELD, owner_line(state_dir)
            time.sleep(0.1)
    finally:
        os.close(fd)


def take(state_dir, run_id, owner, takeover=''):
    """Takes the lock for run_id, whose owner line's first five fields are
    owner. takeover is the owner line of a run that provably ended: when it
    still holds the lock, its holder is stopped first. (FREE, ''), (HELD,
    owner line), or (1, reason)."""
    lock, record, release = paths(state_dir, run_id)
    wait = 2
    if takeover and owner_line(state_dir) == takeover:
        try:
            os.kill(int(takeover.split()[5]), signal.SIGTERM)
        except (OSError, ValueError, IndexError):
            pass
        wait = 5
    try:
        os.remove(release)
    except FileNotFoundError:
        pass
    except OSError as e:
        return 1, '%s: %s' % (release, e.strerror)
    mine = '%s.%s' % (record, run_id)
    try:
        with open(mine, 'w') as f:
            f.write(owner)
    except OSError as e:
        return 1, '%s: %s' % (mine, e.strerror)
    holder = subprocess.Popen(['flock', '-w', str(wait), '-E', str(HELD), lock, 'sh', '-c', HOLDER, 'holder',
                               run_id, record, release],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                              start_new_session=True, close_fds=True, preexec_fn=default_signals)
    while holder.poll() is None:
        if owner_line(state_dir).split(' ')[0] == run_id:
            return FREE, ''
        time.sleep(0.05)
    try:
        os.remove(mine)
    except OSError:
        pass
    if holder.returncode == HELD:
        return HELD, owner_line(state_dir)
    return 1, 'the lock holder could not take %s or record its owner in %s (status %d)' % (
        lock, record, holder.returncode)


def release(state_dir, run_id, wait=10.0):
    """Ends this run's holder and waits for it: (0, '') or (1, reason)."""
    _, _, done = paths(state_dir, run_id)
    try:
        with open(done, 'w'):
            pass
    except OSError as e:
        return 1, '%s: %s' % (done, e.strerror)
    deadline = time.monotonic() + wait
    while owner_line(state_dir).split(' ')[0] == run_id:
        if time.monotonic() >= deadline:
            return 1, 'the lock holder of this run did not end'
        time.sleep(0.05)
    return 0, ''


def run_ended(owner, me):
    """Whether the run that holds a PC has provably ended. owner is its line
    in fleet.owner, me this run's first five fields. Only a run of this very
    controller since its last boot, by machine id and boot id, whose process
    is gone, has: a host name proves nothing (cloned machines share one), and
    another machine's processes cannot be seen from here. Runs on the
    controller."""
    theirs, mine = str(owner).split(), str(me).split()
    if len(theirs) != 6 or len(mine) != 5 or theirs[0] == mine[0] or not theirs[4].isdigit():
        return False
    if 'unknown' in theirs[2:4] or theirs[2:4] != mine[2:4]:
        return False
    try:
        os.kill(int(theirs[4]), 0)
    except ProcessLookupError:
        return True
    except OSError:
        return False
    return False


def busy_message(host, owner, state_dir):
    f = (str(owner).split() + ['?'] * 6)[:6]
    return ('%s: another fleet update (%s from %s, process %s there; holder process %s on the PC) holds this PC '
            '(%s/fleet.lock); this run refuses it. Wait for that run to end, then run the playbook again. If that '
            'run is gone (its controller restarted or died), stop the holder on the PC (kill %s) first.'
            % (host, f[0], f[1], f[4], f[5], state_dir, f[5]))
