# The studio link's packets as a peer sends them to the player's window: the
# datagrams read into commands and data blocks, and the control commands
# (Hello, Identify, Goodbye) carried out on a real link in a private folder.
#   build/<dir>/fuzz/studio_fuzzer -max_total_time=300 -dict=fuzz/studio_fuzzer.dict fuzz/corpus/studio_fuzzer
qvm_add_fuzzer(studio_fuzzer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/studio_fuzzer.cpp
    LIBS qvm_link)
