# The INI reader, the settings load and save, and desktop-entry Exec values.
#   build/<dir>/fuzz/ini_fuzzer -max_total_time=300 fuzz/corpus/ini_fuzzer
qvm_add_fuzzer(ini_fuzzer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/ini_fuzzer.cpp
    LIBS qvm_config)
