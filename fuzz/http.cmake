# The remote control's requests: raw bytes read by Beast's parser with the
# server's limits, decoded as the transport decodes them, and answered by the
# command handler; and the decoding and credential helpers on their own.
#   build/<dir>/fuzz/http_fuzzer -max_total_time=300 -dict=fuzz/http_fuzzer.dict fuzz/corpus/http_fuzzer
qvm_add_fuzzer(http_fuzzer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_fuzzer.cpp
    LIBS qvm_http)
