# What the fleet update does on a PC, as plain functions over plain values:
# the tools run and read, the boards' records, the image copy, the PC's lock,
# and a failure said in words with what to do. The collection's modules are
# thin wrappers around these; nothing here needs Ansible.
from __future__ import absolute_import, division, print_function
__metaclass__ = type

import hashlib
import os
import re
import signal
import subprocess
import time

try:
    import fcntl
except ImportError:  # not on Windows controllers, which never run this part
    fcntl = None

# The folders that every module working on a PC takes, as
# doc_fragments/pc_folders.py documents them.
FOLDER_OPTIONS = dict(tools_dir=dict(type='path', default='/usr/bin'),
                      state_dir=dict(type='path', default='/var/lib/zeda-fleet'))
TOOLS = ('zeda_pcie_get_mode', 'zeda_pcie_mode_change', 'zeda_pcie_flash_image', 'zeda_pcie_list_boards',
         'zeda_pcie_wait_board')
# The mode lines of the query: a count warning may come first on the line.
MODES = (('bootloader', re.compile(r'(?m)Board in bootloader mode[.] $')),
         ('normal', re.compile(r'(?m)Board in normal operation mode[.] $')))
SWITCHED = {
    'normal': re.compile(r'(?m)^Board is in normal operation mode[.] Preparing to reboot into bootloader mode$'
                         r'[\s\S]*Mode change complete[.]$'),
    'bootloader': re.compile(r'(?m)^Board is in bootloader mode[.] Preparing to reboot into normal mode$'
                             r'[\s\S]*Mode change complete[.]$')}
FLASHED = re.compile(r'(?m)^Programming done$')
# Lines that are the tools' prompts, not what they found.
NOISE = ('Press any key to exit...',)
PROMPT = 'Proceed [y/n]? '
# A progress bar may be redrawn thousands of times; a message never needs more.
LIMIT = 300
# Room the state folder needs beside the image: the records and the lock.
ROOM_EXTRA = 65536
TIMED_OUT = 124


def last_message(output, fallback='(no output)'):
    """The last line a tool printed that says something, progress bars cut."""
    lines = re.split(r'[\r\n]+', str(output or '').replace(PROMPT, ''))
    said = [line.strip() for line in lines if line.strip() and line.strip() not in NOISE]
    if not said:
        return fallback
    last = said[-1]
    return last if len(last) <= LIMIT else last[:LIMIT] + '...'


def tidy(output):
    """A tool's output for the log: the progress bar, redrawn with carriage
    returns, cut to its last state, its cells (0xDB of code page 437) as '#'."""
    kept, bar = [], None
    for line in output.replace('\xdb', '#').replace('\r', '\n').split('\n'):
        if line.startswith('Progress:'):
            bar = line
            continue
        if bar is not None:
            kept.append(bar)
            bar = None
        kept.append(line)
    if bar is not None:
        kept.append(bar)
    return '\n'.join(kept)


def default_signals():
    """For a child's start: signals as a fresh process has them, whatever
    this one inherited (a controller's workers ignore Ctrl-C, and a tool must
    still end on its time)."""
    for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, signal.SIG_DFL)


def run_tool(tools_dir, tool, args=(), answer='', timeout=900):
    """Runs one tool with answer as its whole standard input (a pipe, never a
    terminal). A tool still running after timeout seconds is stopped with
    SIGTERM, as timeout(1) does, and its status is 124."""
    argv = [os.path.join(tools_dir, tool)] + [str(a) for a in args]
    try:
        proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=default_signals)
    except OSError as e:
        return {'cmd': argv, 'rc': 127, 'stdout': '', 'stderr': '%s: %s' % (argv[0], e.strerror)}
    try:
        out, err = proc.communicate(answer.encode(), timeout=timeout)
        rc = proc.returncode
    except subprocess.TimeoutExpired:
        proc.terminate()
        out, err = proc.communicate()
        rc = TIMED_OUT
    return {'cmd': argv, 'rc': rc, 'stdout': tidy(out.decode('latin-1')), 'stderr': tidy(err.decode('latin-1'))}


