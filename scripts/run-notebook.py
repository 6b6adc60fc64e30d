#!/usr/bin/env python3
"""Executes a notebook top to bottom and fails on the first cell that raises.

    scripts/run-notebook.py NOTEBOOK [--output EXECUTED.ipynb] [--timeout SECONDS]

The kernel is the interpreter that runs this script (python3 -m ipykernel), so
the notebook sees what that interpreter sees: run it with a venv's python to
test the package installed there, with /usr/bin/python3 for Debian's kernel.
The kernel starts in the notebook's own folder, as Jupyter starts it.

A notebook is kept in git without outputs: one that holds any is refused
before it runs. --output writes the executed notebook, outputs and all.

Exit status: 0 every cell ran; 1 a cell failed, the notebook holds outputs or
cannot be read, or the kernel died or timed out; 2 usage errors; 130 interrupted.
"""

import argparse
import json
import os
import sys
import tempfile

PROG = "run-notebook"


def stored_outputs(nb):
    """The numbers (from 1) of the code cells that hold outputs or an execution count."""
    return [i for i, cell in enumerate(nb.cells, 1)
            if cell.cell_type == "code" and (cell.get("outputs") or cell.get("execution_count") is not None)]


def kernel_for_this_interpreter(folder):
    """A kernel named "valdrix-run" in ``folder`` that runs sys.executable."""
    kernel_dir = os.path.join(folder, "kernels", "valdrix-run")
    os.makedirs(kernel_dir)
    with open(os.path.join(kernel_dir, "kernel.json"), "w", encoding="utf-8") as f:
        json.dump({"argv": [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"],
                   "display_name": "Python (%s)" % sys.executable, "language": "python",
                   # ipykernel's debugger otherwise warns on every start that 3.11's modules are frozen.
                   "env": {"PYDEVD_DISABLE_FILE_VALIDATION": "1"}}, f)
    return "valdrix-run"


def first_line(text):
    lines = [line for line in str(text).strip().splitlines() if line.strip()]
    return lines[-1] if lines else ""


def main(argv=None):
    parser = argparse.ArgumentParser(prog=PROG, description=__doc__.splitlines()[0])
    parser.add_argument("notebook")
    parser.add_argument("--output", metavar="FILE", help="write the executed notebook to FILE")
    parser.add_argument("--timeout", type=float, default=600, metavar="SECONDS",
                        help="longest a cell may run (600)")
    args = parser.parse_args(argv)
    try:
        import nbformat
        from nbclient import NotebookClient
        from nbclient.exceptions import CellExecutionError, DeadKernelError
    except ImportError as e:
        print("%s: needs nbclient and nbformat (Debian: python3-nbclient python3-ipykernel): %s" % (PROG, e),
              file=sys.stderr)
        return 1
    try:
        nb = nbformat.read(args.notebook, as_version=4)
        nbformat.validate(nb)
    except OSError as e:
        print("%s: %s: %s" % (PROG, args.notebook, e.strerror or e), file=sys.stderr)
        return 1
    except Exception as e:  # noqa: BLE001 - a file that is no notebook fails anywhere in nbformat's conversions
        print("%s: %s: not a notebook: %s" % (PROG, args.notebook, first_line(getattr(e, "message", e))),
              file=sys.stderr)
        return 1
    kept = stored_outputs(nb)
    if kept:
        print("%s: %s: cell%s %s hold%s outputs; keep notebooks stripped (Kernel > Restart & Clear Output)"
              % (PROG, args.notebook, "s" if len(kept) > 1 else "", ", ".join(map(str, kept)),
                 "" if len(kept) > 1 else "s"), file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as home:
        os.environ["JUPYTER_PATH"] = home + os.pathsep + os.environ.get("JUPYTER_PATH", "")
        client = NotebookClient(nb, timeout=args.timeout, kernel_name=kernel_for_this_interpreter(home),
                                resources={"metadata": {"path": os.path.dirname(os.path.abspath(args.notebook))}})
        try:
            client.execute()
        except CellExecutionError as e:
            cell = next((i for i, c in enumerate(nb.cells, 1) if any(o.get("output_type") == "error"
                                                                     for o in c.get("outputs", []))), "?")
            print("%s: %s: cell %s failed: %s: %s" % (PROG, args.notebook, cell, e.ename, first_line(e.evalue)),
                  file=sys.stderr)
            return 1
        except DeadKernelError as e:
            print("%s: %s: the kernel died: %s" % (PROG, args.notebook, first_line(e)), file=sys.stderr)
            return 1
        except (TimeoutError, RuntimeError) as e:
            print("%s: %s: %s" % (PROG, args.notebook, first_line(e)), file=sys.stderr)
            return 1
        except KeyboardInterrupt:
            print("%s: %s: interrupted" % (PROG, args.notebook), file=sys.stderr)
            return 130
        finally:
            if args.output:
                nbformat.write(nb, args.output)
    cells = sum(1 for c in nb.cells if c.cell_type == "code")
    print("%s: %s: %d code cells ran" % (PROG, args.notebook, cells))
    return 0


if __name__ == "__main__":
    sys.exit(main())
