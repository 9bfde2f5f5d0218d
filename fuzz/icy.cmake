# What a stream server sends about itself: ICY metadata packets and the ICY
# header block FFmpeg hands over, read into the title, station and bitrate.
#   build/<dir>/fuzz/icy_fuzzer -max_total_time=300 -dict=fuzz/icy_fuzzer.dict fuzz/corpus/icy_fuzzer
qvm_add_fuzzer(icy_fuzzer
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/icy_fuzzer.cpp
    LIBS qvm_channel qvm_audio)
