# The shared components under cpp/: each is built once, as a static library with
# position-independent code, and linked into every extension module that uses it (the linker takes
# only the objects a module needs). This file is the one list of their sources: the library's
# CMakeLists.txt and the engine's include it, and tests/cpp/ compiles its direct tests from it.
# Adding a source to a component is one line below.
#
# zk_component(<name> [PYTHON] [DEPENDS <component>...] SOURCES <path below cpp/>...)
#   makes the target zk_<name>. PYTHON: the component uses nanobind and the interpreter's headers
#   (the others are Python-free). The targets are left out of `all`, so a project builds only the
#   components its modules link.
#
# Kept simple on purpose: one call per component, one word per line inside it;
# tests/support/components.py reads the calls with a plain reader of that form.

set(ZK_CPP_DIR "${CMAKE_CURRENT_LIST_DIR}")

# For editors and tools, both projects write the compile line of every source. The Makefile's
# builds pass ZK_LINK_COMPILE_COMMANDS=ON: build/compile_commands.json beside each project's
# sources (the repository's, engine/'s) then names its build's file, where clangd looks for it.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
option(ZK_LINK_COMPILE_COMMANDS "Link build/compile_commands.json to this build's" OFF)
if(ZK_LINK_COMPILE_COMMANDS)
  file(MAKE_DIRECTORY "${CMAKE_SOURCE_DIR}/build")
  file(CREATE_LINK "${CMAKE_BINARY_DIR}/compile_commands.json"
    "${CMAKE_SOURCE_DIR}/build/compile_commands.json" SYMBOLIC)
endif()

# The warnings every target of both projects is built with; ZK_WERROR (CI) makes them errors.
function(zk_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra $<$<BOOL:${ZK_WERROR}>:-Werror>)
endfunction()

function(zk_component name)
  cmake_parse_arguments(PARSE_ARGV 1 ARG "PYTHON" "" "DEPENDS;SOURCES")
  set(target zk_${name})
  list(TRANSFORM ARG_SOURCES PREPEND "${ZK_CPP_DIR}/")
  add_library(${target} STATIC EXCLUDE_FROM_ALL ${ARG_SOURCES})
  # Hidden like the modules' own code: every module keeps a private copy, as when the sources
  # were compiled into each of them.
  set_target_properties(${target} PROPERTIES POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden)
  target_include_directories(${target} PUBLIC "${ZK_CPP_DIR}")
  zk_warnings(${target})
  list(TRANSFORM ARG_DEPENDS PREPEND zk_)
  target_link_libraries(${target} PUBLIC ${ARG_DEPENDS})
  if(ARG_PYTHON)
    # The headers and flags of the nanobind library the modules link (NB_STATIC).
    nanobind_build_library(nanobind-static)
    nanobind_disable_stack_protector(${target})
    target_link_libraries(${target} PUBLIC nanobind-static)
  else()
    set_property(GLOBAL APPEND PROPERTY ZK_PYTHON_FREE_COMPONENTS ${target})
  endif()
endfunction()

zk_component(texts
  SOURCES
    texts/tokens.cpp
    texts/names.cpp
    texts/index_text.cpp
    texts/expression_reader.cpp
)

zk_component(instantiate
  DEPENDS
    texts
  SOURCES
    instantiate/template_text.cpp
    instantiate/planner.cpp
)

zk_component(formula
  DEPENDS
    texts
  SOURCES
    formula/program.cpp
)

# The native evaluation of formula texts, through the interpreter.
zk_component(formula_eval PYTHON
  DEPENDS
    formula
  SOURCES
    formula/evaluation.cpp
)

# Sparse rows and their arithmetic, and the model-level rules without the interpreter, as both
# linear generations hold them.
zk_component(linear
  SOURCES
    linear/sparse_row.cpp
    linear/model.cpp
    linear/sparse_array.cpp
)

zk_component(lp1
  DEPENDS
    linear
    texts
  SOURCES
    lp1/polynomial.cpp
    lp1/text_evaluator.cpp
)

zk_component(linear_rules PYTHON
  DEPENDS
    linear
  SOURCES
    common/linear_rules.cpp
    common/linear_model.cpp
)