def said(run):
    """What a tool run told: the flasher's errors are on standard error; a
    prompt's answer is not echoed, so the prompt shares its line with the
    next message."""
    stderr = run.get('stderr') or ''
    output = stderr if run.get('rc', 0) != 0 and stderr.strip() else run.get('stdout') or ''
    return last_message(output, run.get('msg') or '(no output)')


def mode_of(stdout):
    """bootloader, normal, or ? when the query reported no mode."""
    for mode, line in MODES:
        if line.search(stdout or ''):
            return mode
    return '?'


def passed(run, expect):
    return run.get('rc') == 0 and bool(expect.search(run.get('stdout') or ''))


def tool_name(run):
    cmd = run.get('cmd') or []
    return os.path.basename(cmd[0]) if cmd else ''


# The state folder: a record per board, the image copy named by its SHA-256.

def record_path(state_dir, board):
    return os.path.join(state_dir, 'board%d.sha256' % int(board))


def image_copy(state_dir, sha256):
    # Named by its SHA-256: two runs with different images never flash each other's file.
    return os.path.join(state_dir, 'image-%s.bin' % sha256)


def read_record(state_dir, board):
    try:
        with open(record_path(state_dir, board)) as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return ''


def record_time(state_dir, board):
    try:
        return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime(os.stat(record_path(state_dir, board)).st_mtime))
    except OSError:
        return ''


def _sync_folder(folder):
    fd = os.open(folder, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def write_atomically(path, chunks, sync=True):
    """Writes the chunks to path through a file of its own and a rename,
    synced unless sync is false, so that what is there is whole; raises
    OSError, leaving nothing behind, when it can't."""
    tmp = '%s.%d.tmp' % (path, os.getpid())
    digest = hashlib.sha256()
    try:
        with open(tmp, 'wb') as f:
            for chunk in chunks:
                digest.update(chunk)
                f.write(chunk)
            if sync:
                f.flush()
                os.fsync(f.fileno())
        os.replace(tmp, path)
        if sync:
            _sync_folder(os.path.dirname(path) or '.')
    except OSError:
        try:
            os.remove(tmp)
        except OSError:
            pass
        raise
    return digest.hexdigest()


def write_record(state_dir, board, sha256):
    write_atomically(record_path(state_dir, board), [(sha256 + '\n').encode()])


def forget_record(state_dir, board):
    try:
        os.remove(record_path(state_dir, board))
    except FileNotFoundError:
        pass
    _sync_folder(state_dir)


def _chunks(path, size=1 << 20):
    with open(path, 'rb') as f:
        while True:
            chunk = f.read(size)
            if not chunk:
                return
            yield chunk


def sha256_of(path):
    """The file's SHA-256, or None when it is not there."""
    digest = hashlib.sha256()
    try:
        for chunk in _chunks(path):
            digest.update(chunk)
    except (FileNotFoundError, IsADirectoryError):
        return None
    return digest.hexdigest()


def install_image(src, state_dir, sha256):
    """Copies src into the state folder as the image copy when its bytes have
    the SHA-256 the controller verified; raises OSError, or ValueError naming
    what arrived."""
    dest = image_copy(state_dir, sha256)
    tmp = dest + '.part'
    got = write_atomically(tmp, _chunks(src))
    if got != sha256:
        os.remove(tmp)
        raise ValueError('what arrived has SHA-256 %s, not %s' % (got, sha256))
    os.replace(tmp, dest)
    return dest


def free_bytes(path):
    st = os.statvfs(path)
    return st.f_bavail * st.f_frsize


def remove_old_images(state_dir, keep_sha256):
    keep = os.path.basename(image_copy(state_dir, keep_sha256))
    removed = []
    for name in sorted(os.listdir(state_dir)):
        if re.match(r'^image-.*\.bin(\.part)?$', name) and name != keep:
            os.remove(os.path.join(state_dir, name))
            removed.append(name)
    return removed


def strerror(e):
    return '%s: %s' % (e.filename, e.strerror) if getattr(e, 'filename', None) and e.strerror else str(e)
