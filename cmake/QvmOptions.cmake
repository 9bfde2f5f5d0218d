# Warnings, sanitizers and the per-layer library helper shared by every target.

add_library(qvm_warnings INTERFACE)
target_compile_options(qvm_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Wcast-align -Wunused
    -Woverloaded-virtual -Wformat=2 -Wimplicit-fallthrough)
if(QVM_WERROR)
    target_compile_options(qvm_warnings INTERFACE -Werror)
endif()

if(QVM_SANITIZE STREQUAL "address")
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
elseif(QVM_SANITIZE STREQUAL "thread")
    add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
    add_link_options(-fsanitize=thread)
elseif(QVM_SANITIZE STREQUAL "fuzzer")
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
elseif(NOT QVM_SANITIZE STREQUAL "")
    message(FATAL_ERROR "QVM_SANITIZE must be address, thread, fuzzer or empty")
endif()

# qvm_layer(<name> SOURCES ... DEPS ...): one static library per layer, with
# includes written from src/ and only the layers it names as dependencies.
function(qvm_layer name)
    cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE qvm_warnings)
endfunction()
