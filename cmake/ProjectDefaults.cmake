# Per-target defaults: warnings, optional -Werror and sanitizers.
# Applied target by target so that no directory-wide flag leaks into others.
option(VQX_WERROR "Treat compiler warnings as errors" OFF)
option(VQX_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

function(vqx_target_defaults target)
    target_compile_features(${target} PUBLIC cxx_std_20)
    if(MSVC)
        target_compile_options(${target} PRIVATE /W4 $<$<BOOL:${VQX_WERROR}>:/WX>)
    else()
        target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow
                                                 -Wconversion -Wno-sign-conversion
                                                 $<$<BOOL:${VQX_WERROR}>:-Werror>)
        if(VQX_SANITIZE)
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
    target_link_libraries(${name} PRIVATE Qt6::Test ${T_LIBS})
    add_test(NAME ${name} COMMAND ${name})
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    set_tests_properties(${name} PROPERTIES TIMEOUT ${T_TIMEOUT}
                         ENVIRONMENT "QT_QPA_PLATFORM=offscreen;ASAN_OPTIONS=detect_leaks=1;${VQX_TEST_PROXY_ENV}"
                         LABELS "${T_LABELS}")
endfunction()
