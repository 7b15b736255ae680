"""The one list of the shared components' sources (cpp/components.cmake), as the build and the
C++ tests read it: complete, and naming only what exists."""

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
