"""The one list of the shared components' sources (cpp/components.cmake), as the build and the
C++ tests read it: complete, and naming only what exists; and the layers of the C++ sources, as
their #include lines show them."""

import re
from pathlib import Path

import pytest

from support.components import COMPONENTS_FILE, component_sources, read_components

CPP = COMPONENTS_FILE.parent
COMPONENTS = read_components(COMPONENTS_FILE.read_text())


def test_every_listed_source_exists_once():
    listed = [s for _, sources, _ in COMPONENTS.values() for s in sources]
    assert sorted(s for s in listed if not (CPP / s).is_file()) == []
    assert len(listed) == len(set(listed))


def test_every_source_beside_a_components_sources_is_listed():
    # A source dropped into a component's directory and left out of the list would be built
    # by nothing; the first module that needs it would fail to link.
    listed = {s for _, sources, _ in COMPONENTS.values() for s in sources}
    directories = {Path(s).parent for s in listed}
    present = {str(p.relative_to(CPP)) for d in directories for p in (CPP / d).glob("*.cpp")}
    assert sorted(present - listed) == []


def test_dependencies_are_components():
    assert sorted(d for depends, _, _ in COMPONENTS.values() for d in depends
                  if d not in COMPONENTS) == []


@pytest.mark.parametrize("text,error", [
    ("zk_component(a\n  SOURCES\n    a/x.cpp  # the first\n    a/y.cpp\n)\n", None),
    ("zk_component(a a/x.cpp)\n", "outside DEPENDS and SOURCES"),
], ids=["comments", "word_outside_a_section"])
def test_reader_of_the_list(text, error):
    if error is None:
        assert read_components(text) == {"a": ([], ["a/x.cpp", "a/y.cpp"], False)}
    else:
        with pytest.raises(ValueError, match=error):
            read_components(text)


def test_a_component_brings_its_dependencies_after_its_own_sources():
    sources = component_sources(["instantiate"])
    own, texts = COMPONENTS["instantiate"][1], COMPONENTS["texts"][1]
    assert sources == own + texts


# The layers of the C++ sources. Components (cpp/<component>/, below the modules) include no
# module's header; a module includes headers of its own package and of the packages below it
# (the model reads the core's registry, the core reaches the model's families only through
# common/family_shapes.hpp); a component includes headers of its own directories, of the
# components it depends on, and, when it uses the interpreter, cpp/common/; a Python-free
# component reaches no header of the interpreter or of nanobind, through any header it includes.
PACKAGES_BELOW = {
    "": set(),  # zk_encoder._exceptions, zk_encoder.version
    "core": set(),
    "encode": {"core"},
    "linear_parser": set(),
    "linear_parser2": set(),
}
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^>"]+)[>"]', re.MULTILINE)
PYTHON_HEADERS = ("nanobind/", "Python.h")


def includes(path):
    """(quoted, name) of every #include of the file."""
    return [(kind == '"', name) for kind, name in INCLUDE.findall(path.read_text())]


def quoted(path):
    return [name for is_quoted, name in includes(path) if is_quoted]


def cpp_files(under):
    return sorted(p for p in under.rglob("*") if p.suffix in (".cpp", ".hpp", ".h"))


def package_of(path):
    """The package of a file under cpp/zk_encoder/: its first directory there ("" at the top)."""
    parts = path.relative_to(CPP / "zk_encoder").parts
    return parts[0] if len(parts) > 1 else ""


def test_no_component_includes_a_module_header():
    below = [p for p in cpp_files(CPP) if CPP / "zk_encoder" not in p.parents]
    assert sorted(f"{p.relative_to(CPP)}: {name}" for p in below for name in quoted(p)
                  if name.startswith("zk_encoder/")) == []


def test_modules_include_only_their_package_and_those_below():
    modules = cpp_files(CPP / "zk_encoder")
    assert sorted({package_of(p) for p in modules} - PACKAGES_BELOW.keys()) == []
    wrong = []
    for p in modules:
        allowed = {package_of(p)} | PACKAGES_BELOW[package_of(p)]
        for name in quoted(p):
            if name.startswith("zk_encoder/") and package_of(CPP / name) not in allowed:
                wrong.append(f"{p.relative_to(CPP)}: {name}")
    assert wrong == []


def test_components_include_only_what_they_depend_on():
    def closure(name, seen):
        if name not in seen:
            seen.add(name)
            for dep in COMPONENTS[name][0]:
                closure(dep, seen)
        return seen

    wrong = []
    for name, (_, sources, python) in COMPONENTS.items():
        dirs = {Path(s).parts[0] for dep in closure(name, set()) for s in COMPONENTS[dep][1]}
        if python:
            dirs.add("common")
        for source in sources:
            for header in quoted(CPP / source):
                if (CPP / header).is_file() and Path(header).parts[0] not in dirs:
                    wrong.append(f"{name}: {source} includes {header}")
    assert wrong == []


def test_python_free_components_reach_no_interpreter_header():
    def reached(path, seen):
        for is_quoted, name in includes(path):
            if name.startswith(PYTHON_HEADERS):
                yield f"{path.relative_to(CPP)} includes {name}"
            elif is_quoted and (CPP / name).is_file() and name not in seen:
                seen.add(name)
                yield from reached(CPP / name, seen)

    assert sorted(f"{name}: {hit}" for name, (_, sources, python) in COMPONENTS.items()
                  if not python for s in sources for hit in reached(CPP / s, set())) == []


def test_every_test_program_is_run():
    # tests/cpp/CMakeLists.txt builds every test_*.cpp; one that no wrapper runs tests nothing.
    here = Path(__file__).parent
    named = {m for w in here.glob("test_*.py")
             for m in re.findall(r'build_cpp\(\s*"(\w+)"', w.read_text())}
    assert sorted(p.stem for p in here.glob("test_*.cpp") if p.stem not in named) == []
