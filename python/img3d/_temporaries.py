"""Temporaries beside outputs, as the tool names and holds them.

A temporary is named ``.NAME.img3d-tmp-...`` (hidden, and without a
``.nii`` ending, so no scan takes it for a scan) and held under ``flock``
on its own descriptor while its writer lives.  A later run removes one only
when a non-blocking ``flock`` on it succeeds: a live writer, on this machine
or another sharing the file system, still holds its own, and the kernel lets
go of a dead writer's lock whatever its PID became."""
import fcntl
import os
import shutil

TEMPORARY = ".img3d-tmp-"


def locked_folder(path):
    """Creates the folder path and holds it under flock: the descriptor, for
    the caller to close once the folder is renamed or removed."""
    os.mkdir(path)
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    fcntl.flock(fd, fcntl.LOCK_EX)
    return fd


def remove_free(folder, names):
    """Removes the entries of folder whose name ``names(name)`` accepts and
    that no process holds."""
    for name in os.listdir(folder):
        if not names(name):
            continue
        path = os.path.join(folder, name)
        try:
            fd = os.open(path, os.O_RDONLY | os.O_CLOEXEC | os.O_NOFOLLOW)
        except OSError:
            continue
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            os.close(fd)
            continue
        try:
            if os.path.isdir(path):
                shutil.rmtree(path, ignore_errors=True)
            else:
                os.unlink(path)
        except OSError:
            pass
        finally:
            os.close(fd)
