"""The command-line options that say how to read a trace set from another
tool, shared by every console tool that reads one:

    --group NAME                    HDF5: the group holding the traces
                                    (default Attack_traces where there is one)
    --names ROLE=NAME[,ROLE=NAME]   where the traces, inputs, outputs, key and
                                    labels are stored (HDF5 datasets or
                                    DATASET.FIELD of a compound dataset, .npz
                                    members, .npy files)
    --inputs FILE.npy               .npy: the inputs' file (outputs and key:
                                    --names outputs=FILE,key=FILE)

A tool calls ``add_arguments(parser)`` with the parser that has its ``file``
argument and ``open_from_args(args)`` instead of ``read_traces(args.file)``;
options the file's format does not take are refused with a message.
"""

from __future__ import annotations

import argparse
from typing import Any, Dict, Optional

from .base import TraceSet
from .names import ROLES, Names, parse_names

__all__ = ["add_arguments", "reader_options", "open_from_args"]


def _names(text: str) -> Names:
    try:
        return parse_names(text)
    except ValueError as e:
        raise argparse.ArgumentTypeError(str(e)) from None


def add_arguments(parser: Any) -> None:
    """Adds ``--group``, ``--names`` and ``--inputs`` to ``parser`` (an
    ``ArgumentParser`` or one of its groups)."""
    add = parser.add_argument_group("trace sets from other tools") if hasattr(parser, "add_argument_group") \
        else parser
    add.add_argument("--group", default=None, metavar="NAME",
                     help="HDF5: the group holding the traces (default: Attack_traces in the ASCAD layout)")
    add.add_argument("--names", type=_names, default=None, metavar="ROLE=NAME,...",
                     help="where each part is stored, roles %s: an HDF5 dataset or DATASET.FIELD, a .npz member, "
                          "a .npy file (e.g. inputs=plaintext,key=metadata.key)" % ", ".join(ROLES))
    add.add_argument("--inputs", default=None, metavar="FILE.npy",
                     help=".npy: the inputs' file (default: textin.npy or plaintext.npy beside the traces)")


def reader_options(args: argparse.Namespace) -> Dict[str, Any]:
    """The options given on the command line, as ``read_traces`` takes them."""
    options: Dict[str, Any] = {}
    if getattr(args, "group", None) is not None:
        options["group"] = args.group
    if getattr(args, "names", None):
        options["names"] = args.names
    if getattr(args, "inputs", None) is not None:
        options["inputs"] = args.inputs
    return options


def open_from_args(args: argparse.Namespace, path: Optional[str] = None) -> TraceSet:
    """Reads ``path`` (default ``args.file``) with the options of
    ``add_arguments``."""
    from . import read_traces

    return read_traces(path if path is not None else args.file, **reader_options(args))
