# The Linux desktop: the backends under src/platform/{posix,linux,freedesktop,qt} composed in
# src/platform/compose/, the launcher in front of the application, what ships beside it, and the
# tests and fuzz targets of those backends. Included once by CMakeLists.txt.
find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets DBus Svg)
find_package(PkgConfig REQUIRED)
pkg_check_modules(XCB REQUIRED IMPORTED_TARGET xcb)
set(CMAKE_AUTOMOC OFF)

# The build tree mirrors the install tree: bin/ and libexec/ beside share/<name>/.
include(GNUInstallDirs)
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_BINDIR})
set(TOVRA_SHARE_DIR ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_DATADIR}/${TOVRA_NAME})
set(TOVRA_APPLICATION_DIR ${CMAKE_INSTALL_LIBEXECDIR}/${TOVRA_NAME})
# The bridge server's guard, as ps and killall see it: a name of its own, so that a kill of the
# program by name leaves it to end the server's tree.
set(TOVRA_GUARD_NAME tovra-guard)

# Portable POSIX: files, descriptors, signals, the lock, the HTTP client.
add_library(tovra_posix STATIC
    src/platform/posix/file_descriptor.cpp src/platform/posix/http_reader.cpp
    src/platform/posix/instance_lock.cpp src/platform/posix/posix_file_handle.cpp
    src/platform/posix/posix_file_manager.cpp src/platform/posix/posix_process_info.cpp
    src/platform/posix/posix_url_session.cpp src/platform/posix/termination_signals.cpp
    src/platform/posix/tree_copy.cpp)
target_include_directories(tovra_posix PUBLIC src)
target_link_libraries(tovra_posix PUBLIC Threads::Threads)

# Linux's own calls: the bridge's process tree, listeners, the control socket, timers.
add_library(tovra_linux STATIC
    src/platform/linux/control_socket.cpp src/platform/linux/display_wait.cpp
    src/platform/linux/executable_bundle.cpp src/platform/linux/linux_task.cpp
    src/platform/linux/loopback_listener.cpp src/platform/linux/system_calls.cpp)
target_link_libraries(tovra_linux PUBLIC tovra_posix)

# Portable Qt: the tray item, menu, window, alerts, clipboard, settings, the event loop.
add_library(tovra_qt STATIC
    src/platform/qt/qt_alerts.cpp src/platform/qt/qt_application.cpp src/platform/qt/qt_main_queue.cpp
    src/platform/qt/qt_menu.cpp src/platform/qt/qt_pasteboard.cpp src/platform/qt/qt_status_bar.cpp
    src/platform/qt/qt_user_defaults.cpp src/platform/qt/status_window.cpp src/platform/qt/tray_hosts.h
    resources/icons/icons.qrc)
set_target_properties(tovra_qt PROPERTIES AUTOMOC ON AUTORCC ON)
target_include_directories(tovra_qt PUBLIC src)
target_link_libraries(tovra_qt PUBLIC Qt6::Core Qt6::Gui Qt6::Widgets Qt6::Svg)

# The freedesktop.org conventions: the session bus, tray hosts, notifications, the file manager,
# autostart entries, the user's places.
add_library(tovra_freedesktop STATIC
    src/platform/freedesktop/desktop_entry.cpp src/platform/freedesktop/desktop_notifications.cpp
    src/platform/freedesktop/desktop_workspace.cpp src/platform/freedesktop/session_bus.cpp
    src/platform/freedesktop/tray_host_watcher.cpp src/platform/freedesktop/user_directories.cpp
    src/platform/freedesktop/xdg_login_service.cpp src/platform/freedesktop/xembed_tray_icon.cpp)
set_target_properties(tovra_freedesktop PROPERTIES AUTOMOC ON)
target_compile_definitions(tovra_freedesktop PRIVATE QT_NO_KEYWORDS)
target_link_libraries(tovra_freedesktop PUBLIC tovra_posix Qt6::Core Qt6::Gui Qt6::Widgets Qt6::DBus
                                               PkgConfig::XCB Threads::Threads)

# QR codes by libqrencode: the phone link drawn in the window, to scan.
pkg_check_modules(QRENCODE REQUIRED IMPORTED_TARGET libqrencode)
add_library(tovra_qrencode STATIC src/platform/qrencode/qr_matrix.cpp)
target_include_directories(tovra_qrencode PUBLIC src)
target_link_libraries(tovra_qrencode PUBLIC PkgConfig::QRENCODE)

# The composition root: the one place that knows every folder above.
add_library(tovra_platform STATIC src/platform/compose/linux_desktop.cpp src/platform/compose/display_choice.cpp
            src/platform/compose/instance_claim.cpp)
target_link_libraries(tovra_platform PUBLIC tovra_qt tovra_freedesktop tovra_linux tovra_qrencode)
target_compile_definitions(tovra_platform PRIVATE TOVRA_VERSION="${PROJECT_VERSION}" TOVRA_NAME="${TOVRA_NAME}"
                                                   TOVRA_GUARD_NAME="${TOVRA_GUARD_NAME}")

