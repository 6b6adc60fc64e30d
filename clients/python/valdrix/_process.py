"""Process-wide settings the console tools make for themselves (never the library)."""

from __future__ import annotations


def keep_freed_memory() -> None:
    """Keeps large freed buffers (batch answers, file chunks, an analysis's
    per-chunk arrays) in the process for the next use: glibc otherwise hands
    them back to the kernel, and memory new to a process costs a page fault
    every 4 KiB, which on a virtual machine with shadow page tables is
    several microseconds each. Does nothing where the C library is not glibc."""
    try:
        import ctypes
        mallopt = ctypes.CDLL(None).mallopt
    except (OSError, AttributeError):  # not glibc
        return
    m_trim_threshold, m_mmap_threshold = -1, -3
    mallopt(m_mmap_threshold, 32 << 20)  # glibc's largest
    mallopt(m_trim_threshold, 256 << 20)
