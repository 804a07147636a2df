# Fails when a file of the core includes a Qt, POSIX or Mac framework header, or any header under
# src/platform/ but the interfaces directly in it. The process entry (src/app/main.cpp) is not part of the core.
set(core_dirs app bridge health menu login log)
set(forbidden_patterns
    "#[ \t]*include[ \t]*[<\"]Q"
    "#[ \t]*include[ \t]*[<\"]qt"
    "#[ \t]*include[ \t]*[<\"](unistd|fcntl|spawn|signal|pthread|dirent|pwd|grp|poll|termios|dlfcn|syslog|netdb|errno)\\.h"
    "#[ \t]*include[ \t]*[<\"](sys|arpa|netinet|linux)/"
    "#[ \t]*[a-z]+[ \t]*[<\"](Cocoa|AppKit|Foundation|CoreFoundation|ServiceManagement|objc)/"
    "#[ \t]*include[ \t]*[<\"]platform/[^/\">]+/")
set(violations "")
foreach(dir IN LISTS core_dirs)
    file(GLOB_RECURSE files "${SOURCE_DIR}/src/${dir}/*.h" "${SOURCE_DIR}/src/${dir}/*.cpp" "${SOURCE_DIR}/src/${dir}/*.mm")
    foreach(file IN LISTS files)
        if(file MATCHES "/src/app/main\\.cpp$")
            continue()
        endif()
        file(STRINGS "${file}" lines)
        foreach(line IN LISTS lines)
            foreach(pattern IN LISTS forbidden_patterns)
                if(line MATCHES "${pattern}")
                    string(APPEND violations "${file}: ${line}\n")
                endif()
            endforeach()
        endforeach()
    endforeach()
endforeach()
if(violations)
    message(FATAL_ERROR "The core includes platform headers:\n${violations}")
endif()
message(STATUS "The core includes no Qt, POSIX, Mac framework or backend header.")
