# Playlist files as stations serve them (.pls, .m3u, .xspf), the sniffing of
# their kind and the resolution of their entries.
#   build/<dir>/fuzz/playlist_fuzzer -max_total_time=300 -dict=fuzz/playlist_fuzzer.dict fuzz/corpus/playlist_fuzzer
qvm_add_fuzzer(playlist_fuzzer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/playlist_fuzzer.cpp
    LIBS qvm_audio)
