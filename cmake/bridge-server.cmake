# The bridge server: its JavaScript in resources/app/, its MIDI module (src/midi/, a Node-API
# module loaded from the server), a file of what the build knows (the version, where the module
# is), and the runtime link. Staged in the build tree as installed; included by the platform's file.
find_program(TOVRA_NODE NAMES node nodejs REQUIRED)
find_path(TOVRA_NODE_API_INCLUDE node_api.h PATH_SUFFIXES node REQUIRED
          DOC "Node-API's headers (Debian: the nodejs package from NodeSource, or libnode-dev)")
pkg_check_modules(ALSA REQUIRED IMPORTED_TARGET alsa)
pkg_check_modules(JACK REQUIRED IMPORTED_TARGET jack) # headers only: the module loads the library itself

# Where the module goes: a private library folder, as architecture-dependent files belong under
# lib/, and the server finds it from its own folder by the relative path the build file gives.
set(TOVRA_MODULE_DIR lib/${TOVRA_NAME})
set(TOVRA_APP_DIR ${CMAKE_INSTALL_DATADIR}/${TOVRA_NAME}/app)
file(RELATIVE_PATH TOVRA_MODULE_FROM_APP /root/${TOVRA_APP_DIR} /root/${TOVRA_MODULE_DIR}/tovra_midi.node)

set(TOVRA_MIDI_SOURCES
    src/midi/alsa_sequencer_output.cpp src/midi/device_watch.cpp src/midi/jack_library.cpp
    src/midi/jack_output.cpp src/midi/message_ring.cpp src/midi/midi_message.cpp src/midi/midi_outputs.cpp)

# The Node-API module, of the same sources; Node's own symbols are resolved when Node loads it.
add_library(tovra_midi_node MODULE src/midi/node_binding.cpp ${TOVRA_MIDI_SOURCES})
target_include_directories(tovra_midi_node PRIVATE src)
target_include_directories(tovra_midi_node SYSTEM PRIVATE ${TOVRA_NODE_API_INCLUDE} ${JACK_INCLUDE_DIRS})
target_link_libraries(tovra_midi_node PRIVATE PkgConfig::ALSA Threads::Threads ${CMAKE_DL_LIBS})
set_target_properties(tovra_midi_node PROPERTIES OUTPUT_NAME tovra_midi PREFIX "" SUFFIX .node
    CXX_VISIBILITY_PRESET hidden LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${TOVRA_MODULE_DIR})
target_link_options(tovra_midi_node PRIVATE -Wl,--as-needed)
# Node is built without the sanitizers, whose run-time must come first in a process: the module
# Node loads goes without them; the tests of its classes (tovra_midi) keep them.
foreach(property COMPILE_OPTIONS LINK_OPTIONS)
    get_target_property(options tovra_midi_node ${property})
    list(FILTER options EXCLUDE REGEX "sanitize")
    set_target_properties(tovra_midi_node PROPERTIES ${property} "${options}")
endforeach()

