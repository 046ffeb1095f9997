# Per-target defaults: warnings, optional -Werror and sanitizers.
# Applied target by target so that no directory-wide flag leaks into others.
option(VQX_WERROR "Treat compiler warnings as errors" OFF)
option(VQX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
# The libFuzzer targets of tests/fuzz (preset `fuzz`, clang): every library target is then
# built with coverage instrumentation and the sanitizers (-fsanitize=fuzzer-no-link), the fuzz
# targets themselves with libFuzzer's main (vqx_add_fuzz_target).
option(VQX_FUZZ "Build the libFuzzer targets (clang only)" OFF)

# Targets that only make sense on Linux (they stand on Linux-only interfaces such as libusb's
# device emulation or the kernel's socket behaviour) are built under `if(VQX_LINUX)`.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
    set(VQX_LINUX ON)
else()
    set(VQX_LINUX OFF)
endif()
if(WIN32)
    set(_vqx_libftdi_default OFF)
else()
    set(_vqx_libftdi_default ON)
endif()
option(VQX_WITH_LIBFTDI "Build the libftdi USB backend (not on Windows)" ${_vqx_libftdi_default})

# A header-only library: its CMake package in a native build. A cross build (where packages
# are looked up in the target's root only) takes the build host's copy of the headers instead,
# through a folder of the build tree that holds only that library's header directory, so that
# no other host header and no host library becomes visible to the cross compiler.
#   vqx_header_only_package(CLI11 CLI11::CLI11 CLI/CLI.hpp)
function(vqx_header_only_package package target header)
    if(TARGET ${target})
        return()
    endif()
    if(NOT CMAKE_CROSSCOMPILING)
        find_package(${package} CONFIG REQUIRED)
        return()
    endif()
    find_path(VQX_HOST_${package}_INCLUDE_DIR ${header}
              PATHS /usr/local/include /usr/include
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT VQX_HOST_${package}_INCLUDE_DIR)
        message(FATAL_ERROR "${package}: ${header} not found in the host's include directories")
    endif()
    string(REGEX REPLACE "/.*" "" top "${header}")
    set(stage ${CMAKE_BINARY_DIR}/header-only/${package})
    file(MAKE_DIRECTORY ${stage})
    if(NOT EXISTS ${stage}/${top})
        file(CREATE_LINK ${VQX_HOST_${package}_INCLUDE_DIR}/${top} ${stage}/${top} SYMBOLIC)
    endif()
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    set_target_properties(${target} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES ${stage})
endfunction()

function(vqx_target_defaults target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VQX_WERROR}>:/WX>)
    else()
        # C++ only: a Windows target's resource script (.rc) is compiled by windres.
        target_compile_options(${target} PRIVATE
            "$<$<COMPILE_LANGUAGE:CXX>:-Wall;-Wextra;-Wpedantic;-Wshadow;-Wconversion>"
            "$<$<COMPILE_LANGUAGE:CXX>:-Wno-sign-conversion>"
            "$<$<AND:$<COMPILE_LANGUAGE:CXX>,$<BOOL:${VQX_WERROR}>>:-Werror>")
        if(VQX_FUZZ)
            target_compile_options(${target} PRIVATE -fsanitize=fuzzer-no-link,address,undefined
                                                     -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
            target_link_options(${target} PRIVATE -fsanitize=address,undefined)
        elseif(VQX_SANITIZE)
            target_compile_options(${target} PRIVATE -fsanitize=address,undefined
                                                     -fno-omit-frame-pointer
                                                     -fno-sanitize-recover=undefined)
            target_link_options(${target} PRIVATE -fsanitize=address,undefined)
        endif()
    endif()
endfunction()

# A proxy that nobody serves, named in every test's environment (and so in that of the
# processes the tests start): the module links must never go through a proxy, and the whole
# suite proves it by passing with one set.
set(VQX_TEST_PROXY "http://127.0.0.1:9")
set(VQX_TEST_PROXY_ENV
    "http_proxy=${VQX_TEST_PROXY};HTTP_PROXY=${VQX_TEST_PROXY};https_proxy=${VQX_TEST_PROXY};HTTPS_PROXY=${VQX_TEST_PROXY};all_proxy=${VQX_TEST_PROXY};ALL_PROXY=${VQX_TEST_PROXY}")

# A Qt Test executable registered with CTest. GUI tests run on the offscreen platform.
function(vqx_add_test name)
    cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    add_executable(${name} ${T_SOURCES})
    vqx_target_defaults(${name})
    target_link_libraries(${name} PRIVATE Qt6::Test vqx::common ${T_LIBS})
    # TestRows.h, TestNet.h: data rows and loopback helpers the suites share.
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests)
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    # Each test keeps its per-module write locks in a folder of its own (VQX250_LOCK_DIR, the
    # variable for tests), so that tests run side by side (or in another checkout) never wait
    # for each other's locks nor for those of real writers on the machine.
    set(_lock_dir ${CMAKE_CURRENT_BINARY_DIR}/${name}.run)
    file(MAKE_DIRECTORY ${_lock_dir})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                         ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1;VQX250_LOCK_DIR=${_lock_dir};${VQX_TEST_PROXY_ENV}"
                         LABELS "${T_LABELS}")
endfunction()

# A libFuzzer target of tests/fuzz: its own sources with libFuzzer's main and the sanitizers;
# the project libraries it links carry fuzzer-no-link instrumentation (VQX_FUZZ). Not a CTest
# test: scripts/fuzz runs it on a copy of its corpus.
function(vqx_add_fuzz_target name)
    cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    vqx_target_defaults(${name})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    set_property(GLOBAL APPEND PROPERTY VQX_FUZZ_TARGETS ${name})
endfunction()
