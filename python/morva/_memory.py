"""Memory asked for by inputs, checked against what the machine has before anything is allocated.

A typo in a model file (a radius of 3000 on a 20 x 20 lattice, a lattice of 2**31 sites) or a small
compressed image that claims a huge size would otherwise take the machine down before the input is
refused. The estimates are deliberately rough upper bounds of what building takes.
"""

import os

# Per site: labels (4 bytes) and the package's flat copies while painting and reading (int64);
# per field and site: the concentrations and the diffusion scratch (float32 each) and a copy out.
LATTICE_BYTES_PER_SITE = 16
FIELD_BYTES_PER_SITE = 12
# Per pair of types: the engine's table entry and the listed pair it was set from.
CONTACT_BYTES_PER_PAIR = 24


class TooLargeError(ValueError):
    """An input needs more memory than the machine has."""


def available_bytes():
    """Memory the system can give without swapping (MemAvailable), or None when unknown.

    Examples
    --------
    >>> available_bytes() is None or available_bytes() > 0
    True
    """
    try:
        with open("/proc/meminfo", encoding="ascii") as info:
            for line in info:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    try:
        return os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (OSError, ValueError, AttributeError):
        return None


def require(what, nbytes):
    """Refuse `what` when it needs more than the memory available now.

    Raises
    ------
    TooLargeError
        A ValueError naming `what`, the memory it needs and the memory available.

    Examples
    --------
    >>> require("a test", 1)
    >>> require("a 10**6 x 10**6 lattice", 2**62)
    Traceback (most recent call last):
    ...
    morva._memory.TooLargeError: a 10**6 x 10**6 lattice would need about 4294967296.0 GiB of memory; this machine has ... GiB available
    """
    available = available_bytes()
    if available is not None and nbytes > available:
        raise TooLargeError(f"{what} would need about {nbytes / 2**30:.1f} GiB of memory; this machine has "
                         f"{available / 2**30:.1f} GiB available")


def lattice_bytes(n_sites, n_fields):
    """Rough upper bound of the memory a world of `n_sites` sites and `n_fields` fields takes to build.

    Examples
    --------
    >>> lattice_bytes(100, 1)
    2800
    """
    return n_sites * (LATTICE_BYTES_PER_SITE + FIELD_BYTES_PER_SITE * n_fields)


def contact_bytes(n_types):
    """Rough upper bound of the memory of the contact energies of `n_types` types: every pair is set.

    Examples
    --------
    >>> contact_bytes(3)
    216
    """
    return CONTACT_BYTES_PER_PAIR * n_types * n_types
