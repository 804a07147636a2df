cmake_minimum_required(VERSION 3.25)
# Fails when a file includes what its folder may not (cmake -DSOURCE_DIR=<root> -P this file):
#   the core (src/app … src/log, src/common) and the interfaces (src/platform/*.h): no Qt, POSIX or
#     Mac framework header, no backend's header; the process entry (src/app/main.cpp) is not core;
#   src/platform/posix: portable POSIX only: no Qt, no Linux-only header, no /proc path;
#   src/platform/linux: Linux and POSIX, no Qt;
#   src/platform/freedesktop: D-Bus, XDG and X, on Qt and POSIX, nothing Linux-only;
#   src/platform/qt: portable Qt only: no D-Bus, XCB, X11 or POSIX header;
#   src/platform/qrencode: libqrencode and the standard library only.
# Of the backend folders only linux/ and freedesktop/ may lean on another, posix/; only the
# composition root (src/platform/compose) includes several; any other folder includes none.
#   src/midi, the bridge server's MIDI module, is a room of its own: no Qt, no Mac framework, and
#     nothing of the application's (its core, its platform layer).
set(include "#[ \t]*(include|import)[ \t]*[<\"]")
set(qt "${include}(Q|qt)")
set(posix "${include}((unistd|fcntl|spawn|signal|pthread|dirent|pwd|grp|poll|termios|dlfcn|syslog|netdb|errno)\\.h|(sys|arpa|netinet|linux)/)")
set(mac "${include}(Cocoa|AppKit|Foundation|CoreFoundation|ServiceManagement|objc)/")
set(dbus_x "${include}(QDBus|QtDBus|dbus/|xcb/|X11/)")
set(linux_only "${include}(linux/|sys/(prctl|eventfd|timerfd|signalfd|epoll|inotify|sysinfo|sendfile)\\.h|mntent\\.h)|\"/proc[/\"]")
set(backend "${include}platform/[^/\">]+/")
set(application "${include}(app|bridge|health|menu|login|log|common|platform)/")

set(core_rules qt posix mac backend)
set(posix_rules qt mac linux_only)
set(posix_leans_on "")
set(linux_rules qt mac)
set(linux_leans_on posix)
set(freedesktop_rules mac linux_only)
set(freedesktop_leans_on posix)
set(qt_rules dbus_x posix mac)
set(qt_leans_on "")
set(qrencode_rules qt posix mac)
set(qrencode_leans_on "")

set(midi_rules qt mac application)

set(violations "")
# check(FILE RULES...): each line of FILE against each rule named.
function(check file)
    file(STRINGS "${file}" lines)
    foreach(line IN LISTS lines)
        foreach(rule IN LISTS ARGN)
            if(line MATCHES "${${rule}}")
                set(violations "${violations}${file}: ${line}  (${rule})\n" PARENT_SCOPE)
            endif()
        endforeach()
    endforeach()
endfunction()

foreach(dir app bridge health menu login log common)
    file(GLOB_RECURSE files "${SOURCE_DIR}/src/${dir}/*")
    list(FILTER files EXCLUDE REGEX "/src/app/main\\.cpp$")
    foreach(file IN LISTS files)
        check("${file}" ${core_rules})
    endforeach()
endforeach()
file(GLOB_RECURSE files "${SOURCE_DIR}/src/midi/*")
foreach(file IN LISTS files)
    check("${file}" ${midi_rules})
endforeach()
file(GLOB interfaces "${SOURCE_DIR}/src/platform/*.h")
foreach(file IN LISTS interfaces)
    check("${file}" ${core_rules})
endforeach()

file(GLOB folders LIST_DIRECTORIES true "${SOURCE_DIR}/src/platform/*")
foreach(folder IN LISTS folders)
    get_filename_component(name "${folder}" NAME)
    if(NOT IS_DIRECTORY "${folder}" OR name STREQUAL "compose")
        continue()
    endif()
    file(GLOB_RECURSE files "${folder}/*")
    foreach(file IN LISTS files)
        check("${file}" ${${name}_rules})
        # Another backend folder, unless this one may lean on it.
        file(STRINGS "${file}" lines REGEX "${backend}")
        foreach(line IN LISTS lines)
            string(REGEX MATCH "platform/([^/\">]+)/" used "${line}")
            if(NOT CMAKE_MATCH_1 STREQUAL name AND NOT CMAKE_MATCH_1 IN_LIST ${name}_leans_on)
                string(APPEND violations "${file}: ${line}  (another backend folder)\n")
            endif()
        endforeach()
    endforeach()
endforeach()

if(violations)
    message(FATAL_ERROR "Includes that their folder may not have:\n${violations}")
endif()
message(STATUS "Every folder includes only what its name allows.")
