"""The package's command codes against the service's own table (src/protocol/commands.h)."""

import pathlib
import re

from valdrix.codes import Command, Extension

COMMANDS_H = pathlib.Path(__file__).resolve().parents[3] / "src" / "protocol" / "commands.h"


def service_table():
    entries = re.findall(r'^\s*X\((\w+), (0x[0-9A-Fa-f]{4}), "([^"]*)"\)', COMMANDS_H.read_text(), re.M)
    return {name.upper(): (int(code, 16), cli) for name, code, cli in entries}


def test_every_command_of_the_service_and_no_other_has_its_code_in_the_package():
    service = service_table()
    assert len(service) == 43
    package = {c.name: int(c) for c in Command}
    package.update({c.name: int(c) for c in Extension})
    assert package == {name: code for name, (code, _) in service.items()}
    # The protocol's commands are offered on the command line, the extension's are not.
    assert {name for name, (_, cli) in service.items() if cli} == {c.name for c in Command}
    assert all(cli == name.lower().replace("_", "-") for name, (_, cli) in service.items() if cli)
