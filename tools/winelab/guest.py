# The emulated guest a generation's Wine runs in where this kernel runs no
# 32-bit code: qemu, a child that dies with the process that starts it, boots
# the release's image, runs the run folder's job (tests/e2e/guest/init) and
# powers off. Disks it must not change sit behind overlays that are unlinked
# as soon as qemu has them open, so even a SIGKILL leaves none behind.
import os
import subprocess
import time
import uuid

from . import cache
from .common import HarnessError, die_with

MEMORY_MB = 3072


def argv(image, folder, drives, cpus):
    """qemu's command line: the image's kernel, `drives` (file, format) as vda, vdb, and
    the run folder shared as "run". Emulated (TCG) even where /dev/kvm exists: nested
    KVM was seen to abort qemu 7.2 at start."""
    return ["qemu-system-x86_64", "-machine", "q35,accel=tcg",
            # -smap: qemu 7.2's emulation of it makes the guest kernel kill every 32-bit
            # Wine process on its way back from a system call.
            "-cpu", "max,-smap", "-smp", str(cpus), "-m", str(MEMORY_MB),
            "-nodefaults", "-display", "none", "-no-reboot", "-serial", f"file:{folder}/console.log",
            "-kernel", f"{image}/vmlinuz", "-initrd", f"{image}/initrd.img",
            "-append", "root=/dev/vda rw init=/sbin/lanyue-init console=ttyS0 panic=1 quiet mitigations=off",
            *[a for file, fmt in drives for a in
              ("-drive", f"file={file},if=virtio,format={fmt},cache=unsafe,werror=report,rerror=report")],
            "-virtfs", f"local,path={folder},mount_tag=run,security_model=none"]


def boot(image, folder, disks, cpus):
    """Starts the guest. `disks`: (file, kept): a kept disk is written in place, any
    other through an overlay of this boot's own."""
    drives, overlays = [], []
    try:
        for file, kept in disks:
            if kept:
                drives.append((file, "raw"))
                continue
            overlays.append(os.path.join(cache.overlay_dir(), f"{uuid.uuid4().hex}.qcow2"))
            drives.append((overlays[-1], "qcow2"))
            cp = subprocess.run(["qemu-img", "create", "-q", "-f", "qcow2", "-F", "raw", "-b", file, overlays[-1]],
                                capture_output=True, text=True)
            if cp.returncode != 0:
                raise HarnessError(f"qemu-img could not make an overlay of {file}: {cp.stderr.strip()}")
        with open(os.path.join(folder, "qemu.log"), "wb") as log:
            qemu = subprocess.Popen(argv(image, folder, drives, cpus), stdin=subprocess.DEVNULL, stdout=log,
                                    stderr=log, preexec_fn=die_with(os.getpid()))
        deadline = time.monotonic() + 30
        while overlays and qemu.poll() is None and time.monotonic() < deadline:
            if set(overlays) <= open_files(qemu.pid):
                break
            time.sleep(0.02)
    finally:  # open or not, made whole or not
        for overlay in overlays:
            if os.path.exists(overlay):
                os.unlink(overlay)
    return qemu


def open_files(pid):
    folder = f"/proc/{pid}/fd"
    found = set()
    for fd in os.listdir(folder):
        try:
            found.add(os.readlink(os.path.join(folder, fd)))
        except OSError:
            pass
    return found