# The server's files (its modules, and its pages' markup, styles and scripts in their folders),
# copied as they change, and build.json beside them.
file(GLOB_RECURSE TOVRA_APP_FILES CONFIGURE_DEPENDS RELATIVE ${CMAKE_SOURCE_DIR}/resources/app
     ${CMAKE_SOURCE_DIR}/resources/app/*.js ${CMAKE_SOURCE_DIR}/resources/app/*.css
     ${CMAKE_SOURCE_DIR}/resources/app/*.html)
set(TOVRA_STAGED_APP_FILES)
foreach(file IN LISTS TOVRA_APP_FILES)
    add_custom_command(OUTPUT ${TOVRA_SHARE_DIR}/app/${file}
        COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_SOURCE_DIR}/resources/app/${file} ${TOVRA_SHARE_DIR}/app/${file}
        DEPENDS ${CMAKE_SOURCE_DIR}/resources/app/${file})
    list(APPEND TOVRA_STAGED_APP_FILES ${TOVRA_SHARE_DIR}/app/${file})
    get_filename_component(folder ${file} DIRECTORY)
    install(FILES ${TOVRA_SHARE_DIR}/app/${file} DESTINATION ${TOVRA_APP_DIR}/${folder})
endforeach()
configure_file(resources/app/build.json.in ${TOVRA_SHARE_DIR}/app/build.json @ONLY)

# The server's own npm packages (package.json's "dependencies", as `npm ci` installed them from the
# lock file into node_modules/), staged beside it in app/node_modules. Each must need no package of
# its own, or it would have to be staged too.
file(READ ${CMAKE_SOURCE_DIR}/package.json TOVRA_PACKAGE)
string(JSON TOVRA_DEPENDENCY_COUNT LENGTH "${TOVRA_PACKAGE}" dependencies)
math(EXPR last "${TOVRA_DEPENDENCY_COUNT} - 1")
set(TOVRA_NODE_DEPENDENCIES)
foreach(index RANGE ${last})
    string(JSON name MEMBER "${TOVRA_PACKAGE}" dependencies ${index})
    set(manifest ${CMAKE_SOURCE_DIR}/node_modules/${name}/package.json)
    if(NOT EXISTS ${manifest})
        message(FATAL_ERROR "node_modules/${name} is missing: run `npm ci` in ${CMAKE_SOURCE_DIR} (./dev does)")
    endif()
    file(READ ${manifest} package)
    string(JSON own ERROR_VARIABLE none LENGTH "${package}" dependencies)
    if(own GREATER 0)
        message(FATAL_ERROR "the server's package ${name} needs packages of its own, which are not staged")
    endif()
    list(APPEND TOVRA_NODE_DEPENDENCIES ${name})
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/package.json)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/node_modules.staged
    COMMAND ${CMAKE_COMMAND} -DFROM=${CMAKE_SOURCE_DIR}/node_modules -DTO=${TOVRA_SHARE_DIR}/app/node_modules
            "-DPACKAGES=${TOVRA_NODE_DEPENDENCIES}" -P ${CMAKE_SOURCE_DIR}/cmake/stage_node_modules.cmake
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/node_modules.staged
    DEPENDS ${CMAKE_SOURCE_DIR}/package-lock.json ${CMAKE_SOURCE_DIR}/cmake/stage_node_modules.cmake VERBATIM)
install(DIRECTORY ${TOVRA_SHARE_DIR}/app/node_modules DESTINATION ${TOVRA_APP_DIR})

add_custom_command(OUTPUT ${TOVRA_SHARE_DIR}/runtime/node-arm64
    COMMAND ${CMAKE_COMMAND} -E make_directory ${TOVRA_SHARE_DIR}/runtime
    COMMAND ${CMAKE_COMMAND} -E create_symlink ${TOVRA_NODE} ${TOVRA_SHARE_DIR}/runtime/node-arm64)
add_custom_target(tovra_bundle ALL DEPENDS ${TOVRA_STAGED_APP_FILES} ${CMAKE_BINARY_DIR}/node_modules.staged
                  ${TOVRA_SHARE_DIR}/runtime/node-arm64)
add_dependencies(tovra_bundle tovra_midi_node)
add_dependencies(tovra_application tovra_bundle)

install(FILES ${TOVRA_SHARE_DIR}/app/build.json DESTINATION ${TOVRA_APP_DIR})
install(TARGETS tovra_midi_node LIBRARY DESTINATION ${TOVRA_MODULE_DIR})
install(FILES ${TOVRA_SHARE_DIR}/runtime/node-arm64 DESTINATION ${CMAKE_INSTALL_DATADIR}/${TOVRA_NAME}/runtime) # as a link

if(TOVRA_TESTS)
    # The MIDI outputs' classes, a library of their own so that their tests use them without Node.
    add_library(tovra_midi STATIC ${TOVRA_MIDI_SOURCES})
    target_include_directories(tovra_midi PUBLIC src)
    target_include_directories(tovra_midi SYSTEM PUBLIC ${JACK_INCLUDE_DIRS})
    target_link_libraries(tovra_midi PUBLIC PkgConfig::ALSA Threads::Threads ${CMAKE_DL_LIBS})
    # Tests with a JACK server of their own take the "jack" lock: JACK's servers of one user share
    # a registry and segments, and one killed while another runs can take the other's along.
    tovra_test(midi SOURCES tests/midi/midi_message_test.cpp tests/midi/midi_outputs_test.cpp
               tests/midi/device_watch_test.cpp tests/midi/alsa_sequencer_test.cpp
               LIBRARIES tovra_midi GTest::gtest_main)
    tovra_test(midi_jack SOURCES tests/midi/jack_output_test.cpp
               LIBRARIES tovra_midi PkgConfig::JACK GTest::gtest_main PROPERTIES RESOURCE_LOCK jack)
endif()

# What reaches a JACK client, for the end-to-end tests and the benchmarks.
if(TOVRA_TESTS OR TOVRA_BENCH)
    add_executable(tovra_midi_recorder tests/support/midi_recorder.cpp)
    target_include_directories(tovra_midi_recorder SYSTEM PRIVATE ${JACK_INCLUDE_DIRS})
    target_link_libraries(tovra_midi_recorder PRIVATE PkgConfig::JACK)
    set_target_properties(tovra_midi_recorder PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
