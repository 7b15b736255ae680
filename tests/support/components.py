"""The shared components' sources as cpp/components.cmake lists them for the build: the C++
tests of tests/cpp/ read this one list for the sources their programs are built from, and for
the layers the components' includes must keep."""

import re
from pathlib import Path

COMPONENTS_FILE = Path(__file__).resolve().parents[2] / "cpp" / "components.cmake"


def read_components(text):
    """{name: (depends, sources, python)} of every zk_component(...) call in the text, whose
    arguments are plain words (comments after "#")."""
    components = {}
    for match in re.finditer(r"^zk_component\(([^)]*)\)", text, re.MULTILINE):
        words = [w for line in match.group(1).splitlines() for w in line.split("#")[0].split()]
        name, section = words[0], None
        depends, sources, python = [], [], False
        for word in words[1:]:
            if word == "PYTHON":
                python = True
            elif word in ("DEPENDS", "SOURCES"):
                section = word
            elif section == "DEPENDS":
                depends.append(word)
            elif section == "SOURCES":
                sources.append(word)
            else:
                raise ValueError(f"zk_component({name}): {word!r} outside DEPENDS and SOURCES")
        components[name] = (depends, sources, python)
    return components


def component_sources(names):
    """The sources (paths below cpp/) of the named components and of those they depend on, each
    once, a component's own before its dependencies'."""
    components = read_components(COMPONENTS_FILE.read_text())
    order, seen = [], set()

    def visit(name):
        if name in seen:
            return
        seen.add(name)
        depends, sources, python = components[name]
        assert not python, f"component {name} needs the interpreter: not built here"
        order.extend(sources)
        for dep in depends:
            visit(dep)

    for name in names:
        visit(name)
    return order
