# Language files: arbitrary bytes read as a language file, then lookups with
# keys and references taken from the input.
qvm_add_fuzzer(lang_fuzzer
    SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/lang_fuzzer.cpp
    LIBS qvm_lang)