# What users start: a launcher that needs only the C library, in front of the application.
add_executable(tovra-bridge src/platform/linux/launcher.cpp)
set_target_properties(tovra-bridge PROPERTIES OUTPUT_NAME ${TOVRA_NAME})
target_compile_definitions(tovra-bridge PRIVATE TOVRA_NAME="${TOVRA_NAME}")
target_link_options(tovra-bridge PRIVATE -Wl,--as-needed)
set_target_properties(tovra_application PROPERTIES OUTPUT_NAME ${TOVRA_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${TOVRA_APPLICATION_DIR})
add_dependencies(tovra-bridge tovra_application)

# The bridge server's parent and its tree's subreaper, beside the application, which finds it
# there; the C library only, like the launcher.
add_executable(tovra-guard src/platform/linux/guard.cpp)
target_include_directories(tovra-guard PRIVATE src)
set_target_properties(tovra-guard PROPERTIES OUTPUT_NAME ${TOVRA_GUARD_NAME}
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/${TOVRA_APPLICATION_DIR})
target_link_options(tovra-guard PRIVATE -Wl,--as-needed)
add_dependencies(tovra_application tovra-guard)

# What ships beside the executable: the bridge server, its MIDI module and the runtime that runs it.
include(cmake/bridge-server.cmake)

install(TARGETS tovra-bridge RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tovra_application tovra-guard RUNTIME DESTINATION ${TOVRA_APPLICATION_DIR})
install(FILES resources/tovra-bridge.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
configure_file(resources/com.tovra.bridge.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_DATADIR}/metainfo/com.tovra.bridge.metainfo.xml @ONLY)
configure_file(resources/tovra-bridge.1.in ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_MANDIR}/man1/tovra-bridge.1 @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_DATADIR}/metainfo/com.tovra.bridge.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_MANDIR}/man1/tovra-bridge.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The application's icon: its SVG, and PNGs of the hicolor sizes rendered from it, staged in the
# build tree as installed (notifications name the file from there too).
set(TOVRA_ICON_SOURCE ${CMAKE_SOURCE_DIR}/resources/icons/tovra-bridge.svg)
set(TOVRA_ICONS ${CMAKE_BINARY_DIR}/${CMAKE_INSTALL_DATADIR}/icons/hicolor)
add_executable(tovra_render_icon tools/render_icon.cpp)
target_link_libraries(tovra_render_icon PRIVATE Qt6::Gui Qt6::Svg)
configure_file(${TOVRA_ICON_SOURCE} ${TOVRA_ICONS}/scalable/apps/${TOVRA_NAME}.svg COPYONLY)
set(TOVRA_ICON_PNGS)
foreach(size 48 64 128 256)
    set(png ${TOVRA_ICONS}/${size}x${size}/apps/${TOVRA_NAME}.png)
    add_custom_command(OUTPUT ${png}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${TOVRA_ICONS}/${size}x${size}/apps
        COMMAND $<TARGET_FILE:tovra_render_icon> ${TOVRA_ICON_SOURCE} ${size} ${png}
        DEPENDS tovra_render_icon ${TOVRA_ICON_SOURCE})
    list(APPEND TOVRA_ICON_PNGS ${png})
endforeach()
add_custom_target(tovra_icons ALL DEPENDS ${TOVRA_ICON_PNGS})
install(DIRECTORY ${TOVRA_ICONS} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
# docs/tray.png: the tray icon in each state on a light and a dark panel (built on demand).
add_executable(tovra_tray_preview EXCLUDE_FROM_ALL tools/tray_preview.cpp)
target_link_libraries(tovra_tray_preview PRIVATE tovra_qt)

# Each backend against what only the real system shows.
if(TOVRA_TESTS)
    tovra_test(posix SOURCES tests/adapter/posix_files_test.cpp tests/adapter/posix_http_test.cpp
               tests/adapter/posix_move_test.cpp
               LIBRARIES tovra_posix tovra_linux GTest::gtest_main)
    tovra_test(linux SOURCES tests/adapter/linux_control_test.cpp tests/adapter/linux_display_test.cpp
               tests/adapter/linux_process_test.cpp
               LIBRARIES tovra_linux GTest::gtest_main)
    target_compile_definitions(tovra_linux_tests PRIVATE TOVRA_GUARD_PROGRAM="$<TARGET_FILE:tovra-guard>")
    add_dependencies(tovra_linux_tests tovra-guard)
    tovra_test(freedesktop SOURCES tests/adapter/freedesktop_session_bus_test.cpp
               tests/adapter/freedesktop_desktop_entry_test.cpp tests/adapter/freedesktop_login_service_test.cpp
               LIBRARIES tovra_freedesktop GTest::gtest_main)
    tovra_test(compose SOURCES tests/adapter/compose_test.cpp LIBRARIES tovra_platform GTest::gtest_main)
    tovra_test(qt SOURCES tests/adapter/qt_backends_test.cpp LIBRARIES tovra_qt tovra_qrencode)
endif()

# libFuzzer targets for the two decoders, the desktop entry reader, the HTTP answer reader and the
# session bus's address;
# configure with clang and TOVRA_FUZZ=ON. The libraries under test are instrumented too, so the
# fuzzer sees coverage in them.
if(TOVRA_FUZZ)
    foreach(library tovra_core tovra_posix tovra_freedesktop)
        target_compile_options(${library} PRIVATE -fsanitize=fuzzer-no-link,address,undefined)
    endforeach()
    foreach(target health setupInfo desktopEntry httpAnswer busAddress)
        add_executable(${target}_fuzz tests/fuzz/fuzz_targets.cpp)
        target_compile_definitions(${target}_fuzz PRIVATE TOVRA_FUZZ_TARGET=${target})
        target_link_libraries(${target}_fuzz PRIVATE tovra_core tovra_posix tovra_freedesktop)
        target_compile_options(${target}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
        target_link_options(${target}_fuzz PRIVATE -fsanitize=fuzzer,address,undefined)
    endforeach()
endif()
