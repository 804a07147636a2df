cmake_minimum_required(VERSION 3.25)
# The layering check passes on a copy of src/ as it is, and fails on each kind of forbidden include
# planted in it one at a time (cmake -DSOURCE_DIR=<root> -DWORK_DIR=<dir> -P this file).
set(qt_menu platform/qt/qt_menu.cpp)
set(reader platform/posix/http_reader.cpp)
set(wait platform/linux/display_wait.cpp)
set(entry platform/freedesktop/desktop_entry.cpp)
set(plants
    "app/tovra_app_delegate.cpp|#include <QString>" "health/health.cpp|#include <unistd.h>"
    "log/bridge_log.cpp|#import <AppKit/AppKit.h>" "menu/build_menu.cpp|#include \"platform/qt/qt_menu.h\""
    "common/file_checks.h|#include <sys/stat.h>" "platform/platform.h|#include <QObject>"
    "${qt_menu}|#include <QDBusMessage>" "${qt_menu}|#include <xcb/xcb.h>" "${qt_menu}|#include <unistd.h>"
    "${qt_menu}|#include \"platform/freedesktop/session_bus.h\"" "${reader}|#include <sys/eventfd.h>"
    "${reader}|#include <linux/netlink.h>" "${reader}|std::ifstream self(\"/proc/self/status\")"
    "${reader}|#include \"platform/linux/system_calls.h\"" "${reader}|#include <QByteArray>"
    "${wait}|#include <QString>" "${wait}|#include \"platform/freedesktop/user_directories.h\""
    "${entry}|#include \"platform/linux/system_calls.h\"" "${entry}|#include \"platform/qt/qt_menu.h\""
    "midi/midi_outputs.cpp|#include <QThread>" "midi/jack_output.cpp|#include \"platform/posix/file_descriptor.h\""
    "midi/device_watch.cpp|#include \"common/file_checks.h\"" "platform/qrencode/qr_matrix.cpp|#include <QImage>")
set(check ${CMAKE_COMMAND} -DSOURCE_DIR=${WORK_DIR} -P ${SOURCE_DIR}/cmake/check_layering.cmake)
file(REMOVE_RECURSE "${WORK_DIR}")
file(COPY "${SOURCE_DIR}/src" DESTINATION "${WORK_DIR}")
execute_process(COMMAND ${check} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "the check fails on the code as it is")
endif()
foreach(plant IN LISTS plants)
    string(REGEX MATCH "^([^|]+)\\|(.*)$" parts "${plant}")
    set(target "${WORK_DIR}/src/${CMAKE_MATCH_1}")
    file(READ "${target}" original)
    file(APPEND "${target}" "${CMAKE_MATCH_2}\n")
    execute_process(COMMAND ${check} RESULT_VARIABLE status OUTPUT_QUIET ERROR_QUIET)
    file(WRITE "${target}" "${original}")
    if(status EQUAL 0)
        message(FATAL_ERROR "The layering check let this through: ${plant}")
    endif()
endforeach()
file(REMOVE_RECURSE "${WORK_DIR}")
